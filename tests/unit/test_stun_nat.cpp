// NAT type discovery without a network: verdict, classification codes, the
// test loop's schedule and which answers count (the lab runs whole ones behind
// real NATs); server names and the socket helpers, on the sandbox's loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "stun/stun.h"

namespace {

constexpr uint32_t kServer = 0xCB007101;  // 203.0.113.1

StunNatTests fresh(int port = 20000) {
    StunNatTests t;
    stunNatTestsInit(&t, StunAddress4{3478, kServer}, port);
    return t;
}

constexpr uint32_t kAltServer = 0xCB007102;  // 203.0.113.2
constexpr uint32_t kPublic = 0xCB00710A;     // 203.0.113.10

constexpr StunAddress4 kChanged = {3479, kAltServer};

// The answer a server gives to test `test` of run t (for hairpin: our own
// request coming back).
StunMessage answer(const StunNatTests &t, int test, StunAddress4 mapped,
                   StunAddress4 changed = kChanged) {
    StunMessage m{};
    m.msgHdr.msgType = test == STUN_TEST_HAIRPIN ? 0x0001 : 0x0101;
    m.msgHdr.id = t.ids[test];
    m.hasMappedAddress = m.hasChangedAddress = 1;
    m.mappedAddress = {0, 1, mapped};
    m.changedAddress = {0, 1, changed};
    return m;
}

// Where a well-behaved server (and a hairpinning NAT) sends it from.
StunAddress4 source(const StunNatTests &t, int test) {
    if (test == STUN_TEST_HAIRPIN) return {20001, t.testIMappedAddr.addr};
    const bool alt_ip = test == STUN_TEST_II || test == STUN_TEST_I2;
    const bool alt_port = test == STUN_TEST_III || test == STUN_TEST_I2;
    return {static_cast<uint16_t>(alt_port ? 3479 : 3478), alt_ip ? kAltServer : kServer};
}

int feed(StunNatTests *t, int test, StunAddress4 mapped, StunAddress4 changed = kChanged) {
    return stunNatTestsAnswer(t, answer(*t, test, mapped, changed), source(*t, test));
}

std::vector<int> due(StunNatTests *t) {
    int tests[5];
    const int n = stunNatTestsDue(t, tests);
    return std::vector<int>(tests, tests + n);
}

// Plays a server: every test it answers is answered right after the
// timeout that sent it. Returns the number of timeouts the run took.
struct Server {
    bool answers[12] = {};
    StunAddress4 mappedI = {20000, kPublic};
    StunAddress4 mappedI2 = {20000, kPublic};
};

int play(StunNatTests *t, const Server &s) {
    int timeouts = 0;
    do {
        timeouts++;
        for (int test : due(t)) {
            if (!s.answers[test]) continue;
            // Each answer is a pass of its own.
            if (!stunNatTestsMore(t)) return timeouts;
            feed(t, test, test == STUN_TEST_I2 ? s.mappedI2 : s.mappedI);
        }
    } while (stunNatTestsMore(t));
    return timeouts;
}

// Open and firewall verdicts come from the lab's public hosts, those behind a
// NAT from played runs (StunNatLoop.Schedules).
TEST(StunNatVerdict, BlockedWithoutAnAnswerToTestI) {
    for (int others : {0, 1}) {
        StunNatTests t = fresh();
        t.respTestI = 0;
        t.isNat = t.mappedIpSame = t.respTestII = t.respTestIII = others;
        EXPECT_EQ(stunNatVerdict(t), NatBlocked) << others;
    }
}

TEST(StunNatCode, Codes) {
    const int base[] = {0xEE, -1, 0x00, 0x0C, 0x02, 0x04, 0x06, 0x08, 0x0A};
    for (int type = 0; type <= 8; type++) {
        EXPECT_EQ(stunNatCode(type, 0), base[type]) << type;
    }
    EXPECT_EQ(stunNatCode(NatIndependentFilter, 1), 0x12);
    // The low byte only: 0xEE with the flag is 0xFE, never 0x1EE.
    EXPECT_EQ(stunNatCode(NatUnknown, 1), 0xFE);
    // A failure stays -1 whatever the flag.
    EXPECT_EQ(stunNatCode(NatFailure, 1), -1);
    EXPECT_EQ(stunNatCode(9, 0), 0x0E);
}

TEST(StunNatLoop, Schedules) {
    struct Case {
        const char *what;
        std::vector<int> answered;
        StunAddress4 mappedI2;
        int timeouts;
        int restarts;
        NatType verdictBehindNat;
    } cases[] = {
        // Every test but hairpin answered: one extra cycle after test I.
        {"full cone", {1, 2, 3, 10}, {20000, kPublic}, 8, 0, NatIndependentFilter},
        {"port restricted", {1, 10}, {20000, kPublic}, 8, 0, NatPortDependentFilter},
        {"address restricted", {1, 3, 10}, {20000, kPublic}, 8, 0, NatAddressDependentFilter},
        // Same address, another port: a mapping per destination.
        {"symmetric", {1, 10}, {20001, kPublic}, 8, 0, NatDependentMapping},
        // Test I(2) unanswered: two cycles of six timeouts are added.
        {"no alternate", {1, 2, 3}, {0, 0}, 1 + 6 + 6 + 7, 2, NatDependentMapping},
    };
    for (const Case &c : cases) {
        Server s;
        for (int test : c.answered) s.answers[test] = true;
        s.mappedI2 = c.mappedI2;
        StunNatTests t = fresh(20000);
        EXPECT_EQ(play(&t, s), c.timeouts) << c.what;
        EXPECT_EQ(t.restarts, c.restarts) << c.what;
        t.isNat = 1;
        EXPECT_EQ(stunNatVerdict(t), c.verdictBehindNat) << c.what;
    }
}

// A hostile or broken server, or a stranger on the path, must not decide a
// test: each row spoils one thing of a correct answer, which then counts for
// nothing, and the real answer after it still does.
TEST(StunNatLoop, OnlyRealAnswersCount) {
    struct Row {
        const char *what;
        int test;
        void (*spoil)(StunMessage *m, StunAddress4 *from);
    } rows[] = {
        {"another run's id", 1, [](StunMessage *m, StunAddress4 *) { m->msgHdr.id.octet[9] ^= 1; }},
        {"error answer", 1, [](StunMessage *m, StunAddress4 *) { m->msgHdr.msgType = 0x0111; }},
        {"no mapped address", 1, [](StunMessage *m, StunAddress4 *) { m->hasMappedAddress = 0; }},
        {"IPv6 mapping", 1, [](StunMessage *m, StunAddress4 *) { m->mappedAddress.family = 2; }},
        {"no changed address", 1, [](StunMessage *m, StunAddress4 *) { m->hasChangedAddress = 0; }},
        {"from another port", 1, [](StunMessage *, StunAddress4 *f) { f->port = 3479; }},
        {"from another host", 1, [](StunMessage *, StunAddress4 *f) { f->addr = 0x06060606; }},
        // A server that ignores CHANGE-REQUEST answers from where it was asked.
        {"II from the primary", 2, [](StunMessage *, StunAddress4 *f) { f->addr = kServer; }},
        {"III from the asked port", 3, [](StunMessage *, StunAddress4 *f) { f->port = 3478; }},
        {"I(2) from the primary", 10, [](StunMessage *, StunAddress4 *f) { f->addr = kServer; }},
        {"hairpin as a response", 11,
         [](StunMessage *m, StunAddress4 *) { m->msgHdr.msgType = 0x0101; }},
        {"hairpin from elsewhere", 11, [](StunMessage *, StunAddress4 *f) { f->addr = kServer; }},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        StunNatTests t = fresh(20000);
        due(&t);
        if (r.test != STUN_TEST_I) {
            ASSERT_EQ(feed(&t, 1, {20000, kPublic}), STUN_TEST_I);
        }
        StunMessage m = answer(t, r.test, {20000, kPublic});
        StunAddress4 from = source(t, r.test);
        r.spoil(&m, &from);
        EXPECT_EQ(stunNatTestsAnswer(&t, m, from), 0);
        EXPECT_EQ(t.respTestI + t.respTestII + t.respTestIII + t.respTestI2 + t.respTestHairpin,
                  r.test == STUN_TEST_I ? 0 : 1);
        EXPECT_EQ(feed(&t, r.test, {20000, kPublic}), r.test);
    }
}

TEST(StunServerName, PortsAndDefaults) {
    struct Case {
        const char *name;
        int ok, port;
    } cases[] = {
        {"127.0.0.1", 1, 3478},          // no colon: default port
        {"127.0.0.1:1024", 1, 1024},     // lowest accepted
        {"127.0.0.1:65534", 1, 65534},   // highest accepted
        {"127.0.0.1:1023", 0, 0xFFFF},   // below 1024
        {"127.0.0.1:65535", 0, 0xFFFF},  // above 65534
        {"localhost:5000", 1, 5000},     // a name from /etc/hosts
    };
    for (const Case &c : cases) {
        StunAddress4 a = {1, 0xDEADBEEF};
        EXPECT_EQ(stunParseServerName(c.name, a), c.ok) << c.name;
        EXPECT_EQ(a.port, c.port) << c.name;
        if (c.ok) {
            EXPECT_EQ(a.addr, 0x7F000001u) << c.name;
        }
    }
}

// A refused datagram on a connected socket comes back on the next receive.
TEST(StunSocket, RefusedDatagramIsNoMessage) {
    const Socket fd = openUdpPort(0, 0x7F000001, 0, 0);
    ASSERT_GE(fd, 0);
    struct sockaddr_in self;
    socklen_t len = sizeof(self);
    getsockname(fd, reinterpret_cast<struct sockaddr *>(&self), &len);
    self.sin_port = htons(ntohs(self.sin_port) ^ 1);
    ASSERT_EQ(connect(fd, reinterpret_cast<struct sockaddr *>(&self), sizeof(self)), 0);
    EXPECT_TRUE(sendDatagram(fd, "x", 1, 0, 0, 0));
    char buf[64];
    int n = sizeof(buf);
    unsigned int ip;
    unsigned short port;
    EXPECT_FALSE(getMessage(fd, buf, &n, &ip, &port, 0));
    EXPECT_EQ(n, 0);
    close(fd);
}

TEST(StunSocket, PortWalksInStepsOfFiveWhenTaken) {
    // A port whose port + 5 is free too, found by binding.
    int p = 20000, a = -1, b = -1;
    for (; p < 30000 && (a < 0 || b < 0); p += 10) {
        for (int fd : {a, b}) {
            if (fd >= 0) close(fd);
        }
        a = openUdpPort(static_cast<unsigned short>(p), 0, 0, 0);
        b = openUdpPort(static_cast<unsigned short>(p + 5), 0, 0, 0);
    }
    close(b);  // a keeps p taken; p + 5 is free again
    p -= 10;
    const Socket walked = openUdpPort(static_cast<unsigned short>(p), 0, 1, 0);
    struct sockaddr_in bound;
    socklen_t len = sizeof(bound);
    getsockname(walked, reinterpret_cast<struct sockaddr *>(&bound), &len);
    EXPECT_EQ(ntohs(bound.sin_port), p + 5);
    EXPECT_EQ(openUdpPort(static_cast<unsigned short>(p), 0, 0, 0), INVALID_SOCKET);
    close(a);
    close(walked);
}

// A datagram that fills the buffer may have been cut: room for a terminator.
TEST(StunSocket, ReceiveKeepsRoomForTheTerminator) {
    const Socket fd = openUdpPort(0, 0x7F000001, 0, 0);
    struct sockaddr_in self;
    socklen_t len = sizeof(self);
    getsockname(fd, reinterpret_cast<struct sockaddr *>(&self), &len);
    const std::string big(2047, 'x');
    char buf[2048];
    unsigned int ip;
    unsigned short port;
    for (int n : {2046, 2047}) {
        ASSERT_TRUE(sendDatagram(fd, big.data(), n, 0x7F000001, ntohs(self.sin_port), 0));
        int room = sizeof(buf);
        EXPECT_EQ(getMessage(fd, buf, &room, &ip, &port, 0), n == 2046) << n;
    }
    close(fd);
}

}  // namespace
