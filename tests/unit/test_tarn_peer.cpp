// tarn-peer on loopback against two device sides: a small stand-in that
// plays the device's side of the punch (probes in the daemon's format,
// completing only on an ACK) and of the UDT connection (build_udt_socket,
// rendezvous), so each step can be checked and broken on purpose; and the
// daemon's own punch layer with its pump, fed by a local side that acts as
// the media server. tarn-peer runs as a child process, found on PATH.
#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "punch/udp_punch.h"
#include "punch/udt_api.h"
#include "punch_harness.h"
#include "util/test_pattern.h"

extern char **environ;

namespace {

const char kSid[] = "0011223344aa-1764950000-AbCdEfGhIjKlMnOp";

using Json = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

struct sockaddr_in loopback(uint16_t port) {
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

int udp_socket(struct sockaddr_in *bound) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    *bound = loopback(0);
    socklen_t len = sizeof(*bound);
    if (fd < 0 || bind(fd, reinterpret_cast<struct sockaddr *>(bound), sizeof(*bound)) < 0 ||
        getsockname(fd, reinterpret_cast<struct sockaddr *>(bound), &len) < 0)
        return -1;
    return fd;
}

int port_of(const struct sockaddr_in &a) {
    return ntohs(a.sin_port);
}

// tarn-peer with pipes on its standard input and output; standard error goes
// to the test's log.
struct Peer {
    pid_t pid = -1;
    int in = -1, out = -1;
    std::string pending;

    explicit Peer(std::vector<std::string> args) {
        int to[2], from[2];
        if (pipe2(to, O_CLOEXEC) < 0 || pipe2(from, O_CLOEXEC) < 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, to[0], 0);
        posix_spawn_file_actions_adddup2(&fa, from[1], 1);
        args.insert(args.begin(), "tarn-peer");
        std::vector<char *> argv;
        for (auto &a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        if (posix_spawnp(&pid, "tarn-peer", &fa, nullptr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&fa);
        close(to[0]);
        close(from[1]);
        in = to[1];
        out = from[0];
    }
    ~Peer() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (in >= 0) close(in);
        if (out >= 0) close(out);
    }
    // One line of standard output ("" at its end or after 30 s).
    std::string line() {
        for (;;) {
            size_t nl = pending.find('\n');
            if (nl != std::string::npos) {
                std::string l = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                return l;
            }
            struct pollfd p = {out, POLLIN, 0};
            if (poll(&p, 1, 30000) <= 0) return "";
            char buf[4096];
            ssize_t n = read(out, buf, sizeof(buf));
            if (n <= 0) return "";
            pending.append(buf, n);
        }
    }
    void send_line(const std::string &l) {
        std::string s = l + "\n";
        ASSERT_EQ(write(in, s.data(), s.size()), static_cast<ssize_t>(s.size()));
    }
    int wait() {
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

std::string ready_answer(const struct sockaddr_in &pub, const struct sockaddr_in &pri) {
    char ip_pub[16], ip_pri[16];
    inet_ntop(AF_INET, &pub.sin_addr, ip_pub, sizeof(ip_pub));
    inet_ntop(AF_INET, &pri.sin_addr, ip_pri, sizeof(ip_pri));
    char buf[512];
    snprintf(buf, sizeof(buf),
             "{\"error_code\":0,\"result\":{\"dev_addr\":{\"pub_ip\":\"%s\",\"pub_port\":%d,"
             "\"pri_ip\":\"%s\",\"pri_port\":%d},\"sid\":\"%s\",\"nat_type\":2,\"is_ready\":1}}",
             ip_pub, port_of(pub), ip_pri, port_of(pri), kSid);
    return buf;
}

std::string probe(bool ack) {
    std::string p(kSid, sizeof(kSid));  // text and its zero byte
    if (ack) p[0] = static_cast<char>(p[0] + 1);
    return p;
}

struct Datagram {
    std::string data;
    struct sockaddr_in from;
};

// The next datagram on fd within 10 s; empty data on time-out.
Datagram receive(int fd) {
    Datagram d;
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) return d;
    char buf[2048];
    socklen_t len = sizeof(d.from);
    ssize_t n =
        recvfrom(fd, buf, sizeof(buf), 0, reinterpret_cast<struct sockaddr *>(&d.from), &len);
    if (n > 0) d.data.assign(buf, n);
    return d;
}

void send_to(int fd, const std::string &data, const struct sockaddr_in &to) {
    sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const struct sockaddr *>(&to),
           sizeof(to));
}

// The device's side once it accepted an ACK from peer: UDT on fd toward peer.
// Unlike the daemon, the stand-in waits in UDT's own calls: a synchronous
// socket also connects synchronously. -1 when it does not connect.
int device_udt(int fd, const struct sockaddr_in &peer) {
    int u = build_udt_socket(fd);
    if (u < 0) return -1;
    int on = 1;
    if (udt_setsockopt(u, 0, UDT_OPT_RCVSYN, &on, sizeof(on)) < 0 ||
        udt_connect(u, reinterpret_cast<const struct sockaddr *>(&peer), sizeof(peer)) < 0 ||
        udt_getsockstate(u) != UDT_STATE_CONNECTED) {
        udt_close(u);
        return -1;
    }
    return u;
}

std::string udt_read(int u, size_t n) {
    std::string got;
    char buf[4096];
    while (got.size() < n) {
        int r = udt_recv(u, buf, static_cast<int>(std::min(sizeof(buf), n - got.size())), 0);
        if (r <= 0) break;
        got.append(buf, r);
    }
    return got;
}

bool udt_write(int u, const std::string &data) {
    for (size_t done = 0; done < data.size();) {
        int r = udt_send(u, data.data() + done, static_cast<int>(data.size() - done), 0);
        if (r < 0) return false;
        done += r;
    }
    return true;
}

std::string pattern(size_t n) {
    std::string s(n, '\0');
    test_pattern_fill(0, reinterpret_cast<uint8_t *>(&s[0]), n);
    return s;
}

Json parse(const std::string &line) {
    return Json(cJSON_Parse(line.c_str()), cJSON_Delete);
}

double num(const Json &j, const char *name) {
    cJSON *v = cJSON_GetObjectItem(j.get(), name);
    return cJSON_IsNumber(v) ? v->valuedouble : -12345;
}

std::string str(const Json &j, const char *name) {
    cJSON *v = cJSON_GetObjectItem(j.get(), name);
    return cJSON_IsString(v) ? v->valuestring : "";
}

// Starts tarn-peer on loopback, checks its address line and hands it the
// answer naming pub and pri.
std::unique_ptr<Peer> start_peer(std::vector<std::string> args, const struct sockaddr_in &pub,
                                 const struct sockaddr_in &pri, struct sockaddr_in *peer_addr) {
    args.insert(args.begin(), {"--bind", "127.0.0.1"});
    auto peer = std::make_unique<Peer>(args);
    EXPECT_GT(peer->pid, 0);
    Json addr = parse(peer->line());
    EXPECT_TRUE(addr) << "no address line";
    if (!addr) return peer;
    // Without STUN the public address is the private one.
    EXPECT_EQ(str(addr, "pub_ip"), "127.0.0.1");
    EXPECT_EQ(num(addr, "pub_port"), num(addr, "pri_port"));
    EXPECT_EQ(str(addr, "peer_pub"), "127.0.0.1:" + std::to_string((int)num(addr, "pub_port")));
    *peer_addr = loopback(static_cast<int>(num(addr, "pri_port")));
    peer->send_line(ready_answer(pub, pri));
    return peer;
}

class TarnPeer : public testing::Test {
   protected:
    void SetUp() override {
        dev = udp_socket(&dev_addr);
        ASSERT_GE(dev, 0);
    }
    void TearDown() override {
        if (dev >= 0) close(dev);
    }
    // Answers the peer's probes as the device's main machine does until an
    // ACK from the peer arrives; the source of that ACK.
    struct sockaddr_in punch_until_ack(int fd) {
        for (;;) {
            Datagram d = receive(fd);
            if (d.data.empty()) {
                ADD_FAILURE() << "no ACK from tarn-peer";
                return d.from;
            }
            if (d.data == probe(false)) {
                syns++;
                send_to(fd, probe(true), d.from);
            } else if (d.data == probe(true)) {
                send_to(fd, probe(true), d.from);
                return d.from;
            } else {
                ADD_FAILURE() << "not a probe: " << d.data.size() << " bytes";
            }
        }
    }
    int dev = -1;
    struct sockaddr_in dev_addr;
    int syns = 0;
};

TEST_F(TarnPeer, StreamsVerifiesAndSendsOverTheDevicesUdt) {
    const size_t kDown = 300000, kUp = 20000;
    struct sockaddr_in peer_addr;
    auto peer =
        start_peer({"--request", "GET /cam1\r\n", "--bytes", std::to_string(kDown), "--send-bytes",
                    std::to_string(kUp), "--verify", "--punch-timeout", "10"},
                   dev_addr, dev_addr, &peer_addr);
    struct sockaddr_in from = punch_until_ack(dev);
    EXPECT_GE(syns, 1);
    EXPECT_EQ(port_of(from), port_of(peer_addr)) << "probes come from the announced socket";

    int u = device_udt(dev, from);
    dev = -1;  // UDT owns it now
    ASSERT_GE(u, 0);
    // The request comes first, then the pattern the peer was asked to send.
    EXPECT_EQ(udt_read(u, 11), "GET /cam1\r\n");
    ASSERT_TRUE(udt_write(u, pattern(kDown)));
    std::string up = udt_read(u, kUp);
    EXPECT_EQ(up.size(), kUp);
    EXPECT_TRUE(up == pattern(kUp)) << "the peer's upstream is not the test pattern";

    Json sum = parse(peer->line());
    ASSERT_TRUE(sum);
    EXPECT_EQ(peer->wait(), 0);
    udt_close(u);
    EXPECT_EQ(str(sum, "peer_addr"), "127.0.0.1:" + std::to_string(port_of(dev_addr)));
    EXPECT_EQ(num(sum, "bytes_recv"), kDown);
    EXPECT_EQ(num(sum, "bytes_sent"), kUp);
    EXPECT_EQ(num(sum, "pattern_errors"), 0);
    EXPECT_EQ(num(sum, "first_error_offset"), -1);
    EXPECT_EQ(str(sum, "end"), "bytes");
    // Milestones in order.
    EXPECT_GE(num(sum, "punch_ms"), 0);
    EXPECT_GE(num(sum, "udt_ms"), num(sum, "punch_ms"));
    EXPECT_GE(num(sum, "first_byte_ms"), num(sum, "udt_ms"));
    EXPECT_GT(num(sum, "mb_per_s"), 0);
}

TEST_F(TarnPeer, CorruptedByteIsReportedAtItsOffsetAndFails) {
    struct sockaddr_in peer_addr;
    auto peer = start_peer({"--bytes", "100000", "--verify"}, dev_addr, dev_addr, &peer_addr);
    int u = device_udt(dev, punch_until_ack(dev));
    dev = -1;
    ASSERT_GE(u, 0);
    EXPECT_FALSE(udt_read(u, 1).empty()) << "no request";
    std::string data = pattern(100000);
    data[77777] ^= 0x40;
    ASSERT_TRUE(udt_write(u, data));
    Json sum = parse(peer->line());
    ASSERT_TRUE(sum);
    EXPECT_EQ(peer->wait(), 1);
    udt_close(u);
    EXPECT_EQ(num(sum, "bytes_recv"), 100000);
    EXPECT_EQ(num(sum, "pattern_errors"), 1);
    EXPECT_EQ(num(sum, "first_error_offset"), 77777);
}

TEST_F(TarnPeer, DeviceClosingBeforeTheByteCountFails) {
    struct sockaddr_in peer_addr;
    auto peer = start_peer({"--bytes", "100000"}, dev_addr, dev_addr, &peer_addr);
    int u = device_udt(dev, punch_until_ack(dev));
    dev = -1;
    ASSERT_GE(u, 0);
    EXPECT_FALSE(udt_read(u, 1).empty());
    ASSERT_TRUE(udt_write(u, pattern(5000)));
    // The device's UDT drops unsent data at close: its stream ends once sent.
    ASSERT_TRUE(poll_until([&] {
        int waiting = -1, len = sizeof(waiting);
        return udt_getsockopt(u, 0, UDT_OPT_SNDDATA, &waiting, &len) == 0 && waiting == 0;
    }));
    udt_close(u);
    Json sum = parse(peer->line());
    ASSERT_TRUE(sum);
    EXPECT_EQ(peer->wait(), 1);
    EXPECT_EQ(num(sum, "bytes_recv"), 5000);
    EXPECT_EQ(str(sum, "end"), "closed");
}

// A device whose SYN reaches the peer first: the peer's ACK to that SYN is
// what completes the device.
TEST_F(TarnPeer, AnswersTheDevicesSynWithAnAck) {
    struct sockaddr_in peer_addr;
    auto peer = start_peer({"--bytes", "1"}, dev_addr, dev_addr, &peer_addr);
    send_to(dev, probe(false), peer_addr);
    struct sockaddr_in from;
    for (;;) {  // the peer's own SYNs are not answered here
        Datagram d = receive(dev);
        ASSERT_FALSE(d.data.empty()) << "no ACK to the device's SYN";
        if (d.data == probe(true)) {
            from = d.from;
            break;
        }
        EXPECT_EQ(d.data, probe(false));
    }
    int u = device_udt(dev, from);
    dev = -1;
    ASSERT_GE(u, 0);
    EXPECT_FALSE(udt_read(u, 1).empty());
    ASSERT_TRUE(udt_write(u, "x"));
    Json sum = parse(peer->line());
    ASSERT_TRUE(sum);
    EXPECT_EQ(peer->wait(), 0);
    udt_close(u);
    EXPECT_EQ(num(sum, "bytes_recv"), 1);
    EXPECT_EQ(str(sum, "end"), "bytes");
}

// The device may win on its private address or on its fixed-port socket; the
// peer must run UDT toward whichever socket the device's UDT speaks from.
TEST_F(TarnPeer, ConnectsToTheDeviceSocketThatWon) {
    for (const char *winner : {"private", "fixed"}) {
        SCOPED_TRACE(winner);
        // pub: a socket that never answers. The fixed port is that of the
        // private port, on the public IP.
        struct sockaddr_in pri_addr, fixed_addr;
        int pri = udp_socket(&pri_addr);
        int fixed = udp_socket(&fixed_addr);
        ASSERT_GE(pri, 0);
        ASSERT_GE(fixed, 0);
        struct sockaddr_in announced_pri = pri_addr;
        if (!strcmp(winner, "fixed")) {
            ASSERT_GT(port_of(fixed_addr), 1000);
            announced_pri = loopback(port_of(fixed_addr) - 1000);
            ASSERT_EQ(get_fixed_port(port_of(announced_pri)), port_of(fixed_addr));
        }
        struct sockaddr_in peer_addr;
        auto peer = start_peer({"--bytes", "5"}, dev_addr, announced_pri, &peer_addr);
        int sock = !strcmp(winner, "fixed") ? fixed : pri;
        int u = device_udt(sock, punch_until_ack(sock));
        ASSERT_GE(u, 0);
        EXPECT_FALSE(udt_read(u, 1).empty());
        ASSERT_TRUE(udt_write(u, "media"));
        Json sum = parse(peer->line());
        ASSERT_TRUE(sum);
        EXPECT_EQ(peer->wait(), 0);
        udt_close(u);
        const struct sockaddr_in &won = !strcmp(winner, "fixed") ? fixed_addr : pri_addr;
        EXPECT_EQ(str(sum, "peer_addr"), "127.0.0.1:" + std::to_string(port_of(won)));
        EXPECT_EQ(num(sum, "bytes_recv"), 5);
        // The public socket saw SYNs all along.
        Datagram d = receive(dev);
        EXPECT_EQ(d.data, probe(false));
        if (!strcmp(winner, "fixed"))
            close(pri);
        else
            close(fixed);
    }
}

TEST_F(TarnPeer, PunchTimeOutWhenTheDeviceNeverAnswers) {
    struct sockaddr_in peer_addr;
    auto peer = start_peer({"--punch-timeout", "1"}, dev_addr, dev_addr, &peer_addr);
    EXPECT_EQ(receive(dev).data, probe(false));
    Json sum = parse(peer->line());
    ASSERT_TRUE(sum);
    EXPECT_EQ(str(sum, "end"), "punch-timeout");
    EXPECT_EQ(num(sum, "bytes_recv"), 0);
    EXPECT_EQ(peer->wait(), 4);
}

// The device completed, but its UDT never speaks: the peer keeps punching
// (no UDT toward a silent address) and gives up at its time-out.
TEST_F(TarnPeer, AckWithoutTheDevicesUdtIsNotAConnection) {
    struct sockaddr_in peer_addr;
    auto peer = start_peer({"--punch-timeout", "1"}, dev_addr, dev_addr, &peer_addr);
    punch_until_ack(dev);
    Json sum = parse(peer->line());
    ASSERT_TRUE(sum);
    EXPECT_EQ(str(sum, "end"), "punch-timeout");
    EXPECT_EQ(peer->wait(), 4);
}

// The device's local side for the punch layer's pump: the media server
// "connects" on the peer's first bytes, then serves count pattern bytes.
struct MediaSide {
    udp_punch_ctx *ctx;
    std::string from_peer;
    uint64_t served = 0, count = 0;
    int successes = 0;
    bool failed = false;
};
MediaSide *g_media;

int media_succeed(void *, const struct sockaddr_in *) {
    g_media->successes++;
    return 0;
}
void media_error(void *) {
    // The owner ends the attempt inside the call, as the session does.
    g_media->failed = true;
    udp_punch_clear_internal(g_media->ctx);
}
int media_write(void *, const char *data, int len) {
    g_media->from_peer.append(data, len);
    return 0;
}
int media_read(void *, char *buf, int room) {
    uint64_t n = std::min<uint64_t>(room, g_media->count - g_media->served);
    test_pattern_fill(g_media->served, reinterpret_cast<uint8_t *>(buf), n);
    g_media->served += n;
    return static_cast<int>(n);
}
int media_ready(void *) {
    return !g_media->from_peer.empty();
}

TEST(TarnPeerAndPunchLayer, PunchesConnectsAndCarriesTheStreamBothWays) {
    const size_t kDown = 2000000, kUp = 30000;
    event_base *base = event_base_new();
    ASSERT_TRUE(base);
    {
        punch_side dev(base, "127.0.0.1", kSid);
        MediaSide media{&dev.ctx, "", 0, kDown};
        g_media = &media;
        dev.ctx.succeed_cb = media_succeed;
        dev.ctx.error_cb = media_error;
        dev.ctx.write_local = media_write;
        dev.ctx.read_local = media_read;
        dev.ctx.local_ready = media_ready;
        struct sockaddr_in dev_addr = local_of(dev.ctx.sock);

        auto peer = std::make_unique<Peer>(std::vector<std::string>{
            "--bind", "127.0.0.1", "--request", "GET /live\r\n", "--seconds", "120",
            "--send-bytes", std::to_string(kUp), "--verify"});
        Json addr = parse(peer->line());
        ASSERT_TRUE(addr);
        struct sockaddr_in app = loopback(static_cast<uint16_t>(num(addr, "pub_port")));
        // What the session fills in from prepare_p2p: here public = private.
        dev.ctx.peer_public = app;
        dev.ctx.peer_private = app;
        dev.ctx.peer_fixed = loopback(static_cast<uint16_t>(get_fixed_port(port_of(app))));
        dev.ctx.peer_port_preserved = 1;
        dev.ctx.self_port_preserved = 1;
        ASSERT_EQ(udp_punch_init_internal(&dev.ctx), 0);
        ASSERT_EQ(udp_punch(&dev.ctx), 0);
        peer->send_line(ready_answer(dev_addr, dev_addr));

        // The device pumps the peer's bytes at its own pace, so the peer must
        // stay until they have all arrived, and until it has acknowledged
        // the whole stream (nothing left in the device's send buffer).
        const std::string up = "GET /live\r\n" + pattern(kUp);
        ASSERT_TRUE(run_until(base, [&] {
            int waiting = -1, len = sizeof(waiting);
            return media.failed ||
                   (media.from_peer.size() >= up.size() && media.served == kDown &&
                    udt_getsockopt(dev.ctx.state->udt, 0, UDT_OPT_SNDDATA, &waiting, &len) == 0 &&
                    waiting == 0);
        }));
        ASSERT_FALSE(media.failed);
        kill(peer->pid, SIGINT);
        ASSERT_TRUE(run_until(base, [&] {
            struct pollfd p = {peer->out, POLLIN, 0};
            return poll(&p, 1, 0) > 0;
        }));
        Json sum = parse(peer->line());
        ASSERT_TRUE(sum);
        EXPECT_EQ(peer->wait(), 0);
        EXPECT_EQ(media.successes, 1);
        EXPECT_EQ(str(sum, "peer_addr"), "127.0.0.1:" + std::to_string(port_of(dev_addr)));
        EXPECT_EQ(num(sum, "bytes_recv"), kDown);
        EXPECT_EQ(num(sum, "pattern_errors"), 0);
        // The request first, then the peer's pattern, all through the pump.
        EXPECT_TRUE(media.from_peer == up)
            << media.from_peer.size() << " bytes reached the media side";
        g_media = nullptr;
    }
    event_base_free(base);
}

}  // namespace
