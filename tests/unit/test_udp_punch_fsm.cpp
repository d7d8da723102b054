// The two punch machines, driven by datagrams that test sockets send to the
// device's sockets on loopback, one loop activation at a time.
#include <gtest/gtest.h>

#include <string>

#include "punch_harness.h"
#include "stdout_capture.h"

namespace {

const char kToken[] = "00:11:22:33:44:55-1700000000-AbCdEfGh12345678";

std::string syn() {
    return std::string(kToken) + std::string(1, '\0');
}
std::string ack() {
    std::string s = syn();
    s[0] = static_cast<char>(s[0] + 1);
    return s;
}

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

// The device: sock and fixed_sock on 127.0.0.1. The application as the test
// plays it: public port 40000 (and 40003 inside the window), fixed port
// 41000, another port 45000, private address 127.0.0.3.
class Machine : public ::testing::Test {
   protected:
    void SetUp() override {
        base = event_base_new();
        dev = new punch_side(base, "127.0.0.1", kToken);
        pub = udp_on("127.0.0.2", 40000);
        pub3 = udp_on("127.0.0.2", 40003);
        fixed = udp_on("127.0.0.2", 41000);
        other = udp_on("127.0.0.2", 45000);
        priv = udp_on("127.0.0.3");
        ASSERT_TRUE(pub >= 0 && pub3 >= 0 && fixed >= 0 && other >= 0 && priv >= 0);
        dev->ctx.peer_public = local_of(pub);
        dev->ctx.peer_fixed = local_of(fixed);
        dev->ctx.peer_private = local_of(priv);
    }
    void TearDown() override {
        delete dev;
        for (int fd : {pub, pub3, fixed, other, priv}) close(fd);
        event_base_free(base);
    }
    void start() {
        ASSERT_EQ(udp_punch_init_internal(&dev->ctx), 0);
        ASSERT_EQ(udp_punch(&dev->ctx), 0);
        for (int fd : {pub, pub3, fixed, other, priv}) {
            collect(fd, {dev->ctx.sock, dev->ctx.fixed_sock});
        }
    }
    // Sends payload from one of the test's sockets to a device socket and runs
    // the loop until the device has read it.
    void deliver(int from, int to, const std::string &payload) {
        sockaddr_in dest = local_of(to);
        ASSERT_EQ(sendto(from, payload.data(), payload.size(), 0,
                         reinterpret_cast<sockaddr *>(&dest), sizeof(dest)),
                  static_cast<ssize_t>(payload.size()));
        ASSERT_TRUE(run_until(base, [&] { return !readable(to); }));
    }
    // Probe answers that reached fd (UDT's handshakes after a success are not
    // counted).
    int acks_at(int fd, std::vector<int> senders) {
        int n = 0;
        for (auto &d : collect(fd, senders)) n += d.data == ack();
        return n;
    }
    udp_punch_state *st() { return dev->ctx.state; }

    event_base *base = nullptr;
    punch_side *dev = nullptr;
    int pub = -1, pub3 = -1, fixed = -1, other = -1, priv = -1;
};

TEST_F(Machine, SynInThePublicWindowIsAnsweredOnceThenByTheSweeps) {
    start();
    int sock = dev->ctx.sock;
    deliver(pub3, sock, syn());
    EXPECT_EQ(st()->path_status[PUNCH_PATH_PUBLIC], static_cast<uint32_t>(PUNCH_SYN_RECVD));
    auto got = collect(pub3, {sock});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].data, ack());
    EXPECT_EQ(ntohs(got[0].src.sin_port), port_of(sock));
    EXPECT_EQ(dev->ctx.syn_seen, 1u);
    int first_syn = dev->sess.stat.synRecvTimeOffset;
    EXPECT_GT(first_syn, 0);

    deliver(pub3, sock, syn());
    EXPECT_EQ(acks_at(pub3, {sock}), 0);
    EXPECT_EQ(dev->sess.stat.synRecvTimeOffset, first_syn);

    // The sweeps answer towards the public port.
    ASSERT_EQ(stun_send_syn_all(&dev->ctx), 0);
    EXPECT_EQ(acks_at(pub, {sock}), 1);
    EXPECT_EQ(st()->succeeded, 0);
}

TEST_F(Machine, AckInThePublicWindowWinsForTheMainMachine) {
    start();
    int sock = dev->ctx.sock;
    StdoutCapture log;
    deliver(pub3, sock, ack());
    EXPECT_EQ(st()->succeeded, PUNCH_WON_MAIN);
    EXPECT_EQ(st()->winner, PUNCH_PATH_PUBLIC);
    EXPECT_EQ(st()->path_status[PUNCH_PATH_PUBLIC], static_cast<uint32_t>(PUNCH_ACK_RECVD));
    EXPECT_TRUE(same_addr(st()->peer_addr, local_of(pub3)));
    EXPECT_EQ(acks_at(pub3, {sock}), 1);
    ASSERT_TRUE(log.sync());
    EXPECT_EQ(log.count("UDP hole punching succeed, peer address: 127.0.0.2:40003"), 1);
    EXPECT_EQ(log.count("udt connect to 127.0.0.2:40003..."), 1);

    // The fixed-port machine is gone with its socket; UDT has the main one.
    EXPECT_EQ(st()->ev_fixed, nullptr);
    EXPECT_EQ(dev->ctx.fixed_sock, -1);
    EXPECT_GE(st()->udt, 0);
    const p2p_stat_data &s = dev->sess.stat;
    EXPECT_EQ(s.stage, STAT_STAGE_STREAM);
    EXPECT_STREQ(s.srcIPRecv, "127.0.0.2");
    EXPECT_EQ(s.srcPortRecv, 40003);
    EXPECT_GT(s.ackRecvTimeOffset, 0);

    // The tick waits for a peer that never speaks UDT: stop reason 1, no callback.
    ASSERT_TRUE(run_until(base, [&] { return dev->sess.stat.stopReason == 1; }));
    EXPECT_EQ(dev->successes, 0);
    EXPECT_EQ(dev->errors, 0);
}

TEST_F(Machine, AckOnAnIdlePathOrFromAnUnknownPortStillCompletes) {
    start();
    int sock = dev->ctx.sock;
    st()->path_status[PUNCH_PATH_PUBLIC] = PUNCH_IDLE;
    deliver(pub, sock, ack());
    EXPECT_EQ(st()->succeeded, PUNCH_WON_MAIN);
    EXPECT_EQ(st()->path_status[PUNCH_PATH_PUBLIC], static_cast<uint32_t>(PUNCH_IDLE));
    EXPECT_EQ(st()->winner, 0);
    EXPECT_EQ(acks_at(pub, {sock}), 0);
}

TEST_F(Machine, UnknownPortsOnBothSockets) {
    start();
    int sock = dev->ctx.sock;
    int fsock = dev->ctx.fixed_sock;
    StdoutCapture log;
    // SYNs: answered on sock without a status change, ignored on fixed_sock.
    deliver(other, sock, syn());
    EXPECT_EQ(acks_at(other, {sock}), 1);
    deliver(other, fsock, syn());
    EXPECT_EQ(acks_at(other, {fsock}), 0);
    // An ACK from an unknown port never completes the fixed-port machine.
    deliver(other, fsock, ack());
    EXPECT_EQ(st()->succeeded, 0);
    EXPECT_EQ(acks_at(other, {fsock}), 0);
    for (int p = 0; p < PUNCH_PATHS; p++) {
        EXPECT_EQ(st()->path_status[p], p <= PUNCH_PATH_PUBLIC ? 1u : 0u) << p;
    }
    ASSERT_TRUE(log.sync());
    EXPECT_EQ(log.count("From unknown port: 45000"), 1);
    EXPECT_EQ(log.count("recvd SYN from 127.0.0.2:45000"), 1);
    EXPECT_EQ(log.count("[FP] punching status error: 1"), 1);

    // On sock it is answered and completes the punch, winner unchanged.
    deliver(other, sock, ack());
    EXPECT_EQ(st()->succeeded, PUNCH_WON_MAIN);
    EXPECT_EQ(st()->winner, 0);
    EXPECT_EQ(acks_at(other, {sock}), 1);
    EXPECT_TRUE(same_addr(st()->peer_addr, local_of(other)));
}

TEST_F(Machine, FixedPortMachineWinsOnItsPath) {
    dev->ctx.peer_port_preserved = 1;
    dev->ctx.self_port_preserved = 1;
    start();
    int fsock = dev->ctx.fixed_sock;
    StdoutCapture log;
    deliver(fixed, fsock, ack());
    EXPECT_EQ(st()->succeeded, PUNCH_WON_FIXED);
    EXPECT_EQ(st()->winner, PUNCH_PATH_F_TO_F);
    EXPECT_EQ(st()->path_status[PUNCH_PATH_F_TO_F], static_cast<uint32_t>(PUNCH_ACK_RECVD));
    EXPECT_TRUE(same_addr(st()->peer_addr, local_of(fixed)));
    EXPECT_EQ(acks_at(fixed, {fsock}), 1);
    EXPECT_EQ(st()->ev_main, nullptr);
    EXPECT_EQ(dev->ctx.sock, -1);
    EXPECT_GE(st()->udt, 0);
    EXPECT_EQ(dev->sess.stat.srcPortRecv, 41000);
    ASSERT_TRUE(log.sync());
    EXPECT_EQ(log.count("[FP]UDP hole punching succeed, peer address: 127.0.0.2:41000"), 1);
}

TEST_F(Machine, TrashAndEmptyDatagramsChangeNothing) {
    start();
    StdoutCapture log;
    for (int to : {dev->ctx.sock, dev->ctx.fixed_sock}) {
        deliver(other, to, "hello");
        deliver(other, to, "");
        deliver(other, to, std::string(kToken) + "X");
    }
    EXPECT_EQ(st()->succeeded, 0);
    EXPECT_EQ(dev->ctx.syn_seen, 0u);
    EXPECT_EQ(acks_at(other, {dev->ctx.sock, dev->ctx.fixed_sock}), 0);
    ASSERT_TRUE(log.sync());
    EXPECT_EQ(log.count("recvd trash data(5 bytes) from 127.0.0.2:45000"), 2);
    EXPECT_EQ(log.count("recvd trash data(0 bytes) from 127.0.0.2:45000"), 2);
}

// A receive error other than EINTR/EAGAIN: a refused datagram on a connected
// socket leaves one behind.
void provoke_refusal(int fd) {
    int closed = udp_on("127.0.0.4");
    sockaddr_in gone = local_of(closed);
    close(closed);
    connect(fd, reinterpret_cast<sockaddr *>(&gone), sizeof(gone));
    send(fd, "x", 1, 0);
}

TEST_F(Machine, ReceiveErrorEndsTheMainMachineOnly) {
    start();
    StdoutCapture log;
    provoke_refusal(dev->ctx.fixed_sock);
    ASSERT_TRUE(run_until(base, [&] { return dev->sess.stat.errorCode == -52011; }));
    EXPECT_EQ(dev->errors, 0);
    ASSERT_NE(dev->ctx.state, nullptr);

    dev->sess.stat.errorCode = 0;
    provoke_refusal(dev->ctx.sock);
    ASSERT_TRUE(run_until(base, [&] { return dev->errors == 1; }));
    EXPECT_EQ(dev->sess.stat.errorCode, -52011);
    EXPECT_EQ(dev->ctx.state, nullptr);  // the owner freed it inside error_cb
    ASSERT_TRUE(log.sync());
    EXPECT_EQ(log.count("[FP] punching failed"), 1);
    EXPECT_EQ(log.count(") punching failed"), 1);
}

}  // namespace
