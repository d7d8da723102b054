// Control connections: one request per connection, at most one answer, and
// the connection is freed once the answer has been written out. Every free
// goes through control_conn_free, which first detaches any waiting session.
//
// A client cannot hold the daemon: a connection idle for kIdleTimeoutS is
// freed ("Timed out."), libevent buffers at most one request's worth of
// input, and whatever follows the first request is read only to be dropped.
#include "conn/libcloud_conn.h"

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "session/session.h"
#include "bus/share_info.h"
#include "util/log.h"
#include "util/seal.h"

static constexpr char log_unit[] = "session";

namespace {

constexpr int kRequestBuf = 1500;
constexpr int kAnswerBuf = 1024;
// libcloud answers within 0.5 s of its request; nothing legitimate idles
// this long.
constexpr int kIdleTimeoutS = 5;

// Every open control connection, so that shutdown can free them.
std::vector<struct bufferevent *> open_conns;

void control_conn_free(struct bufferevent *bev) {
    session_forget_conn(bev);
    auto it = std::find(open_conns.begin(), open_conns.end(), bev);
    if (it != open_conns.end()) {
        *it = open_conns.back();
        open_conns.pop_back();
    }
    bufferevent_free(bev);
}

int get_tarn_info(struct bufferevent *bev, const control_request *req) {
    if (!bev || !req) return -1;
    char buf[kAnswerBuf + 1] = {0};
    if (libcloud_build_tarn_info_resp(buf, kAnswerBuf) < 0) {
        LOG("error: failed when running build get_relayd_info resp.");
        return response_error(bev, ERR_EXCEPTION, MSG_EXCEPTION);
    }
    LOG("send resp: %s.\n", buf);
    bufferevent_write(bev, buf, strlen(buf));
    bufferevent_enable(bev, EV_WRITE);
    return 0;
}

int do_tarn_clean(struct bufferevent *bev, const control_request *req) {
    (void)bev;
    (void)req;
    session_mgr_cleanup();
    return 0;
}

int share_info(struct bufferevent *bev, const control_request *req) {
    (void)bev;
    (void)req;
    reload_share_info();
    return 0;
}

using request_handler = int (*)(struct bufferevent *, const control_request *);

struct dispatch_entry {
    int code;
    request_handler handler;
};

const dispatch_entry kDispatch[] = {
    {REQ_PREPARE_P2P, p2p_prepare},     {REQ_IS_P2P_READY, is_p2p_ready},
    {REQ_GET_TARN_INFO, get_tarn_info}, {REQ_DO_TARN_CLEAN, do_tarn_clean},
    {REQ_SHARE_INFO, share_info},
};

void libcloud_write_cb(struct bufferevent *bev, void *arg);
void libcloud_event_cb(struct bufferevent *bev, short events, void *arg);

// After the request: input is drained unread until the answer is out or the
// peer closes, so a pipelining client costs neither memory nor parsing.
void drop_input_cb(struct bufferevent *bev, void *arg) {
    (void)arg;
    evbuffer_drain(bufferevent_get_input(bev), evbuffer_get_length(bufferevent_get_input(bev)));
}

void dispatch(struct bufferevent *bev, const char *text, control_request *req) {
    if (libcloud_parse_request(text, req) < 0) {
        response_error(bev, ERR_BAD_REQUEST, MSG_BAD_REQUEST);
        return;
    }
    for (const auto &entry : kDispatch) {
        if (entry.code == req->type) {
            entry.handler(bev, req);
            return;
        }
    }
    LOG_AS("libcloud_read_cb", "invalid request from libcloud: [%s]\n", text);
    response_error(bev, ERR_BAD_REQUEST, MSG_BAD_REQUEST);
}

void libcloud_read_cb(struct bufferevent *bev, void *arg) {
    (void)arg;
    if (!bev) return;
    // Set before the handler runs: it may free the connection.
    bufferevent_setcb(bev, drop_input_cb, libcloud_write_cb, libcloud_event_cb, nullptr);
    char text[kRequestBuf] = {0};
    int n = static_cast<int>(bufferevent_read(bev, text, kRequestBuf - 1));
    drop_input_cb(bev, nullptr);
    if (n <= 0) {
        LOG("fail when bufferevent_read from libcloud: %d\n", n);
        response_error(bev, ERR_EXCEPTION, MSG_EXCEPTION);
        return;
    }
    control_request req;
    memset(&req, 0, sizeof(req));
    dispatch(bev, text, &req);
    // A private session's key is in both; the session keeps its own copy.
    seal_wipe(&req, sizeof(req));
    seal_wipe(text, sizeof(text));
}

// Unread bytes make close() send a reset, and a reset makes the client's
// kernel discard the answer it has not read yet: take what a client sent
// past its request (bounded) before closing.
void drop_unread(struct bufferevent *bev) {
    evutil_socket_t fd = bufferevent_getfd(bev);
    char sink[4096];
    for (int i = 0; i < 16 && recv(fd, sink, sizeof(sink), MSG_DONTWAIT) > 0; i++) {
    }
}

void libcloud_write_cb(struct bufferevent *bev, void *arg) {
    (void)arg;
    LOG("all data has been sent out. now close short connection.");
    drop_unread(bev);
    control_conn_free(bev);
}

void libcloud_event_cb(struct bufferevent *bev, short events, void *arg) {
    (void)arg;
    if (events & BEV_EVENT_EOF) {
        LOG("connection closed");
    } else if (events & BEV_EVENT_ERROR) {
        LOG("some other error");
    } else if (events & BEV_EVENT_TIMEOUT) {
        LOG("Timed out.");
    }
    control_conn_free(bev);
}

}  // namespace

int libcloud_answer(struct bufferevent *bev, const control_response *resp) {
    if (send_back_response(bev, resp) == 0) return 0;
    control_conn_free(bev);
    return -1;
}

int libcloud_accept(struct event_base *base, evutil_socket_t fd) {
    if (fd == -1 || !base) return -1;
    session_mgr_init(base, libcloud_answer);

    // Only connections made to the loopback address are served, whatever
    // address the listener is bound to.
    struct sockaddr_in local;
    socklen_t len = sizeof(local);
    memset(&local, 0, sizeof(local));
    if (getsockname(fd, reinterpret_cast<struct sockaddr *>(&local), &len) < 0 ||
        local.sin_family != AF_INET || local.sin_addr.s_addr != htonl(INADDR_LOOPBACK)) {
        return -1;
    }

    // libevent 2.1 accepts with SOCK_CLOEXEC already; 2.0 does not.
    evutil_make_socket_closeonexec(fd);
    struct bufferevent *bev = bufferevent_socket_new(base, fd, BEV_OPT_CLOSE_ON_FREE);
    if (!bev) return -1;
    open_conns.push_back(bev);
    bufferevent_setcb(bev, libcloud_read_cb, libcloud_write_cb, libcloud_event_cb, nullptr);
    // One request's worth: libevent stops reading the socket beyond it.
    bufferevent_setwatermark(bev, EV_READ, 0, kRequestBuf - 1);
    struct timeval idle = {kIdleTimeoutS, 0};
    bufferevent_set_timeouts(bev, &idle, &idle);
    bufferevent_disable(bev, EV_WRITE);
    bufferevent_enable(bev, EV_READ);
    return 0;
}

void libcloud_close_all() {
    while (!open_conns.empty()) control_conn_free(open_conns.back());
}

int send_back_response(struct bufferevent *bev, const control_response *resp) {
    LOG("error_code is %d\n", resp->error_code);
    char buf[kAnswerBuf] = {0};
    int len = libcloud_build_pready_resp(resp, buf, sizeof(buf));
    if (len < 1) {
        LOG("failed to build response, error");
        return -1;
    }
    LOG("build response, success.");
    bufferevent_write(bev, buf, len);
    bufferevent_enable(bev, EV_WRITE);
    return 0;
}
