// Punch context lifecycle and the probe datagrams: one probe, the sweeps over
// the five paths, the low-TTL burst, and the tests the machines apply to what
// they receive. Loop thread only.
#include <arpa/inet.h>
#include <event2/buffer.h>
#include <event2/event.h>
#include <netinet/ip.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "punch/udp_punch.h"
#include "punch/udt_api.h"
#include "control/libcloud.h"
#include "stats/data_stat.h"
#include "stun/stun.h"
#include "util/log.h"
#include "util/seal.h"
#include "util/utils.h"

static constexpr char log_unit[] = "udp_punch";

namespace {

// A probe is the token cut to this many characters, then a zero byte.
constexpr size_t kProbeText = 511;
constexpr int kLowTtl = 5;
constexpr int kLowTtlRounds = 3;
constexpr int kPredictAfter = 3;  // prediction from the fourth sweep on
constexpr int kPredictPorts = 5;

void close_fd(int *fd) {
    if (*fd >= 0) {
        close(*fd);
        *fd = -1;
    }
}

// The sweep rule of one path: SYN while idle or SYN sent, ACK once the peer's
// SYN came in on it; an open path is not probed any more. True for a SYN.
// `sweep` names the sweep for its log line.
bool sweep_path(const char *sweep, struct udp_punch_ctx *ctx, int path, int fd,
                const struct sockaddr_in &dest) {
    uint32_t &status = ctx->state->path_status[path];
    if (status == PUNCH_IDLE || status == PUNCH_SYN_SENT) {
        stun_send_syn_ex(ctx, 0, fd, dest);
        status = PUNCH_SYN_SENT;
        return true;
    }
    if (status == PUNCH_SYN_RECVD) {
        stun_send_syn_ex(ctx, 1, fd, dest);
    } else {
        LOG_AS(sweep, "Should not be here!");
    }
    return false;
}

// Sets the TTL of fd to ttl and returns the old one in *saved; -1 on failure.
int lower_ttl(int fd, int ttl, int *saved) {
    socklen_t len = sizeof(*saved);
    if (getsockopt(fd, IPPROTO_IP, IP_TTL, saved, &len) < 0) return -1;
    return setsockopt(fd, IPPROTO_IP, IP_TTL, &ttl, sizeof(ttl));
}

void restore_ttl(int fd, int ttl) {
    setsockopt(fd, IPPROTO_IP, IP_TTL, &ttl, sizeof(ttl));
}

// Sweeps of path 1 before the ports above the peer's public one are probed
// too. A peer that reports a mapping that changes with the destination is
// never at the port its STUN server saw, so waiting for it there only costs
// three seconds: its predicted ports go out from the first sweep.
int predict_after(const struct udp_punch_ctx *ctx) {
    const prepare_p2p_params *peer = ctx->peer;
    return peer && peer->peer_nat_type == NatDependentMapping ? 0 : kPredictAfter;
}

}  // namespace

size_t punch_build_probe(const char *token, int is_ack, const unsigned char *tag_key, char *buf) {
    memset(buf, 0, kProbeText + 1);
    size_t n = strnlen(token, kProbeText);
    memcpy(buf, token, n);
    if (is_ack) buf[0] = static_cast<char>(static_cast<unsigned char>(buf[0]) + 1);
    if (!tag_key) return n + 1;
    seal_probe_tag(tag_key, is_ack, token, n, reinterpret_cast<uint8_t *>(buf) + n + 1);
    return n + 1 + SEAL_TAG_BYTES;
}

int get_fixed_port(int port) {
    if (port <= 64535) return port + 1000;
    return ((port + 1000) % 65536) + 49152;
}

int udp_punch_init_internal(struct udp_punch_ctx *ctx) {
    if (!ctx || !ctx->base || ctx->sock < 0) return -1;
    if (ctx->state) udp_punch_clear_internal(ctx);
    auto *st = static_cast<udp_punch_state *>(calloc(1, sizeof(udp_punch_state)));
    if (!st) return -1;
    st->udt = -1;
    ctx->state = st;
    if (ctx->session_key && !(st->seal = seal_session_new(ctx->session_key, SEAL_DEVICE))) {
        udp_punch_clear_internal(ctx);
        return -1;
    }
    st->out_buf = evbuffer_new();
    if (!st->out_buf) {
        LOG("create evbuf_out, error");
        udp_punch_clear_internal(ctx);
        return -1;
    }
    return 0;
}

void udp_punch_stop_sweeps(struct udp_punch_state *st) {
    for (struct event **ev : {&st->ev_main_sweep, &st->ev_fixed_sweep}) {
        if (*ev) event_free(*ev);
        *ev = nullptr;
    }
}

int udp_punch_clear_internal(struct udp_punch_ctx *ctx) {
    if (!ctx || !ctx->state) return -1;
    udp_punch_state *st = ctx->state;
    if (st->ev_main) event_free(st->ev_main);
    if (st->ev_fixed) event_free(st->ev_fixed);
    udp_punch_stop_sweeps(st);
    if (st->udt == -1) {
        close_fd(&ctx->sock);
        close_fd(&ctx->fixed_sock);
    } else {
        int state = udt_getsockstate(st->udt);
        LOG("udt(%d) state is %d\n ", st->udt, state);
        if (state != UDT_STATE_CLOSED && state != UDT_STATE_NONEXIST) {
            LOG("close udt :%d\n", st->udt);
            udt_close(st->udt);
            st->udt = -1;
        }
        // UDT closes the UDP socket it was bound to, later, on its own
        // thread; closing it here too could hit a reused descriptor.
        ctx->sock = -1;
        ctx->fixed_sock = -1;
    }
    if (st->out_buf) {
        stat_set_data_buf_sent(ctx->stat, static_cast<int32_t>(evbuffer_get_length(st->out_buf)));
        evbuffer_free(st->out_buf);
    }
    seal_session_free(st->seal);
    free(st);
    ctx->state = nullptr;
    return 0;
}

int stun_send_syn_ex(struct udp_punch_ctx *ctx, int is_ack, int fd, struct sockaddr_in dest) {
    if (!ctx || fd <= 0 || !ctx->token) {
        LOG("Invalid argument");
        return -1;
    }
    char buf[PUNCH_PROBE_MAX];
    const seal_session *seal = ctx->state ? ctx->state->seal : nullptr;
    size_t len = punch_build_probe(ctx->token, is_ack, seal ? seal->keys.probe_out : nullptr, buf);
    LOG("Send %s to port %d from sock %d\n", is_ack ? "ACK" : "SYN", ntohs(dest.sin_port), fd);
    // Never block the loop: a probe that does not fit now is simply lost.
    ssize_t n = sendto(fd, buf, len, MSG_DONTWAIT, reinterpret_cast<struct sockaddr *>(&dest),
                       sizeof(dest));
    if (n >= 0 || errno == EINTR || errno == EAGAIN) return 0;
    LOG("sendto failed, fd:%d, sock_errno:%d\n", fd, errno);
    return -1;
}

int stun_send_syn_all(struct udp_punch_ctx *ctx) {
    if (!ctx || !ctx->state) {
        LOG("Null arg");
        return -1;
    }
    udp_punch_state *st = ctx->state;
    for (int i = 0; i < PUNCH_PATHS; i++) {
        LOG("Punch path [%d] status: %d\n", i, st->path_status[i]);
    }
    sweep_path(__func__, ctx, PUNCH_PATH_PRIVATE, ctx->sock, ctx->peer_private);
    if (sweep_path(__func__, ctx, PUNCH_PATH_PUBLIC, ctx->sock, ctx->peer_public)) {
        // A port-preserving-but-sequential NAT on the peer's side may have
        // moved it to one of the next ports by now.
        if (++st->predict_count > predict_after(ctx)) {
            int p = ntohs(ctx->peer_public.sin_port);
            LOG("Send prediction SYN to port (%d, %d]\n", p, p + kPredictPorts);
            struct sockaddr_in dest = ctx->peer_public;
            for (int k = 1; k <= kPredictPorts; k++) {
                dest.sin_port = htons(static_cast<uint16_t>((p + k) % 65536));
                stun_send_syn_ex(ctx, 0, ctx->sock, dest);
            }
        }
    }
    return 0;
}

int stun_send_syn_all_fixed_port(struct udp_punch_ctx *ctx) {
    if (!ctx || !ctx->state) {
        LOG("Null arg");
        return -1;
    }
    bool peer = ctx->peer_port_preserved != 0;
    bool self = ctx->self_port_preserved != 0;
    if (peer && !self) {
        sweep_path(__func__, ctx, PUNCH_PATH_S_TO_F, ctx->sock, ctx->peer_fixed);
    } else if (self && !peer) {
        sweep_path(__func__, ctx, PUNCH_PATH_F_TO_S, ctx->fixed_sock, ctx->peer_public);
    } else if (self && peer) {
        sweep_path(__func__, ctx, PUNCH_PATH_F_TO_F, ctx->fixed_sock, ctx->peer_fixed);
    }
    return 0;
}

int stun_send_syn_low_ttl(struct udp_punch_ctx *ctx) {
    if (!ctx || !ctx->state) return -1;
    // Low-TTL SYNs open our own NAT's mapping towards the peer without
    // reaching the peer's NAT, which might otherwise blacklist us.
    int ttl_main = 0;
    int ttl_fixed = 0;
    if (lower_ttl(ctx->sock, kLowTtl, &ttl_main) < 0) {
        // A failed get changed nothing; a failed set changed nothing either.
        return 0;
    }
    if (lower_ttl(ctx->fixed_sock, kLowTtl, &ttl_fixed) < 0) {
        restore_ttl(ctx->sock, ttl_main);
        return 0;
    }
    bool peer = ctx->peer_port_preserved != 0;
    bool self = ctx->self_port_preserved != 0;
    int public_port = ntohs(ctx->peer_public.sin_port);
    int fixed_port = ntohs(ctx->peer_fixed.sin_port);
    for (int i = 0; i < kLowTtlRounds; i++) {
        LOG("Send low TTL to stun port: %d\n", public_port);
        stun_send_syn_ex(ctx, 0, ctx->sock, ctx->peer_public);
        if (peer && !self) {
            LOG("Send low TTL, S to F(%d)\n", fixed_port);
            stun_send_syn_ex(ctx, 0, ctx->sock, ctx->peer_fixed);
        } else if (self && !peer) {
            LOG("Send low TTL, F to S(%d)\n", public_port);
            stun_send_syn_ex(ctx, 0, ctx->fixed_sock, ctx->peer_public);
        } else if (self && peer) {
            LOG("Send low TTL, F to F(%d)\n", fixed_port);
            stun_send_syn_ex(ctx, 0, ctx->fixed_sock, ctx->peer_fixed);
        }
    }
    restore_ttl(ctx->sock, ttl_main);
    restore_ttl(ctx->fixed_sock, ttl_fixed);
    return 0;
}

int punch_probe_kind(const char *buf, int len, const char *token, const unsigned char *tag_key) {
    if (!buf || !token || len <= 0) return PUNCH_TRASH;
    char text[kProbeText + 1] = {0};
    memcpy(text, buf,
           static_cast<size_t>(len) < kProbeText ? static_cast<size_t>(len) : kProbeText);
    // Compared as the sender cut it: at most kProbeText characters.
    int kind = PUNCH_TRASH;
    if (strncmp(text, token, kProbeText) == 0) {
        kind = PUNCH_SYN;
    } else {
        text[0] = static_cast<char>(static_cast<unsigned char>(text[0]) - 1);
        if (strncmp(text, token, kProbeText) == 0) kind = PUNCH_ACK;
    }
    if (!tag_key || kind == PUNCH_TRASH) return kind;
    // The tag sits right after the text's zero byte.
    size_t n = strnlen(token, kProbeText);
    if (static_cast<size_t>(len) < n + 1 + SEAL_TAG_BYTES || buf[n] != '\0' ||
        !seal_probe_tag_ok(tag_key, kind == PUNCH_ACK, token, n,
                           reinterpret_cast<const uint8_t *>(buf) + n + 1)) {
        return PUNCH_REFUSED;
    }
    return kind;
}

int punch_addr_is_private(const struct sockaddr_in *addr) {
    if (!addr) return 0;
    uint32_t ip = ntohl(addr->sin_addr.s_addr);
    return (ip >> 24) == 10 || (ip >> 20) == ((172u << 4) | 1) || (ip >> 16) == ((192u << 8) | 168);
}

int punch_port_in_window(uint16_t q, uint16_t p) {
    return q == p || (p < q && static_cast<int>(q) <= p + kPredictPorts);
}

int punch_main_source_path(const struct udp_punch_ctx *ctx, const struct sockaddr_in *src) {
    if (!ctx || !src) return -1;
    uint16_t q = ntohs(src->sin_port);
    if (punch_addr_is_private(src)) return PUNCH_PATH_PRIVATE;
    if (punch_port_in_window(q, ntohs(ctx->peer_public.sin_port))) return PUNCH_PATH_PUBLIC;
    if (q == ntohs(ctx->peer_fixed.sin_port)) return PUNCH_PATH_S_TO_F;
    return -1;
}

int punch_fixed_source_path(const struct udp_punch_ctx *ctx, const struct sockaddr_in *src) {
    if (!ctx || !src) return -1;
    uint16_t q = ntohs(src->sin_port);
    if (punch_port_in_window(q, ntohs(ctx->peer_public.sin_port))) return PUNCH_PATH_F_TO_S;
    if (q == ntohs(ctx->peer_fixed.sin_port)) return PUNCH_PATH_F_TO_F;
    return -1;
}

const char *sockaddr_to_str(const struct sockaddr_in *addr) {
    static char text[32];
    if (!addr) return nullptr;
    ipv4_format(text, sizeof(text), ntohl(addr->sin_addr.s_addr), ntohs(addr->sin_port));
    return text;
}
