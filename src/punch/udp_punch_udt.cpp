// The UDT phase: a rendezvous UDT socket bound onto the winning UDP socket,
// and a 15 ms tick that reports the connection and pumps bytes both ways.
//
// Threads: everything here runs on the loop thread. UDT sends, receives and
// retransmits on its own threads behind udt_send/udt_recv and owns the UDP
// socket from udt_bind2 on; we only poll its state and buffer levels, so no
// lock of ours is involved.
#include <arpa/inet.h>
#include <event2/buffer.h>
#include <event2/event.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "punch/udp_punch.h"
#include "punch/udt_api.h"
#include "control/libcloud.h"
#include "stats/data_stat.h"
#include "stun/stun.h"
#include "util/log.h"
#include "util/seal.h"
#include "util/tunables.h"
#include "util/utils.h"

static constexpr char log_unit[] = "udp_punch";

namespace {

constexpr int kMss = 1420;
// UDT's send buffer, in bytes; it holds it as packets of MSS - 28.
constexpr int kUdtSendBuf = 262144;
// The kernel's send buffer under UDT's UDP socket.
constexpr int kUdpSendBuf = 131072;
// UDT's receive buffer (bytes) and flight window (packets), both at UDT's
// floor of 32 packets: it raises a smaller receive buffer to that.
constexpr int kUdtRecvBuf = 16384;
constexpr int kFlightPackets = 32;
// The kernel's receive buffer under UDT's UDP socket. Not 8192: with
// talk-back on a loaded device that dropped the stream's acknowledgements
// and the talk-back (docs/performance.md). The kernel's own default; it
// costs memory only while datagrams wait.
constexpr int kUdpRecvBuf = 212992;
// Read per tick: at most one chunk from the peer, chunks of this size from
// the local side while the send buffer takes them.
constexpr int kPeerChunk = 2048;
constexpr int kLocalChunk = 8192;
// UDT4 counts its send buffer in packets of MSS - 28 bytes (IP and UDP
// headers) and fills each with at most MSS - 44 (its own header too).
constexpr int kUdpIpHeader = 28;
constexpr int kUdtHeader = 16;
// The tick that reports the connection and pumps both ways.
constexpr struct timeval kUdtTick = {0, 15000};

struct udt_option {
    int id;
    int value;
    bool fatal;
};

// Both ends must agree on these; tarn-peer builds its socket here too.
const udt_option kUdtOptions[] = {
    {UDT_OPT_RENDEZVOUS, 1, true},
    {UDT_OPT_MSS, kMss, true},
    {UDT_OPT_RCVSYN, 0, true},  // also makes connect non-blocking
    {UDT_OPT_SNDBUF, kUdtSendBuf, false},
    {UDT_OPT_UDP_SNDBUF, kUdpSendBuf, false},
    {UDT_OPT_RCVBUF, kUdtRecvBuf, false},
    {UDT_OPT_UDP_RCVBUF, kUdpRecvBuf, false},
    {UDT_OPT_FC, kFlightPackets, false},
};

bool udt_gone(int state) {
    return state == UDT_STATE_CLOSED || state == UDT_STATE_NONEXIST;
}

// A 4-byte option, or -1 in *value when it cannot be read.
int udt_get_int(int u, int id, int *value) {
    int len = sizeof(*value);
    return udt_getsockopt(u, 0, id, value, &len);
}

void udt_event_cb(evutil_socket_t fd, short what, void *arg);

int deliver_local(void *arg, const uint8_t *data, size_t len) {
    auto *ctx = static_cast<udp_punch_ctx *>(arg);
    if (!ctx->write_local) return -1;
    return ctx->write_local(ctx->user, reinterpret_cast<const char *>(data), static_cast<int>(len));
}

// A private session's stream to the peer opens with its header, sent when
// UDT comes up into a send buffer that is still empty.
int send_seal_header(udp_punch_state *st) {
    uint8_t header[SEAL_HEADER_BYTES];
    seal_push_init(&st->seal->push, st->seal->keys.stream_out, header);
    int n = udt_send(st->udt, reinterpret_cast<const char *>(header), sizeof(header), 0);
    return n == static_cast<int>(sizeof(header)) ? 0 : -1;
}

// Peer to local: at most one chunk per tick.
int read_peer_data(struct udp_punch_ctx *ctx) {
    int u = ctx->state->udt;
    if (udt_gone(udt_getsockstate(u))) return 0;
    int waiting = -1;
    if (udt_get_int(u, UDT_OPT_RCVDATA, &waiting) < 0 || waiting <= 0) return 0;
    char buf[kPeerChunk];
    int n = udt_recv(u, buf, sizeof(buf), 0);
    if (n == -1 && udt_getlasterror_code() == EASYNCRCV) return 0;
    if (n <= 0) {
        stat_set_stop_reason(ctx->stat, STOP_UDT);
        return -1;
    }
    int rc = 0;
    if (seal_session *seal = ctx->state->seal) {
        rc = seal_pull_feed(&seal->pull, reinterpret_cast<const uint8_t *>(buf),
                            static_cast<size_t>(n), deliver_local, ctx);
        if (rc == SEAL_BAD) {
            stat_set_stop_reason(ctx->stat, STOP_UNAUTHENTIC);
            LOG("stream from %s failed to authenticate\n", sockaddr_to_str(&ctx->state->peer_addr));
            return -1;
        }
    } else {
        rc = deliver_local(ctx, reinterpret_cast<const uint8_t *>(buf), static_cast<size_t>(n));
    }
    if (rc < 0) {
        stat_set_stop_reason(ctx->stat, STOP_MEDIA_IO);
        return -1;
    }
    return 0;
}

// The send buffer as the handshake left it: UDT takes the smaller of the
// two MSS, so a packet may carry less than our own 1420 would give.
void learn_send_buffer(udp_punch_state *st) {
    int mss = kMss;
    int bytes = 0;
    if (udt_get_int(st->udt, UDT_OPT_MSS, &mss) < 0 || mss <= kUdpIpHeader + kUdtHeader) mss = kMss;
    if (udt_get_int(st->udt, UDT_OPT_SNDBUF, &bytes) < 0 || bytes <= 0) {
        bytes = kUdtSendBuf / (kMss - kUdpIpHeader) * (mss - kUdpIpHeader);
    }
    st->send_slots = bytes / (mss - kUdpIpHeader);
    st->slot_bytes = mss - kUdpIpHeader - kUdtHeader;
}

// Room in the send buffer, in bytes, into *room (0 or less: full); false when
// UDT is gone or cannot say.
bool send_room(udp_punch_state *st, long *room) {
    if (udt_gone(udt_getsockstate(st->udt))) return false;
    int packets = 0;
    if (udt_get_int(st->udt, UDT_OPT_SNDDATA, &packets) < 0) return false;
    *room = static_cast<long>(st->send_slots - packets) * st->slot_bytes;
    return true;
}

// Local to peer: as much as the local side has and the send buffer takes.
// What does not fit stays in the local socket for a later tick; what UDT
// took only in part waits in out_buf and goes first.
int read_local_data(struct udp_punch_ctx *ctx) {
    if (!ctx->local_ready || !ctx->local_ready(ctx->user)) return 0;
    udp_punch_state *st = ctx->state;
    char buf[kLocalChunk];
    uint8_t frame[kLocalChunk + SEAL_FRAME_OVERHEAD];
    for (;;) {
        long room = 0;
        if (!send_room(st, &room) || room <= 0) {
            stat_set_stop_reason(ctx->stat, STOP_PAUSED);
            return 0;
        }
        size_t want = static_cast<size_t>(std::min<long>(room, kLocalChunk));
        size_t left = evbuffer_get_length(st->out_buf);
        const char *data = buf;
        int len = 0;
        if (left > 0) {
            len = static_cast<int>(std::min(left, want));
            data = reinterpret_cast<const char *>(evbuffer_pullup(st->out_buf, len));
        } else {
            // A private session reads what fits in the room once sealed.
            long cap = st->seal ? std::min<long>(room - static_cast<long>(SEAL_FRAME_OVERHEAD),
                                                 static_cast<long>(SEAL_FRAME_MAX))
                                : static_cast<long>(want);
            if (cap <= 0) {
                stat_set_stop_reason(ctx->stat, STOP_PAUSED);
                return 0;
            }
            len = ctx->read_local ? ctx->read_local(ctx->user, buf, static_cast<int>(cap)) : 0;
            if (len < 0) {
                LOG("recv data from local server failed.");
                return -1;
            }
            if (len == 0) return 0;
            if (st->seal) {
                len = seal_push_frame(&st->seal->push, reinterpret_cast<const uint8_t *>(buf),
                                      static_cast<size_t>(len), frame);
                data = reinterpret_cast<const char *>(frame);
            }
        }
        int n = data ? udt_send(st->udt, data, len, 0) : -1;
        if (n < 0) {
            stat_set_stop_reason(ctx->stat, STOP_UDT);
            return -1;
        }
        if (left > 0) {
            evbuffer_drain(st->out_buf, static_cast<size_t>(n));
        } else if (n < len) {
            evbuffer_add(st->out_buf, data + n, static_cast<size_t>(len - n));
        }
        if (n < len) return 0;  // the buffer is full: the rest waits for a later tick
    }
}

// A viewer that stops reading stops acknowledging, while UDT keep-alives
// hold the connection up: true once the send buffer has stayed full for the
// limit. Any tick that finds room starts the count again.
bool send_stalled(udp_punch_state *st) {
    long room = 0;
    if (!send_room(st, &room) || room > 0) {
        st->stall_since_ms = 0;
        return false;
    }
    int64_t now = monotonic_ms();
    if (!st->stall_since_ms) st->stall_since_ms = now;
    return now - st->stall_since_ms >= static_cast<int64_t>(tarn_send_stall_sec) * 1000;
}

// The winner's addresses in the statistics use the fixed ports when the
// fixed-port sockets carried the punch; the probe-port snapshot is kept fresh.
void refresh_stats(struct udp_punch_ctx *ctx) {
    p2p_stat_data *st = ctx->stat;
    int winner = ctx->state->winner;
    if (winner == PUNCH_PATH_S_TO_F || winner == PUNCH_PATH_F_TO_F) {
        if (const prepare_p2p_params *peer = ctx->peer) {
            int port = get_fixed_port(peer->peer_pri_port);
            stat_set_app_addr(st, peer->peer_pub_ip, port, peer->peer_pri_ip, port,
                              peer->peer_nat_type);
        }
    }
    if (winner == PUNCH_PATH_F_TO_S || winner == PUNCH_PATH_F_TO_F) {
        if (const pready_record *self = ctx->self) {
            int port = get_fixed_port(self->pri_port);
            stat_set_dev_addr(st, self->pub_ip, port, self->pri_ip, port, self->nat_type);
        }
    }
    int probe[STUN_PROBE_FIELDS];
    STUN_copy_probe_data(probe);
    stat_set_public_ports(st, probe);
}

void fail(struct udp_punch_ctx *ctx, const char *what) {
    LOG_AS("udt_event_cb", "%s", what);
    if (ctx->error_cb) ctx->error_cb(ctx->user);
}

void udt_event_cb(evutil_socket_t fd, short what, void *arg) {
    (void)fd;
    (void)what;
    auto *ctx = static_cast<udp_punch_ctx *>(arg);
    udp_punch_state *st = ctx->state;
    refresh_stats(ctx);
    struct sockaddr_in peer = st->succeeded == PUNCH_WON_FIXED ? ctx->peer_fixed : st->peer_addr;

    int state = udt_getsockstate(st->udt);
    if (!udt_gone(state) && udt_get_int(st->udt, UDT_OPT_STATE, &state) < 0) state = -1;
    uint32_t &status = st->path_status[st->winner];
    if (state != UDT_STATE_CONNECTED) {
        if (!(status & PUNCH_UDT_CONNECTED)) {
            // Still connecting; the owner's deadline ends a connect that never comes.
            stat_set_stop_reason(ctx->stat, STOP_NEVER_CONNECTED);
            return;
        }
        stat_set_stop_reason(ctx->stat, STOP_UDT);
        LOG("udt io-error, errcode %d\n", udt_getlasterror_code());
        if (ctx->error_cb) ctx->error_cb(ctx->user);
        return;
    }
    if (!(status & PUNCH_UDT_CONNECTED)) {
        LOG("udt_connect OK, peer address: %s\n", sockaddr_to_str(&peer));
        status = PUNCH_UDT_CONNECTED;
        learn_send_buffer(st);
        stat_set_udt_connected_time(ctx->stat, time_offset_ms(&ctx->start_time));
        if (ctx->succeed_cb && ctx->succeed_cb(ctx->user, &peer) < 0) {
            fail(ctx, "udt succeed_cb failed.");
            return;
        }
        if (st->seal && send_seal_header(st) < 0) {
            stat_set_stop_reason(ctx->stat, STOP_UDT);
            fail(ctx, "udt send header failed.");
            return;
        }
    }
    if (read_peer_data(ctx) < 0) {
        fail(ctx, "read_peer_data failed.");
        return;
    }
    stat_set_recv_msg_time(ctx->stat, time_offset_ms(&ctx->start_time));
    if (read_local_data(ctx) < 0) {
        fail(ctx, "read_local_data failed.");
        return;
    }
    if (send_stalled(st)) {
        stat_set_stop_reason(ctx->stat, STOP_UDT);
        LOG("udt send stalled for %d s\n", tarn_send_stall_sec);
        if (ctx->error_cb) ctx->error_cb(ctx->user);
    }
}

// The connect step of either machine: the winner's event becomes the tick,
// the loser's event and socket go, UDT takes the winner's socket. Logs under
// the name of the machine's connect call.
int connect_step(const char *who, struct udp_punch_ctx *ctx, struct event *ev_win, int fd_win,
                 struct event **ev_other, int *fd_other) {
    udp_punch_state *st = ctx->state;
    if (!ev_win) return -1;
    udp_punch_stop_sweeps(st);
    event_del(ev_win);
    event_assign(ev_win, ctx->base, -1, EV_TIMEOUT | EV_PERSIST, udt_event_cb, ctx);
    if (event_add(ev_win, &kUdtTick) < 0) return -1;
    if (*ev_other) {
        event_free(*ev_other);
        *ev_other = nullptr;
    }
    if (*fd_other >= 0) {
        close(*fd_other);
        *fd_other = -1;
    }
    st->udt = build_udt_socket(fd_win);
    if (st->udt < 0) {
        LOG_AS(who, "Error build udt socket: %d\n", st->udt);
        return -1;
    }
    LOG_AS(who, "udt connect to %s...\n", sockaddr_to_str(&st->peer_addr));
    if (udt_connect(st->udt, reinterpret_cast<const struct sockaddr *>(&st->peer_addr),
                    sizeof(st->peer_addr)) < 0) {
        return -1;
    }
    return 0;
}

}  // namespace

int build_udt_socket(int udp_fd) {
    int u = udt_socket(AF_INET, SOCK_STREAM, 0);
    if (u < 0) {
        LOG("udt_socket failed, errcode %d\n", udt_getlasterror_code());
        return -1;
    }
    for (const udt_option &opt : kUdtOptions) {
        if (udt_setsockopt(u, 0, opt.id, &opt.value, sizeof(opt.value)) < 0 && opt.fatal) {
            LOG("udt_setsockopt failed, errcode %d\n", udt_getlasterror_code());
            udt_close(u);
            return -1;
        }
    }
    // Closing must never wait for the peer: UDT's default linger holds
    // udt_close, and with it the loop, up to 180 s while unsent data remains.
    const struct linger no_linger = {0, 0};
    udt_setsockopt(u, 0, UDT_OPT_LINGER, &no_linger, sizeof(no_linger));
    if (udp_fd == -1) return u;
    // UDT's receive thread relies on a blocking socket with its own timeout.
    int flags = fcntl(udp_fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK)) fcntl(udp_fd, F_SETFL, flags & ~O_NONBLOCK);
    if (udt_bind2(u, udp_fd) < 0) {
        LOG("udt_bind2 failed, errcode %d\n", udt_getlasterror_code());
        udt_close(u);
        return -1;
    }
    return u;
}

int udt_async_connect(struct udp_punch_ctx *ctx) {
    if (!ctx || !ctx->state) return -1;
    udp_punch_state *st = ctx->state;
    return connect_step(__func__, ctx, st->ev_main, ctx->sock, &st->ev_fixed, &ctx->fixed_sock);
}

int fixed_port_udt_async_connect(struct udp_punch_ctx *ctx) {
    if (!ctx || !ctx->state) return -1;
    udp_punch_state *st = ctx->state;
    return connect_step(__func__, ctx, st->ev_fixed, ctx->fixed_sock, &st->ev_main, &ctx->sock);
}
