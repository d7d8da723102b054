// tarn-peer: the application side of a tarn session, for tests, the demo and
// integrators writing a viewer. One UDP socket does everything: the STUN
// query that learns its public address, the punch probes, and, bound under a
// rendezvous UDT socket (the daemon's settings for sending, a viewer's for
// receiving: punch/udt_viewer.h), the media connection.
//
// Single-threaded (UDT runs its own threads behind its calls). The punch is
// event-driven (poll on the UDP socket); the UDT phase polls UDT, as the
// daemon's pump does, since UDT gives no descriptor to wait on. With a
// session key it is the viewer of a private session (util/seal.h).
#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <getopt.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "punch/udp_punch.h"
#include "punch/udt_api.h"
#include "udt_viewer.h"
#include "stun/stun.h"
#include "util/seal.h"
#include "util/utils.h"
#include "test_pattern.h"

namespace {

const char kHelp[] =
    "usage: tarn-peer [--stun HOST[:PORT]] [--bind IP] [--port PORT]\n"
    "                 [--request TEXT] [--seconds N] [--bytes N] [--send-bytes N]\n"
    "                 [--verify] [--punch-timeout S] [--stun-timeout S]\n"
    "                 [--udp-rcvbuf BYTES] [--device-options] [--probe-interval S]\n"
    "                 [--stop-reading BYTES] [--mss BYTES] [--send-rate BYTES_PER_S]\n"
    "                 [--session-key HEX] [--corrupt-at N]\n"
    "\n"
    "The application side of one tarn session:\n"
    " 1. opens one UDP socket (--bind IP, default any; --port, default any) and,\n"
    "    with --stun, learns its public address from a classic STUN binding\n"
    "    request (port 3478 by default); without --stun the public address is\n"
    "    the private one;\n"
    " 2. prints one JSON line: {\"pub_ip\",\"pub_port\",\"pri_ip\",\"pri_port\",\n"
    "    \"peer_pub\":\"IP:PORT\",\"peer_pri\":\"IP:PORT\"} (for tarnctl prepare);\n"
    " 3. reads one line on standard input: the device's ready answer as\n"
    "    'tarnctl prepare --wait' prints it;\n"
    " 4. punches: a SYN every second (--probe-interval) to the device's public,\n"
    "    private and fixed-port addresses, an ACK to the source of every SYN and\n"
    "    ACK, until\n"
    "    the device's UDT arrives; then connects UDT (rendezvous) to it. It sends\n"
    "    with the device's UDT settings and receives like a viewer: UDT's own\n"
    "    receive buffer and flow window (about 11 MB, 25600 packets: room for\n"
    "    20 MB/s at 100 ms RTT) and a UDP receive buffer of --udp-rcvbuf bytes\n"
    "    (default 1048576; 0 keeps the device's 212992). --device-options takes\n"
    "    the device's receive settings too (16 KB, 32 packets: a slow download);\n"
    "    --mss offers another segment size than the device's 1420 in the\n"
    "    handshake, which UDT on the device then takes;\n"
    " 5. sends the request text (default \"GET /live HTTP/1.0\\r\\n\\r\\n\"; the device\n"
    "    opens its media server on the first bytes), then receives for --seconds\n"
    "    (default 5 unless --bytes is given) or until --bytes have come, sending\n"
    "    --send-bytes of the test pattern after the request (as fast as the send\n"
    "    buffer takes it, or with --send-rate in 20 ms pieces at that rate, as\n"
    "    talk-back audio comes); --verify checks the received bytes against the\n"
    "    media stand-in's pattern; --stop-reading stops reading once that many\n"
    "    bytes have come (a viewer that stalls) and keeps the connection until\n"
    "    the device ends it or --seconds pass;\n"
    " 6. prints progress on standard error once a second and one JSON summary\n"
    "    line on standard output.\n"
    "\n"
    "--session-key HEX (64 hexadecimal digits, the key the cloud gave both ends)\n"
    "makes it the viewer of a private session: its probes carry their tag, only\n"
    "the device's tagged probes count (others are refused and counted), and both\n"
    "directions are sealed: it sends its stream header as soon as UDT is up, then\n"
    "the request and the talk-back in frames of at most 8192 bytes, and counts\n"
    "and verifies only what it could open. A frame that fails to open ends the\n"
    "transfer (\"end\":\"unauthentic\" in the summary).\n"
    "--corrupt-at N is a test aid: it flips one bit of byte N (0 is the first) of\n"
    "the byte stream it sends, the sealed one with --session-key.\n"
    "\n"
    "Exit status: 0 when the connection carried data (and, as asked, all of\n"
    "--bytes and --send-bytes, without pattern errors or an unauthentic frame);\n"
    "1 when it did not;\n"
    "2 for a usage error or a bad answer line; 3 when STUN failed; 4 when the\n"
    "punch or the UDT connection timed out (--punch-timeout, default 20 s,\n"
    "counted from the answer line).\n";

enum {
    EXIT_OK = 0,
    EXIT_NO_DATA = 1,
    EXIT_USAGE = 2,
    EXIT_STUN = 3,
    EXIT_PUNCH = 4,
};

constexpr int kProbeMax = 511;       // longest probe text, as the device cuts it
constexpr int kUdtSendBuf = 262144;  // the device's UDT send buffer, bytes
constexpr int kUdtSegment = 1420;    // its segment size
constexpr int kSendChunk = 8192;

struct Options {
    const char *stun = nullptr;
    const char *bind_ip = nullptr;
    int port = 0;
    std::string request = "GET /live HTTP/1.0\r\n\r\n";
    double seconds = -1;  // -1: not given
    int64_t bytes = -1;
    int64_t send_bytes = 0;
    bool verify = false;
    double punch_timeout = 20;
    double stun_timeout = 5;
    int udp_rcvbuf = 1 << 20;
    bool device_options = false;
    double probe_interval = 1;
    int64_t stop_reading = -1;  // -1: read all along
    int mss = 0;                // 0: the daemon's
    double send_rate = 0;       // bytes per second, 0: unpaced
    bool has_key = false;       // a private session
    uint8_t key[SEAL_KEY_BYTES];
    int64_t corrupt_at = -1;  // -1: send the stream as it is
};

struct DeviceAnswer {
    std::string sid;
    struct sockaddr_in pub;
    struct sockaddr_in pri;
    struct sockaddr_in fixed;
};

volatile sig_atomic_t g_stop = 0;

void on_signal(int) {
    g_stop = 1;
}

double now_s() {
    return monotonic_us() / 1e6;
}

int ms_between(double from, double to) {
    return static_cast<int>((to - from) * 1000 + 0.5);
}

std::string addr_text(const struct sockaddr_in &a) {
    char text[IPV4_TEXT_MAX];
    ipv4_format(text, sizeof(text), ntohl(a.sin_addr.s_addr), ntohs(a.sin_port));
    return text;
}

std::string ip_text(const struct sockaddr_in &a) {
    char text[IPV4_TEXT_MAX];
    ipv4_format(text, sizeof(text), ntohl(a.sin_addr.s_addr), -1);
    return text;
}

bool same_addr(const struct sockaddr_in &a, const struct sockaddr_in &b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

struct sockaddr_in make_addr(uint32_t ip_net, int port) {
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = ip_net;
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

bool parse_number(const char *text, double min, double max, double *out) {
    char *end = nullptr;
    errno = 0;
    double v = strtod(text, &end);
    if (errno || end == text || *end || !(v >= min && v <= max)) return false;
    *out = v;
    return true;
}

bool parse_count(const char *text, int64_t *out) {
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(text, &end, 10);
    if (errno || end == text || *end || v < 0) return false;
    *out = v;
    return true;
}

// "HOST[:PORT]" resolved to an IPv4 address; port 3478 when none is given.
bool resolve_stun(const char *text, struct sockaddr_in *out) {
    std::string host = text;
    int port = 3478;
    size_t colon = host.rfind(':');
    if (colon != std::string::npos) {
        double p;
        if (!parse_number(host.c_str() + colon + 1, 1, 65535, &p) || p != static_cast<int>(p))
            return false;
        port = static_cast<int>(p);
        host.resize(colon);
    }
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    struct addrinfo *res = nullptr;
    if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) return false;
    *out = *reinterpret_cast<struct sockaddr_in *>(res->ai_addr);
    out->sin_port = htons(static_cast<uint16_t>(port));
    freeaddrinfo(res);
    return true;
}

// The local address the kernel would send from toward dest; else the first
// configured non-loopback IPv4 address; else loopback.
uint32_t private_ip(const struct sockaddr_in *dest) {
    if (dest) {
        int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in local;
        socklen_t len = sizeof(local);
        bool ok = s >= 0 &&
                  connect(s, reinterpret_cast<const struct sockaddr *>(dest), sizeof(*dest)) == 0 &&
                  getsockname(s, reinterpret_cast<struct sockaddr *>(&local), &len) == 0;
        if (s >= 0) close(s);
        if (ok) return local.sin_addr.s_addr;
    }
    uint32_t found = htonl(INADDR_LOOPBACK);
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (struct ifaddrs *i = list; i; i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET ||
                (i->ifa_flags & IFF_LOOPBACK) || !(i->ifa_flags & IFF_UP))
                continue;
            found = reinterpret_cast<struct sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr;
            break;
        }
        freeifaddrs(list);
    }
    return found;
}

// Waits until fd is readable or deadline (monotonic seconds) passes; true
// when readable. A signal ends the wait early.
bool wait_readable(int fd, double deadline) {
    for (;;) {
        double left = deadline - now_s();
        if (left <= 0 || g_stop) return false;
        struct pollfd p = {fd, POLLIN, 0};
        int rc = poll(&p, 1, static_cast<int>(left * 1000) + 1);
        if (rc > 0) return true;
        if (rc < 0 && errno != EINTR) return false;
    }
}

// Classic binding request, re-sent after 100, 200, 400, 800 and then every
// 1600 ms, until an answer from the server or the time-out.
int stun_query(int fd, const struct sockaddr_in &server, double timeout,
               struct sockaddr_in *mapped) {
    char req[64];
    StunMsgId tid;
    stunNewTransactionId(&tid, 1);
    int req_len = stunBuildBindingRequest(req, sizeof(req), tid);
    if (req_len < 0) return -1;
    double end = now_s() + timeout;
    double wait = 0.1;
    while (now_s() < end && !g_stop) {
        sendto(fd, req, req_len, 0, reinterpret_cast<const struct sockaddr *>(&server),
               sizeof(server));
        double resend = now_s() + wait;
        if (resend > end) resend = end;
        while (wait_readable(fd, resend)) {
            char buf[1500];
            struct sockaddr_in from;
            socklen_t flen = sizeof(from);
            ssize_t n = recvfrom(fd, buf, sizeof(buf), 0,
                                 reinterpret_cast<struct sockaddr *>(&from), &flen);
            if (n <= 0 || from.sin_addr.s_addr != server.sin_addr.s_addr ||
                from.sin_port != server.sin_port) {
                continue;
            }
            char text[32];
            if (stunParseBindingResponse(buf, static_cast<int>(n), tid, text, 0) != 0) continue;
            char *colon = strrchr(text, ':');
            if (!colon) continue;
            *colon = '\0';
            struct in_addr ip;
            if (inet_pton(AF_INET, text, &ip) != 1) continue;
            *mapped = make_addr(ip.s_addr, atoi(colon + 1));
            return 0;
        }
        if (wait < 1.6) wait *= 2;
    }
    return -1;
}

// One IPv4 address member pair of dev_addr; an empty text on success.
std::string take_addr(cJSON *obj, const char *ip_name, const char *port_name,
                      struct sockaddr_in *out) {
    cJSON *ip = cJSON_GetObjectItem(obj, ip_name);
    cJSON *port = cJSON_GetObjectItem(obj, port_name);
    struct in_addr in;
    if (!cJSON_IsString(ip) || inet_pton(AF_INET, ip->valuestring, &in) != 1)
        return std::string("no IPv4 address in ") + ip_name;
    if (!cJSON_IsNumber(port) || port->valuedouble < 1 || port->valuedouble > 65535 ||
        port->valuedouble != static_cast<int>(port->valuedouble))
        return std::string("no port number in ") + port_name;
    *out = make_addr(in.s_addr, port->valueint);
    return "";
}

// The device's ready answer; an empty text on success, else why not.
std::string parse_answer(const char *line, DeviceAnswer *dev) {
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> root(cJSON_Parse(line), cJSON_Delete);
    if (!root || !cJSON_IsObject(root.get())) return "not a JSON object";
    cJSON *code = cJSON_GetObjectItem(root.get(), "error_code");
    if (!cJSON_IsNumber(code)) return "no error_code";
    if (code->valuedouble != 0) return "error_code " + std::to_string(code->valueint);
    cJSON *result = cJSON_GetObjectItem(root.get(), "result");
    if (!cJSON_IsObject(result)) return "no result";
    cJSON *sid = cJSON_GetObjectItem(result, "sid");
    if (!cJSON_IsString(sid) || sid->valuestring[0] == '\0') return "no sid";
    if (strlen(sid->valuestring) > kProbeMax) return "sid longer than 511 bytes";
    cJSON *dev_addr = cJSON_GetObjectItem(result, "dev_addr");
    if (!cJSON_IsObject(dev_addr)) return "no dev_addr (the device is not ready)";
    std::string why = take_addr(dev_addr, "pub_ip", "pub_port", &dev->pub);
    if (why.empty()) why = take_addr(dev_addr, "pri_ip", "pri_port", &dev->pri);
    if (!why.empty()) return why;
    dev->sid = sid->valuestring;
    // The device's second punch socket sits on the fixed port of its local one.
    dev->fixed = make_addr(dev->pub.sin_addr.s_addr, get_fixed_port(ntohs(dev->pri.sin_port)));
    return "";
}

// Probe text: the sid and a zero byte; an ACK has the first byte one higher.
// A private session's probes carry their tag (tag_key) after the zero.
void send_probe(int fd, const std::string &sid, bool ack, const uint8_t *tag_key,
                const struct sockaddr_in &to) {
    char buf[PUNCH_PROBE_MAX];
    size_t len = punch_build_probe(sid.c_str(), ack, tag_key, buf);
    // A lost probe is repeated by the next sweep or answer.
    sendto(fd, buf, len, 0, reinterpret_cast<const struct sockaddr *>(&to), sizeof(to));
}

// A UDT packet (the device's rendezvous handshake): 16-byte header, and the
// control bit set. Probe text never has it: sids are ASCII.
bool looks_like_udt(const unsigned char *buf, ssize_t n) {
    return n >= 16 && (buf[0] & 0x80);
}

struct PunchResult {
    struct sockaddr_in device;  // where the device's UDT speaks from
    double first_ack = 0;       // 0: none came before the device's UDT
    double done = 0;
    int syn_recv = 0, ack_recv = 0, syn_sent = 0, ack_sent = 0;
    int refused = 0;  // the session's probes without a valid tag
};

void note_source(std::vector<struct sockaddr_in> *seen, const struct sockaddr_in &from,
                 const char *what) {
    for (const auto &s : *seen) {
        if (same_addr(s, from)) return;
    }
    seen->push_back(from);
    fprintf(stderr, "tarn-peer: %s from %s\n", what, addr_text(from).c_str());
}

// Punches until the device's UDT handshake arrives from an address that sent
// probes: that is the device socket that won, and UDT must connect there.
// seal: a private session's keys, or null.
bool punch(int fd, const DeviceAnswer &dev, const seal_keys *seal, double interval, double deadline,
           PunchResult *r) {
    const uint8_t *tag_out = seal ? seal->probe_out : nullptr;
    std::vector<struct sockaddr_in> targets;
    for (const auto &a : {dev.pub, dev.pri, dev.fixed}) {
        bool dup = false;
        for (const auto &t : targets) dup = dup || same_addr(t, a);
        if (!dup) targets.push_back(a);
    }
    std::vector<struct sockaddr_in> sources;  // every address that sent us a probe
    std::vector<struct sockaddr_in> refused;  // every address whose probe we refused
    double next_sweep = 0;
    for (;;) {
        double now = now_s();
        if (now >= deadline || g_stop) return false;
        if (now >= next_sweep) {
            for (const auto &t : targets) send_probe(fd, dev.sid, false, tag_out, t);
            r->syn_sent += static_cast<int>(targets.size());
            next_sweep = now + interval;
        }
        if (!wait_readable(fd, next_sweep < deadline ? next_sweep : deadline)) continue;
        unsigned char buf[2048];
        struct sockaddr_in from;
        socklen_t flen = sizeof(from);
        ssize_t n =
            recvfrom(fd, buf, sizeof(buf), 0, reinterpret_cast<struct sockaddr *>(&from), &flen);
        if (n < 0) continue;
        int kind = punch_probe_kind(reinterpret_cast<const char *>(buf), static_cast<int>(n),
                                    dev.sid.c_str(), seal ? seal->probe_in : nullptr);
        if (kind == PUNCH_SYN || kind == PUNCH_ACK) {
            // The device completes only on an ACK, so every probe gets one back.
            send_probe(fd, dev.sid, true, tag_out, from);
            r->ack_sent++;
            if (kind == PUNCH_SYN) {
                r->syn_recv++;
            } else {
                r->ack_recv++;
                if (r->first_ack == 0) r->first_ack = now_s();
            }
            note_source(&sources, from, kind == PUNCH_SYN ? "SYN" : "ACK");
            continue;
        }
        if (kind == PUNCH_REFUSED) {
            // Not the device of this private session: no answer, and its UDT
            // is never taken either, since it is no source.
            r->refused++;
            note_source(&refused, from, "refused probe without a valid tag");
            continue;
        }
        if (!looks_like_udt(buf, n)) continue;
        for (const auto &s : sources) {
            if (same_addr(s, from)) {
                r->device = from;
                r->done = now_s();
                return true;
            }
        }
    }
}

// Waits for the rendezvous connection; false on failure or time-out.
bool udt_wait_connected(int u, double deadline) {
    for (;;) {
        int st = udt_getsockstate(u);
        if (st == UDT_STATE_CONNECTED) return true;
        if (st != UDT_STATE_CONNECTING && st != 1 /* INIT */ && st != 2 /* OPENED */) return false;
        if (now_s() >= deadline || g_stop) return false;
        poll(nullptr, 0, 1);
    }
}

bool udt_send_all(int u, const char *buf, int len) {
    while (len > 0) {
        int n = udt_send(u, buf, len, 0);
        if (n < 0) return false;
        buf += n;
        len -= n;
    }
    return true;
}

// Our direction of the stream: plain, or with a session key the header and
// then frames. corrupt_at (a test aid) flips one bit of the bytes as sent.
struct Upstream {
    int u;
    seal_session *seal;  // null: a plain session
    int64_t corrupt_at;
    int64_t offset = 0;  // bytes of the stream sent so far
};

bool up_send_raw(Upstream *up, uint8_t *buf, int len) {
    if (up->corrupt_at >= up->offset && up->corrupt_at < up->offset + len)
        buf[up->corrupt_at - up->offset] ^= 0x01;
    up->offset += len;
    return udt_send_all(up->u, reinterpret_cast<const char *>(buf), len);
}

// The header of a sealed stream; nothing for a plain one.
bool up_start(Upstream *up) {
    if (!up->seal) return true;
    uint8_t header[SEAL_HEADER_BYTES];
    seal_push_init(&up->seal->push, up->seal->keys.stream_out, header);
    return up_send_raw(up, header, sizeof(header));
}

// len bytes (1 to kSendChunk) of plaintext, in one frame when sealed.
bool up_send(Upstream *up, const uint8_t *data, int len) {
    uint8_t out[kSendChunk + SEAL_FRAME_OVERHEAD];
    if (!up->seal) {
        memcpy(out, data, len);
        return up_send_raw(up, out, len);
    }
    int n = seal_push_frame(&up->seal->push, data, len, out);
    return n > 0 && up_send_raw(up, out, n);
}

// Bytes the send buffer takes now that stay plaintext once sent: a frame
// costs its overhead.
int64_t up_room(const Upstream &up, int pending) {
    int64_t room = kUdtSendBuf - static_cast<int64_t>(kUdtSegment) * pending;
    return up.seal ? room - static_cast<int64_t>(SEAL_FRAME_OVERHEAD) : room;
}

struct Transfer {
    int64_t recv = 0;  // plaintext: what a sealed stream opened to
    int64_t sent = 0;  // pattern bytes sent after the request
    double first_byte = 0;
    double last_byte = 0;
    double longest_gap = 0;  // seconds without a received byte, after the first
    bool verify = false;
    test_pattern_check check;
    const char *end = "time";
    bool failed = false;
    bool unauthentic = false;  // a sealed frame failed to open
};

// Received plaintext, counted and checked.
int take_plain(void *arg, const uint8_t *data, size_t len) {
    auto *t = static_cast<Transfer *>(arg);
    double now = now_s();
    if (t->recv == 0) t->first_byte = now;
    if (t->recv > 0 && now - t->last_byte > t->longest_gap) t->longest_gap = now - t->last_byte;
    t->last_byte = now;
    t->recv += static_cast<int64_t>(len);
    if (t->verify) test_pattern_check_data(&t->check, data, len);
    return 0;
}

// Receives (and sends) until the time, the byte count, a failure or a signal.
void transfer(Upstream *up, const Options &o, double start, Transfer *t) {
    int u = up->u;
    double until = o.seconds >= 0 ? start + o.seconds : (o.bytes >= 0 ? 0 : start + 5);
    double next_report = start + 1;
    static char buf[65536];
    for (;;) {
        bool busy = false;
        // A viewer that stalls: nothing read any more, the connection kept
        // until the device gives up on it.
        bool reading = o.stop_reading < 0 || t->recv < o.stop_reading;
        if (!reading && udt_getsockstate(u) != UDT_STATE_CONNECTED) {
            t->end = "closed";
            return;
        }
        // A bounded gulp: at full speed there is always more to read, and
        // the upstream, the progress line and the deadline need their turn.
        for (int reads = 0; reading && reads < 64; reads++) {
            int n = udt_recv(u, buf, sizeof(buf), 0);
            if (n > 0) {
                const uint8_t *data = reinterpret_cast<uint8_t *>(buf);
                if (!up->seal) {
                    take_plain(t, data, static_cast<size_t>(n));
                } else if (seal_pull_feed(&up->seal->pull, data, static_cast<size_t>(n), take_plain,
                                          t) != SEAL_OK) {
                    t->end = "unauthentic";
                    t->failed = true;
                    t->unauthentic = true;
                    return;
                }
                busy = true;
                continue;
            }
            if (n < 0 && udt_getlasterror_code() == EASYNCRCV) break;
            t->end = "closed";
            t->failed = true;
            return;
        }
        if (t->sent < o.send_bytes) {
            // As the daemon does: only what the send buffer has room for.
            int pending = 0, len = sizeof(pending);
            if (udt_getsockopt(u, 0, UDT_OPT_SNDDATA, &pending, &len) == 0) {
                int64_t room = up_room(*up, pending);
                int64_t n = o.send_bytes - t->sent;
                if (n > room) n = room;
                if (n > kSendChunk) n = kSendChunk;
                if (o.send_rate > 0) {
                    // One 20 ms piece once its time has come, none ahead of it.
                    int64_t piece = static_cast<int64_t>(o.send_rate / 50) + 1;
                    int64_t due = static_cast<int64_t>(o.send_rate * (now_s() - start)) + piece;
                    if (n > piece) n = piece;
                    if (t->sent + n > due) n = 0;
                }
                if (n > 0) {
                    test_pattern_fill(t->sent, reinterpret_cast<uint8_t *>(buf), n);
                    if (!up_send(up, reinterpret_cast<uint8_t *>(buf), static_cast<int>(n))) {
                        t->end = "closed";
                        t->failed = true;
                        return;
                    }
                    t->sent += n;
                    busy = true;
                }
            }
        }
        double now = now_s();
        if (o.bytes >= 0 && t->recv >= o.bytes && t->sent >= o.send_bytes) {
            t->end = "bytes";
            return;
        }
        if ((until > 0 && now >= until) || g_stop) {
            t->end = g_stop ? "signal" : "time";
            // Bytes still owed at the end were a gap too, however it ended.
            if (t->recv > 0 && o.bytes > t->recv && now - t->last_byte > t->longest_gap)
                t->longest_gap = now - t->last_byte;
            return;
        }
        if (now >= next_report) {
            double span = t->recv ? t->last_byte - t->first_byte : 0;
            fprintf(stderr,
                    "tarn-peer: %.0f s: %" PRId64 " bytes received (%.2f MB/s), %" PRId64
                    " sent, %" PRIu64 " pattern errors\n",
                    now - start, t->recv, span > 0 ? t->recv / span / 1e6 : 0.0, t->sent,
                    t->check.errors);
            next_report += 1;
        }
        if (!busy) poll(nullptr, 0, 1);
    }
}

int usage() {
    fputs(kHelp, stderr);
    return EXIT_USAGE;
}

bool parse_options(int argc, char **argv, Options *o) {
    static const struct option opts[] = {
        {"stun", required_argument, nullptr, 's'},
        {"bind", required_argument, nullptr, 'B'},
        {"port", required_argument, nullptr, 'p'},
        {"request", required_argument, nullptr, 'r'},
        {"seconds", required_argument, nullptr, 'S'},
        {"bytes", required_argument, nullptr, 'b'},
        {"send-bytes", required_argument, nullptr, 'w'},
        {"verify", no_argument, nullptr, 'v'},
        {"punch-timeout", required_argument, nullptr, 'T'},
        {"stun-timeout", required_argument, nullptr, 't'},
        {"udp-rcvbuf", required_argument, nullptr, 'R'},
        {"device-options", no_argument, nullptr, 'D'},
        {"probe-interval", required_argument, nullptr, 'I'},
        {"stop-reading", required_argument, nullptr, 'X'},
        {"mss", required_argument, nullptr, 'M'},
        {"send-rate", required_argument, nullptr, 'P'},
        {"session-key", required_argument, nullptr, 'K'},
        {"corrupt-at", required_argument, nullptr, 'C'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int c;
    double v;
    while ((c = getopt_long(argc, argv, "h", opts, nullptr)) != -1) {
        switch (c) {
            case 's':
                o->stun = optarg;
                break;
            case 'B':
                o->bind_ip = optarg;
                break;
            case 'p':
                if (!parse_number(optarg, 0, 65535, &v) || v != static_cast<int>(v)) return false;
                o->port = static_cast<int>(v);
                break;
            case 'r':
                o->request = optarg;
                break;
            case 'S':
                if (!parse_number(optarg, 0, 1e6, &o->seconds)) return false;
                break;
            case 'b':
                if (!parse_count(optarg, &o->bytes)) return false;
                break;
            case 'w':
                if (!parse_count(optarg, &o->send_bytes)) return false;
                break;
            case 'v':
                o->verify = true;
                break;
            case 'T':
                if (!parse_number(optarg, 0.1, 1e6, &o->punch_timeout)) return false;
                break;
            case 't':
                if (!parse_number(optarg, 0.1, 1e6, &o->stun_timeout)) return false;
                break;
            case 'I':
                if (!parse_number(optarg, 0.01, 60, &o->probe_interval)) return false;
                break;
            case 'P':
                if (!parse_number(optarg, 0, 1e9, &o->send_rate)) return false;
                break;
            case 'R':
                if (!parse_number(optarg, 0, 1 << 30, &v) || v != static_cast<int>(v)) return false;
                o->udp_rcvbuf = static_cast<int>(v);
                break;
            case 'D':
                o->device_options = true;
                break;
            case 'X':
                if (!parse_count(optarg, &o->stop_reading)) return false;
                break;
            case 'M':
                if (!parse_number(optarg, 100, 1500, &v) || v != static_cast<int>(v)) return false;
                o->mss = static_cast<int>(v);
                break;
            case 'K':
                if (seal_parse_key(optarg, o->key) < 0) {
                    fputs("tarn-peer: --session-key takes 64 hexadecimal digits\n", stderr);
                    return false;
                }
                o->has_key = true;
                break;
            case 'C':
                if (!parse_count(optarg, &o->corrupt_at)) return false;
                break;
            case 'h':
                fputs(kHelp, stdout);
                exit(0);
            default:
                return false;
        }
    }
    return optind == argc;
}

int open_socket(const Options &o, struct sockaddr_in *local) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    *local = make_addr(htonl(INADDR_ANY), o.port);
    if (o.bind_ip && inet_pton(AF_INET, o.bind_ip, &local->sin_addr) != 1) {
        fprintf(stderr, "tarn-peer: bad --bind address %s\n", o.bind_ip);
        close(fd);
        return -1;
    }
    socklen_t len = sizeof(*local);
    if (bind(fd, reinterpret_cast<struct sockaddr *>(local), sizeof(*local)) < 0 ||
        getsockname(fd, reinterpret_cast<struct sockaddr *>(local), &len) < 0) {
        fprintf(stderr, "tarn-peer: bind: %s\n", strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

// Reads the answer line: 0, -1 at end of input, -2 for an over-long line.
int read_line(std::string *line) {
    char buf[8192];
    if (!fgets(buf, sizeof(buf), stdin)) return -1;
    size_t n = strlen(buf);
    if (n == sizeof(buf) - 1 && buf[n - 1] != '\n') return -2;
    line->assign(buf, n);
    return 0;
}

void print_summary(const std::string &peer, const PunchResult &p, double t0, double udt_at,
                   const Transfer &t, const Options &o) {
    int punch_ms = p.done ? ms_between(t0, p.first_ack ? p.first_ack : p.done) : -1;
    double span = t.recv ? t.last_byte - t.first_byte : 0;
    printf(
        "{\"peer_addr\":\"%s\",\"punch_ms\":%d,\"udt_ms\":%d,\"first_byte_ms\":%d,"
        "\"longest_gap_ms\":%d,\"bytes_recv\":%" PRId64 ",\"bytes_sent\":%" PRId64
        ",\"mb_per_s\":%.3f,"
        "\"verified\":%s,\"pattern_errors\":%" PRIu64 ",\"first_error_offset\":%" PRId64
        ",\"end\":\"%s\"}\n",
        peer.c_str(), punch_ms, udt_at ? ms_between(t0, udt_at) : -1,
        t.recv ? ms_between(t0, t.first_byte) : -1, static_cast<int>(t.longest_gap * 1000 + 0.5),
        t.recv, t.sent, span > 0 ? t.recv / span / 1e6 : 0.0, o.verify ? "true" : "false",
        t.check.errors, t.check.first_error, t.end);
    fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    bool parsed = parse_options(argc, argv, &o);
    std::unique_ptr<seal_session, void (*)(seal_session *)> seal(
        parsed && o.has_key ? seal_session_new(o.key, SEAL_VIEWER) : nullptr, seal_session_free);
    seal_wipe(o.key, sizeof(o.key));  // only the derived keys are needed from here on
    if (!parsed) return usage();
    if (o.has_key && !seal) {
        fputs("tarn-peer: libsodium did not start\n", stderr);
        return EXIT_USAGE;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = on_signal;  // no SA_RESTART: waits end early
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    struct sockaddr_in server;
    if (o.stun && !resolve_stun(o.stun, &server)) {
        fprintf(stderr, "tarn-peer: cannot resolve STUN server %s\n", o.stun);
        return EXIT_STUN;
    }
    struct sockaddr_in local;
    int fd = open_socket(o, &local);
    if (fd < 0) return EXIT_USAGE;
    struct sockaddr_in pri = local;
    if (pri.sin_addr.s_addr == htonl(INADDR_ANY))
        pri.sin_addr.s_addr = private_ip(o.stun ? &server : nullptr);
    struct sockaddr_in pub = pri;
    if (o.stun && stun_query(fd, server, o.stun_timeout, &pub) < 0) {
        fprintf(stderr, "tarn-peer: no answer from STUN server %s within %.1f s\n",
                addr_text(server).c_str(), o.stun_timeout);
        close(fd);
        return EXIT_STUN;
    }
    printf(
        "{\"pub_ip\":\"%s\",\"pub_port\":%d,\"pri_ip\":\"%s\",\"pri_port\":%d,"
        "\"peer_pub\":\"%s\",\"peer_pri\":\"%s\"}\n",
        ip_text(pub).c_str(), ntohs(pub.sin_port), ip_text(pri).c_str(), ntohs(pri.sin_port),
        addr_text(pub).c_str(), addr_text(pri).c_str());

    std::string line;
    DeviceAnswer dev;
    int got = read_line(&line);
    if (got < 0) {
        fprintf(stderr, "tarn-peer: %s\n",
                got == -1 ? "no answer line on standard input" : "answer line too long");
        close(fd);
        return EXIT_USAGE;
    }
    std::string why = parse_answer(line.c_str(), &dev);
    if (!why.empty()) {
        fprintf(stderr, "tarn-peer: bad answer line: %s\n", why.c_str());
        close(fd);
        return EXIT_USAGE;
    }

    double t0 = now_s();
    double deadline = t0 + o.punch_timeout;
    fprintf(stderr, "tarn-peer: punching to %s, %s, %s\n", addr_text(dev.pub).c_str(),
            addr_text(dev.pri).c_str(), addr_text(dev.fixed).c_str());
    PunchResult p;
    Transfer t;
    t.verify = o.verify;
    test_pattern_check_init(&t.check);
    if (!punch(fd, dev, seal ? &seal->keys : nullptr, o.probe_interval, deadline, &p)) {
        fprintf(stderr, "tarn-peer: punch %s after %.1f s (%d SYN and %d ACK received%s)\n",
                g_stop ? "stopped" : "timed out", now_s() - t0, p.syn_recv, p.ack_recv,
                p.refused ? (", " + std::to_string(p.refused) + " refused").c_str() : "");
        close(fd);
        t.end = g_stop ? "signal" : "punch-timeout";
        print_summary("", p, t0, 0, t, o);
        return EXIT_PUNCH;
    }
    std::string peer = addr_text(p.device);
    fprintf(stderr, "tarn-peer: device's UDT from %s after %d ms\n", peer.c_str(),
            ms_between(t0, p.done));

    int u = udt_viewer_socket(fd, o.udp_rcvbuf, o.device_options, o.mss);  // owns fd from here on
    if (u < 0) {
        fprintf(stderr, "tarn-peer: cannot build the UDT socket: %d\n", udt_getlasterror_code());
        close(fd);
        t.end = "udt-failed";
        print_summary(peer, p, t0, 0, t, o);
        return EXIT_PUNCH;
    }
    double udt_at = 0;
    if (udt_connect(u, reinterpret_cast<const struct sockaddr *>(&p.device), sizeof(p.device)) <
            0 ||
        !udt_wait_connected(u, deadline)) {
        fprintf(stderr, "tarn-peer: UDT did not connect to %s (state %d, error %d)\n", peer.c_str(),
                udt_getsockstate(u), udt_getlasterror_code());
        udt_close(u);
        t.end = g_stop ? "signal" : "udt-timeout";
        print_summary(peer, p, t0, 0, t, o);
        return EXIT_PUNCH;
    }
    udt_at = now_s();
    fprintf(stderr, "tarn-peer: UDT connected to %s after %d ms\n", peer.c_str(),
            ms_between(t0, udt_at));

    // The device opens its media server only when our first bytes (of
    // plaintext, in a private session) reach it.
    Upstream up = {u, seal.get(), o.corrupt_at};
    bool started = up_start(&up);
    const uint8_t *req = reinterpret_cast<const uint8_t *>(o.request.data());
    for (size_t at = 0; started && at < o.request.size(); at += kSendChunk) {
        size_t n = std::min(o.request.size() - at, static_cast<size_t>(kSendChunk));
        started = up_send(&up, req + at, static_cast<int>(n));
    }
    if (!started) {
        t.end = "closed";
        t.failed = true;
    } else {
        transfer(&up, o, udt_at, &t);
    }
    udt_close(u);
    print_summary(peer, p, t0, udt_at, t, o);

    bool ok = t.recv > 0 && !t.unauthentic && (!o.verify || t.check.errors == 0) &&
              (o.bytes < 0 || t.recv >= o.bytes) && t.sent >= o.send_bytes;
    return ok ? EXIT_OK : EXIT_NO_DATA;
}
