// web_media: stand-in for the device's web media service (see bus_standin.h).
// The message of every "video_share_info_update" call becomes one line of
// compact JSON in /var/log/web_media.log.
#include "bus_standin.h"

static bool record_update(struct blob_attr *msg, std::string *line) {
    char *json = blobmsg_format_json(msg, true);
    if (!json) return false;
    *line = json;
    free(json);
    return true;
}

int main(int argc, char **argv) {
    return standin::run(argc, argv, "web_media", "video_share_info_update",
                        "/var/log/web_media.log", record_update);
}
