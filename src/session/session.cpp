// The session table: 32 static slots, the manager's start and its bulk clean.
#include "session/session.h"

#include <event2/event.h>

#include <cstring>

#include "session/session_control.h"
#include "util/log.h"
#include "util/utils.h"

char g_stun_host[129];
std::atomic<int> g_nat_type{NAT_TYPE_UNKNOWN};

namespace {

// One slot; state 0 means free and a free slot is all zero.
struct p2p_session {
    int state;
    char sid[64];
};

struct event_base *mgr_base;
struct event *nat_type_timer;
p2p_session sessions[MAX_SESSIONS];

void nat_type_timer_cb(evutil_socket_t fd, short events, void *arg) {
    (void)fd;
    (void)events;
    (void)arg;
}

void free_nat_type_timer() {
    if (nat_type_timer) {
        event_free(nat_type_timer);
        nat_type_timer = nullptr;
    }
}

void session_free(p2p_session *sess) {
    if (!sess) return;
    LOG("clean up p2p session %p\n", static_cast<void *>(sess));
    memset(sess, 0, sizeof(*sess));
}

}  // namespace

int session_mgr_init(struct event_base *base) {
    if (mgr_base) return 0;
    if (!base) {
        free_nat_type_timer();
        return -1;
    }
    mgr_base = base;
    memset(sessions, 0, sizeof(sessions));
    memset(g_stun_host, 0, sizeof(g_stun_host));
    conf_file_load(g_stun_host, sizeof(g_stun_host) - 1);

    nat_type_timer = event_new(base, -1, EV_PERSIST, nat_type_timer_cb, nullptr);
    struct timeval period = {180, 0};
    if (!nat_type_timer || event_add(nat_type_timer, &period) < 0) {
        free_nat_type_timer();
        mgr_base = nullptr;
        return -1;
    }
    return 0;
}

int session_mgr_cleanup() {
    free_nat_type_timer();
    for (auto &sess : sessions) {
        if (sess.state != 0) session_free(&sess);
    }
    return 0;
}

int p2p_prepare(struct bufferevent *bev, const control_request *req) {
    (void)req;
    LOG("error occured. send resp with error code(%d) and error msg(%s).\n", ERR_EXCEPTION,
        MSG_EXCEPTION);
    return response_error(bev, ERR_EXCEPTION, MSG_EXCEPTION);
}

int is_p2p_ready(struct bufferevent *bev, const control_request *req) {
    for (auto &sess : sessions) {
        if (sess.state != 0 && strcmp(sess.sid, req->ready.sid) == 0) return 0;
    }
    LOG("failed to find p2p session '%s' \n", req->ready.sid);
    return response_error(bev, ERR_NO_SESSION, MSG_NO_SESSION);
}

void session_forget_conn(struct bufferevent *bev) { (void)bev; }
