// tarn-bench: the baselines and the control-plane client of `make bench`
// (bench/bench.py drives it in the NAT lab).
//
//   tarn-bench udt-send|udt-recv --local IP:PORT --peer IP:PORT [--seconds N]
//       Raw UDT between two hosts, the relay's baseline: both ends bind a UDP
//       socket and connect a rendezvous UDT socket to each other. The
//       receiver has a viewer's options (udt_viewer_socket, as tarn-peer),
//       sends tarn-peer's request and prints one JSON line:
//       {"bytes":B,"seconds":S,"mb_per_s":R}, S from its first to last byte.
//       The sender has the daemon's options (build_udt_socket) and, once the
//       request is in, writes 8192-byte chunks as fast as UDT takes them.
//   tarn-bench info-server --port P
//       The control plane's baseline: a libevent server on 127.0.0.1:P that
//       reads a request, answers tarn's get_tarn_info text and closes; no
//       parsing, no sessions. Prints {"event":"listening","port":P}; ends on
//       SIGTERM or SIGINT.
//   tarn-bench info-client --port P [--seconds N] [--threads T]
//       T threads (default 2) ask get_tarn_info on 127.0.0.1:P, a new
//       connection each, for N seconds; prints
//       {"answers":A,"failures":F,"seconds":S,"per_s":R}.
#include <arpa/inet.h>
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/listener.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "punch/udp_punch.h"
#include "punch/udt_api.h"
#include "udt_viewer.h"
#include "util/utils.h"

namespace {

const char kRequest[] = "GET /live HTTP/1.0\r\n\r\n";  // tarn-peer's
const char kInfoRequest[] = "{\"request\":\"get_tarn_info\"}";
const char kInfoAnswer[] = "{\"error_code\":0,\"result\":{\"version\":\"1.1\"}}";
constexpr int kViewerUdpRcvBuf = 1 << 20;  // tarn-peer's default
constexpr int kChunk = 8192;               // what the daemon's pump sends at once

struct Args {
    struct sockaddr_in local = {}, peer = {};
    bool have_local = false, have_peer = false;
    double seconds = 10;
    int port = 0;
    int threads = 2;
};

double now_s() {
    return monotonic_us() / 1e6;
}

bool parse_addr(const char *text, struct sockaddr_in *out) {
    std::string s(text);
    size_t colon = s.rfind(':');
    if (colon == std::string::npos) return false;
    out->sin_family = AF_INET;
    out->sin_port = htons(static_cast<uint16_t>(atoi(s.c_str() + colon + 1)));
    return inet_pton(AF_INET, s.substr(0, colon).c_str(), &out->sin_addr) == 1;
}

int usage() {
    fputs(
        "usage: tarn-bench udt-send|udt-recv --local IP:PORT --peer IP:PORT [--seconds N]\n"
        "       tarn-bench info-server --port P\n"
        "       tarn-bench info-client --port P [--seconds N] [--threads T]\n",
        stderr);
    return 2;
}

// -- raw UDT ------------------------------------------------------------------

int udt_run(bool sender, const Args &a) {
    if (!a.have_local || !a.have_peer) return usage();
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<const struct sockaddr *>(&a.local), sizeof(a.local))) {
        perror("tarn-bench: bind");
        return 1;
    }
    int u = sender ? build_udt_socket(fd) : udt_viewer_socket(fd, kViewerUdpRcvBuf, false);
    bool ok = u >= 0 && udt_connect(u, reinterpret_cast<const struct sockaddr *>(&a.peer),
                                    sizeof(a.peer)) == 0;
    for (double until = now_s() + 20; ok && udt_getsockstate(u) != UDT_STATE_CONNECTED;
         poll(nullptr, 0, 5)) {
        ok = now_s() < until;
    }
    if (!ok) {
        fprintf(stderr, "tarn-bench: no UDT connection (error %d)\n", udt_getlasterror_code());
        if (u >= 0) udt_close(u);
        return 1;
    }
    static char buf[65536];
    int64_t bytes = 0;
    double end = now_s() + a.seconds;
    if (sender) {
        // Data that reaches a rendezvous peer before its own handshake is
        // done sends UDT4 down a shortcut into the connected state, and the
        // transfer then crawls (0.16 MB/s in the lab). The device streams
        // only after the viewer's request; so do we.
        while (now_s() < end && udt_recv(u, buf, sizeof(buf), 0) < 0 &&
               udt_getlasterror_code() == EASYNCRCV) {
            poll(nullptr, 0, 1);
        }
        memset(buf, 0x5a, kChunk);
        while (now_s() < end && udt_send(u, buf, kChunk, 0) > 0) {
        }
    } else {
        ok = udt_send(u, kRequest, sizeof(kRequest) - 1, 0) > 0;
        // Polls as tarn-peer does; the sender's close ends the transfer.
        double first = 0, last = 0;
        while (ok && now_s() < end) {
            int n = udt_recv(u, buf, sizeof(buf), 0);
            if (n > 0) {
                last = now_s();
                if (!bytes) first = last;
                bytes += n;
            } else if (n < 0 && udt_getlasterror_code() == EASYNCRCV) {
                poll(nullptr, 0, 1);
            } else {
                break;
            }
        }
        double span = last - first;
        printf("{\"bytes\":%lld,\"seconds\":%.3f,\"mb_per_s\":%.3f}\n",
               static_cast<long long>(bytes), span, span > 0 ? bytes / span / 1e6 : 0.0);
    }
    udt_close(u);
    return 0;
}

// -- control plane --------------------------------------------------------------

void answered_cb(struct bufferevent *bev, void *) {
    bufferevent_free(bev);
}

void closed_cb(struct bufferevent *bev, short, void *) {
    bufferevent_free(bev);
}

void request_cb(struct bufferevent *bev, void *) {
    evbuffer_drain(bufferevent_get_input(bev), evbuffer_get_length(bufferevent_get_input(bev)));
    bufferevent_setcb(bev, nullptr, answered_cb, closed_cb, nullptr);
    bufferevent_disable(bev, EV_READ);
    bufferevent_write(bev, kInfoAnswer, sizeof(kInfoAnswer) - 1);
}

void accept_cb(struct evconnlistener *listener, evutil_socket_t fd, struct sockaddr *, int,
               void *) {
    struct bufferevent *bev =
        bufferevent_socket_new(evconnlistener_get_base(listener), fd, BEV_OPT_CLOSE_ON_FREE);
    if (!bev) {
        close(fd);
        return;
    }
    bufferevent_setcb(bev, request_cb, nullptr, closed_cb, nullptr);
    bufferevent_enable(bev, EV_READ);
}

void stop_cb(evutil_socket_t, short, void *base) {
    event_base_loopexit(static_cast<struct event_base *>(base), nullptr);
}

int info_server(const Args &a) {
    struct event_base *base = event_base_new();
    struct sockaddr_in sin = {};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sin.sin_port = htons(static_cast<uint16_t>(a.port));
    // The daemon's listener options and backlog.
    struct evconnlistener *listener =
        base ? evconnlistener_new_bind(
                   base, accept_cb, nullptr,
                   LEV_OPT_CLOSE_ON_FREE | LEV_OPT_CLOSE_ON_EXEC | LEV_OPT_REUSEABLE, 5,
                   reinterpret_cast<struct sockaddr *>(&sin), sizeof(sin))
             : nullptr;
    struct event *term = base ? evsignal_new(base, SIGTERM, stop_cb, base) : nullptr;
    struct event *intr = base ? evsignal_new(base, SIGINT, stop_cb, base) : nullptr;
    int rc = 1;
    if (listener && term && intr && event_add(term, nullptr) == 0 &&
        event_add(intr, nullptr) == 0) {
        printf("{\"event\":\"listening\",\"port\":%d}\n", a.port);
        fflush(stdout);
        rc = event_base_dispatch(base) < 0 ? 1 : 0;
    } else {
        fprintf(stderr, "tarn-bench: cannot listen on 127.0.0.1:%d\n", a.port);
    }
    if (term) event_free(term);
    if (intr) event_free(intr);
    if (listener) evconnlistener_free(listener);
    if (base) event_base_free(base);
    return rc;
}

// One request on a new connection; true for tarn's answer.
bool ask_info(const struct sockaddr_in &to) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    std::string answer;
    bool ok = connect(fd, reinterpret_cast<const struct sockaddr *>(&to), sizeof(to)) == 0 &&
              send(fd, kInfoRequest, sizeof(kInfoRequest) - 1, MSG_NOSIGNAL) ==
                  static_cast<ssize_t>(sizeof(kInfoRequest) - 1);
    struct pollfd p = {fd, POLLIN, 0};
    while (ok && poll(&p, 1, 5000) == 1) {
        char buf[256];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) break;
        answer.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return ok && answer == kInfoAnswer;
}

int info_client(const Args &a) {
    struct sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(a.port));
    std::atomic<long> answers{0}, failures{0};
    double start = now_s(), end = start + a.seconds;
    std::vector<std::thread> threads;
    for (int i = 0; i < a.threads; i++) {
        threads.emplace_back([&] {
            while (now_s() < end) (ask_info(to) ? answers : failures)++;
        });
    }
    for (auto &t : threads) t.join();
    double took = now_s() - start;
    printf("{\"answers\":%ld,\"failures\":%ld,\"seconds\":%.3f,\"per_s\":%.1f}\n", answers.load(),
           failures.load(), took, answers.load() / took);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) return usage();
    Args a;
    for (int i = 2; i + 1 < argc; i += 2) {
        const char *opt = argv[i], *val = argv[i + 1];
        if (!strcmp(opt, "--local")) {
            a.have_local = parse_addr(val, &a.local);
        } else if (!strcmp(opt, "--peer")) {
            a.have_peer = parse_addr(val, &a.peer);
        } else if (!strcmp(opt, "--seconds")) {
            a.seconds = atof(val);
        } else if (!strcmp(opt, "--port")) {
            a.port = atoi(val);
        } else if (!strcmp(opt, "--threads")) {
            a.threads = atoi(val);
        } else {
            return usage();
        }
    }
    if (argc % 2) return usage();
    std::string cmd = argv[1];
    if (cmd == "udt-send" || cmd == "udt-recv") return udt_run(cmd == "udt-send", a);
    if (cmd == "info-server") return info_server(a);
    if (cmd == "info-client") return info_client(a);
    return usage();
}
