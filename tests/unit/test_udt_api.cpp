// Flat UDT calls and the UDT socket the punch layer builds: the option table
// as the library reports it back, a rendezvous pair over bound UDP sockets,
// and two UDT4 weak spots (closing after a rendezvous connect gave up; a
// descriptor number reused after UDT closed the UDP socket it owned).
#include <gtest/gtest.h>

#include <string>

#include "punch_harness.h"
#include "stdout_capture.h"

namespace {

int get_int(int u, int id) {
    int v = -12345;
    int len = sizeof(v);
    if (udt_getsockopt(u, 0, id, &v, &len) < 0) return -12345;
    return v;
}

bool connected(int u) {
    return udt_getsockstate(u) == UDT_STATE_CONNECTED;
}

// Two rendezvous UDT sockets on fresh loopback UDP sockets, connected to each
// other; both -1 when that fails.
struct udt_pair {
    int a = -1;
    int b = -1;
    udt_pair(const char *ip_a, const char *ip_b) {
        int fa = udp_on(ip_a);
        int fb = udp_on(ip_b);
        sockaddr_in to_a = local_of(fa);
        sockaddr_in to_b = local_of(fb);
        a = build_udt_socket(fa);
        b = build_udt_socket(fb);
        if (a < 0 || b < 0) return;
        udt_connect(a, reinterpret_cast<sockaddr *>(&to_b), sizeof(to_b));
        udt_connect(b, reinterpret_cast<sockaddr *>(&to_a), sizeof(to_a));
    }
    ~udt_pair() {
        if (a >= 0) udt_close(a);
        if (b >= 0) udt_close(b);
    }
    bool up() {
        return a >= 0 && poll_until([&] { return connected(a) && connected(b); });
    }
    // Sends text one way and reads it back on the other end.
    std::string echo(const std::string &text) {
        if (udt_send(a, text.data(), static_cast<int>(text.size()), 0) !=
            static_cast<int>(text.size()))
            return "";
        std::string got;
        poll_until([&] {
            char buf[2048];
            int n = udt_recv(b, buf, sizeof(buf), 0);
            if (n > 0) got.append(buf, n);
            return got.size() >= text.size();
        });
        return got;
    }
};

TEST(UdtApi, BuiltSocketCarriesTheOptionTable) {
    int u = build_udt_socket(-1);
    ASSERT_GE(u, 0);
    EXPECT_EQ(get_int(u, UDT_OPT_RENDEZVOUS), 1);
    EXPECT_EQ(get_int(u, UDT_OPT_MSS), 1420);
    EXPECT_EQ(get_int(u, UDT_OPT_RCVSYN), 0);
    // Flags cross as 4-byte ints both ways, whatever the byte order.
    for (int flag : {0, 1}) {
        ASSERT_EQ(udt_setsockopt(u, 0, UDT_OPT_SNDSYN, &flag, sizeof(flag)), 0);
        EXPECT_EQ(get_int(u, UDT_OPT_SNDSYN), flag);
    }
    EXPECT_EQ(get_int(u, UDT_OPT_UDP_SNDBUF), 131072);
    EXPECT_EQ(get_int(u, UDT_OPT_UDP_RCVBUF), 8192);
    EXPECT_EQ(get_int(u, UDT_OPT_FC), 32);
    // Closing never waits for unsent data.
    struct linger lg = {1, 1};
    int len = sizeof(lg);
    ASSERT_EQ(udt_getsockopt(u, 0, UDT_OPT_LINGER, &lg, &len), 0);
    EXPECT_EQ(lg.l_onoff, 0);
    // An unbound socket is not connected, and option 17 agrees with the state call.
    EXPECT_EQ(get_int(u, UDT_OPT_STATE), udt_getsockstate(u));
    EXPECT_NE(udt_getsockstate(u), UDT_STATE_CONNECTED);
    EXPECT_EQ(udt_close(u), 0);
    EXPECT_EQ(udt_getsockstate(u), UDT_STATE_CLOSED);
}

TEST(UdtApi, BindingTakesABlockingUdpSocketAndUnknownSocketsFail) {
    int fd = udp_on("127.0.0.1");
    ASSERT_GE(fd, 0);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    int u = build_udt_socket(fd);
    ASSERT_GE(u, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    udt_close(u);

    char c = 0;
    EXPECT_EQ(udt_send(987654, &c, 1, 0), -1);
    EXPECT_NE(udt_getlasterror_code(), 0);
    EXPECT_EQ(udt_getsockstate(987654), UDT_STATE_NONEXIST);
    EXPECT_EQ(udt_bind2(987654, fd), -1);
}

TEST(UdtApi, RendezvousPairOverBoundSocketsCarriesBytes) {
    udt_pair pair("127.0.0.1", "127.0.0.2");
    ASSERT_TRUE(pair.up());
    EXPECT_EQ(pair.echo("over the punched socket"), "over the punched socket");
    // Nothing left to read: a non-blocking receive says so with EASYNCRCV.
    char buf[16];
    EXPECT_EQ(udt_recv(pair.b, buf, sizeof(buf), 0), -1);
    EXPECT_EQ(udt_getlasterror_code(), EASYNCRCV);
}

// UDT gives up a rendezvous connect after about 30 s but keeps reporting the
// socket as connecting. The owner must still close it, UDT must then release
// the UDP socket, and the library must stay usable.
TEST(UdtWeakSpot, ClosingAfterTheRendezvousConnectGaveUp) {
    event_base *base = event_base_new();
    punch_side dev(base, "127.0.0.1", "weak-spot-token-0123456789abcdef");
    int silent = udp_on("127.0.0.2");
    ASSERT_GE(silent, 0);
    ASSERT_EQ(udp_punch_init_internal(&dev.ctx), 0);
    int udp_fd = dev.ctx.sock;
    int u = build_udt_socket(udp_fd);
    ASSERT_GE(u, 0);
    dev.ctx.state->udt = u;
    sockaddr_in to = local_of(silent);
    ASSERT_EQ(udt_connect(u, reinterpret_cast<sockaddr *>(&to), sizeof(to)), 0);

    // The handshakes stop when UDT gives up.
    datagram_seen d;
    int handshakes = 0;
    while (recv_one(silent, &d, 3000)) handshakes++;
    EXPECT_GT(handshakes, 10);
    EXPECT_EQ(udt_getsockstate(u), UDT_STATE_CONNECTING);

    StdoutCapture log;
    EXPECT_EQ(udp_punch_clear_internal(&dev.ctx), 0);
    ASSERT_TRUE(log.sync());
    EXPECT_EQ(log.count("udt(" + std::to_string(u) + ") state is 4"), 1);
    EXPECT_EQ(log.count("close udt :" + std::to_string(u)), 1);
    EXPECT_EQ(dev.ctx.sock, -1);
    EXPECT_TRUE(poll_until([&] { return !fd_open(udp_fd); }));
    EXPECT_TRUE(poll_until([&] { return udt_getsockstate(u) == UDT_STATE_NONEXIST; }));

    udt_pair pair("127.0.0.3", "127.0.0.4");
    ASSERT_TRUE(pair.up());
    EXPECT_EQ(pair.echo("still alive"), "still alive");
    close(silent);
    event_base_free(base);
}

// UDT closes the UDP socket it owns some time after the UDT socket is closed,
// on its own thread. Until then the number is UDT's: a socket opened right
// after the punch state is cleared must not get it (or UDT would later close
// or read someone else's socket). Once UDT has closed it, the number belongs
// to whoever opens a socket next, and nothing may close it again.
TEST(UdtWeakSpot, DescriptorReusedAfterUdtClosedItsSocket) {
    event_base *base = event_base_new();
    int owned = -1;
    int udt = -1;
    int early = -1;
    {
        punch_side dev(base, "127.0.0.1", "reuse-token-0123456789abcdef");
        ASSERT_EQ(udp_punch_init_internal(&dev.ctx), 0);
        owned = dev.ctx.sock;
        udt = build_udt_socket(owned);
        ASSERT_GE(udt, 0);
        dev.ctx.state->udt = udt;
        // The fixed-port socket goes before UDT takes over, as the connect step does.
        close(dev.ctx.fixed_sock);
        dev.ctx.fixed_sock = -1;
        ASSERT_EQ(udp_punch_clear_internal(&dev.ctx), 0);
        EXPECT_EQ(dev.ctx.sock, -1);
        EXPECT_EQ(udp_punch_clear_internal(&dev.ctx), -1);
        // A busy daemon opens sockets right away.
        early = udp_on("127.0.0.5");
        ASSERT_GE(early, 0);
    }
    ASSERT_TRUE(poll_until([&] { return udt_getsockstate(udt) == UDT_STATE_NONEXIST; }));
    ASSERT_TRUE(poll_until([&] { return !fd_open(owned) || early == owned; }));

    // Take the number UDT gave back for a socket of our own.
    int mine = udp_on("127.0.0.6");
    ASSERT_GE(mine, 0);
    if (mine != owned && early != owned) {
        ASSERT_EQ(dup2(mine, owned), owned);
        close(mine);
        mine = owned;
    }

    // Another UDT socket through its whole life: UDT's collector has then
    // finished with the first one too.
    int other = udp_on("127.0.0.7");
    int u = build_udt_socket(other);
    ASSERT_GE(u, 0);
    udt_close(u);
    ASSERT_TRUE(poll_until([&] { return !fd_open(other); }));

    for (int fd : {early, mine}) {
        ASSERT_TRUE(fd_open(fd)) << fd;
        sockaddr_in self = local_of(fd);
        ASSERT_EQ(sendto(fd, "x", 1, 0, reinterpret_cast<sockaddr *>(&self), sizeof(self)), 1);
        datagram_seen d;
        ASSERT_TRUE(recv_one(fd, &d)) << fd;
        EXPECT_EQ(d.data, "x");
    }
    close(early);
    close(mine);
    event_base_free(base);
}

}  // namespace
