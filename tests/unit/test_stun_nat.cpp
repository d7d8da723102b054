// NAT type discovery: the verdict over test outcomes and the classification
// codes (the lab runs whole classifications, hostile servers included,
// against coturn behind real NATs); server names and the socket helpers'
// refusals, on the sandbox's own loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
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

TEST(StunNatCode, CodesAndTexts) {
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
    EXPECT_EQ(stunNatCode(-3, 1), 0x1E);

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

TEST(StunServerName, PortsAndDefaults) {
    struct Case {
        const char *name;
        int ok;
        int port;
    } cases[] = {
        {"127.0.0.1", 1, 3478},          // no colon: default port
        {"127.0.0.1:1024", 1, 1024},     // lowest accepted
        {"127.0.0.1:65534", 1, 65534},   // highest accepted
        {"127.0.0.1:3479x", 1, 3478},    // trailing text: default port
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
    // A refused port writes nothing; the caller's default is checked too.
    unsigned int ip = 42;
    unsigned short port = 7;
    EXPECT_FALSE(parseHostPort("127.0.0.1:80", ip, port, 3478));
    EXPECT_FALSE(parseHostPort("127.0.0.1", ip, port, 80));
    EXPECT_EQ(ip, 42u);
    EXPECT_EQ(port, 7);
}

TEST(StunSocket, RefusalsAndErrors) {
    testing::internal::CaptureStderr();
    const Socket fd = openUdpPort(0, 0x7F000001, 0, 0);
    ASSERT_GE(fd, 0);
    // Not an address of this host: that is how NAT discovery spots a NAT.
    EXPECT_EQ(openUdpPort(0, 0xCB00710A, 0, 1), INVALID_SOCKET);
    EXPECT_FALSE(sendDatagram(INVALID_SOCKET, "abc", 3, 0x7F000001, 4000, 0));
    EXPECT_FALSE(sendDatagram(fd, "abc", 3, 0x7F000001, 0, 0));
    EXPECT_FALSE(sendDatagram(fd, "abc", 3, 0, 4000, 0));
    // The sandbox has no route off loopback.
    EXPECT_FALSE(sendDatagram(fd, "abc", 3, 0xCB000001, 4000, 0));
    // A refused datagram on a connected socket comes back on the next receive.
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
    char line[64];
    snprintf(line, sizeof(line), "Binding to interface %#x\n", htonl(0xCB00710A));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string(line) +
                  "Cannot assign requested address\n#########err INVALID_SOCKET\n"
                  "#########err dstIp != 0\n#########err dstIp == 0\nerr " +
                  std::to_string(ENETUNREACH) + " Network is unreachable in send\nSocket Error=" +
                  std::to_string(ECONNREFUSED) + "\n");
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
    testing::internal::CaptureStderr();
    EXPECT_EQ(openUdpPort(static_cast<unsigned short>(p), 0, 0, 0), INVALID_SOCKET);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Port " + std::to_string(p) + " for receiving UDP is in use\n");
    close(a);
    close(walked);
}

}  // namespace
