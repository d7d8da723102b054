// tarn's own bus object, answered on the loop. The reporter thread owns the
// bus and hands each call on `tarn` through the call pipe; the loop answers
// from its own state (sessions, STUN host, NAT type), or ends every session,
// and hands the answer back. Nothing here waits on the bus.
#include <cjson/cJSON.h>
#include <event2/event.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "control/libcloud.h"
#include "core/tarn.h"
#include "session/session.h"
#include "stats/ubus_api.h"

namespace {

struct event *ev_call;
struct timespec started;

void answer_status(uint32_t id) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    cJSON *root = cJSON_CreateObject();
    cJSON_AddStringToObject(root, "version", TARN_VERSION);
    cJSON_AddNumberToObject(root, "uptime", static_cast<double>(now.tv_sec - started.tv_sec));
    session_mgr_status(root);
    char *text = cJSON_PrintUnformatted(root);
    ubus_object_reply(id, text);
    cJSON_free(text);
    cJSON_Delete(root);
}

// As do_tarn_clean, and says how many sessions it ended.
void answer_clean(uint32_t id) {
    int ended = session_mgr_cleanup();
    char text[48];
    snprintf(text, sizeof(text), "{\"sessions_ended\":%d}", ended);
    ubus_object_reply(id, text);
}

void call_cb(evutil_socket_t fd, short, void *) {
    tarn_call call;
    while (read(fd, &call, sizeof(call)) == static_cast<ssize_t>(sizeof(call))) {
        if (call.method == TARN_CALL_CLEAN) {
            answer_clean(call.id);
        } else {
            answer_status(call.id);
        }
    }
}

}  // namespace

int tarn_bus_start(struct event_base *base) {
    clock_gettime(CLOCK_MONOTONIC, &started);
    int fd = ubus_object_start();
    if (fd < 0) return -1;
    ev_call = event_new(base, fd, EV_READ | EV_PERSIST, call_cb, nullptr);
    if (!ev_call || event_add(ev_call, nullptr) < 0) {
        tarn_bus_stop();
        return -1;
    }
    return 0;
}

void tarn_bus_stop() {
    if (!ev_call) return;
    event_free(ev_call);
    ev_call = nullptr;
}
