// tarn-media: a stand-in for the device's media server (streamd). Every
// connection gets the test pattern (util/test_pattern.h) from offset 0, as
// fast as the connection takes it or at a fixed rate, and everything the
// connections send is recorded. One libevent loop; no threads.
#include <arpa/inet.h>
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/listener.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>

#include "test_pattern.h"
#include "util/utils.h"

namespace {

const char kHelp[] =
    "usage: tarn-media [-p PORT] [--rate BYTES_PER_S] [--close-after BYTES] [-o FILE]\n"
    "\n"
    "Listens on 127.0.0.1:PORT (default 8080; 0 picks a free port) and streams the\n"
    "test pattern to every connection from its offset 0: byte i is the top byte of\n"
    "i * 2654435761 mod 2^32. Without --rate as fast as the connection takes it.\n"
    "What the connections send is written to FILE in arrival order (-o), and\n"
    "counted either way. With --close-after a connection ends its stream after\n"
    "BYTES: it half-closes once they are out and reads on until the peer closes.\n"
    "\n"
    "Standard output, one JSON line each:\n"
    "  {\"event\":\"listening\",\"port\":P}                     once listening\n"
    "  {\"event\":\"closed\",\"conn\":N,\"sent\":S,\"recv\":R,\"recv_crc32\":C}\n"
    "                                         when connection N ends\n"
    "  {\"event\":\"exit\",\"connections\":K,\"sent\":S,\"recv\":R,\"recv_crc32\":C}\n"
    "                                         on SIGTERM or SIGINT (exit status 0)\n"
    "recv_crc32 is the CRC-32 (as zlib's) of the bytes received, per connection\n"
    "or, on exit, of all of them in arrival order (the content of FILE).\n";

// Output kept queued per connection: enough to keep a fast reader busy,
// small enough that a stalled one costs little memory.
constexpr size_t kQueueHigh = 256 * 1024;
constexpr size_t kQueueLow = 64 * 1024;
constexpr int kRateTickUs = 10000;

struct Server;

struct Conn {
    Server *srv;
    unsigned id;
    struct bufferevent *bev;
    struct event *rate_timer;  // only with --rate
    uint64_t sent;             // pattern bytes queued so far (the next offset)
    uint64_t recv;
    uint32_t recv_crc;
    double tokens;  // rate credit, bytes
    int64_t last_tick_us;
    bool half_closed;
};

struct Server {
    struct event_base *base = nullptr;
    struct evconnlistener *listener = nullptr;
    struct event *sig_term = nullptr;
    struct event *sig_int = nullptr;
    std::set<Conn *> conns;
    uint64_t rate = 0;         // bytes per second, 0: unlimited
    uint64_t close_after = 0;  // bytes per connection, 0: never
    int out_fd = -1;
    bool out_failed = false;
    unsigned connections = 0;
    uint64_t sent = 0;
    uint64_t recv = 0;
    uint32_t recv_crc = 0;
};

double seconds_since(int64_t *ref_us) {
    int64_t now = monotonic_us();
    double d = (now - *ref_us) / 1e6;
    *ref_us = now;
    return d;
}

// Once the whole stream is out, the write side is closed; the peer sees a
// clean end of stream while what it sends is still read.
void end_stream_when_sent(Conn *c) {
    struct evbuffer *out = bufferevent_get_output(c->bev);
    if (c->half_closed || !c->srv->close_after || c->sent < c->srv->close_after) return;
    if (evbuffer_get_length(out) > 0) {
        bufferevent_setwatermark(c->bev, EV_WRITE, 0, 0);
        return;
    }
    shutdown(bufferevent_getfd(c->bev), SHUT_WR);
    c->half_closed = true;
}

// Appends up to n pattern bytes to the connection's output.
void queue_pattern(Conn *c, size_t n) {
    struct evbuffer *out = bufferevent_get_output(c->bev);
    uint64_t limit = c->srv->close_after;
    if (limit && n > limit - c->sent) n = static_cast<size_t>(limit - c->sent);
    while (n > 0) {
        struct evbuffer_iovec vec;
        size_t len = n < 16384 ? n : 16384;
        if (evbuffer_reserve_space(out, len, &vec, 1) < 1) return;
        test_pattern_fill(c->sent, static_cast<uint8_t *>(vec.iov_base), len);
        vec.iov_len = len;
        if (evbuffer_commit_space(out, &vec, 1) < 0) return;
        c->sent += len;
        c->srv->sent += len;
        n -= len;
    }
}

size_t queue_room(Conn *c) {
    size_t queued = evbuffer_get_length(bufferevent_get_output(c->bev));
    return queued < kQueueHigh ? kQueueHigh - queued : 0;
}

void conn_free(Conn *c) {
    // What is still queued never reached the connection.
    size_t unsent = evbuffer_get_length(bufferevent_get_output(c->bev));
    c->sent -= unsent;
    c->srv->sent -= unsent;
    printf("{\"event\":\"closed\",\"conn\":%u,\"sent\":%" PRIu64 ",\"recv\":%" PRIu64
           ",\"recv_crc32\":%" PRIu32 "}\n",
           c->id, c->sent, c->recv, c->recv_crc);
    if (c->rate_timer) event_free(c->rate_timer);
    bufferevent_free(c->bev);
    c->srv->conns.erase(c);
    delete c;
}

void read_cb(struct bufferevent *bev, void *arg) {
    Conn *c = static_cast<Conn *>(arg);
    Server *s = c->srv;
    struct evbuffer *in = bufferevent_get_input(bev);
    uint8_t buf[16384];
    int n;
    while ((n = evbuffer_remove(in, buf, sizeof(buf))) > 0) {
        c->recv += n;
        c->recv_crc = test_pattern_crc32(c->recv_crc, buf, n);
        s->recv += n;
        s->recv_crc = test_pattern_crc32(s->recv_crc, buf, n);
        for (int done = 0; s->out_fd >= 0 && !s->out_failed && done < n;) {
            ssize_t w = write(s->out_fd, buf + done, n - done);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                fprintf(stderr, "tarn-media: writing the record failed: %s\n", strerror(errno));
                s->out_failed = true;
                break;
            }
            done += w;
        }
    }
}

// Unlimited mode: the output drained to the low mark.
void write_cb(struct bufferevent *, void *arg) {
    Conn *c = static_cast<Conn *>(arg);
    queue_pattern(c, queue_room(c));
    end_stream_when_sent(c);
}

void rate_cb(evutil_socket_t, short, void *arg) {
    Conn *c = static_cast<Conn *>(arg);
    double rate = static_cast<double>(c->srv->rate);
    // At most a tenth of a second of credit, so a stalled reader gets no burst.
    double cap = rate / 10 > 1 ? rate / 10 : 1;
    c->tokens += rate * seconds_since(&c->last_tick_us);
    if (c->tokens > cap) c->tokens = cap;
    size_t n = static_cast<size_t>(c->tokens);
    size_t room = queue_room(c);
    if (n > room) n = room;
    c->tokens -= static_cast<double>(n);
    queue_pattern(c, n);
    end_stream_when_sent(c);
}

void event_cb(struct bufferevent *, short what, void *arg) {
    Conn *c = static_cast<Conn *>(arg);
    if (what & BEV_EVENT_ERROR)
        fprintf(stderr, "tarn-media: connection %u: %s\n", c->id,
                evutil_socket_error_to_string(EVUTIL_SOCKET_ERROR()));
    if (what & (BEV_EVENT_EOF | BEV_EVENT_ERROR)) conn_free(c);
}

void accept_cb(struct evconnlistener *, evutil_socket_t fd, struct sockaddr *, int, void *arg) {
    Server *s = static_cast<Server *>(arg);
    struct bufferevent *bev = bufferevent_socket_new(s->base, fd, BEV_OPT_CLOSE_ON_FREE);
    if (!bev) {
        evutil_closesocket(fd);
        return;
    }
    Conn *c = new Conn{s, ++s->connections, bev, nullptr, 0, 0, 0, 0, {}, false};
    s->conns.insert(c);
    if (s->rate) {
        c->rate_timer = event_new(s->base, -1, EV_PERSIST, rate_cb, c);
        struct timeval tick = {0, kRateTickUs};
        if (!c->rate_timer || event_add(c->rate_timer, &tick) < 0) {
            fprintf(stderr, "tarn-media: cannot start the rate timer\n");
            conn_free(c);
            return;
        }
        c->last_tick_us = monotonic_us();
        bufferevent_setcb(bev, read_cb, nullptr, event_cb, c);
    } else {
        bufferevent_setwatermark(bev, EV_WRITE, kQueueLow, 0);
        bufferevent_setcb(bev, read_cb, write_cb, event_cb, c);
        queue_pattern(c, kQueueHigh);
    }
    bufferevent_enable(bev, EV_READ | EV_WRITE);
}

void signal_cb(evutil_socket_t, short, void *arg) {
    event_base_loopexit(static_cast<Server *>(arg)->base, nullptr);
}

bool parse_u64(const char *text, uint64_t max, uint64_t *out) {
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 10);
    if (errno || end == text || *end || text[0] == '-' || v > max) return false;
    *out = v;
    return true;
}

int run(Server *s, int port, const char *out_path) {
    if (out_path) {
        s->out_fd = open(out_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (s->out_fd < 0) {
            fprintf(stderr, "tarn-media: %s: %s\n", out_path, strerror(errno));
            return 1;
        }
    }
    s->base = event_base_new();
    if (!s->base) return 1;
    struct sockaddr_in sin;
    memset(&sin, 0, sizeof(sin));
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sin.sin_port = htons(port);
    s->listener = evconnlistener_new_bind(
        s->base, accept_cb, s, LEV_OPT_CLOSE_ON_FREE | LEV_OPT_REUSEABLE | LEV_OPT_CLOSE_ON_EXEC,
        16, reinterpret_cast<struct sockaddr *>(&sin), sizeof(sin));
    if (!s->listener) {
        fprintf(stderr, "tarn-media: cannot listen on 127.0.0.1:%d: %s\n", port, strerror(errno));
        return 1;
    }
    socklen_t len = sizeof(sin);
    getsockname(evconnlistener_get_fd(s->listener), reinterpret_cast<struct sockaddr *>(&sin),
                &len);
    s->sig_term = evsignal_new(s->base, SIGTERM, signal_cb, s);
    s->sig_int = evsignal_new(s->base, SIGINT, signal_cb, s);
    if (!s->sig_term || !s->sig_int || event_add(s->sig_term, nullptr) < 0 ||
        event_add(s->sig_int, nullptr) < 0)
        return 1;
    printf("{\"event\":\"listening\",\"port\":%d}\n", ntohs(sin.sin_port));
    event_base_dispatch(s->base);

    while (!s->conns.empty()) conn_free(*s->conns.begin());
    printf("{\"event\":\"exit\",\"connections\":%u,\"sent\":%" PRIu64 ",\"recv\":%" PRIu64
           ",\"recv_crc32\":%" PRIu32 "}\n",
           s->connections, s->sent, s->recv, s->recv_crc);
    return s->out_failed ? 1 : 0;
}

void cleanup(Server *s) {
    while (!s->conns.empty()) conn_free(*s->conns.begin());
    if (s->sig_term) event_free(s->sig_term);
    if (s->sig_int) event_free(s->sig_int);
    if (s->listener) evconnlistener_free(s->listener);
    if (s->base) event_base_free(s->base);
    if (s->out_fd >= 0) close(s->out_fd);
}

}  // namespace

int main(int argc, char **argv) {
    static const struct option opts[] = {
        {"port", required_argument, nullptr, 'p'},
        {"rate", required_argument, nullptr, 'r'},
        {"close-after", required_argument, nullptr, 'c'},
        {"output", required_argument, nullptr, 'o'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    uint64_t port = 8080;
    Server s;
    const char *out_path = nullptr;
    int c;
    while ((c = getopt_long(argc, argv, "p:o:h", opts, nullptr)) != -1) {
        switch (c) {
            case 'p':
                if (!parse_u64(optarg, 65535, &port)) {
                    fprintf(stderr, "tarn-media: bad port %s\n", optarg);
                    return 2;
                }
                break;
            case 'r':
                if (!parse_u64(optarg, UINT64_C(1) << 40, &s.rate)) {
                    fprintf(stderr, "tarn-media: bad rate %s\n", optarg);
                    return 2;
                }
                break;
            case 'c':
                if (!parse_u64(optarg, UINT64_C(1) << 40, &s.close_after)) {
                    fprintf(stderr, "tarn-media: bad byte count %s\n", optarg);
                    return 2;
                }
                break;
            case 'o':
                out_path = optarg;
                break;
            case 'h':
                fputs(kHelp, stdout);
                return 0;
            default:
                fputs(kHelp, stderr);
                return 2;
        }
    }
    if (optind != argc) {
        fputs(kHelp, stderr);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    int status = run(&s, static_cast<int>(port), out_path);
    cleanup(&s);
    return status;
}
