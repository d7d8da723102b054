// Punch context, probe datagrams, source classification, sweeps and the two
// punch machines: what is sent where, caught on loopback sockets of the test,
// and what the machines make of datagrams those sockets send, one loop
// activation at a time.
#include <arpa/inet.h>
#include <fcntl.h>
#include <event2/event.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "punch/udp_punch.h"
#include "session/session.h"
#include "util/seal.h"

namespace {

sockaddr_in addr_of(const char *ip, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

sockaddr_in local_of(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return a;
}

uint16_t port_of(int fd) {
    return ntohs(local_of(fd).sin_port);
}

// A UDP socket bound to ip:port (0: any free port), or -1.
int udp_on(const char *ip, uint16_t port = 0) {
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

struct datagram_seen {
    std::string data;
    sockaddr_in src;
    int ttl;
};

constexpr char kMarker[] = "-- end of batch --";

// Everything the senders sent to catcher so far, with its TTL: each sender
// appends a marker after its datagrams (one flow keeps its order), and
// reading stops when every marker is in.
std::vector<datagram_seen> collect(int catcher, std::vector<int> senders) {
    sockaddr_in to = local_of(catcher);
    for (int s : senders) {
        sendto(s, kMarker, sizeof(kMarker) - 1, 0, reinterpret_cast<sockaddr *>(&to), sizeof(to));
    }
    std::vector<datagram_seen> got;
    for (size_t markers = 0; markers < senders.size();) {
        pollfd p{catcher, POLLIN, 0};
        char buf[2048], ctl[64];
        iovec iov{buf, sizeof(buf)};
        datagram_seen d{};
        msghdr msg{};  // fields by name: libcs pad it differently
        msg.msg_name = &d.src;
        msg.msg_namelen = sizeof(d.src);
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = ctl;
        msg.msg_controllen = sizeof(ctl);
        ssize_t n = poll(&p, 1, 5000) == 1 ? recvmsg(catcher, &msg, 0) : -1;
        if (n < 0) break;
        d.data.assign(buf, n);
        for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL)
                memcpy(&d.ttl, CMSG_DATA(c), sizeof(int));
        }
        if (d.data == kMarker)
            markers++;
        else
            got.push_back(d);
    }
    return got;
}

// Runs the loop until done() holds or limit passes; returns done().
bool run_until(event_base *base, const std::function<bool()> &done,
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

const char kToken[] = "00:11:22:33:44:55-1700000000-AbCdEfGh12345678";

// Probes: the id and its zero byte; an ACK has the first byte plus one.
std::string syn_of(const std::string &token) {
    return token + '\0';
}
std::string ack_of(const std::string &token) {
    return static_cast<char>(token[0] + 1) + syn_of(token.substr(1));
}

int kind(const std::string &data, const char *token = kToken) {
    return punch_probe_kind(data.data(), static_cast<int>(data.size()), token, nullptr);
}

TEST(FixedPort, AddsAThousandAndWrapsAboveTheTop) {
    EXPECT_EQ(get_fixed_port(5000), 6000);
    EXPECT_EQ(get_fixed_port(64535), 65535);
    EXPECT_EQ(get_fixed_port(64536), 49152);
    EXPECT_EQ(get_fixed_port(65535), 50151);
}

TEST(ProbeDatagram, RecognisesSynAckAndTrash) {
    const std::string t = kToken;
    EXPECT_EQ(kind(syn_of(t)), PUNCH_SYN);
    EXPECT_EQ(kind(t), PUNCH_SYN);  // the zero is implied by the zeroed buffer
    EXPECT_EQ(kind(ack_of(t)), PUNCH_ACK);
    // Only the text up to the first zero counts.
    EXPECT_EQ(kind(syn_of(t) + "trailing bytes"), PUNCH_SYN);
    EXPECT_EQ(kind(ack_of(t) + std::string("\0\1\2", 3)), PUNCH_ACK);

    std::string two = syn_of(t), other = ack_of(t);
    two[0] = static_cast<char>(two[0] + 2);
    other[5] ^= 1;  // an ACK differs only in its first byte
    for (const std::string &trash :
         {std::string(), std::string(1, '\0'), t.substr(1), t + "X", two, other})
        EXPECT_EQ(kind(trash), PUNCH_TRASH) << trash;
}

// A private session's probes: what the device builds carries the tag of its
// own key, and what it accepts must carry the viewer's, wherever it comes from.
TEST(ProbeDatagram, PrivateSessionTagsBothWays) {
    uint8_t key[SEAL_KEY_BYTES];
    for (size_t i = 0; i < sizeof(key); i++) key[i] = static_cast<uint8_t>(i * 7);
    seal_keys device{}, viewer{};
    ASSERT_EQ(seal_derive(key, SEAL_DEVICE, &device), 0);
    ASSERT_EQ(seal_derive(key, SEAL_VIEWER, &viewer), 0);

    char buf[PUNCH_PROBE_MAX];
    const std::string device_ack(buf, punch_build_probe(kToken, 1, device.probe_out, buf));
    ASSERT_EQ(device_ack.size(), strlen(kToken) + 1 + SEAL_TAG_BYTES);

    const size_t n = strlen(kToken);
    auto tagged = [&](const uint8_t *k, bool ack, bool tag_as_ack) {
        std::string d = ack ? ack_of(kToken) : syn_of(kToken);
        uint8_t tag[SEAL_TAG_BYTES];
        seal_probe_tag(k, tag_as_ack, kToken, n, tag);
        return d + std::string(reinterpret_cast<char *>(tag), sizeof(tag));
    };
    std::string flipped = tagged(viewer.probe_out, true, true);
    flipped.back() ^= 0x20;
    std::string no_zero = tagged(viewer.probe_out, false, false);
    no_zero[n] = 'x';
    uint8_t other_key[SEAL_KEY_BYTES] = {1};
    seal_keys stranger{};
    ASSERT_EQ(seal_derive(other_key, SEAL_VIEWER, &stranger), 0);
    struct {
        std::string data;
        const uint8_t *check_with;
        int want;
    } cases[] = {
        {device_ack, viewer.probe_in, PUNCH_ACK},
        {device_ack, device.probe_in, PUNCH_REFUSED},  // reflected back to the device
        {tagged(viewer.probe_out, false, false), device.probe_in, PUNCH_SYN},
        {tagged(viewer.probe_out, true, true) + "more", device.probe_in, PUNCH_ACK},
        {ack_of(kToken), device.probe_in, PUNCH_REFUSED},  // a plain viewer's
        {tagged(viewer.probe_out, true, false), device.probe_in, PUNCH_REFUSED},  // a SYN's tag
        {flipped, device.probe_in, PUNCH_REFUSED},
        {flipped.substr(0, flipped.size() - 1), device.probe_in, PUNCH_REFUSED},
        {no_zero, device.probe_in, PUNCH_TRASH},
        {tagged(stranger.probe_out, true, true), device.probe_in, PUNCH_REFUSED},
        {"hello", device.probe_in, PUNCH_TRASH},
    };
    for (auto &c : cases) {
        EXPECT_EQ(
            punch_probe_kind(c.data.data(), static_cast<int>(c.data.size()), kToken, c.check_with),
            c.want)
            << &c - cases;
    }
}

TEST(SourceClassification, BothMachines) {
    udp_punch_ctx ctx{};
    ctx.peer_public = addr_of("203.0.113.7", 40000);
    ctx.peer_fixed = addr_of("203.0.113.7", 41000);
    ctx.peer_private = addr_of("192.168.1.20", 40000);
    struct row {
        const char *ip;
        uint16_t port;
        int main_path;
        int fixed_path;
    } rows[] = {
        // A private source is path 0 on sock whatever its port; the fixed-port
        // machine does not test addresses.
        {"192.168.7.7", 5555, 0, -1},
        {"10.1.1.1", 40000, 0, 3},
        {"172.20.0.1", 41000, 0, 4},
        // Public sources: only the port counts, not the IP.
        {"203.0.113.7", 40000, 1, 3},
        {"198.51.100.1", 40003, 1, 3},
        {"203.0.113.7", 40005, 1, 3},
        {"203.0.113.7", 40006, -1, -1},
        {"203.0.113.7", 39999, -1, -1},
        {"198.51.100.1", 41000, 2, 4},
    };
    for (const row &r : rows) {
        sockaddr_in a = addr_of(r.ip, r.port);
        EXPECT_EQ(punch_main_source_path(&ctx, &a), r.main_path) << r.ip << ":" << r.port;
        EXPECT_EQ(punch_fixed_source_path(&ctx, &a), r.fixed_path) << r.ip << ":" << r.port;
    }
}

// The device: a session slot as the owner of a punch context whose two UDP
// sockets are on 127.0.0.1; its callbacks count what the punch layer reports,
// and the local side stays closed. The peer's addresses are catchers of the
// test: private 127.0.0.3, public 127.0.0.2:40000 and the five ports above
// it, fixed 127.0.0.2:40100.
class Device : public ::testing::Test {
   protected:
    void SetUp() override {
        current = this;
        stat_init(&sess.stat);
        ctx.base = base;
        ctx.stat = &sess.stat;
        ctx.peer = &sess.peer;
        ctx.self = &sess.self;
        ctx.succeed_cb = [](void *, const sockaddr_in *) { return 0; };
        // Like the session: the owner frees the punch state inside the call.
        ctx.error_cb = [](void *) {
            current->errors++;
            udp_punch_clear_internal(&current->ctx);
        };
        ctx.write_local = [](void *, const char *, int) { return 0; };
        ctx.read_local = [](void *, char *, int) { return 0; };
        ctx.local_ready = [](void *) { return 0; };
        ctx.token = kToken;
        ctx.sock = udp_on("127.0.0.1");
        ctx.fixed_sock = udp_on("127.0.0.1");
        // A second in the past, so every recorded time offset is non-zero.
        gettimeofday(&ctx.start_time, nullptr);
        ctx.start_time.tv_sec -= 1;
        for (uint16_t p : {kPub, uint16_t(kPub + 1), uint16_t(kPub + 2), uint16_t(kPub + 3),
                           uint16_t(kPub + 4), uint16_t(kPub + 5), kFixed, kOther})
            catchers[p] = udp_on("127.0.0.2", p);
        priv = udp_on("127.0.0.3");
        for (uint16_t p : {uint16_t(kPub + 3), kFixed}) strangers[p] = udp_on("127.0.0.5", p);
        ctx.peer_public = addr_of("127.0.0.2", kPub);
        ctx.peer_fixed = addr_of("127.0.0.2", kFixed);
        ctx.peer_private = local_of(priv);
        ASSERT_EQ(udp_punch_init_internal(&ctx), 0);
    }
    void TearDown() override {
        if (ctx.state) udp_punch_clear_internal(&ctx);
        for (int fd : {ctx.sock, ctx.fixed_sock, priv}) {
            if (fd >= 0) close(fd);
        }
        for (auto &c : catchers) close(c.second);
        for (auto &c : strangers) close(c.second);
        event_base_free(base);
    }
    // What the device's open sockets sent to a socket of the test so far.
    std::vector<datagram_seen> sent_to(int fd) {
        std::vector<int> open;
        for (int dev : {ctx.sock, ctx.fixed_sock}) {
            if (dev >= 0) open.push_back(dev);
        }
        return collect(fd, open);
    }
    std::vector<datagram_seen> at(uint16_t port) { return sent_to(catchers.at(port)); }
    // The machines run, and what their first sweeps sent is out of the way.
    void start() {
        ASSERT_EQ(udp_punch(&ctx), 0);
        for (auto &c : catchers) at(c.first);
        collect(priv, {ctx.sock});
    }
    // Sends payload from a socket of the test to a device socket and runs the
    // loop until the device has read it.
    void deliver(int from, int to, const std::string &payload) {
        sockaddr_in dest = local_of(to);
        ASSERT_EQ(sendto(from, payload.data(), payload.size(), 0,
                         reinterpret_cast<sockaddr *>(&dest), sizeof(dest)),
                  static_cast<ssize_t>(payload.size()));
        ASSERT_TRUE(run_until(base, [&] {
            pollfd p{to, POLLIN, 0};
            return poll(&p, 1, 0) == 0;
        }));
    }
    udp_punch_state *st() { return ctx.state; }

    static constexpr uint16_t kPub = 40000, kFixed = 40100, kOther = 45000;
    static Device *current;
    event_base *base = event_base_new();
    p2p_session sess{};
    udp_punch_ctx ctx{};
    int errors = 0;
    std::map<uint16_t, int> catchers;
    // Another host that saw the session id: 127.0.0.5, which no SYN went to.
    std::map<uint16_t, int> strangers;
    int priv = -1;
};
Device *Device::current;

// The NAT type the peer reports for itself, and the sweep from which the five
// ports above its public one are probed too.
struct Prediction {
    int peer_nat_type;
    int first_sweep;
};

class PredictionFor : public Device, public ::testing::WithParamInterface<Prediction> {};

TEST_P(PredictionFor, MainPathsAndPredictedPorts) {
    sess.peer.peer_nat_type = GetParam().peer_nat_type;
    const int first = GetParam().first_sweep;
    udp_punch_state *st = this->st();
    for (int sweep = 1; sweep <= 4; sweep++) {
        SCOPED_TRACE(sweep);
        ASSERT_EQ(stun_send_syn_all(&ctx), 0);
        auto priv_got = collect(priv, {ctx.sock});
        ASSERT_EQ(priv_got.size(), 1u);
        EXPECT_EQ(priv_got[0].data, syn_of(kToken));
        // The public port every time, the five above it from the first
        // prediction sweep on.
        for (int k = 0; k <= 5; k++) {
            auto got = at(static_cast<uint16_t>(kPub + k));
            ASSERT_EQ(got.size(), k == 0 || sweep >= first ? 1u : 0u) << "port +" << k;
            if (!got.empty()) {
                EXPECT_EQ(got[0].data, syn_of(kToken));
                EXPECT_EQ(ntohs(got[0].src.sin_port), port_of(ctx.sock));
            }
        }
        EXPECT_TRUE(at(kFixed).empty());
        EXPECT_EQ(st->predict_count, sweep);
        EXPECT_EQ(st->path_status[0], 1u);
        EXPECT_EQ(st->path_status[1], 1u);
    }

    // The peer's SYN came in on path 1, path 0 is open: ACK to the public
    // port only, no prediction, and nothing on path 0.
    st->path_status[1] = PUNCH_SYN_RECVD;
    st->path_status[0] = PUNCH_ACK_RECVD;
    ASSERT_EQ(stun_send_syn_all(&ctx), 0);
    auto pub_got = at(kPub);
    ASSERT_EQ(pub_got.size(), 1u);
    EXPECT_EQ(pub_got[0].data, ack_of(kToken));
    for (int k = 1; k <= 5; k++) EXPECT_TRUE(at(static_cast<uint16_t>(kPub + k)).empty());
    EXPECT_TRUE(collect(priv, {ctx.sock}).empty());
    EXPECT_EQ(st->predict_count, 4);
    EXPECT_EQ(st->path_status[1], static_cast<uint32_t>(PUNCH_SYN_RECVD));
}

INSTANTIATE_TEST_SUITE_P(Device, PredictionFor,
                         ::testing::Values(
                             // Filtering that depends on the address or port keeps one mapping:
                             // the public port is the one to probe first.
                             Prediction{NatPortDependentFilter, 4},
                             // The zero-filled request of a session that was never told.
                             Prediction{NatUnknown, 4},
                             // A symmetric NAT is never found at its STUN-seen port.
                             Prediction{NatDependentMapping, 1},
                             // 8 counts as the peer's NatType (a firewall, no NAT), not as the
                             // device's classification code 0x08 (dependent mapping).
                             Prediction{NatFirewall, 4}));

// Datagrams by destination port, source port and TTL.
using flow = std::tuple<uint16_t, uint16_t, int>;

TEST_F(Device, FixedPathAndLowTtlBurstFollowThePreservationFlags) {
    const int ttl = 77;  // anything but the default, to see it restored
    setsockopt(ctx.sock, IPPROTO_IP, IP_TTL, &ttl, sizeof(ttl));
    setsockopt(ctx.fixed_sock, IPPROTO_IP, IP_TTL, &ttl, sizeof(ttl));
    const uint16_t S = port_of(ctx.sock), F = port_of(ctx.fixed_sock);
    struct combo {
        int peer, self;
        int path;  // path of the fixed-port sweep, -1 for none
        uint16_t to, from;
    } combos[] = {
        {0, 0, -1, 0, 0},
        {1, 0, PUNCH_PATH_S_TO_F, kFixed, S},
        {0, 1, PUNCH_PATH_F_TO_S, kPub, F},
        {1, 1, PUNCH_PATH_F_TO_F, kFixed, F},
    };
    for (const combo &c : combos) {
        SCOPED_TRACE(testing::Message() << "peer " << c.peer << " self " << c.self);
        ctx.peer_port_preserved = c.peer;
        ctx.self_port_preserved = c.self;
        memset(ctx.state->path_status, 0, sizeof(ctx.state->path_status));

        ASSERT_EQ(stun_send_syn_low_ttl(&ctx), 0);
        ASSERT_EQ(stun_send_syn_all_fixed_port(&ctx), 0);
        std::map<flow, int> seen;
        for (uint16_t port : {kPub, kFixed}) {
            for (auto &d : at(port)) {
                EXPECT_EQ(d.data, syn_of(kToken));
                seen[flow(port, ntohs(d.src.sin_port), d.ttl)]++;
            }
        }
        std::map<flow, int> want;
        want[flow(kPub, S, 5)] = 3;
        if (c.path >= 0) {
            want[flow(c.to, c.from, 5)] = 3;
            want[flow(c.to, c.from, ttl)] += 1;  // the sweep, after the TTL came back
        }
        EXPECT_EQ(seen, want);
        for (int p = 0; p < PUNCH_PATHS; p++) {
            EXPECT_EQ(ctx.state->path_status[p], p == c.path ? 1u : 0u) << "path " << p;
        }
    }
}

// One datagram to one of the device's sockets: the path it marks, the
// answers it draws and whether it wins.
struct Arrival {
    bool to_fixed;
    uint16_t from;
    const char *what;  // "SYN", "ACK" or trash
    int path;          // -1: none marked
    int acks;          // answers that reach the sender
    int won;
    const char *from_ip = "127.0.0.2";  // the peer's public IP; .3 its private one
};

class OneArrival : public Device, public ::testing::WithParamInterface<Arrival> {};

TEST_P(OneArrival, MarksAnswersAndWins) {
    const Arrival &a = GetParam();
    start();
    const std::string what = a.what;
    const std::string ip = a.from_ip;
    const int from = ip == "127.0.0.3"   ? priv
                     : ip == "127.0.0.5" ? strangers.at(a.from)
                                         : catchers.at(a.from);
    deliver(from, a.to_fixed ? ctx.fixed_sock : ctx.sock,
            what == "SYN"   ? syn_of(kToken)
            : what == "ACK" ? ack_of(kToken)
                            : what);
    ASSERT_NE(st(), nullptr);
    for (int p = 0; p < PUNCH_PATHS; p++) {
        const int status = what == "SYN" ? PUNCH_SYN_RECVD : PUNCH_ACK_RECVD;
        const uint32_t want = p != a.path ? 0u : static_cast<uint32_t>(status);
        EXPECT_EQ(st()->path_status[p] & ~1u, want) << "path " << p;  // bit 0: SYN sent
    }
    EXPECT_EQ(st()->succeeded, a.won);
    int acks = 0;
    for (auto &d : sent_to(from)) acks += d.data == ack_of(kToken);
    EXPECT_EQ(acks, a.acks);
}

INSTANTIATE_TEST_SUITE_P(
    Device, OneArrival,
    ::testing::Values(
        // A SYN in the public window is answered once; the sweeps answer later.
        Arrival{false, 40003, "SYN", PUNCH_PATH_PUBLIC, 1, 0},
        Arrival{false, 45000, "SYN", -1, 1, 0},
        // The peer's NAT may map it to any port: its ACK is as good as any.
        Arrival{false, 45000, "ACK", -1, 1, PUNCH_WON_MAIN},
        // The private path's ACK comes from the private IP, on the main socket only.
        Arrival{false, 0, "ACK", -1, 1, PUNCH_WON_MAIN, "127.0.0.3"},
        Arrival{true, 0, "ACK", -1, 0, 0, "127.0.0.3"},
        // No SYN went to another IP: its ACK changes nothing, whatever its port.
        Arrival{false, 40003, "ACK", -1, 0, 0, "127.0.0.5"},
        Arrival{true, 40100, "ACK", -1, 0, 0, "127.0.0.5"},
        Arrival{false, 40003, "hello", -1, 0, 0},
        Arrival{true, 40100, "SYN", PUNCH_PATH_F_TO_F, 1, 0},
        Arrival{true, 40002, "SYN", PUNCH_PATH_F_TO_S, 1, 0},
        // On the fixed-port socket an ACK from an unknown port never wins.
        Arrival{true, 45000, "ACK", -1, 0, 0},
        // An ACK on the fixed path wins even before that path's own sweep.
        Arrival{true, 40100, "ACK", -1, 0, PUNCH_WON_FIXED}, Arrival{true, 45000, "?", -1, 0, 0}));

TEST_F(Device, ClearBeforeUdtClosesBothSockets) {
    const int sock = ctx.sock, fixed = ctx.fixed_sock;
    ASSERT_EQ(udp_punch_clear_internal(&ctx), 0);
    EXPECT_EQ(ctx.sock, -1);
    EXPECT_EQ(ctx.fixed_sock, -1);
    for (int fd : {sock, fixed}) EXPECT_EQ(fcntl(fd, F_GETFD), -1) << fd;
}

// A machine fails: a receive error (a refused datagram on a connected socket
// leaves one), or a UDT connect after its ACK won (the winner's socket taken
// out of the context: udt_connect refuses an unbound rendezvous socket). The
// fixed-port machine leaves the end to the session's deadline.
struct Failure {
    bool fixed;
    bool in_connect;
};

class MachineFails : public Device, public ::testing::WithParamInterface<Failure> {};

TEST_P(MachineFails, RecordsItsCodeAndOnlyTheMainMachineEndsTheSession) {
    const Failure f = GetParam();
    start();
    int &own = f.fixed ? ctx.fixed_sock : ctx.sock;
    const int reader = own, loser = f.fixed ? ctx.sock : ctx.fixed_sock;
    if (f.in_connect) {
        own = -1;
        deliver(catchers.at(f.fixed ? kFixed : kPub), reader, ack_of(kToken));
    } else {
        int closed = udp_on("127.0.0.4");
        sockaddr_in gone = local_of(closed);
        close(closed);
        connect(reader, reinterpret_cast<sockaddr *>(&gone), sizeof(gone));
        send(reader, "x", 1, 0);
        ASSERT_TRUE(run_until(base, [&] { return sess.stat.errorCode != 0; }));
    }
    EXPECT_EQ(sess.stat.errorCode, f.in_connect ? -52012 : -52011);
    EXPECT_EQ(errors, f.fixed ? 0 : 1);
    EXPECT_EQ(ctx.state != nullptr, f.fixed);  // the owner freed it inside error_cb
    if (!f.in_connect) return;
    EXPECT_EQ(fcntl(loser, F_GETFD), -1) << "the loser's socket stays open";
    close(reader);
    if (!f.fixed || !ctx.state) return;
    EXPECT_EQ(ctx.sock, -1);
    EXPECT_EQ(ctx.state->ev_main, nullptr);
    EXPECT_EQ(ctx.state->succeeded, PUNCH_WON_FIXED);
    ASSERT_TRUE(run_until(base, [&] { return sess.stat.stopReason == 1; }));
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(sess.stat.errorCode, -52012);
}

INSTANTIATE_TEST_SUITE_P(Device, MachineFails,
                         ::testing::Values(Failure{false, false}, Failure{true, false},
                                           Failure{false, true}, Failure{true, true}),
                         [](const ::testing::TestParamInfo<Failure> &info) {
                             return std::string(info.param.fixed ? "FixedPort" : "Main") +
                                    (info.param.in_connect ? "UdtConnect" : "Receive");
                         });

}  // namespace
