// The probe-port timer is armed on the loop thread before the loop runs, so
// it never races other registrations on a base made without thread locks.
#include "session/session_probe.h"

#include <event2/event.h>

#include "session/session.h"
#include "util/log.h"

namespace {

struct event *gpp_timer;

void gpp_timer_cb(evutil_socket_t fd, short events, void *arg) {
    (void)fd;
    (void)arg;
    if (!(events & EV_TIMEOUT)) return;
    LOG("stun host is %s\n", g_stun_host);
}

int STUN_gpp_thread(struct event_base *base) {
    gpp_timer = event_new(base, -1, EV_TIMEOUT | EV_PERSIST, gpp_timer_cb, nullptr);
    struct timeval period = {60, 0};
    if (!gpp_timer || event_add(gpp_timer, &period) < 0) {
        LOG("event gpp failed");
        gpp_timer_free();
        return -1;
    }
    return 0;
}

}  // namespace

int gpp_thread_start(struct event_base *base) {
    if (!base) return -1;
    return STUN_gpp_thread(base);
}

void gpp_timer_free() {
    if (gpp_timer) {
        event_free(gpp_timer);
        gpp_timer = nullptr;
    }
}
