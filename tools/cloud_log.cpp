// cloud_log: stand-in for the device's log service (see bus_standin.h). The
// "log_data" of every "upload_log" call becomes one line of
// /var/log/cloud_log.log, line breaks inside it written as \n and \r.
#include "bus_standin.h"

static bool record_upload(struct blob_attr *msg, std::string *line) {
    static const struct blobmsg_policy policy[] = {{"log_data", BLOBMSG_TYPE_STRING}};
    struct blob_attr *tb[1];
    blobmsg_parse(policy, 1, tb, blob_data(msg), blob_len(msg));
    if (!tb[0]) return false;
    for (const char *p = blobmsg_get_string(tb[0]); *p; p++) {
        if (*p == '\n')
            *line += "\\n";
        else if (*p == '\r')
            *line += "\\r";
        else
            *line += *p;
    }
    return true;
}

int main(int argc, char **argv) {
    return standin::run(argc, argv, "cloud_log", "upload_log", "/var/log/cloud_log.log",
                        record_upload);
}
