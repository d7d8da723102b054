// cloud_log: stand-in for the device's log service. Records the "log_data"
// of every "upload_log" call as one line of /var/log/cloud_log.log.
#include "platform/ubus_standin.h"

#include <stdlib.h>

namespace {

// Line breaks inside a report are written as \n and \r so that one call stays
// one line.
char *record_upload(struct blob_attr *msg) {
    static const struct blobmsg_policy policy[] = {{"log_data", BLOBMSG_TYPE_STRING}};
    struct blob_attr *tb[1];
    blobmsg_parse(policy, 1, tb, blob_data(msg), blob_len(msg));
    if (!tb[0]) return nullptr;
    const char *text = blobmsg_get_string(tb[0]);
    size_t len = strlen(text);
    char *line = (char *)malloc(2 * len + 1);
    if (!line) return nullptr;
    char *o = line;
    for (const char *p = text; *p; p++) {
        if (*p == '\n' || *p == '\r') {
            *o++ = '\\';
            *o++ = *p == '\n' ? 'n' : 'r';
        } else {
            *o++ = *p;
        }
    }
    *o = 0;
    return line;
}

}  // namespace

int main(int argc, char **argv) {
    static const standin_service svc = {"cloud_log", "upload_log", "/var/log/cloud_log.log",
                                        record_upload};
    return standin_main(argc, argv, &svc);
}
