// Whole punches on loopback: two punch contexts on one loop punch each other,
// bring up UDT over the punched sockets and pump bytes through the owners'
// local callbacks until one end goes away.
#include <gtest/gtest.h>

#include <string>

#include "punch_harness.h"
#include "stdout_capture.h"
#include "stun/stun.h"

namespace {

const char kToken[] = "00:11:22:33:44:55-1700000000-AbCdEfGh12345678";

std::string pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = static_cast<char>((i * 131 + seed) % 251);
    return s;
}

class Punch : public ::testing::Test {
   protected:
    void SetUp() override {
        base = event_base_new();
        fds_before = open_fds();
    }
    // Every socket of both ends is gone once UDT has closed the ones it owned.
    void TearDown() override {
        EXPECT_TRUE(poll_until([&] { return open_fds() == fds_before; }));
        event_base_free(base);
    }
    void start(punch_side &side) {
        ASSERT_EQ(udp_punch_init_internal(&side.ctx), 0);
        ASSERT_EQ(udp_punch(&side.ctx), 0);
    }
    event_base *base = nullptr;
    int fds_before = 0;
};

TEST_F(Punch, MainPathsConnectPumpBothWaysAndReportThePeerClosing) {
    punch_side dev(base, "127.0.0.1", kToken);
    punch_side app(base, "127.0.0.2", kToken);
    const sockaddr_in dev_addr = local_of(dev.ctx.sock);
    const sockaddr_in app_addr = local_of(app.ctx.sock);
    // Private addresses lead nowhere; the public ones are the main sockets.
    dev.ctx.peer_private = addr_of("127.0.0.3", 9);
    dev.ctx.peer_public = app_addr;
    dev.ctx.peer_fixed = local_of(app.ctx.fixed_sock);
    app.ctx.peer_private = addr_of("127.0.0.3", 9);
    app.ctx.peer_public = dev_addr;
    app.ctx.peer_fixed = local_of(dev.ctx.fixed_sock);
    start(dev);
    start(app);

    ASSERT_TRUE(run_until(base, [&] { return dev.successes && app.successes; }));
    EXPECT_TRUE(same_addr(dev.success_peer, app_addr));
    EXPECT_TRUE(same_addr(app.success_peer, dev_addr));
    EXPECT_EQ(dev.won_by, PUNCH_WON_MAIN);
    EXPECT_EQ(dev.winner, PUNCH_PATH_PUBLIC);
    EXPECT_EQ(dev.ctx.state->path_status[PUNCH_PATH_PUBLIC],
              static_cast<uint32_t>(PUNCH_UDT_CONNECTED));

    // The device's local side is closed at first: peer bytes still arrive,
    // nothing is read locally.
    dev.from_local = pattern(100000, 7);
    app.from_local = pattern(100000, 11);
    app.local_open = true;
    ASSERT_TRUE(run_until(base, [&] { return dev.to_local.size() >= app.from_local.size(); }));
    EXPECT_EQ(dev.to_local, app.from_local);
    EXPECT_EQ(dev.from_off, 0u);

    dev.local_open = true;
    ASSERT_TRUE(run_until(base, [&] { return app.to_local.size() >= dev.from_local.size(); }));
    EXPECT_EQ(app.to_local, dev.from_local);
    EXPECT_EQ(dev.successes, 1);
    EXPECT_EQ(app.successes, 1);

    const p2p_stat_data &s = dev.sess.stat;
    EXPECT_EQ(s.stage, STAT_STAGE_STREAM);
    EXPECT_STREQ(s.srcIPRecv, "127.0.0.2");
    EXPECT_EQ(s.srcPortRecv, ntohs(app_addr.sin_port));
    EXPECT_GT(s.udtConnectedTimeOffset, 0);
    EXPECT_GT(s.recvMsgTimeOffset, 0);

    // The application goes away; the device's tick reports it once.
    StdoutCapture log;
    ASSERT_EQ(udp_punch_clear_internal(&app.ctx), 0);
    ASSERT_TRUE(run_until(base, [&] { return dev.errors > 0; }));
    EXPECT_EQ(dev.errors, 1);
    EXPECT_EQ(dev.stop_reason_at_error, 2);
    EXPECT_EQ(dev.ctx.state, nullptr);
    EXPECT_EQ(dev.ctx.sock, -1);
    ASSERT_TRUE(log.sync());
    EXPECT_EQ(log.count("udt io-error, errcode") + log.count("read_peer_data failed."), 1);
}

// Only the fixed ports answer. The device's fixed-port machine wins, reports
// peer_fixed (not the ACK's source), refreshes the statistics with fixed
// ports, and a refused connection ends the attempt.
TEST_F(Punch, FixedPortsConnectAndARefusalEndsTheAttempt) {
    punch_side dev(base, "127.0.0.1", kToken);
    // Bound to the wildcard like the daemon's fixed socket: its answers come
    // from 127.0.0.1 whatever address they were sent to.
    punch_side app(base, "127.0.0.2", kToken, "0.0.0.0");
    const uint16_t app_fixed = port_of(app.ctx.fixed_sock);
    const sockaddr_in dev_fixed = local_of(dev.ctx.fixed_sock);
    for (punch_side *side : {&dev, &app}) {
        side->ctx.peer_private = addr_of("127.0.0.3", 9);
        side->ctx.peer_public = addr_of("127.0.0.3", 10);
        side->ctx.peer_port_preserved = 1;
        side->ctx.self_port_preserved = 1;
    }
    dev.ctx.peer_fixed = addr_of("127.0.0.9", app_fixed);
    app.ctx.peer_fixed = dev_fixed;

    prepare_p2p_params &peer = dev.sess.peer;
    snprintf(peer.peer_pub_ip, sizeof(peer.peer_pub_ip), "198.51.100.2");
    snprintf(peer.peer_pri_ip, sizeof(peer.peer_pri_ip), "192.168.8.2");
    peer.peer_pri_port = 7000;
    peer.peer_nat_type = 6;
    pready_record &self = dev.sess.self;
    snprintf(self.pub_ip, sizeof(self.pub_ip), "203.0.113.5");
    snprintf(self.pri_ip, sizeof(self.pri_ip), "192.168.1.5");
    self.pri_port = 64600;
    self.nat_type = 2;
    dev.refuse = true;
    // Stale values the tick replaces with the probe-port snapshot.
    for (int32_t &port : dev.sess.stat.publicPorts) port = -7;

    StdoutCapture log;
    start(dev);
    start(app);
    ASSERT_TRUE(run_until(base, [&] { return dev.errors && app.successes; }));
    EXPECT_EQ(dev.successes, 1);
    EXPECT_EQ(dev.won_by, PUNCH_WON_FIXED);
    EXPECT_EQ(dev.winner, PUNCH_PATH_F_TO_F);
    EXPECT_TRUE(same_addr(dev.success_peer, addr_of("127.0.0.9", app_fixed)));
    EXPECT_TRUE(same_addr(app.success_peer, dev_fixed));
    EXPECT_EQ(app.won_by, PUNCH_WON_FIXED);

    const p2p_stat_data &s = dev.sess.stat;
    EXPECT_STREQ(s.srcIPRecv, "127.0.0.1");
    EXPECT_EQ(s.srcPortRecv, app_fixed);
    EXPECT_STREQ(s.appPublicIP, "198.51.100.2");
    EXPECT_EQ(s.appPublicPort, 8000);
    EXPECT_EQ(s.appPrivatePort, 8000);
    EXPECT_EQ(s.appNatType, 6);
    EXPECT_STREQ(s.devPublicIP, "203.0.113.5");
    EXPECT_EQ(s.devPublicPort, get_fixed_port(64600));
    EXPECT_EQ(s.devPrivatePort, get_fixed_port(64600));
    int probe[STUN_PROBE_FIELDS];
    STUN_copy_probe_data(probe);
    for (int i = 0; i < STAT_PUBLIC_PORTS; i++) EXPECT_EQ(s.publicPorts[i], probe[i]) << i;
    ASSERT_TRUE(log.sync());
    EXPECT_EQ(log.count("udt_connect OK, peer address: 127.0.0.9:" + std::to_string(app_fixed)), 1);
    EXPECT_EQ(log.count("udt succeed_cb failed."), 1);
}

}  // namespace
