#include "bus/share_info.h"

#include "bus/ubus_api.h"
#include "util/log.h"

// OpenWrt's headers carry no C++ guards.
extern "C" {
#include <libubox/blobmsg.h>
#include <libubus.h>
}

// Logged under "session", where the notice was always logged from.
static constexpr char log_unit[] = "session";

#define WEB_MEDIA_OBJECT "web_media"
#define WEB_MEDIA_METHOD "video_share_info_update"
#define WEB_MEDIA_TIMEOUT_MS 3000

namespace {

// On the reporter thread, with a connection of its own for this one notice,
// bounded by the reporter. A notice that finds no bus is not kept: it only
// says "look again".
void notify_web_media() {
    struct ubus_context *ctx = ubus_connect_system();
    if (!ctx) {
        LOG_AS("reload_share_info", "connect to ubusd failed!");
        return;
    }
    struct blob_buf b = {};
    blob_buf_init(&b, 0);
    uint32_t id;
    if (ubus_lookup_id(ctx, WEB_MEDIA_OBJECT, &id)) {
        LOG_AS("reload_share_info", "ubus lookup id web_media failed.");
    } else {
        LOG_AS("reload_share_info", "start to notify web_media. ");
        ubus_invoke(ctx, id, WEB_MEDIA_METHOD, b.head, NULL, NULL, WEB_MEDIA_TIMEOUT_MS);
    }
    ubus_release(ctx);
    blob_buf_free(&b);
}

}  // namespace

int reload_share_info() {
    ubus_post_notice(notify_web_media);
    return 0;
}
