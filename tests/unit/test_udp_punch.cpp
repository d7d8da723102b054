// Punch context, probe datagrams, source classification and sweeps: what is
// sent where, caught on loopback sockets of the test.
#include <gtest/gtest.h>

#include <map>
#include <tuple>
#include <string>

#include "punch_harness.h"
#include "stdout_capture.h"

namespace {

const char kToken[] = "00:11:22:33:44:55-1700000000-AbCdEfGh12345678";

std::string syn_of(const std::string &token) {
    return token + std::string(1, '\0');
}
std::string ack_of(const std::string &token) {
    std::string s = syn_of(token);
    s[0] = static_cast<char>(static_cast<unsigned char>(s[0]) + 1);
    return s;
}

int kind(const std::string &data, const char *token = kToken) {
    return punch_probe_kind(data.data(), static_cast<int>(data.size()), token);
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

    EXPECT_EQ(kind(""), PUNCH_TRASH);
    EXPECT_EQ(kind(std::string(1, '\0')), PUNCH_TRASH);
    EXPECT_EQ(kind("hello"), PUNCH_TRASH);
    EXPECT_EQ(kind(t.substr(0, t.size() - 1)), PUNCH_TRASH);  // a prefix of the id
    EXPECT_EQ(kind(t + "X"), PUNCH_TRASH);                    // the id plus more text
    std::string two = syn_of(t);
    two[0] = static_cast<char>(two[0] + 2);
    EXPECT_EQ(kind(two), PUNCH_TRASH);
    std::string other = syn_of(t);
    other[5] ^= 1;  // an ACK differs only in its first byte
    other[0] = static_cast<char>(other[0] + 1);
    EXPECT_EQ(kind(other), PUNCH_TRASH);
}

TEST(ProbeDatagram, AckFirstByteWrapsModulo256) {
    const std::string t = "\xff-wrapping-token";
    std::string ack = ack_of(t);
    EXPECT_EQ(ack[0], '\0');
    EXPECT_EQ(kind(ack, t.c_str()), PUNCH_ACK);
    EXPECT_EQ(kind(syn_of(t), t.c_str()), PUNCH_SYN);
}

class ProbeSend : public ::testing::Test {
   protected:
    void SetUp() override {
        catcher = udp_on("127.0.0.2");
        from = udp_on("127.0.0.1");
        ctx.token = kToken;
    }
    void TearDown() override {
        close(catcher);
        close(from);
    }
    int catcher = -1;
    int from = -1;
    udp_punch_ctx ctx{};
};

TEST_F(ProbeSend, SynAndAckOnTheWire) {
    ASSERT_EQ(stun_send_syn_ex(&ctx, 0, from, local_of(catcher)), 0);
    ASSERT_EQ(stun_send_syn_ex(&ctx, 1, from, local_of(catcher)), 0);
    auto got = collect(catcher, {from});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].data, syn_of(kToken));
    EXPECT_EQ(got[1].data, ack_of(kToken));
    EXPECT_EQ(ntohs(got[0].src.sin_port), port_of(from));
}

TEST_F(ProbeSend, LongTokenIsCutTo511CharactersPlusTheZero) {
    std::string long_token(600, 'k');
    long_token[0] = 'L';
    ctx.token = long_token.c_str();
    ASSERT_EQ(stun_send_syn_ex(&ctx, 0, from, local_of(catcher)), 0);
    ASSERT_EQ(stun_send_syn_ex(&ctx, 1, from, local_of(catcher)), 0);
    auto got = collect(catcher, {from});
    ASSERT_EQ(got.size(), 2u);
    ASSERT_EQ(got[0].data.size(), 512u);
    EXPECT_EQ(got[0].data.substr(0, 511), long_token.substr(0, 511));
    EXPECT_EQ(got[0].data[511], '\0');
    EXPECT_EQ(kind(got[0].data, long_token.c_str()), PUNCH_SYN);
    EXPECT_EQ(kind(got[1].data, long_token.c_str()), PUNCH_ACK);
}

sockaddr_in src(const char *ip, uint16_t port) {
    return addr_of(ip, port);
}

TEST(SourceClassification, PrivateRangesAndTheirEdges) {
    for (const char *ip : {"10.0.0.0", "10.255.255.255", "172.16.0.0", "172.31.255.255",
                           "192.168.0.0", "192.168.255.255"}) {
        sockaddr_in a = src(ip, 1);
        EXPECT_TRUE(punch_addr_is_private(&a)) << ip;
    }
    for (const char *ip : {"9.255.255.255", "11.0.0.0", "172.15.255.255", "172.32.0.0",
                           "192.167.255.255", "192.169.0.0", "127.0.0.1", "100.64.0.1"}) {
        sockaddr_in a = src(ip, 1);
        EXPECT_FALSE(punch_addr_is_private(&a)) << ip;
    }
}

TEST(SourceClassification, PortWindowIsThePortAndFiveAboveWithoutWrap) {
    EXPECT_TRUE(punch_port_in_window(40000, 40000));
    EXPECT_TRUE(punch_port_in_window(40001, 40000));
    EXPECT_TRUE(punch_port_in_window(40005, 40000));
    EXPECT_FALSE(punch_port_in_window(40006, 40000));
    EXPECT_FALSE(punch_port_in_window(39999, 40000));
    EXPECT_TRUE(punch_port_in_window(65535, 65533));
    EXPECT_FALSE(punch_port_in_window(0, 65533));
    EXPECT_FALSE(punch_port_in_window(2, 65533));
}

TEST(SourceClassification, BothMachines) {
    udp_punch_ctx ctx{};
    ctx.peer_public = src("203.0.113.7", 40000);
    ctx.peer_fixed = src("203.0.113.7", 41000);
    ctx.peer_private = src("192.168.1.20", 40000);
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
        {"203.0.113.7", 12345, -1, -1},
    };
    for (const row &r : rows) {
        sockaddr_in a = src(r.ip, r.port);
        EXPECT_EQ(punch_main_source_path(&ctx, &a), r.main_path) << r.ip << ":" << r.port;
        EXPECT_EQ(punch_fixed_source_path(&ctx, &a), r.fixed_path) << r.ip << ":" << r.port;
    }
    // The public window is tested before the fixed port.
    ctx.peer_fixed.sin_port = htons(40002);
    sockaddr_in a = src("203.0.113.7", 40002);
    EXPECT_EQ(punch_main_source_path(&ctx, &a), 1);
    EXPECT_EQ(punch_fixed_source_path(&ctx, &a), 3);
}

TEST(PunchContext, InitAndClearOwnTheSockets) {
    event_base *base = event_base_new();
    {
        punch_side dev(base, "127.0.0.1", kToken);
        int sock = dev.ctx.sock;
        int fixed = dev.ctx.fixed_sock;
        EXPECT_EQ(udp_punch_clear_internal(&dev.ctx), -1);  // no state: nothing happens
        EXPECT_TRUE(fd_open(sock));
        EXPECT_EQ(udp_punch_clear_internal(nullptr), -1);

        dev.ctx.base = nullptr;
        EXPECT_EQ(udp_punch_init_internal(&dev.ctx), -1);
        dev.ctx.base = base;
        dev.ctx.sock = -1;
        EXPECT_EQ(udp_punch_init_internal(&dev.ctx), -1);
        dev.ctx.sock = sock;
        EXPECT_EQ(udp_punch_init_internal(nullptr), -1);

        ASSERT_EQ(udp_punch_init_internal(&dev.ctx), 0);
        udp_punch_state *st = dev.ctx.state;
        ASSERT_NE(st, nullptr);
        EXPECT_EQ(st->udt, -1);
        EXPECT_NE(st->out_buf, nullptr);
        EXPECT_EQ(st->succeeded, 0);
        EXPECT_EQ(st->predict_count, 0);
        for (uint32_t s : st->path_status) EXPECT_EQ(s, 0u);

        ASSERT_EQ(udp_punch_clear_internal(&dev.ctx), 0);
        EXPECT_EQ(dev.ctx.state, nullptr);
        EXPECT_FALSE(fd_open(sock));
        EXPECT_FALSE(fd_open(fixed));
        EXPECT_EQ(dev.ctx.sock, -1);
        EXPECT_EQ(dev.ctx.fixed_sock, -1);
    }
    event_base_free(base);
}

// A device context whose peer addresses are loopback catchers of the test:
// private 127.0.0.3, public 127.0.0.2:base and the five ports above it,
// fixed 127.0.0.2:base+100.
class Sweep : public ::testing::Test {
   protected:
    void SetUp() override {
        base = event_base_new();
        dev = new punch_side(base, "127.0.0.1", kToken);
        ASSERT_GE(dev->ctx.sock, 0);
        ASSERT_GE(dev->ctx.fixed_sock, 0);
        place(40000);
        ASSERT_EQ(udp_punch_init_internal(&dev->ctx), 0);
    }
    void TearDown() override {
        delete dev;
        for (auto &c : catchers) close(c.second);
        close(priv);
        event_base_free(base);
    }
    void place(uint16_t public_port) {
        for (auto &c : catchers) close(c.second);
        catchers.clear();
        pub_port = public_port;
        for (int k = 0; k <= 5; k++) {
            uint16_t p = static_cast<uint16_t>((public_port + k) % 65536);
            if (p == 0) continue;  // port 0 cannot be bound
            catchers[p] = udp_on("127.0.0.2", p);
        }
        fixed_port = static_cast<uint16_t>(public_port + 100);
        catchers[fixed_port] = udp_on("127.0.0.2", fixed_port);
        if (priv >= 0) close(priv);
        priv = udp_on("127.0.0.3");
        dev->ctx.peer_public = addr_of("127.0.0.2", public_port);
        dev->ctx.peer_fixed = addr_of("127.0.0.2", fixed_port);
        dev->ctx.peer_private = local_of(priv);
    }
    std::vector<datagram_seen> at(uint16_t port) {
        return collect(catchers.at(port), {dev->ctx.sock, dev->ctx.fixed_sock});
    }
    uint16_t sock_port() { return port_of(dev->ctx.sock); }
    uint16_t fixed_sock_port() { return port_of(dev->ctx.fixed_sock); }

    event_base *base = nullptr;
    punch_side *dev = nullptr;
    std::map<uint16_t, int> catchers;
    uint16_t pub_port = 0;
    uint16_t fixed_port = 0;
    int priv = -1;
};

TEST_F(Sweep, MainPathsWithPredictionFromTheFourthSweep) {
    udp_punch_state *st = dev->ctx.state;
    for (int sweep = 1; sweep <= 4; sweep++) {
        SCOPED_TRACE(sweep);
        ASSERT_EQ(stun_send_syn_all(&dev->ctx), 0);
        auto priv_got = collect(priv, {dev->ctx.sock});
        ASSERT_EQ(priv_got.size(), 1u);
        EXPECT_EQ(priv_got[0].data, syn_of(kToken));
        auto pub_got = at(pub_port);
        ASSERT_EQ(pub_got.size(), 1u);
        EXPECT_EQ(pub_got[0].data, syn_of(kToken));
        EXPECT_EQ(ntohs(pub_got[0].src.sin_port), sock_port());
        for (int k = 1; k <= 5; k++) {
            auto got = at(static_cast<uint16_t>(pub_port + k));
            ASSERT_EQ(got.size(), sweep == 4 ? 1u : 0u) << "port +" << k;
            if (!got.empty()) {
                EXPECT_EQ(ntohs(got[0].src.sin_port), sock_port());
            }
        }
        EXPECT_TRUE(at(fixed_port).empty());
        EXPECT_EQ(st->predict_count, sweep);
        EXPECT_EQ(st->path_status[0], 1u);
        EXPECT_EQ(st->path_status[1], 1u);
    }

    // The peer's SYN came in on path 1, path 0 is open: ACK to the public
    // port only, no prediction, and nothing on path 0.
    st->path_status[1] = PUNCH_SYN_RECVD;
    st->path_status[0] = PUNCH_ACK_RECVD;
    StdoutCapture log;
    ASSERT_EQ(stun_send_syn_all(&dev->ctx), 0);
    ASSERT_TRUE(log.sync());
    EXPECT_EQ(log.count("Should not be here!"), 1);
    auto pub_got = at(pub_port);
    ASSERT_EQ(pub_got.size(), 1u);
    EXPECT_EQ(pub_got[0].data, ack_of(kToken));
    for (int k = 1; k <= 5; k++) EXPECT_TRUE(at(static_cast<uint16_t>(pub_port + k)).empty());
    EXPECT_TRUE(collect(priv, {dev->ctx.sock}).empty());
    EXPECT_EQ(st->predict_count, 4);
    EXPECT_EQ(st->path_status[1], static_cast<uint32_t>(PUNCH_SYN_RECVD));

    st->path_status[1] = PUNCH_UDT_CONNECTED;
    ASSERT_EQ(stun_send_syn_all(&dev->ctx), 0);
    EXPECT_TRUE(at(pub_port).empty());
}

TEST_F(Sweep, PredictedPortsWrapAtTheTop) {
    place(65534);
    for (int sweep = 1; sweep <= 4; sweep++) ASSERT_EQ(stun_send_syn_all(&dev->ctx), 0);
    EXPECT_EQ(at(65534).size(), 4u);
    for (uint16_t p : {65535, 1, 2, 3}) EXPECT_EQ(at(p).size(), 1u) << p;
}

struct flow {
    uint16_t to;
    uint16_t from;
    int ttl;
    bool operator<(const flow &o) const {
        return std::tie(to, from, ttl) < std::tie(o.to, o.from, o.ttl);
    }
    bool operator==(const flow &o) const {
        return std::tie(to, from, ttl) == std::tie(o.to, o.from, o.ttl);
    }
};

TEST_F(Sweep, FixedPathAndLowTtlBurstFollowThePreservationFlags) {
    const int ttl = 77;  // anything but the default, to see it restored
    setsockopt(dev->ctx.sock, IPPROTO_IP, IP_TTL, &ttl, sizeof(ttl));
    setsockopt(dev->ctx.fixed_sock, IPPROTO_IP, IP_TTL, &ttl, sizeof(ttl));
    const uint16_t S = sock_port(), F = fixed_sock_port();
    struct combo {
        int peer, self;
        int path;  // path of the fixed-port sweep, -1 for none
        uint16_t to, from;
    } combos[] = {
        {0, 0, -1, 0, 0},
        {1, 0, PUNCH_PATH_S_TO_F, fixed_port, S},
        {0, 1, PUNCH_PATH_F_TO_S, pub_port, F},
        {1, 1, PUNCH_PATH_F_TO_F, fixed_port, F},
    };
    for (const combo &c : combos) {
        SCOPED_TRACE(testing::Message() << "peer " << c.peer << " self " << c.self);
        dev->ctx.peer_port_preserved = c.peer;
        dev->ctx.self_port_preserved = c.self;
        memset(dev->ctx.state->path_status, 0, sizeof(dev->ctx.state->path_status));

        ASSERT_EQ(stun_send_syn_low_ttl(&dev->ctx), 0);
        ASSERT_EQ(stun_send_syn_all_fixed_port(&dev->ctx), 0);
        std::map<flow, int> seen;
        for (uint16_t port : {pub_port, fixed_port}) {
            for (auto &d : at(port)) {
                EXPECT_EQ(d.data, syn_of(kToken));
                seen[{port, ntohs(d.src.sin_port), d.ttl}]++;
            }
        }
        std::map<flow, int> want;
        want[{pub_port, S, 5}] = 3;
        if (c.path >= 0) {
            want[{c.to, c.from, 5}] = 3;
            want[{c.to, c.from, ttl}] += 1;  // the sweep, after the TTL came back
        }
        EXPECT_EQ(seen, want);
        for (int p = 0; p < PUNCH_PATHS; p++) {
            EXPECT_EQ(dev->ctx.state->path_status[p], p == c.path ? 1u : 0u) << "path " << p;
        }
    }
}

TEST_F(Sweep, LowTtlBurstIsSkippedWhenATtlCannotBeChanged) {
    const int ttl = 77;
    setsockopt(dev->ctx.sock, IPPROTO_IP, IP_TTL, &ttl, sizeof(ttl));
    dev->ctx.peer_port_preserved = 1;
    dev->ctx.self_port_preserved = 1;
    int fixed = dev->ctx.fixed_sock;
    dev->ctx.fixed_sock = -1;
    EXPECT_EQ(stun_send_syn_low_ttl(&dev->ctx), 0);
    dev->ctx.fixed_sock = fixed;
    int now = 0;
    socklen_t len = sizeof(now);
    getsockopt(dev->ctx.sock, IPPROTO_IP, IP_TTL, &now, &len);
    EXPECT_EQ(now, ttl);
    EXPECT_TRUE(at(pub_port).empty());
    EXPECT_TRUE(at(fixed_port).empty());
}

TEST(SockaddrText, DottedAddressAndHostOrderPort) {
    sockaddr_in a = addr_of("203.0.113.9", 65535);
    EXPECT_STREQ(sockaddr_to_str(&a), "203.0.113.9:65535");
    EXPECT_EQ(sockaddr_to_str(nullptr), nullptr);
}

}  // namespace
