// STUN sockets and server names: the port walk, datagram size limits, send
// refusals, server-name parsing and the numbered test requests. Runs in the
// sandbox's own network namespace; traffic stays on its loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "stun/stun.h"
#include "util/log.h"

namespace {

constexpr uint32_t kLoopback = 0x7F000001;

// A socket for the test's own side of a conversation; closed on scope exit.
struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
};

int boundPort(int fd) {
    struct sockaddr_in a;
    socklen_t len = sizeof(a);
    getsockname(fd, reinterpret_cast<struct sockaddr *>(&a), &len);
    return ntohs(a.sin_port);
}

uint32_t boundAddr(int fd) {
    struct sockaddr_in a;
    socklen_t len = sizeof(a);
    getsockname(fd, reinterpret_cast<struct sockaddr *>(&a), &len);
    return ntohl(a.sin_addr.s_addr);
}

// A loopback socket the kernel gave a free port.
int loopbackSocket() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(kLoopback);
    bind(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof(a));
    return fd;
}

// Receives one datagram that is already queued (or arrives within 5 s).
std::string receive(int fd) {
    struct timeval tv = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    char buf[4096];
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// Waits until the port-unreachable answer to an earlier datagram is pending.
bool waitForError(int fd) {
    struct pollfd p = {fd, 0, 0};
    return poll(&p, 1, 5000) == 1 && (p.revents & POLLERR);
}

// A port in the random range whose port + 5 is free too, found by binding.
int freePortPair() {
    for (int p = 20000; p < 30000; p += 10) {
        Socket a = openUdpPort(static_cast<unsigned short>(p), 0, 0, 0);
        Socket b = openUdpPort(static_cast<unsigned short>(p + 5), 0, 0, 0);
        if (a >= 0) close(a);
        if (b >= 0) close(b);
        if (a >= 0 && b >= 0) return p;
    }
    return -1;
}

TEST(StunServerName, PortsAndDefaults) {
    struct Case {
        const char *name;
        int ok;
        int port;
    } cases[] = {
        {"127.0.0.1", 1, 3478},          // no colon: default port
        {"127.0.0.1:3479", 1, 3479},     //
        {"127.0.0.1:1024", 1, 1024},     // lowest accepted
        {"127.0.0.1:65534", 1, 65534},   // highest accepted
        {"127.0.0.1:abc", 1, 3478},      // letters: default port
        {"127.0.0.1:3479x", 1, 3478},    // trailing text: default port
        {"127.0.0.1:80", 0, 0xFFFF},     // below 1024
        {"127.0.0.1:1023", 0, 0xFFFF},   //
        {"127.0.0.1:65535", 0, 0xFFFF},  // above 65534
        {"127.0.0.1:", 0, 0xFFFF},       // bare colon reads 0
        {"127.0.0.1:-3478", 0, 0xFFFF},  //
        {"localhost:5000", 1, 5000},     // a name from /etc/hosts
    };
    for (const Case &c : cases) {
        StunAddress4 a = {1, 0xDEADBEEF};
        EXPECT_EQ(stunParseServerName(c.name, a), c.ok) << c.name;
        EXPECT_EQ(a.port, c.port) << c.name;
        if (c.ok) {
            EXPECT_EQ(a.addr, kLoopback) << c.name;
        }
    }
}

TEST(StunServerName, RefusedPortWritesNothing) {
    unsigned int ip = 42;
    unsigned short port = 7;
    EXPECT_FALSE(parseHostPort("127.0.0.1:80", ip, port, 3478));
    EXPECT_EQ(ip, 42u);
    EXPECT_EQ(port, 7);
    // The default port given by the caller is checked like any other.
    EXPECT_FALSE(parseHostPort("127.0.0.1", ip, port, 80));
    EXPECT_TRUE(parseHostPort("127.0.0.1", ip, port, 4000));
    EXPECT_EQ(port, 4000);
}

TEST(StunServerName, UnresolvableName) {
    StunAddress4 a = {0, 0};
    testing::internal::CaptureStderr();
    EXPECT_EQ(stunParseServerName("no-such-host.invalid:3478", a), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(a.port, 0xFFFF);
    EXPECT_EQ(a.addr, STUN_UNRESOLVED_ADDR);
    EXPECT_NE(err.find("getaddrinfo: Host:no-such-host.invalid PortStr:3478, errors:"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("error was "), std::string::npos) << err;
}

TEST(StunOpenUdpPort, WalksInStepsOfFiveWhenTaken) {
    const int p = freePortPair();
    ASSERT_GT(p, 0);
    Fd taken(openUdpPort(static_cast<unsigned short>(p), 0, 0, 0));
    ASSERT_GE(taken.fd, 0);
    EXPECT_EQ(boundPort(taken.fd), p);

    Fd walked(openUdpPort(static_cast<unsigned short>(p), 0, 1, 0));
    ASSERT_GE(walked.fd, 0);
    EXPECT_EQ(boundPort(walked.fd), p + 5);

    testing::internal::CaptureStderr();
    EXPECT_EQ(openUdpPort(static_cast<unsigned short>(p), 0, 0, 0), INVALID_SOCKET);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Port " + std::to_string(p) + " for receiving UDP is in use\n");
}

TEST(StunOpenUdpPort, InterfaceAddresses) {
    // The unresolved placeholder binds like 0: any address.
    Fd any(openUdpPort(0, STUN_UNRESOLVED_ADDR, 0, 0));
    ASSERT_GE(any.fd, 0);
    EXPECT_EQ(boundAddr(any.fd), 0u);

    Fd lo(openUdpPort(0, 0x7F000002, 0, 0));
    ASSERT_GE(lo.fd, 0);
    EXPECT_EQ(boundAddr(lo.fd), 0x7F000002u);

    // Not an address of this host: that is how NAT discovery spots a NAT.
    // The line shows the address as it sits in memory, so it reads
    // 0xa7100cb on a little-endian CPU and 0xcb00710a on a big-endian one.
    char line[64];
    snprintf(line, sizeof(line), "Binding to interface %#x\n", htonl(0xCB00710A));
    testing::internal::CaptureStderr();
    EXPECT_EQ(openUdpPort(0, 0xCB00710A, 0, 1), INVALID_SOCKET);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string(line) + "Cannot assign requested address\n");
}

TEST(StunGetMessage, SizeLimitAndSender) {
    Fd rx(openUdpPort(0, kLoopback, 0, 0));
    Fd tx(loopbackSocket());
    ASSERT_GE(rx.fd, 0);
    const int rxPort = boundPort(rx.fd);
    const std::string big(2047, 'x');

    auto sendLen = [&](size_t n) {
        return sendDatagram(tx.fd, big.data(), static_cast<int>(n), kLoopback,
                            static_cast<unsigned short>(rxPort), 0);
    };
    char buf[2048];
    unsigned int ip = 0;
    unsigned short port = 0;

    // 2046 bytes fit a 2048-byte buffer with the terminator; 2047 do not.
    ASSERT_TRUE(sendLen(2046));
    int len = sizeof(buf);
    EXPECT_TRUE(getMessage(rx.fd, buf, &len, &ip, &port, 0));
    EXPECT_EQ(len, 2046);
    EXPECT_EQ(buf[2046], '\0');
    EXPECT_EQ(ip, kLoopback);
    EXPECT_EQ(port, boundPort(tx.fd));

    ASSERT_TRUE(sendLen(2047));
    len = sizeof(buf);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(getMessage(rx.fd, buf, &len, &ip, &port, 1));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Received a message that was too large\n");

    // A tiny buffer: one byte of data is already too much.
    ASSERT_TRUE(sendLen(1));
    len = 2;
    EXPECT_FALSE(getMessage(rx.fd, buf, &len, &ip, &port, 0));
    ASSERT_TRUE(sendLen(1));
    len = 3;
    EXPECT_TRUE(getMessage(rx.fd, buf, &len, &ip, &port, 0));
    EXPECT_EQ(len, 1);
}

TEST(StunGetMessage, ErrorsAreReported) {
    // A refused datagram comes back as an error on the next receive.
    Fd tx(openUdpPort(0, kLoopback, 0, 0));
    Fd sink(loopbackSocket());
    const int deadPort = boundPort(sink.fd);
    close(sink.fd);
    sink.fd = -1;
    struct sockaddr_in to;
    memset(&to, 0, sizeof(to));
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(deadPort));
    to.sin_addr.s_addr = htonl(kLoopback);
    ASSERT_EQ(connect(tx.fd, reinterpret_cast<struct sockaddr *>(&to), sizeof(to)), 0);
    ASSERT_TRUE(sendDatagram(tx.fd, "x", 1, 0, 0, 0));
    ASSERT_TRUE(waitForError(tx.fd));

    char buf[64];
    int len = sizeof(buf);
    unsigned int ip = 0;
    unsigned short port = 0;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(getMessage(tx.fd, buf, &len, &ip, &port, 0));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Socket Error=" + std::to_string(ECONNREFUSED) + "\n");
}

TEST(StunSendDatagram, Refusals) {
    Fd fd(openUdpPort(0, kLoopback, 0, 0));
    struct Case {
        int fd;
        unsigned int ip;
        unsigned short port;
        const char *line;
    } cases[] = {
        {INVALID_SOCKET, kLoopback, 4000, "#########err INVALID_SOCKET\n"},
        {fd.fd, kLoopback, 0, "#########err dstIp != 0\n"},
        {fd.fd, 0, 4000, "#########err dstIp == 0\n"},
    };
    for (const Case &c : cases) {
        testing::internal::CaptureStderr();
        EXPECT_FALSE(sendDatagram(c.fd, "abc", 3, c.ip, c.port, 0)) << c.line;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line);
    }
    // Other errors name themselves: the sandbox has no route off loopback.
    testing::internal::CaptureStderr();
    EXPECT_FALSE(sendDatagram(fd.fd, "abc", 3, 0xCB000001, 4000, 0));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "err " + std::to_string(ENETUNREACH) + " Network is unreachable in send\n");
}

TEST(StunSendDatagram, RefusedDestinationFailsQuietly) {
    Fd tx(openUdpPort(0, kLoopback, 0, 0));
    Fd sink(loopbackSocket());
    const auto deadPort = static_cast<unsigned short>(boundPort(sink.fd));
    close(sink.fd);
    sink.fd = -1;
    struct sockaddr_in to;
    memset(&to, 0, sizeof(to));
    to.sin_family = AF_INET;
    to.sin_port = htons(deadPort);
    to.sin_addr.s_addr = htonl(kLoopback);
    ASSERT_EQ(connect(tx.fd, reinterpret_cast<struct sockaddr *>(&to), sizeof(to)), 0);
    // The first datagram draws the port-unreachable answer the second reports.
    ASSERT_TRUE(sendDatagram(tx.fd, "abc", 3, 0, 0, 0));
    ASSERT_TRUE(waitForError(tx.fd));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(sendDatagram(tx.fd, "abc", 3, 0, 0, 0));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(StunSendTest, ChangeFlagsAndTags) {
    Fd rx(loopbackSocket());
    Fd tx(openUdpPort(0, kLoopback, 0, 0));
    StunAddress4 dest = {static_cast<uint16_t>(boundPort(rx.fd)), kLoopback};
    StunAtrString empty;
    memset(&empty, 0, sizeof(empty));

    const struct {
        int test;
        uint32_t change;
    } cases[] = {{1, 0}, {2, 0x04}, {3, 0x02}, {4, 0x04}, {10, 0}, {11, 0}};
    for (const auto &c : cases) {
        StunMsgId id;
        stunNewTransactionId(&id, static_cast<unsigned int>(c.test));
        stunSendTest(tx.fd, dest, empty, empty, c.test, 0, id);
        const std::string d = receive(rx.fd);
        ASSERT_EQ(d.size(), 28u) << c.test;  // header + ChangeRequest only
        StunMessage m;
        ASSERT_TRUE(stunDecodeMessage(d.data(), static_cast<unsigned int>(d.size()), m, 0));
        EXPECT_EQ(m.msgHdr.msgType, 0x0001);
        EXPECT_TRUE(stunSameId(m.msgHdr.id, id));
        EXPECT_EQ(m.msgHdr.id.octet[0], c.test);
        EXPECT_TRUE(m.hasChangeRequest);
        EXPECT_EQ(m.changeRequest, c.change) << c.test;
    }
}

TEST(StunSendTestDeathTest, Preconditions) {
    StunAtrString empty;
    memset(&empty, 0, sizeof(empty));
    StunAddress4 noPort = {0, kLoopback};
    StunAddress4 ok = {3478, kLoopback};
    StunMsgId id{};
    EXPECT_DEATH(stunSendTest(-1, noPort, empty, empty, 1, 0, id), "dest.port != 0");
    EXPECT_DEATH(stunSendTest(-1, ok, empty, empty, 5, 0, id), "Test 5 is unknown");
    char buf[8];
    int len = 0;
    unsigned int ip;
    unsigned short port;
    EXPECT_DEATH(getMessage(INVALID_SOCKET, buf, &len, &ip, &port, 0), "fd != INVALID_SOCKET");
    len = 0;
    EXPECT_DEATH(getMessage(0, buf, &len, &ip, &port, 0), "originalSize > 0");
}

}  // namespace
