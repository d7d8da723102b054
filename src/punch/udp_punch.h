// Hole punching and the UDT transport over the punched socket.
//
// The owner (a session) fills a udp_punch_ctx, calls udp_punch_init_internal
// and udp_punch, and later udp_punch_clear_internal when it is done with the
// attempt, whatever its outcome. Two machines, one per UDP socket, send SYN
// probes every second over up to five paths and answer the peer's SYNs with
// ACKs; the first accepted ACK wins, a rendezvous UDT socket is bound onto the
// winning UDP socket, and a 15 ms tick reports the connection and pumps bytes
// between the peer and the owner's local callbacks. Everything runs on the
// loop thread of ctx->base; UDT runs its own threads behind its calls.
#pragma once

#include <netinet/in.h>
#include <sys/time.h>

#include <cstdint>

struct event;
struct event_base;
struct evbuffer;
struct seal_session;
struct p2p_stat_data;
struct prepare_p2p_params;
struct pready_record;

// Callbacks of the owner; user is ctx->user. succeed_cb gets the peer's
// address and may refuse the connection with a negative result. error_cb
// frees the owner and with it the context; nothing of the context is touched
// after it returns.
typedef int (*punch_succeed_fn)(void *user, const struct sockaddr_in *peer);
typedef void (*punch_error_fn)(void *user);
// Bytes from the peer to the local side; negative on failure.
typedef int (*punch_write_local_fn)(void *user, const char *data, int len);
// At most room bytes from the local side; the count, 0 for nothing now,
// negative on failure.
typedef int (*punch_read_local_fn)(void *user, char *buf, int room);
// Non-zero while the local side is open.
typedef int (*punch_local_ready_fn)(void *user);

// Candidate paths: index into path_status.
enum {
    PUNCH_PATH_PRIVATE = 0,  // sock -> peer_private
    PUNCH_PATH_PUBLIC = 1,   // sock -> peer_public (and the five ports above it)
    PUNCH_PATH_S_TO_F = 2,   // sock -> peer_fixed
    PUNCH_PATH_F_TO_S = 3,   // fixed_sock -> peer_public
    PUNCH_PATH_F_TO_F = 4,   // fixed_sock -> peer_fixed
    PUNCH_PATHS = 5,
};

// Path status values; UDT_CONNECTED is tested as a bit.
enum {
    PUNCH_IDLE = 0,
    PUNCH_SYN_SENT = 1,
    PUNCH_SYN_RECVD = 2,
    PUNCH_ACK_RECVD = 3,
    PUNCH_UDT_CONNECTED = 4,
};

// Which machine won (udp_punch_state.succeeded).
enum {
    PUNCH_WON_FIXED = 1,
    PUNCH_WON_MAIN = 2,
};

// Allocated zero-filled by udp_punch_init_internal, freed by
// udp_punch_clear_internal.
struct udp_punch_state {
    struct event *ev_main;   // sock's machine, later the UDT tick
    struct event *ev_fixed;  // fixed_sock's machine, later the UDT tick
    // Each machine's one-second sweeps, on timers of their own: datagrams
    // arriving on a socket, however often, never put its sweeps off.
    struct event *ev_main_sweep;
    struct event *ev_fixed_sweep;
    struct sockaddr_in peer_addr;  // source of the winning ACK
    uint32_t path_status[PUNCH_PATHS];
    int32_t predict_count;  // sweeps in which path 1 sent a SYN
    int32_t winner;         // path of the winning ACK, 0 until set
    int udt;                // -1 while there is none
    struct evbuffer *out_buf;
    int32_t succeeded;  // 0, PUNCH_WON_FIXED or PUNCH_WON_MAIN

    // The UDT phase. out_buf holds what a short udt_send left; it goes
    // before anything new. The send buffer as the handshake left it: packets
    // it holds, payload bytes per packet (from the MSS agreed at connect).
    int send_slots;
    int slot_bytes;
    int64_t stall_since_ms;  // monotonic time the send buffer was first seen full, 0 if not

    // A private session's keys and stream states; null for a plain one.
    // Wiped when the state goes.
    struct seal_session *seal;
};

// One per session, filled by the owner. Addresses are IPv4 in network order.
struct udp_punch_ctx {
    struct event_base *base;
    void *user;
    // The owner's statistics record and the two address records the reports
    // take again once a fixed port won; owned by the owner, outliving the
    // context's use.
    struct p2p_stat_data *stat;
    const struct prepare_p2p_params *peer;
    const struct pready_record *self;
    punch_succeed_fn succeed_cb;
    punch_error_fn error_cb;
    punch_write_local_fn write_local;
    punch_read_local_fn read_local;
    punch_local_ready_fn local_ready;
    const char *token;  // session id, the payload of every probe
    // The cloud's session key for a private session, null for a plain one;
    // read by udp_punch_init_internal only.
    const unsigned char *session_key;
    struct sockaddr_in peer_private;
    struct sockaddr_in peer_public;
    int sock;                       // main UDP socket (the one the STUN query used); owned here
    int fixed_sock;                 // UDP socket on the device's fixed port; owned here
    struct sockaddr_in peer_fixed;  // peer's public IP, fixed port of its private port
    uint32_t peer_port_preserved;
    uint32_t self_port_preserved;
    struct udp_punch_state *state;
    uint32_t syn_seen;  // zeroed by the owner before starting
    struct timeval start_time;
};

// Port + 1000, wrapped into 49152..50151 above 64535.
int get_fixed_port(int port);

// 0, or -1. Discards an earlier state first. On failure the sockets are closed.
int udp_punch_init_internal(struct udp_punch_ctx *ctx);
// Frees the events, the state and both sockets, and sets the socket fields to
// -1. A UDP socket under a UDT socket belongs to UDT: it is left to UDT to
// close. 0, or -1 without a state.
int udp_punch_clear_internal(struct udp_punch_ctx *ctx);
// Starts both machines: low-TTL burst, then the first sweeps. 0, or -1.
int udp_punch(struct udp_punch_ctx *ctx);
// Frees both machines' sweep timers: a machine has won, or the state goes.
void udp_punch_stop_sweeps(struct udp_punch_state *st);

// Probes. One probe from fd to dest; 0 (lost probes included) or -1.
int stun_send_syn_ex(struct udp_punch_ctx *ctx, int is_ack, int fd, struct sockaddr_in dest);
// One sweep over paths 0 and 1; one over the fixed-port path that applies;
// the low-TTL burst. 0, or -1 without a state.
int stun_send_syn_all(struct udp_punch_ctx *ctx);
int stun_send_syn_all_fixed_port(struct udp_punch_ctx *ctx);
int stun_send_syn_low_ttl(struct udp_punch_ctx *ctx);

// What a received datagram is. REFUSED: the session's probe, but a private
// session's and without its valid tag.
enum { PUNCH_TRASH = 0, PUNCH_SYN = 1, PUNCH_ACK = 2, PUNCH_REFUSED = 3 };
// Longest probe: the token cut to 511 characters, its zero byte, a tag.
constexpr int PUNCH_PROBE_MAX = 511 + 1 + 16;
// Writes the probe into buf (PUNCH_PROBE_MAX bytes): the token cut to 511
// characters (an ACK's first byte one higher), its zero and, with tag_key
// (the sender's probe key of a private session), the tag. Its length.
size_t punch_build_probe(const char *token, int is_ack, const unsigned char *tag_key, char *buf);
// Kind of the len bytes received in buf. tag_key: the key that tags the
// peer's probes in a private session, null in a plain one (then bytes after
// the zero byte play no part).
int punch_probe_kind(const char *buf, int len, const char *token, const unsigned char *tag_key);
// 10/8, 172.16/12, 192.168/16.
int punch_addr_is_private(const struct sockaddr_in *addr);
// q == p or p < q <= p + 5 (host order, no wrap-around).
int punch_port_in_window(uint16_t q, uint16_t p);
// Path of a datagram's source on sock (0, 1, 2) or on fixed_sock (3, 4); -1
// when unknown.
int punch_main_source_path(const struct udp_punch_ctx *ctx, const struct sockaddr_in *src);
int punch_fixed_source_path(const struct udp_punch_ctx *ctx, const struct sockaddr_in *src);

// "a.b.c.d:port" in a static buffer the next call overwrites; null for null.
const char *sockaddr_to_str(const struct sockaddr_in *addr);

// A rendezvous UDT socket with the daemon's options, bound onto udp_fd (which
// it then owns) unless udp_fd is -1; -1 on failure. tarn-peer uses it too, so
// both ends run the same settings.
int build_udt_socket(int udp_fd);

// Connect steps after the main / fixed-port machine won: the winner's event
// becomes the 15 ms UDT tick, the other socket goes, UDT connects to
// state->peer_addr. 0, or -1.
int udt_async_connect(struct udp_punch_ctx *ctx);
int fixed_port_udt_async_connect(struct udp_punch_ctx *ctx);
