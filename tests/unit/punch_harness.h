// Test helpers for the punch unit: loopback UDP sockets, a punch context owned
// by a real session slot, and a loop runner that stops on a condition.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <event2/event.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "punch/udp_punch.h"
#include "punch/udt_api.h"
#include "session/session.h"

inline sockaddr_in addr_of(const char *ip, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

inline sockaddr_in local_of(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return a;
}

inline uint16_t port_of(int fd) {
    return ntohs(local_of(fd).sin_port);
}

// A UDP socket bound to ip:port (0: any free port), or -1.
inline int udp_on(const char *ip, uint16_t port = 0) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, IPPROTO_IP, IP_RECVTTL, &one, sizeof(one));
    sockaddr_in a = addr_of(ip, port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline bool fd_open(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

// Descriptors open in this process.
inline int open_fds() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d)) n++;
        closedir(d);
    }
    return n;
}

struct datagram_seen {
    std::string data;
    sockaddr_in src;
    int ttl;
};

// One datagram from fd, waiting at most limit_ms; false when none came.
inline bool recv_one(int fd, datagram_seen *out, int limit_ms = 5000) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, limit_ms) <= 0) return false;
    char buf[2048];
    char ctl[64];
    iovec iov{buf, sizeof(buf)};
    msghdr msg{};
    msg.msg_name = &out->src;
    msg.msg_namelen = sizeof(out->src);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = ctl;
    msg.msg_controllen = sizeof(ctl);
    ssize_t n = recvmsg(fd, &msg, 0);
    if (n < 0) return false;
    out->data.assign(buf, n);
    out->ttl = -1;
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL)
            memcpy(&out->ttl, CMSG_DATA(c), sizeof(int));
    }
    return true;
}

constexpr char kMarker[] = "-- end of batch --";

// Everything the senders sent to catcher so far: each sender appends a
// marker after its datagrams (one flow keeps its order), and reading stops
// when every marker is in.
inline std::vector<datagram_seen> collect(int catcher, std::vector<int> senders) {
    sockaddr_in to = local_of(catcher);
    for (int s : senders) {
        sendto(s, kMarker, sizeof(kMarker) - 1, 0, reinterpret_cast<sockaddr *>(&to), sizeof(to));
    }
    std::vector<datagram_seen> got;
    size_t markers = 0;
    datagram_seen d;
    while (markers < senders.size() && recv_one(catcher, &d)) {
        if (d.data == kMarker)
            markers++;
        else
            got.push_back(d);
    }
    return got;
}

// Runs the loop until done() holds or limit passes; returns done().
inline bool run_until(event_base *base, const std::function<bool()> &done,
                      std::chrono::seconds limit = std::chrono::seconds(30)) {
    bool expired = false;
    event *guard = evtimer_new(
        base, [](evutil_socket_t, short, void *arg) { *static_cast<bool *>(arg) = true; },
        &expired);
    timeval tv{static_cast<time_t>(limit.count()), 0};
    evtimer_add(guard, &tv);
    while (!done() && !expired) event_base_loop(base, EVLOOP_ONCE);
    event_free(guard);
    return done();
}

// Polls a condition that has no event of its own (UDT's threads), in short
// steps; returns it.
inline bool poll_until(const std::function<bool()> &cond,
                       std::chrono::seconds limit = std::chrono::seconds(20)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// One end of a punch: a session slot as the owner, its context, the two UDP
// sockets on a loopback address, and owner callbacks that record what the
// punch layer reports. A local side that is open hands out from_local and
// collects what the peer sent in to_local.
struct punch_side {
    p2p_session sess{};  // the owner: ctx.user points here
    udp_punch_ctx ctx{};

    int successes = 0;
    sockaddr_in success_peer{};
    int won_by = 0;       // state->succeeded when succeed_cb ran
    int winner = -1;      // state->winner then
    bool refuse = false;  // succeed_cb rejects the connection
    int errors = 0;
    int stop_reason_at_error = 0;
    bool local_open = false;
    std::string from_local;
    size_t from_off = 0;
    std::string to_local;

    punch_side(event_base *base, const char *ip, const char *token,
               const char *fixed_ip = nullptr) {
        stat_init(&sess.stat);
        ctx.base = base;
        ctx.user = &sess;
        ctx.succeed_cb = on_succeed;
        ctx.error_cb = on_error;
        ctx.write_local = on_write_local;
        ctx.read_local = on_read_local;
        ctx.local_ready = on_local_ready;
        ctx.token = token;
        ctx.sock = udp_on(ip);
        ctx.fixed_sock = udp_on(fixed_ip ? fixed_ip : ip);
        sides()[&sess] = this;
        // A second in the past, so every recorded time offset is non-zero.
        gettimeofday(&ctx.start_time, nullptr);
        ctx.start_time.tv_sec -= 1;
    }
    ~punch_side() {
        if (ctx.state) udp_punch_clear_internal(&ctx);
        if (ctx.sock >= 0) close(ctx.sock);
        if (ctx.fixed_sock >= 0) close(ctx.fixed_sock);
        sides().erase(&sess);
    }
    punch_side(const punch_side &) = delete;
    punch_side &operator=(const punch_side &) = delete;

    static std::map<void *, punch_side *> &sides() {
        static std::map<void *, punch_side *> all;
        return all;
    }
    static punch_side *of(void *user) { return sides().at(user); }
    static int on_succeed(void *user, const sockaddr_in *peer) {
        punch_side *s = of(user);
        s->successes++;
        s->success_peer = *peer;
        s->won_by = s->ctx.state->succeeded;
        s->winner = s->ctx.state->winner;
        return s->refuse ? -1 : 0;
    }
    // Like the session: the owner frees the punch state inside the call.
    static void on_error(void *user) {
        punch_side *s = of(user);
        s->errors++;
        s->stop_reason_at_error = s->sess.stat.stopReason;
        udp_punch_clear_internal(&s->ctx);
    }
    static int on_write_local(void *user, const char *data, int len) {
        of(user)->to_local.append(data, len);
        return 0;
    }
    static int on_read_local(void *user, char *buf, int room) {
        punch_side *s = of(user);
        size_t n = std::min(static_cast<size_t>(room), s->from_local.size() - s->from_off);
        memcpy(buf, s->from_local.data() + s->from_off, n);
        s->from_off += n;
        return static_cast<int>(n);
    }
    static int on_local_ready(void *user) { return of(user)->local_open ? 1 : 0; }
};

inline bool same_addr(const sockaddr_in &a, const sockaddr_in &b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}
