// The two punch machines: the main one on ctx->sock (paths 0, 1, 2) and the
// fixed-port one on ctx->fixed_sock (paths 3, 4). Each wakes on a datagram or
// on its own one-second sweep timer; the first ACK either accepts wins and
// hands over to the UDT connect step. Loop thread only.
#include <arpa/inet.h>
#include <event2/event.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "punch/udp_punch.h"
#include "control/libcloud.h"
#include "stats/data_stat.h"
#include "util/log.h"
#include "util/seal.h"
#include "util/utils.h"

static constexpr char log_unit[] = "udp_punch";

namespace {

// A plain session reads at most the probe text; a private one its tag too.
constexpr size_t kRecvPlain = 511;

void punch_event_cb(evutil_socket_t fd, short what, void *arg);
void fixed_port_punch_event_cb(evutil_socket_t fd, short what, void *arg);

struct datagram {
    char buf[PUNCH_PROBE_MAX + 1];
    int len;
    struct sockaddr_in src;
};

// 1 with a datagram in d, 0 for nothing now, -1 on a socket failure (logged
// under the machine's name).
int receive(const char *machine, const struct udp_punch_ctx *ctx, int fd, datagram *d) {
    memset(d, 0, sizeof(*d));
    socklen_t slen = sizeof(d->src);
    size_t max = ctx->state->seal ? PUNCH_PROBE_MAX : kRecvPlain;
    ssize_t n = recvfrom(fd, d->buf, max, MSG_DONTWAIT,
                         reinterpret_cast<struct sockaddr *>(&d->src), &slen);
    if (n < 0) {
        int err = errno;
        LOG_AS(machine, "recvfrom failed, fd:%d, sock_errno:%d\n", fd, err);
        return err == EINTR || err == EAGAIN ? 0 : -1;
    }
    d->len = static_cast<int>(n);
    return 1;
}

void note_syn(struct udp_punch_ctx *ctx) {
    if (ctx->syn_seen) return;
    stat_set_syn_recv_time(ctx->stat, time_offset_ms(&ctx->start_time));
    ctx->syn_seen = 1;
}

void note_success(struct udp_punch_ctx *ctx, const struct sockaddr_in &src) {
    stat_set_src_addr_recv(ctx->stat, ip_to_str(ntohl(src.sin_addr.s_addr)), ntohs(src.sin_port));
    stat_enter_stream_stage(ctx->stat);
}

// Fatal for the main machine: the owner frees everything inside error_cb.
void punch_fail(struct udp_punch_ctx *ctx, int code) {
    stat_set_err_code(ctx->stat, code);
    LOG_AS("punch_event_cb", "punching failed");
    if (ctx->error_cb) ctx->error_cb(ctx->user);
}

// Holds back a success from a private source other than the reference while
// the LAN path is under way. The reference is peer_addr, i.e. the ACK's own
// source, so the check never holds: with peer_private as reference, an ACK
// from an intermediate NAT's private address (a router behind a router) would
// be held for good once it had opened path 0, and the punch would fail where
// the first ACK works.
bool lan_preference_holds(const struct udp_punch_ctx *ctx, const struct sockaddr_in &src) {
    const udp_punch_state *st = ctx->state;
    return punch_addr_is_private(&src) && st->path_status[PUNCH_PATH_PRIVATE] >= PUNCH_SYN_RECVD &&
           src.sin_addr.s_addr != st->peer_addr.sin_addr.s_addr;
}

// An ACK counts only from an address our SYNs went to: the peer's public IP
// (any port: its NAT or our prediction may have picked any) and, on the main
// socket, its private IP. Anyone else who saw the session id in a SYN could
// otherwise win the punch and receive the stream.
bool ack_source_known(const struct udp_punch_ctx *ctx, const struct sockaddr_in &src,
                      bool main_sock) {
    in_addr_t ip = src.sin_addr.s_addr;
    return ip == ctx->peer_public.sin_addr.s_addr ||
           (main_sock && ip == ctx->peer_private.sin_addr.s_addr);
}

void refuse_ack(const char *machine, const struct sockaddr_in &src) {
    LOG_AS(machine, "refused ACK from %s\n", sockaddr_to_str(&src));
}

// The peer's probes in a private session: tagged with the peer's key, or
// refused wherever they come from.
int probe_kind(const struct udp_punch_ctx *ctx, const datagram &d) {
    const seal_session *seal = ctx->state->seal;
    return punch_probe_kind(d.buf, d.len, ctx->token, seal ? seal->keys.probe_in : nullptr);
}

void main_on_syn(struct udp_punch_ctx *ctx, const struct sockaddr_in &src) {
    int path = punch_main_source_path(ctx, &src);
    if (path >= 0) {
        uint32_t &status = ctx->state->path_status[path];
        // Once in SYN_RECVD, the sweeps send the ACKs.
        if (status == PUNCH_IDLE || status == PUNCH_SYN_SENT) {
            status = PUNCH_SYN_RECVD;
            stun_send_syn_ex(ctx, 1, ctx->sock, src);
        }
    } else {
        LOG_AS("punch_event_cb", "From unknown port: %d\n", ntohs(src.sin_port));
        stun_send_syn_ex(ctx, 1, ctx->sock, src);
    }
    note_syn(ctx);
}

void main_on_ack(struct udp_punch_ctx *ctx, const struct sockaddr_in &src) {
    if (!ack_source_known(ctx, src, true)) {
        refuse_ack("punch_event_cb", src);
        return;
    }
    udp_punch_state *st = ctx->state;
    st->peer_addr = src;
    stat_set_ack_recv_time(ctx->stat, time_offset_ms(&ctx->start_time));
    LOG_AS("punch_event_cb", "recvd SYN, ACK from %s\n", sockaddr_to_str(&src));
    int path = punch_main_source_path(ctx, &src);
    if (path >= 0) {
        uint32_t &status = st->path_status[path];
        if (status == PUNCH_SYN_SENT || status == PUNCH_SYN_RECVD) {
            status = PUNCH_ACK_RECVD;
            stun_send_syn_ex(ctx, 1, ctx->sock, src);
            st->winner = path;
        }
    } else {
        // The peer's NAT may map it to any port; its ACK is as good as any.
        LOG_AS("punch_event_cb", "From unknown port: %d\n", ntohs(src.sin_port));
        stun_send_syn_ex(ctx, 1, ctx->sock, src);
    }
    if (lan_preference_holds(ctx, src)) {
        LOG_AS("punch_event_cb",
               "Prefer local to remote/harpin connections, waiting for lan punching");
        return;
    }
    if (st->succeeded) return;
    st->succeeded = PUNCH_WON_MAIN;
    LOG_AS("punch_event_cb", "UDP hole punching succeed, peer address: %s\n",
           sockaddr_to_str(&st->peer_addr));
    note_success(ctx, src);
    if (udt_async_connect(ctx) < 0) punch_fail(ctx, STAT_ERR_UDT_CONNECT);
}

void punch_event_cb(evutil_socket_t fd, short what, void *arg) {
    auto *ctx = static_cast<udp_punch_ctx *>(arg);
    // The sweep timer's activations; reads come from the socket's event.
    if (what & EV_TIMEOUT) {
        LOG("[PEC] Timeout");
        stun_send_syn_all(ctx);
        stun_send_syn_all_fixed_port(ctx);
        return;
    }
    if (!(what & EV_READ)) return;
    datagram d;
    int got = receive(__func__, ctx, fd, &d);
    if (got < 0) {
        punch_fail(ctx, STAT_ERR_PUNCH_RECV);
        return;
    }
    if (got == 0) return;
    switch (probe_kind(ctx, d)) {
        case PUNCH_SYN:
            main_on_syn(ctx, d.src);
            break;
        case PUNCH_ACK:
            main_on_ack(ctx, d.src);
            break;
        case PUNCH_REFUSED:
            LOG("refused probe without a valid tag from %s\n", sockaddr_to_str(&d.src));
            break;
        default:
            LOG("recvd trash data(%d bytes) from %s\n", d.len, sockaddr_to_str(&d.src));
            break;
    }
}

void fixed_on_syn(struct udp_punch_ctx *ctx, const struct sockaddr_in &src) {
    int path = punch_fixed_source_path(ctx, &src);
    if (path >= 0) {
        uint32_t &status = ctx->state->path_status[path];
        if (status == PUNCH_IDLE || status == PUNCH_SYN_SENT) {
            status = PUNCH_SYN_RECVD;
            stun_send_syn_ex(ctx, 1, ctx->fixed_sock, src);
        }
    }
    note_syn(ctx);
    LOG_AS("fixed_port_punch_event_cb", "recvd SYN from %s\n", sockaddr_to_str(&src));
}

void fixed_on_ack(struct udp_punch_ctx *ctx, const struct sockaddr_in &src) {
    if (!ack_source_known(ctx, src, false)) {
        refuse_ack("fixed_port_punch_event_cb", src);
        return;
    }
    udp_punch_state *st = ctx->state;
    stat_set_ack_recv_time(ctx->stat, time_offset_ms(&ctx->start_time));
    LOG_AS("fixed_port_punch_event_cb", "recvd SYN, ACK from %s\n", sockaddr_to_str(&src));
    int path = punch_fixed_source_path(ctx, &src);
    if (path < 0) {
        LOG_AS("fixed_port_punch_event_cb", "[FP] punching status error: %d\n",
               st->path_status[st->winner]);
        return;
    }
    uint32_t &status = st->path_status[path];
    if (status == PUNCH_SYN_SENT || status == PUNCH_SYN_RECVD) {
        status = PUNCH_ACK_RECVD;
        stun_send_syn_ex(ctx, 1, ctx->fixed_sock, src);
        st->winner = path;
    }
    if (st->succeeded) return;
    st->succeeded = PUNCH_WON_FIXED;
    st->peer_addr = src;
    LOG_AS("fixed_port_punch_event_cb", "[FP]UDP hole punching succeed, peer address: %s\n",
           sockaddr_to_str(&src));
    note_success(ctx, src);
    if (fixed_port_udt_async_connect(ctx) < 0) {
        // Not fatal here: the session's deadline ends the attempt.
        stat_set_err_code(ctx->stat, STAT_ERR_UDT_CONNECT);
        LOG_AS("fixed_port_punch_event_cb", "[FP] punching failed");
    }
}

void fixed_port_punch_event_cb(evutil_socket_t fd, short what, void *arg) {
    auto *ctx = static_cast<udp_punch_ctx *>(arg);
    if (what & EV_TIMEOUT) {
        LOG("[FP] Timeout");
        stun_send_syn_all_fixed_port(ctx);
        return;
    }
    if (!(what & EV_READ)) {
        LOG("[FP] punching failed");
        return;
    }
    LOG("[FP] Data comming");
    datagram d;
    int got = receive(__func__, ctx, fd, &d);
    if (got < 0) {
        stat_set_err_code(ctx->stat, STAT_ERR_PUNCH_RECV);
        LOG("[FP] punching failed");
        return;
    }
    if (got == 0) return;
    switch (probe_kind(ctx, d)) {
        case PUNCH_SYN:
            fixed_on_syn(ctx, d.src);
            break;
        case PUNCH_ACK:
            fixed_on_ack(ctx, d.src);
            break;
        case PUNCH_REFUSED:
            LOG("refused probe without a valid tag from %s\n", sockaddr_to_str(&d.src));
            break;
        default:
            LOG("recvd trash data(%d bytes) from %s\n", d.len, sockaddr_to_str(&d.src));
            break;
    }
}

// A machine's two events: reads on its socket, and its sweeps every second
// on a timer of their own. A datagram does not restart the second: a peer
// probing faster than once a second, or a flood of junk, would otherwise
// starve the sweeps that repeat a lost ACK.
bool arm(struct udp_punch_ctx *ctx, int fd, event_callback_fn cb, struct event **reader,
         struct event **sweeper) {
    *reader = event_new(ctx->base, fd, EV_READ | EV_PERSIST, cb, ctx);
    if (!*reader || event_add(*reader, nullptr) < 0) return false;
    *sweeper = event_new(ctx->base, -1, EV_PERSIST, cb, ctx);
    struct timeval tv = {1, 1};
    return *sweeper && event_add(*sweeper, &tv) == 0;
}

}  // namespace

int udp_punch(struct udp_punch_ctx *ctx) {
    if (!ctx || !ctx->state) return -1;
    udp_punch_state *st = ctx->state;
    // Events made before a failure are freed by udp_punch_clear_internal.
    if (!arm(ctx, ctx->sock, punch_event_cb, &st->ev_main, &st->ev_main_sweep)) {
        LOG("create evstun event, error");
        return -1;
    }
    if (!arm(ctx, ctx->fixed_sock, fixed_port_punch_event_cb, &st->ev_fixed, &st->ev_fixed_sweep)) {
        LOG("create evstun event, error");
        return -1;
    }
    stun_send_syn_low_ttl(ctx);
    stun_send_syn_all(ctx);
    stun_send_syn_all_fixed_port(ctx);
    return 0;
}
