// Probe-port timer and NAT-type results: the stored NAT type, stable labels
// for the worker, and at most one probe-port run at a time.
#include "session/session_probe.h"

#include <arpa/inet.h>
#include <event2/event.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "session/session.h"
#include "stdout_capture.h"
#include "stun/stun.h"

namespace {

TEST(GetNatTypeCb, KeepsTheLowFourBits) {
    StdoutCapture out;
    char label[] = "203.0.113.1";
    const struct {
        int code;
        int stored;
        const char *line;
    } cases[] = {
        {0x14, 4, "203.0.113.1 say: NAT type 20(0x14)\n"},  // hairpin flag dropped
        {-1, 15, "203.0.113.1 say: NAT type -1(0xffffffff)\n"},
        {0x0C, 12, "203.0.113.1 say: NAT type 12(0xc)\n"},
        {0x00, 0, "203.0.113.1 say: NAT type 0(0)\n"},
        {0xFE, 14, "203.0.113.1 say: NAT type 254(0xfe)\n"},
    };
    for (const auto &c : cases) {
        get_nat_type_cb(c.code, label);
        EXPECT_EQ(g_nat_type.load(), c.stored) << c.code;
        ASSERT_TRUE(out.sync());
        EXPECT_EQ(out.count(std::string("(get_nat_type_cb) ") + c.line), 1) << out.text();
    }
}

// The label table only grows, so one test owns it from its first use on.
TEST(NatTypeLabel, StableCopies) {
    {
        StdoutCapture out;
        char label[129];
        snprintf(label, sizeof(label), "stun.lab:80");
        g_nat_type.store(NAT_TYPE_UNKNOWN);
        // A refused port fails at once, without traffic: the worker calls back -1.
        ASSERT_EQ(request_nat_type("127.0.0.1:80", label), 0);
        snprintf(label, sizeof(label), "rewritten");
        ASSERT_TRUE(out.wait_for("(get_nat_type_cb) stun.lab:80 say: NAT type -1(0xffffffff)\n"));
        ASSERT_TRUE(out.wait_for("finish getting nat type"));  // logged after the callback
        EXPECT_EQ(g_nat_type.load(), 15);
        EXPECT_EQ(request_nat_type("", "stun.lab:80"), -1);
    }

    char host[129];
    snprintf(host, sizeof(host), "203.0.113.1");
    const char *a = nat_type_label(host);
    // The caller rewrites its text (as dns_cb does with g_stun_host).
    snprintf(host, sizeof(host), "203.0.113.2");
    EXPECT_STREQ(a, "203.0.113.1");
    const char *b = nat_type_label(host);
    EXPECT_STREQ(b, "203.0.113.2");
    EXPECT_NE(a, b);
    EXPECT_EQ(nat_type_label("203.0.113.1"), a);  // the same text, the same copy
    // 128 characters, the longest g_stun_host holds, are kept whole.
    const std::string longest(128, 'h');
    EXPECT_EQ(nat_type_label(longest.c_str()), longest);
    // The table is bounded; past it every label is one fixed text.
    for (int i = 0; i < 12; i++) {
        const std::string h = "stun" + std::to_string(i) + ".example";
        EXPECT_EQ(nat_type_label(h.c_str()), h);
    }
    EXPECT_STREQ(nat_type_label("one.too.many"), "stun host");
    EXPECT_EQ(nat_type_label("203.0.113.2"), b);
}

// A loopback socket standing where the STUN server would be; it never answers.
int sinkAt(uint32_t addr, int port) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(addr);
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof(a)) != 0) {
        close(fd);
        return -1;
    }
    struct timeval tv = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    return fd;
}

TEST(GppTimer, OneRunAtATimeOnACopyOfTheHost) {
    StdoutCapture out;
    g_stun_host[0] = '\0';
    gpp_timer_cb(-1, EV_TIMEOUT, nullptr);
    gpp_timer_cb(-1, EV_READ, nullptr);  // not a time-out: nothing at all
    ASSERT_TRUE(out.sync());
    EXPECT_EQ(out.count("(gpp_timer_cb) stun host is \n"), 1) << out.text();
    EXPECT_EQ(out.count("the thread is alive"), 0);

    const int sink = sinkAt(0x7F000001, 3478);
    ASSERT_GE(sink, 0);
    snprintf(g_stun_host, sizeof(g_stun_host), "127.0.0.1");
    gpp_timer_cb(-1, EV_TIMEOUT, nullptr);
    // The loop rewrites its host at once; the run keeps the text it was given.
    snprintf(g_stun_host, sizeof(g_stun_host), "127.0.0.2");
    char buf[64];
    const ssize_t n = recv(sink, buf, sizeof(buf), 0);
    ASSERT_EQ(n, 28) << "no binding request reached 127.0.0.1:3478";
    EXPECT_EQ(buf[4], 1);  // tagged like test I

    // Nobody answers, so the run goes on for about a minute: later ticks
    // leave it alone.
    gpp_timer_cb(-1, EV_TIMEOUT, nullptr);
    gpp_timer_cb(-1, EV_TIMEOUT, nullptr);
    ASSERT_TRUE(out.sync());
    EXPECT_EQ(out.count("(gpp_timer_cb) stun host is 127.0.0.2\n"), 2) << out.text();
    EXPECT_EQ(out.count("(gpp_timer_cb) the thread is alive\n"), 2) << out.text();
    close(sink);
}

}  // namespace
