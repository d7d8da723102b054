// udt_baseline: raw UDT between two hosts with the daemon's socket options,
// the baseline the relay benchmark compares tarn against.
//
//   udt_baseline send|recv --local IP:PORT --peer IP:PORT [--seconds N]
//                [--udp-rcvbuf BYTES]
//
// Both ends bind a UDP socket, put a rendezvous UDT socket on it with
// build_udt_socket and connect to each other; --udp-rcvbuf overrides the
// UDP receive buffer of the table, as tarn-peer's option of that name does. The sender writes as fast as
// UDT takes it; the receiver polls as tarn-peer does and prints one JSON line:
// {"bytes":B,"seconds":S,"mb_per_s":R}.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "punch/udp_punch.h"
#include "punch/udt_api.h"

namespace {

double now_s() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

bool parse_addr(const char *text, struct sockaddr_in *out) {
    std::string s(text);
    size_t colon = s.rfind(':');
    if (colon == std::string::npos) return false;
    memset(out, 0, sizeof(*out));
    out->sin_family = AF_INET;
    out->sin_port = htons(static_cast<uint16_t>(atoi(s.c_str() + colon + 1)));
    return inet_pton(AF_INET, s.substr(0, colon).c_str(), &out->sin_addr) == 1;
}

int usage() {
    fprintf(stderr,
            "usage: udt_baseline send|recv --local IP:PORT --peer IP:PORT [--seconds N] "
            "[--udp-rcvbuf BYTES]\n");
    return 2;
}

// Waits for the rendezvous to complete; false after 20 s.
bool wait_connected(int u) {
    for (double until = now_s() + 20; now_s() < until; poll(nullptr, 0, 5)) {
        if (udt_getsockstate(u) == UDT_STATE_CONNECTED) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) return usage();
    bool sender = !strcmp(argv[1], "send");
    if (!sender && strcmp(argv[1], "recv")) return usage();
    struct sockaddr_in local, peer;
    bool have_local = false, have_peer = false;
    double seconds = 10;
    int udp_rcvbuf = 0;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--local")) {
            have_local = parse_addr(argv[i + 1], &local);
        } else if (!strcmp(argv[i], "--peer")) {
            have_peer = parse_addr(argv[i + 1], &peer);
        } else if (!strcmp(argv[i], "--udp-rcvbuf")) {
            udp_rcvbuf = atoi(argv[i + 1]);
        } else if (!strcmp(argv[i], "--seconds")) {
            seconds = atof(argv[i + 1]);
        } else {
            return usage();
        }
    }
    if (!have_local || !have_peer) return usage();

    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<struct sockaddr *>(&local), sizeof(local)) < 0) {
        perror("udt_baseline: bind");
        return 1;
    }
    int u = build_udt_socket(-1);
    if (u >= 0 && udp_rcvbuf > 0) {
        udt_setsockopt(u, 0, UDT_OPT_UDP_RCVBUF, &udp_rcvbuf, sizeof(udp_rcvbuf));
    }
    if (u < 0 || udt_bind2(u, fd) < 0 ||
        udt_connect(u, reinterpret_cast<struct sockaddr *>(&peer), sizeof(peer)) < 0 ||
        !wait_connected(u)) {
        fprintf(stderr, "udt_baseline: no UDT connection (error %d)\n", udt_getlasterror_code());
        return 1;
    }

    static char buf[65536];
    int64_t bytes = 0;
    double start = now_s(), end = start + seconds;
    if (sender) {
        // Chunks of the size tarn's pump sends.
        memset(buf, 0x5a, sizeof(buf));
        while (now_s() < end && udt_send(u, buf, 8192, 0) > 0) {
        }
    } else {
        double first = 0, last = 0;
        while (now_s() < end) {
            int n = udt_recv(u, buf, sizeof(buf), 0);
            if (n > 0) {
                last = now_s();
                if (!bytes) first = last;
                bytes += n;
            } else if (udt_getlasterror_code() == EASYNCRCV) {
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
