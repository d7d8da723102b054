// Stand-ins for device services on the host bus (cloud_log, web_media): one
// object with one method; every call is recorded as one line in a file.
#pragma once

#include <libubus.h>

struct standin_service {
    const char *object;
    const char *method;
    const char *default_log;
    // The line to record for one call (malloc'ed, no line break), or NULL to
    // refuse the call as an invalid argument.
    char *(*record)(struct blob_attr *msg);
};

// Runs the service for the command line [-s SOCKET] [-o FILE] [-p PIDFILE]:
// registers the object, then detaches; the foreground process returns 0 once
// the object is on the bus (or already was). The background process serves
// calls until the bus goes away.
int standin_main(int argc, char **argv, const struct standin_service *svc);
