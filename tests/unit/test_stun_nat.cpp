// NAT type discovery: the verdict over test outcomes, the classification
// codes, the test loop's schedule (driven without a network), and whole
// runs against loopback addresses where nothing answers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "stats/data_stat.h"
#include "stdout_capture.h"
#include "stun/stun.h"

namespace {

constexpr uint32_t kLoopback = 0x7F000001;
constexpr uint32_t kServer = 0xCB007101;     // 203.0.113.1
constexpr uint32_t kAltServer = 0xCB007102;  // 203.0.113.2
constexpr uint32_t kPublic = 0xCB00710A;     // 203.0.113.10

constexpr StunAddress4 kChanged = {3479, kAltServer};

// The answer a server gives to test `test` of run t (for hairpin: our own
// request coming back).
StunMessage answer(const StunNatTests &t, int test, StunAddress4 mapped,
                   StunAddress4 changed = kChanged) {
    StunMessage m;
    memset(&m, 0, sizeof(m));
    m.msgHdr.msgType = test == STUN_TEST_HAIRPIN ? 0x0001 : 0x0101;
    m.msgHdr.id = t.ids[test];
    m.hasMappedAddress = 1;
    m.mappedAddress.family = 1;
    m.mappedAddress.ipv4 = mapped;
    m.hasChangedAddress = 1;
    m.changedAddress.family = 1;
    m.changedAddress.ipv4 = changed;
    return m;
}

// Where a well-behaved server (and a hairpinning NAT) sends it from.
StunAddress4 source(const StunNatTests &t, int test) {
    switch (test) {
        case STUN_TEST_I:
            return {3478, kServer};
        case STUN_TEST_II:
            return {3478, kAltServer};
        case STUN_TEST_III:
            return {3479, kServer};
        case STUN_TEST_I2:
            return {3479, kAltServer};
        default:
            return {20001, t.testIMappedAddr.addr};
    }
}

int feed(StunNatTests *t, int test, StunAddress4 mapped, StunAddress4 changed = kChanged) {
    return stunNatTestsAnswer(t, answer(*t, test, mapped, changed), source(*t, test));
}

StunNatTests fresh(int port = 20000) {
    StunNatTests t;
    stunNatTestsInit(&t, StunAddress4{3478, kServer}, port);
    return t;
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

TEST(StunNatVerdict, Table) {
    struct Row {
        int testI, isNat, same, testII, testIII;
        NatType want;
    } rows[] = {
        {0, 1, 1, 1, 1, NatBlocked},
        {0, 0, 0, 0, 0, NatBlocked},
        {1, 0, 0, 1, 0, NatOpen},
        {1, 0, 1, 0, 1, NatFirewall},
        {1, 1, 0, 1, 1, NatDependentMapping},
        {1, 1, 1, 1, 0, NatIndependentFilter},
        {1, 1, 1, 0, 1, NatAddressDependentFilter},
        {1, 1, 1, 0, 0, NatPortDependentFilter},
    };
    for (const Row &r : rows) {
        StunNatTests t = fresh();
        t.respTestI = r.testI;
        t.isNat = r.isNat;
        t.mappedIpSame = r.same;
        t.respTestII = r.testII;
        t.respTestIII = r.testIII;
        EXPECT_EQ(stunNatVerdict(t), r.want)
            << r.testI << r.isNat << r.same << r.testII << r.testIII;
    }
}

TEST(StunNatCode, BaseCodesHairpinAndFailure) {
    const int base[] = {0xEE, -1, 0x00, 0x0C, 0x02, 0x04, 0x06, 0x08, 0x0A};
    for (int type = 0; type <= 8; type++) {
        EXPECT_EQ(stunNatCode(type, 0), base[type]) << type;
    }
    EXPECT_EQ(stunNatCode(NatIndependentFilter, 1), 0x12);
    EXPECT_EQ(stunNatCode(NatPortDependentFilter, 1), 0x16);
    EXPECT_EQ(stunNatCode(NatOpen, 1), 0x10);
    // The low byte only: 0xEE with the flag is 0xFE, never 0x1EE.
    EXPECT_EQ(stunNatCode(NatUnknown, 1), 0xFE);
    // A failure stays -1 whatever the flag.
    EXPECT_EQ(stunNatCode(NatFailure, 1), -1);
    EXPECT_EQ(stunNatCode(9, 0), 0x0E);
    EXPECT_EQ(stunNatCode(-3, 1), 0x1E);
}

TEST(StunNatCode, Texts) {
    char text[128];
    stunNatDescribe(NatIndependentFilter, 1, 1, text, sizeof(text));
    EXPECT_STREQ(text, "Independent Mapping, Independent Filter, preserves ports, will hairpin");
    stunNatDescribe(NatDependentMapping, 0, 0, text, sizeof(text));
    EXPECT_STREQ(text, "Dependent Mapping, random port, no hairpin");
    // Only the four NAT verdicts carry the port and hairpin words.
    stunNatDescribe(NatOpen, 1, 1, text, sizeof(text));
    EXPECT_STREQ(text, "Open");
    stunNatDescribe(12, 0, 0, text, sizeof(text));
    EXPECT_STREQ(text, "12 unknown NAT type");
}

TEST(StunNatLoop, NoAnswerSendsTestsOneToThreeSevenTimes) {
    StunNatTests t = fresh();
    int timeouts = 0;
    do {
        EXPECT_EQ(due(&t), (std::vector<int>{1, 2, 3}));
        timeouts++;
    } while (stunNatTestsMore(&t));
    EXPECT_EQ(timeouts, 7);
    EXPECT_EQ(t.restarts, 0);
    EXPECT_EQ(stunNatVerdict(t), NatBlocked);
}

TEST(StunNatLoop, FirstTestIAnswerStartsTestsI2AndHairpinAtOnce) {
    StunNatTests t = fresh(20000);
    due(&t);
    due(&t);
    ASSERT_EQ(t.count, 2);
    EXPECT_EQ(feed(&t, 1, {20000, kPublic}, {3479, kAltServer}), STUN_TEST_I);
    EXPECT_EQ(t.count, 0);
    EXPECT_EQ(t.preservePort, 1);
    StunNatTests moved = fresh(20000);
    feed(&moved, 1, {20005, kPublic});
    EXPECT_EQ(moved.preservePort, 0);
    EXPECT_EQ(t.altDest.addr, kAltServer);
    EXPECT_EQ(t.altDest.port, 3479);
    EXPECT_EQ(due(&t), (std::vector<int>{10, 2, 3, 11}));

    // Later answers to test I change nothing.
    EXPECT_EQ(feed(&t, 1, {40000, kServer}), 0);
    EXPECT_EQ(t.testIMappedAddr.port, 20000);
    EXPECT_EQ(t.testIMappedAddr.addr, kPublic);
    EXPECT_EQ(t.count, 1);

    EXPECT_EQ(feed(&t, 2, {1, 1}), STUN_TEST_II);
    EXPECT_EQ(feed(&t, 11, {1, 1}), STUN_TEST_HAIRPIN);
    EXPECT_EQ(due(&t), (std::vector<int>{10, 3}));
    EXPECT_EQ(feed(&t, 10, {20000, kPublic}), STUN_TEST_I2);
    EXPECT_EQ(feed(&t, 3, {1, 1}), STUN_TEST_III);
    EXPECT_TRUE(t.mappedIpSame);
    EXPECT_TRUE(due(&t).empty());
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
        {"zero mapping", 1, [](StunMessage *m, StunAddress4 *) { m->mappedAddress.ipv4 = {}; }},
        {"no changed address", 1, [](StunMessage *m, StunAddress4 *) { m->hasChangedAddress = 0; }},
        {"zero changed address", 1,
         [](StunMessage *m, StunAddress4 *) { m->changedAddress.ipv4.addr = 0; }},
        {"from another port", 1, [](StunMessage *, StunAddress4 *f) { f->port = 3479; }},
        {"from another host", 1, [](StunMessage *, StunAddress4 *f) { f->addr = 0x06060606; }},
        // A server that ignores CHANGE-REQUEST answers from where it was asked.
        {"II from the primary", 2, [](StunMessage *, StunAddress4 *f) { f->addr = kServer; }},
        {"II from a stranger", 2, [](StunMessage *, StunAddress4 *f) { f->addr = 0x06060606; }},
        {"III from the asked port", 3, [](StunMessage *, StunAddress4 *f) { f->port = 3478; }},
        {"III from the other host", 3,
         [](StunMessage *, StunAddress4 *f) { f->addr = kAltServer; }},
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

// --- whole runs on loopback ----------------------------------------------

struct Sock {
    int fd = -1;
    Sock(uint32_t addr, int port) {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        struct sockaddr_in a;
        memset(&a, 0, sizeof(a));
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(addr);
        if (bind(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof(a)) != 0) {
            close(fd);
            fd = -1;
        }
    }
    ~Sock() {
        if (fd >= 0) close(fd);
    }
    Sock(const Sock &) = delete;
    Sock &operator=(const Sock &) = delete;
    int port() const {
        struct sockaddr_in a;
        socklen_t len = sizeof(a);
        getsockname(fd, reinterpret_cast<struct sockaddr *>(&a), &len);
        return ntohs(a.sin_port);
    }
};

struct Datagram {
    std::string data;
    int fromPort;
};

// Everything queued on fd (the run is over, so nothing more comes).
std::vector<Datagram> drain(int fd) {
    std::vector<Datagram> out;
    for (;;) {
        char buf[2048];
        struct sockaddr_in from;
        socklen_t len = sizeof(from);
        ssize_t n = recvfrom(fd, buf, sizeof(buf), MSG_DONTWAIT,
                             reinterpret_cast<struct sockaddr *>(&from), &len);
        if (n < 0) return out;
        out.push_back({std::string(buf, static_cast<size_t>(n)), ntohs(from.sin_port)});
    }
}

// A free port p whose neighbours p + 1 and p + 5 are free as well.
int freePorts() {
    for (int p = 21000; p < 31000; p += 10) {
        Sock a(0, p), b(0, p + 1), c(0, p + 5);
        if (a.fd >= 0 && b.fd >= 0 && c.fd >= 0) return p;
    }
    return -1;
}

TEST(StunNatRun, SilentServerGetsSevenRoundsThenFeedback) {
    Sock server(kLoopback, 0);
    Sock feedback(kLoopback, STUN_FEEDBACK_PORT);
    ASSERT_GE(server.fd, 0);
    ASSERT_GE(feedback.fd, 0);
    const int port = freePorts();
    ASSERT_GT(port, 0);
    // Socket 1's port is taken: it moves up by 5; socket 2 keeps port + 1.
    Sock taken(0, port);
    ASSERT_GE(taken.fd, 0);

    StunAddress4 dest = {static_cast<uint16_t>(server.port()), kLoopback};
    StunAddress4 local = {static_cast<uint16_t>(port), 0};
    int preserve = 7, hairpin = 7, mapped = 7;
    discover_stat_init(g_nat_data);
    const NatType result = stunNatType(dest, 0, &preserve, &hairpin, port, &local, &mapped);
    EXPECT_EQ(result, NatBlocked);
    EXPECT_EQ(hairpin, 0);
    EXPECT_EQ(mapped, 0);

    const std::vector<Datagram> got = drain(server.fd);
    ASSERT_EQ(got.size(), 21u);
    const int tags[] = {1, 2, 3};
    const uint32_t change[] = {0, 0x04, 0x02};
    for (size_t i = 0; i < got.size(); i++) {
        StunMessage m;
        ASSERT_TRUE(stunDecodeMessage(got[i].data.data(),
                                      static_cast<unsigned int>(got[i].data.size()), m, 0));
        EXPECT_EQ(m.msgHdr.id.octet[0], tags[i % 3]) << i;
        EXPECT_EQ(m.changeRequest, change[i % 3]) << i;
        EXPECT_EQ(got[i].fromPort, i % 3 == 0 ? port + 5 : port + 1) << i;
    }
    const std::vector<Datagram> fb = drain(feedback.fd);
    ASSERT_EQ(fb.size(), 1u);
    EXPECT_EQ(fb[0].data, "3,feedback yo");
    EXPECT_EQ(fb[0].fromPort, port + 5);

    // The report names the socket as bound and the outcome of every test.
    EXPECT_STREQ(g_nat_data->devSrcIP, "0.0.0.0");
    EXPECT_EQ(g_nat_data->devSrcPort, port + 5);
    EXPECT_EQ(g_nat_data->respTestI, 0);
    EXPECT_EQ(g_nat_data->respTestII, 0);
    EXPECT_EQ(g_nat_data->resultBind, 1);
    EXPECT_STREQ(g_nat_data->testIMappedAddrIP, "");
}

TEST(StunNatRun, ReportsOnlyChanges) {
    StdoutCapture out;
    testing::internal::CaptureStderr();
    EXPECT_EQ(STUN_get_nat_type(nullptr, 0), -1);
    EXPECT_EQ(STUN_get_nat_type("127.0.0.1:80", 0), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("servername == NULL\n"), std::string::npos) << err;
    EXPECT_NE(err.find("127.0.0.1:80 is not a valid host name\n"), std::string::npos) << err;

    // Nothing listens: every request is refused, so the run finds no server.
    int dead;
    {
        Sock s(kLoopback, 0);
        dead = s.port();
    }
    const std::string server = "127.0.0.1:" + std::to_string(dead);
    testing::internal::CaptureStderr();
    EXPECT_EQ(STUN_get_nat_type(server.c_str(), 0), 0x0C);
    EXPECT_EQ(STUN_get_nat_type(server.c_str(), 0), 0x0C);
    testing::internal::GetCapturedStderr();
    ASSERT_TRUE(out.sync());
    const std::string log = out.text();
    EXPECT_EQ(out.count("Primary: Blocked or could not reach STUN server\t\n"), 2) << log;
    EXPECT_EQ(out.count("Return value is 0xc\n"), 2) << log;
    EXPECT_EQ(out.count("ip change, nat type change: 1, 0.\n") +
                  out.count("ip change, nat type change: 0, 1.\n") +
                  out.count("ip change, nat type change: 1, 1.\n"),
              1)
        << log;
    EXPECT_EQ(out.count("ip change, nat type change: 0, 0.\n"), 1) << log;
    // One report: the first run's.
    EXPECT_EQ(out.count("(dump_discover_data) nat_type is 12.\n"), 1) << log;
    EXPECT_EQ(out.count("\"natType\":12,"), 1) << log;
    EXPECT_EQ(g_nat_data->natType, 12);
}

}  // namespace
