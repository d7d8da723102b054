// web_media: stand-in for the device's web media service. Records the message
// of every "video_share_info_update" call as one JSON line of
// /var/log/web_media.log.
#include "platform/ubus_standin.h"

#include <libubox/blobmsg_json.h>

namespace {

char *record_update(struct blob_attr *msg) {
    return blobmsg_format_json(msg, true);
}

}  // namespace

int main(int argc, char **argv) {
    static const standin_service svc = {"web_media", "video_share_info_update",
                                        "/var/log/web_media.log", record_update};
    return standin_main(argc, argv, &svc);
}
