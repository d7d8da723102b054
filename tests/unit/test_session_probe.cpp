// The probe-port timer: at most one probe-port run at a time, on a copy of
// the STUN host the loop may rewrite at once.
#include "session/session_probe.h"

#include <arpa/inet.h>
#include <event2/event.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "session/session.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

int count(const std::string &hay, const std::string &needle) {
    int n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) n++;
    return n;
}

TEST(GppTimer, OneRunAtATimeOnACopyOfTheHost) {
    // Where the STUN server would be, a socket that never answers.
    const int sink = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(3478);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(sink, reinterpret_cast<struct sockaddr *>(&a), sizeof(a)), 0);
    struct timeval limit = {10, 0};
    setsockopt(sink, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    snprintf(g_stun_host, sizeof(g_stun_host), "127.0.0.1");
    gpp_timer_cb(-1, EV_TIMEOUT, nullptr);
    snprintf(g_stun_host, sizeof(g_stun_host), "127.0.0.2");
    char buf[64];
    ASSERT_EQ(recv(sink, buf, sizeof(buf), 0), 28) << "no binding request to 127.0.0.1:3478";
    EXPECT_EQ(buf[4], 1);  // tagged like test I

    // Nobody answers, so the run goes on for about a minute: later ticks
    // leave it alone.
    CaptureStdout();
    gpp_timer_cb(-1, EV_TIMEOUT, nullptr);
    gpp_timer_cb(-1, EV_TIMEOUT, nullptr);
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(count(out, "(gpp_timer_cb) the thread is alive\n"), 2) << out;
    close(sink);
}

}  // namespace
