// The two punch machines: the main one on ctx->sock (paths 0, 1, 2) and the
// fixed-port one on ctx->fixed_sock (paths 3, 4). Each wakes on a datagram or
// on its own one-second sweep timer; the first ACK either accepts wins and
// hands over to the UDT connect step. Both run the same code; a punch_machine
// record names what sets them apart. Loop thread only.
#include <arpa/inet.h>
#include <event2/event.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "punch/udp_punch.h"
#include "stats/data_stat.h"
#include "util/codes.h"
#include "util/log.h"
#include "util/seal.h"
#include "util/utils.h"

static constexpr char log_unit[] = "udp_punch";

namespace {

// A plain session reads at most the probe text; a private one its tag too.
constexpr size_t kRecvPlain = 511;

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

// An ACK counts only from an address our SYNs went to: the peer's public IP
// (any port: its NAT or our prediction may have picked any) and, where SYNs
// went there too, its private IP. Anyone else who saw the session id in a SYN
// could otherwise win the punch and receive the stream.
bool ack_source_known(const struct udp_punch_ctx *ctx, const struct sockaddr_in &src,
                      bool private_peer) {
    in_addr_t ip = src.sin_addr.s_addr;
    return ip == ctx->peer_public.sin_addr.s_addr ||
           (private_peer && ip == ctx->peer_private.sin_addr.s_addr);
}

// The peer's probes in a private session: tagged with the peer's key, or
// refused wherever they come from.
int probe_kind(const struct udp_punch_ctx *ctx, const datagram &d) {
    const seal_session *seal = ctx->state->seal;
    return punch_probe_kind(d.buf, d.len, ctx->token, seal ? seal->keys.probe_in : nullptr);
}

// Both machines run the code below; this record is all that tells them apart.
struct punch_machine {
    const char *name;          // its event callback: the function its lines log under
    int udp_punch_ctx::*sock;  // the socket it reads and answers from
    int (*source_path)(const struct udp_punch_ctx *, const struct sockaddr_in *);
    int won;  // its value of succeeded
    int (*connect)(struct udp_punch_ctx *);
    // Main: its timer sweeps paths 0 and 1 as well as the fixed-port path;
    // the fixed-port timer only the latter.
    bool sweeps_main_paths;
    // Main only: SYNs went to the peer's private IP from sock alone.
    bool private_peer;
    // Main: the peer's NAT may map it to any port, so a probe from an unknown
    // port is answered and its ACK is as good as any. Fixed: such a SYN gets
    // nothing and such an ACK is logged as a status error, never a win.
    bool adopts_unknown;
    // Main: a receive error or a failed connect ends the session through
    // error_cb. Fixed: the code is only recorded; the main machine and the
    // session's deadline carry on.
    bool fatal;
    // Fixed only: logs each datagram's arrival and each SYN's source.
    bool logs_arrivals;
    // Its own lines; log readers match them as they are.
    const char *timeout_text;
    const char *failed_text;
    const char *succeed_text;  // followed by the peer's address
};

const punch_machine kMainMachine = {
    "punch_event_cb",
    &udp_punch_ctx::sock,
    punch_main_source_path,
    PUNCH_WON_MAIN,
    udt_async_connect,
    /*sweeps_main_paths=*/true,
    /*private_peer=*/true,
    /*adopts_unknown=*/true,
    /*fatal=*/true,
    /*logs_arrivals=*/false,
    "[PEC] Timeout",
    "punching failed",
    "UDP hole punching succeed, peer address: ",
};

const punch_machine kFixedMachine = {
    "fixed_port_punch_event_cb",
    &udp_punch_ctx::fixed_sock,
    punch_fixed_source_path,
    PUNCH_WON_FIXED,
    fixed_port_udt_async_connect,
    /*sweeps_main_paths=*/false,
    /*private_peer=*/false,
    /*adopts_unknown=*/false,
    /*fatal=*/false,
    /*logs_arrivals=*/true,
    "[FP] Timeout",
    "[FP] punching failed",
    "[FP]UDP hole punching succeed, peer address: ",
};

// A fatal failure frees everything inside error_cb: the caller returns at once.
void machine_fail(const punch_machine &m, struct udp_punch_ctx *ctx, int code) {
    stat_set_err_code(ctx->stat, code);
    LOG_AS(m.name, "%s", m.failed_text);
    if (m.fatal && ctx->error_cb) ctx->error_cb(ctx->user);
}

void answer(const punch_machine &m, struct udp_punch_ctx *ctx, const struct sockaddr_in &src) {
    stun_send_syn_ex(ctx, 1, ctx->*m.sock, src);
}

void on_syn(const punch_machine &m, struct udp_punch_ctx *ctx, const struct sockaddr_in &src) {
    int path = m.source_path(ctx, &src);
    if (path >= 0) {
        uint32_t &status = ctx->state->path_status[path];
        // Once in SYN_RECVD, the sweeps send the ACKs.
        if (status == PUNCH_IDLE || status == PUNCH_SYN_SENT) {
            status = PUNCH_SYN_RECVD;
            answer(m, ctx, src);
        }
    } else if (m.adopts_unknown) {
        LOG_AS(m.name, "From unknown port: %d\n", ntohs(src.sin_port));
        answer(m, ctx, src);
    }
    note_syn(ctx);
    if (m.logs_arrivals) LOG_AS(m.name, "recvd SYN from %s\n", sockaddr_to_str(&src));
}

void on_ack(const punch_machine &m, struct udp_punch_ctx *ctx, const struct sockaddr_in &src) {
    if (!ack_source_known(ctx, src, m.private_peer)) {
        LOG_AS(m.name, "refused ACK from %s\n", sockaddr_to_str(&src));
        return;
    }
    udp_punch_state *st = ctx->state;
    stat_set_ack_recv_time(ctx->stat, time_offset_ms(&ctx->start_time));
    LOG_AS(m.name, "recvd SYN, ACK from %s\n", sockaddr_to_str(&src));
    int path = m.source_path(ctx, &src);
    if (path >= 0) {
        uint32_t &status = st->path_status[path];
        if (status == PUNCH_SYN_SENT || status == PUNCH_SYN_RECVD) {
            status = PUNCH_ACK_RECVD;
            answer(m, ctx, src);
            st->winner = path;
        }
    } else if (m.adopts_unknown) {
        LOG_AS(m.name, "From unknown port: %d\n", ntohs(src.sin_port));
        answer(m, ctx, src);
    } else {
        LOG_AS(m.name, "[FP] punching status error: %d\n", st->path_status[st->winner]);
        return;
    }
    if (st->succeeded) return;
    st->succeeded = m.won;
    st->peer_addr = src;
    LOG_AS(m.name, "%s%s\n", m.succeed_text, sockaddr_to_str(&src));
    stat_set_src_addr_recv(ctx->stat, ip_to_str(ntohl(src.sin_addr.s_addr)), ntohs(src.sin_port));
    stat_enter_stream_stage(ctx->stat);
    if (m.connect(ctx) < 0) machine_fail(m, ctx, STAT_ERR_UDT_CONNECT);
}

// One activation: the sweep timer's, or a datagram on the machine's socket.
void run_machine(const punch_machine &m, int fd, short what, struct udp_punch_ctx *ctx) {
    if (what & EV_TIMEOUT) {
        LOG_AS(m.name, "%s", m.timeout_text);
        if (m.sweeps_main_paths) stun_send_syn_all(ctx);
        stun_send_syn_all_fixed_port(ctx);
        return;
    }
    if (m.logs_arrivals) LOG_AS(m.name, "[FP] Data comming");
    datagram d;
    int got = receive(m.name, ctx, fd, &d);
    if (got < 0) {
        machine_fail(m, ctx, STAT_ERR_PUNCH_RECV);
        return;
    }
    if (got == 0) return;
    switch (probe_kind(ctx, d)) {
        case PUNCH_SYN:
            on_syn(m, ctx, d.src);
            break;
        case PUNCH_ACK:
            on_ack(m, ctx, d.src);
            break;
        case PUNCH_REFUSED:
            LOG_AS(m.name, "refused probe without a valid tag from %s\n", sockaddr_to_str(&d.src));
            break;
        default:
            LOG_AS(m.name, "recvd trash data(%d bytes) from %s\n", d.len, sockaddr_to_str(&d.src));
            break;
    }
}

void punch_event_cb(evutil_socket_t fd, short what, void *arg) {
    run_machine(kMainMachine, fd, what, static_cast<udp_punch_ctx *>(arg));
}

void fixed_port_punch_event_cb(evutil_socket_t fd, short what, void *arg) {
    run_machine(kFixedMachine, fd, what, static_cast<udp_punch_ctx *>(arg));
}

// A machine's two events: reads on its socket, and its sweeps every second
// on a timer of their own. A datagram does not restart the second: a peer
// probing faster than once a second, or a flood of junk, would otherwise
// starve the sweeps that repeat a lost ACK.
constexpr struct timeval kSweepPeriod = {1, 1};  // 1 s and 1 µs

bool arm(struct udp_punch_ctx *ctx, int fd, event_callback_fn cb, struct event **reader,
         struct event **sweeper) {
    *reader = event_new(ctx->base, fd, EV_READ | EV_PERSIST, cb, ctx);
    if (!*reader || event_add(*reader, nullptr) < 0) return false;
    *sweeper = event_new(ctx->base, -1, EV_PERSIST, cb, ctx);
    return *sweeper && event_add(*sweeper, &kSweepPeriod) == 0;
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
