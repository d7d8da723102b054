// tarn's own bus object, answered on the loop. The reporter thread owns the
// bus and hands each call on `tarn` through the call pipe; the loop answers
// through its owner's callbacks (the daemon's state, or ending every
// session) and hands the answer back. Nothing here waits on the bus.
#include "bus/tarn_bus.h"

#include <cjson/cJSON.h>
#include <event2/event.h>
#include <unistd.h>

#include <cstdio>

#include "bus/ubus_api.h"
#include "util/handle.h"
#include "util/utils.h"

namespace {

struct event *ev_call;
int64_t started_ms;
tarn_bus_status_fn status_of;
tarn_bus_clean_fn clean_all;

void answer_status(uint32_t id) {
    unique_with<cJSON, cJSON_Delete> root(cJSON_CreateObject());
    cJSON_AddStringToObject(root.get(), "version", TARN_VERSION);
    cJSON_AddNumberToObject(root.get(), "uptime",
                            static_cast<double>((monotonic_ms() - started_ms) / 1000));
    status_of(root.get());
    char *text = cJSON_PrintUnformatted(root.get());
    ubus_object_reply(id, text);
    cJSON_free(text);
}

// As do_tarn_clean, and says how many sessions it ended.
void answer_clean(uint32_t id) {
    int ended = clean_all();
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

int tarn_bus_start(struct event_base *base, tarn_bus_status_fn status, tarn_bus_clean_fn clean) {
    started_ms = monotonic_ms();
    status_of = status;
    clean_all = clean;
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
