// prepare_p2p: take a slot, resolve the STUN server, learn the public
// address of a fresh UDP socket and answer libcloud — at once when the STUN
// answer beats the 0.5 s prepare timer, otherwise "not ready" from the timer
// and the addresses later through is_p2p_ready.
#include <arpa/inet.h>
#include <event2/event.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "dns/evaddrinfo.h"
#include "session/session.h"
#include "session/session_probe.h"
#include "stun/stun.h"
#include "util/log.h"
#include "util/utils.h"

static constexpr char log_unit[] = "session";

namespace {

constexpr const char *kStunService = "3478";
constexpr int kResolveTimeoutS = 13;
constexpr int kMaxStunResends = 8;
constexpr int kStunBuf = 1024;
// Datagrams read per wake-up before the loop gets back to other work.
constexpr int kStunReadsPerWake = 16;
// A session that has neither failed nor connected by then is freed
// (-52013, or -52014 once punching started).
const struct timeval kSessionDeadline = {20, 20};
// The prepare answer waits this long for the public address, then goes out
// as "not ready".
const struct timeval kPrepareAnswerWait = {0, 500000};

void p2p_stun_event_cb(evutil_socket_t fd, short events, void *arg);

// Wait before the next look at the socket: 100 ms, then 200, 400, 800 and
// 1600 ms after the 1st..4th re-send, 1600 ms after every later one.
int64_t stun_wait_us(int resends) {
    int ms = resends <= 0 ? 100 : resends <= 4 ? 100 << resends : 1600;
    return static_cast<int64_t>(ms) * 1000;
}

// (Re-)adds the STUN event until the current wait's end; a datagram that is
// not our answer leaves that end where it was.
int add_stun_wait(p2p_session *sess) {
    int64_t left = sess->stun_wait_end_us - monotonic_us();
    if (left < 0) left = 0;
    struct timeval tv = {static_cast<time_t>(left / 1000000),
                         static_cast<suseconds_t>(left % 1000000)};
    return event_add(sess->ev_stun, &tv);
}

int start_stun_wait(p2p_session *sess, int resends) {
    sess->stun_wait_end_us = monotonic_us() + stun_wait_us(resends);
    return add_stun_wait(sess);
}

int p2p_stun_query(p2p_session *sess) {
    LOG("query stun server for external address....");
    char buf[kStunBuf] = {0};
    // Every re-send carries the same id: an answer to any of them will do.
    int len = stunBuildBindingRequest(buf, sizeof(buf), sess->stun_tid);
    ssize_t n =
        sendto(sess->stun_fd, buf, len, 0, reinterpret_cast<struct sockaddr *>(&sess->stun_addr),
               sizeof(sess->stun_addr));
    if (n >= 0 || errno == EINTR || errno == EAGAIN) return 0;
    LOG("sendto stun server failed, sock_errno %d\n", errno);
    return -1;
}

void free_stun_event(p2p_session *sess) {
    if (sess->ev_stun) {
        event_free(sess->ev_stun);
        sess->ev_stun = nullptr;
    }
}

// The STUN server's address is the one every later query and the
// configuration file refer to.
void remember_stun_host(p2p_session *sess) {
    char text[129];
    snprintf(text, sizeof(text), "%s", ip_to_str(ntohl(sess->stun_addr.sin_addr.s_addr)));
    sess->stun_server_text = strdup(text);
    bool changed = g_stun_host[0] == '\0' || strcmp(g_stun_host, text) != 0;
    if (changed) {
        LOG_AS("dns_cb", "stun host changed");
        snprintf(g_stun_host, sizeof(g_stun_host), "%s", text);
        session_save_stun_host();
    }
    if (changed || g_nat_type.load() == NAT_CODE_UNKNOWN) request_nat_type(text, text);
}

int dns_cb(struct addrinfo *res, void *arg) {
    auto *sess = static_cast<p2p_session *>(arg);
    if (!res) {
        stat_set_err_code(&sess->stat, STAT_ERR_DNS);
        LOG("dns resolve error");
        session_free(sess);
        return 0;
    }
    if (sess->state != SESS_RESOLVING) {
        session_free(sess);
        return 0;
    }
    memcpy(&sess->stun_addr, res->ai_addr, sizeof(sess->stun_addr));

    sess->stun_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (sess->stun_fd < 0) {
        LOG("create socket, error");
        session_free(sess);
        return 0;
    }
    evutil_make_socket_nonblocking(sess->stun_fd);
    sess->stun_send_cnt = 0;
    sess->ev_stun = event_new(g_session_base, sess->stun_fd, EV_READ, p2p_stun_event_cb, sess);
    if (!sess->ev_stun) {
        LOG("create stun request event, error");
        session_free(sess);
        return 0;
    }
    LOG("building stun request, sess %p\n", static_cast<void *>(sess));

    char ifname[READ_UCI_VALUE_MAX + 1] = {0};
    if (read_wan_ifname(ifname) < 0) {
        LOG("read local ifname error");
        session_free(sess);
        return 0;
    }
    // Without an address on the WAN interface the socket binds to 0.0.0.0.
    struct sockaddr_in local;
    memset(&local, 0, sizeof(local));
    get_local_ip(ifname, &local);
    local.sin_family = AF_INET;
    local.sin_port = 0;
    if (bind(sess->stun_fd, reinterpret_cast<struct sockaddr *>(&local), sizeof(local)) < 0) {
        LOG("bind failed, %d\n", errno);
        session_free(sess);
        return 0;
    }

    LOG("query stun server for my external address...");
    stunNewTransactionId(&sess->stun_tid, 1);
    if (p2p_stun_query(sess) < 0) {
        session_free(sess);
        return 0;
    }
    if (!sess->first_query_recorded) {
        stat_set_stun_query_time(&sess->stat, time_offset_ms(&sess->create_time));
        sess->first_query_recorded = 1;
    }
    sess->state = SESS_QUERYING;
    if (start_stun_wait(sess, 0) < 0) {
        LOG("add stun event, error");
        session_free(sess);
        return 0;
    }
    remember_stun_host(sess);
    return 0;
}

// Records the mapped and local addresses; -1 when the answer is unusable.
int take_stun_answer(p2p_session *sess, const char *buf, int len) {
    char mapped[32] = {0};
    if (stunParseBindingResponse(buf, len, sess->stun_tid, mapped, 0) != 0) return -1;
    const char *colon = strchr(mapped, ':');
    if (!colon || colon[1] < '0' || colon[1] > '9') return -1;
    size_t ip_len = colon - mapped;
    pready_record &self = sess->self;
    if (ip_len >= sizeof(self.pub_ip)) return -1;
    memcpy(self.pub_ip, mapped, ip_len);
    self.pub_ip[ip_len] = '\0';
    self.pub_port = atoi(colon + 1);
    LOG_AS("p2p_stun_event_cb", "got my external address from stun server: %s:%d\n", self.pub_ip,
           self.pub_port);
    stat_set_stun_resp_time(&sess->stat, time_offset_ms(&sess->create_time));

    struct sockaddr_in local;
    socklen_t local_len = sizeof(local);
    memset(&local, 0, sizeof(local));
    getsockname(sess->stun_fd, reinterpret_cast<struct sockaddr *>(&local), &local_len);
    snprintf(self.pri_ip, sizeof(self.pri_ip), "%s", ip_to_str(ntohl(local.sin_addr.s_addr)));
    self.pri_port = ntohs(local.sin_port);
    self.is_ready = 1;
    self.nat_type = g_nat_type.load();
    stat_set_dev_addr(&sess->stat, self.pub_ip, self.pub_port, self.pri_ip, self.pri_port,
                      self.nat_type);
    int probe[STUN_PROBE_FIELDS];
    STUN_copy_probe_data(probe);
    stat_set_public_ports(&sess->stat, probe);
    return 0;
}

// 1 when the answer came, 0 when only other datagrams did, -1 on a socket
// failure. Only the Binding Response to our own id from the address we
// queried is an answer; everything else is dropped and the wait goes on.
int read_stun_answer(p2p_session *sess) {
    int ignored = 0;
    int rc = 0;
    for (int i = 0; i < kStunReadsPerWake && rc == 0; i++) {
        char buf[kStunBuf] = {0};
        struct sockaddr_in from;
        socklen_t from_len = sizeof(from);
        memset(&from, 0, sizeof(from));
        ssize_t n = recvfrom(sess->stun_fd, buf, sizeof(buf) - 1, 0,
                             reinterpret_cast<struct sockaddr *>(&from), &from_len);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) break;
            LOG_AS("p2p_stun_event_cb", "fd %d, recvfrom stun server failed, sock_errno %d\n",
                   sess->stun_fd, errno);
            rc = -1;
        } else if (from.sin_addr.s_addr != sess->stun_addr.sin_addr.s_addr ||
                   from.sin_port != sess->stun_addr.sin_port ||
                   take_stun_answer(sess, buf, static_cast<int>(n)) < 0) {
            ignored++;
        } else {
            rc = 1;
        }
    }
    if (ignored > 0) {
        LOG_AS("p2p_stun_event_cb", "parse stun response error: %d datagram(s) ignored\n", ignored);
    }
    return rc;
}

// 0 while the query goes on or has succeeded, -1 when the session must fail.
int on_stun_event(p2p_session *sess, short events) {
    if (sess->state != SESS_QUERYING) {
        LOG_AS("p2p_stun_event_cb", "status error %d\n", sess->state);
        return -1;
    }
    LOG_AS("p2p_stun_event_cb", "Enter p2p_stun_event_cb, cnt: %d\n", sess->stun_send_cnt);
    bool answered = false;
    if (events & EV_READ) {
        int got = read_stun_answer(sess);
        if (got < 0) return -1;
        answered = got > 0;
        // Other datagrams leave the wait's end where it was, so a flood
        // cannot hold the re-sends back.
        if (!answered && sess->stun_wait_end_us > monotonic_us()) {
            if (add_stun_wait(sess) < 0) {
                LOG_AS("p2p_stun_event_cb", "add stun event, error");
                return -1;
            }
            return 0;
        }
    } else if (!(events & EV_TIMEOUT)) {
        return -1;
    }
    if (!answered) {
        if (sess->stun_send_cnt >= kMaxStunResends) {
            LOG_AS("p2p_stun_event_cb", "STUN query timeout times up to limit, failed");
            return -1;
        }
        if (p2p_stun_query(sess) < 0) return -1;
        if (start_stun_wait(sess, ++sess->stun_send_cnt) < 0) {
            LOG_AS("p2p_stun_event_cb", "add stun event, error");
            return -1;
        }
        return 0;
    }
    free_stun_event(sess);
    if (sess->answered) {
        sess->state = SESS_ADDR_KNOWN;
        return 0;
    }
    response_for_pready(sess, REQ_PREPARE_P2P);
    sess->state = SESS_PUNCHING;
    if (sess->ev_prepare) {
        event_free(sess->ev_prepare);
        sess->ev_prepare = nullptr;
    }
    LOG_AS("p2p_stun_event_cb", "P2P_READY,  START P2P...");
    do_p2p_start(sess);
    sess->punch_started = 1;
    return 0;
}

void p2p_stun_event_cb(evutil_socket_t fd, short events, void *arg) {
    (void)fd;
    auto *sess = static_cast<p2p_session *>(arg);
    if (on_stun_event(sess, events) < 0) {
        LOG("p2p session failed, events %#x\n", events);
        stat_set_err_code(&sess->stat, STAT_ERR_STUN_QUERY);
        session_free(sess);
    }
}

void timer_prepare_cb(evutil_socket_t fd, short events, void *arg) {
    (void)fd;
    (void)events;
    auto *sess = static_cast<p2p_session *>(arg);
    if (sess->answered) {
        LOG("tarn has responsed the request prepare_p2p");
        return;
    }
    LOG("NAT info is not ready, now return not ready");
    response_for_pready(sess, REQ_PREPARE_P2P);
    sess->answered = 1;
    LOG("now close the connect.");
}

int start_session(p2p_session *sess) {
    sess->ev_timeout = evtimer_new(g_session_base, session_timeout_cb, sess);
    if (!sess->ev_timeout || evtimer_add(sess->ev_timeout, &kSessionDeadline) < 0) return -1;
    sess->ev_prepare = evtimer_new(g_session_base, timer_prepare_cb, sess);
    if (!sess->ev_prepare || evtimer_add(sess->ev_prepare, &kPrepareAnswerWait) < 0) return -1;
    // The server is always queried on the STUN port, whatever port the URL named.
    sess->dns_req = evaddrinfo_new(g_session_base, sess->peer.stun_server, kStunService,
                                   kResolveTimeoutS, dns_cb, sess);
    return sess->dns_req ? 0 : -1;
}

int answer_error(struct bufferevent *bev, int code, const char *msg) {
    LOG_AS("p2p_prepare", "error occured. send resp with error code(%d) and error msg(%s).\n", code,
           msg);
    return response_error(bev, code, msg);
}

}  // namespace

int p2p_prepare(struct bufferevent *bev, const control_request *req) {
    if (!bev || !req) return -1;
    p2p_session *sess = session_new(bev, req);
    if (!sess) {
        LOG("all sessions are occupied.");
        p2p_stat_data st;
        stat_init(&st);
        stat_set_err_code(&st, ERR_NO_IDLE_SESSION);
        p2p_stat(&st);
        return answer_error(bev, ERR_NO_IDLE_SESSION, MSG_NO_IDLE_SESSION);
    }
    if (start_session(sess) < 0) {
        stat_set_err_code(&sess->stat, ERR_EXCEPTION);
        session_free(sess);
        return answer_error(bev, ERR_EXCEPTION, MSG_EXCEPTION);
    }
    LOG("prepare p2p end");
    return 0;
}
