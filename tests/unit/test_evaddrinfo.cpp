// Threaded name resolution against a real event base.
//
// Slow resolutions come from a DNS stand-in on 127.0.0.1:53 that the
// sandbox's private /etc/resolv.conf points at: it holds every query until
// the test releases it. (Failing names, a silent server and the thread cap
// are the daemon tests' part.)
//
// Design of the stand-in: one server thread (consumer of queries) reads the
// socket and either replies or parks the query; the test thread changes the
// mode and releases parked queries. Mode, parked queries and counters are
// under `mu`; the socket is only read by the server thread.
#include <arpa/inet.h>
#include <event2/event.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dns/evaddrinfo.h"
#include "stdout_capture.h"

using namespace std::chrono_literals;

namespace {

constexpr char kHostsIp[] = "203.0.113.1";
constexpr char kLongIp[] = "203.0.113.9";

// 127 characters: the longest host the resolver passes on.
std::string long_host() {
    return std::string(60, 'a') + "." + std::string(60, 'b') + "." + std::string(5, 'c');
}

class DnsStandIn {
   public:
    bool start() {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in sin = {};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(53);
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd_, reinterpret_cast<sockaddr *>(&sin), sizeof(sin)) != 0) return false;
        stop_fd_ = eventfd(0, EFD_CLOEXEC);
        thread_ = std::thread([this] { serve(); });
        return true;
    }
    void stop() {
        uint64_t one = 1;
        if (write(stop_fd_, &one, sizeof(one)) != sizeof(one)) return;
        thread_.join();
        close(stop_fd_);
        close(fd_);
    }
    // Parks every query from now on.
    void hold() {
        std::lock_guard<std::mutex> g(mu_);
        answering_ = false;
    }
    int queries() {
        std::lock_guard<std::mutex> g(mu_);
        return queries_;
    }
    // True once n queries in total have arrived.
    bool wait_queries(int n) {
        std::unique_lock<std::mutex> lk(mu_);
        return cv_.wait_for(lk, 30s, [&] { return queries_ >= n; });
    }
    // Answers every parked query with 203.0.113.77; later queries too.
    void release_held() {
        std::lock_guard<std::mutex> g(mu_);
        answering_ = true;
        for (auto &q : held_) reply(q);
        held_.clear();
    }

   private:
    struct Query {
        std::vector<uint8_t> msg;
        sockaddr_in from;
    };

    void serve() {
        pollfd p[2] = {{fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
        while (poll(p, 2, -1) < 0 || !p[1].revents) {
            Query q;
            q.msg.resize(512);
            socklen_t len = sizeof(q.from);
            ssize_t n = recvfrom(fd_, q.msg.data(), q.msg.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr *>(&q.from), &len);
            if (n < 12) continue;
            q.msg.resize(n);
            std::lock_guard<std::mutex> g(mu_);
            queries_++;
            if (answering_)
                reply(q);
            else
                held_.push_back(q);
            cv_.notify_all();
        }
    }

    // Header and question of the query, and an A record if it asked for one.
    void reply(const Query &q) {
        size_t qend = 12;
        while (qend < q.msg.size() && q.msg[qend] != 0) qend += q.msg[qend] + 1;
        qend += 5;  // root label, type, class
        if (qend > q.msg.size()) return;
        std::vector<uint8_t> r(q.msg.begin(), q.msg.begin() + qend);
        bool answer = q.msg[qend - 4] == 0 && q.msg[qend - 3] == 1;
        r[2] = 0x80 | (q.msg[2] & 0x79);  // QR, opcode and RD of the query
        r[3] = 0x80;                      // RA, no error
        r[4] = 0, r[5] = 1;               // one question
        r[6] = 0, r[7] = answer ? 1 : 0;  // answers
        for (int i = 8; i < 12; i++) r[i] = 0;
        if (answer) {
            const uint8_t rr[] = {0xc0, 0x0c, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 203, 0, 113, 77};
            r.insert(r.end(), rr, rr + sizeof(rr));
        }
        sendto(fd_, r.data(), r.size(), 0, reinterpret_cast<const sockaddr *>(&q.from),
               sizeof(q.from));
    }

    int fd_ = -1;
    int stop_fd_ = -1;
    std::thread thread_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool answering_ = false;
    int queries_ = 0;
    std::vector<Query> held_;
};

DnsStandIn *g_dns;

void write_file(const char *path, const std::string &text) {
    unlink(path);  // may be a symlink into the host's /run
    std::ofstream f(path);
    f << text;
}

// What one callback saw.
struct Outcome {
    int calls = 0;
    bool on_loop_thread = false;
    bool had_result = false;
    std::string ip;
    int port = -1;
    // When set, the callback releases the request itself.
    struct evaddrinfo *release_in_cb = nullptr;
};

std::thread::id g_loop_thread;

int record_cb(struct addrinfo *res, void *arg) {
    auto *o = static_cast<Outcome *>(arg);
    o->calls++;
    o->on_loop_thread = std::this_thread::get_id() == g_loop_thread;
    o->had_result = res != nullptr;
    if (res) {
        const auto *sin = reinterpret_cast<const sockaddr_in *>(res->ai_addr);
        char buf[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &sin->sin_addr, buf, sizeof(buf));
        o->ip = buf;
        o->port = ntohs(sin->sin_port);
    }
    if (o->release_in_cb) evaddrinfo_free(o->release_in_cb);
    return 0;
}

class EvaddrinfoTest : public ::testing::Test {
   protected:
    // Private resolver configuration: files, then the stand-in. One try with
    // the longest per-try wait, so a held query stays held until released.
    static void SetUpTestSuite() {
        if (!getenv("TARN_SANDBOXED")) {
            fprintf(stderr, "refusing to rewrite /etc outside tests/sandbox\n");
            abort();
        }
        write_file("/etc/nsswitch.conf", "hosts: files dns\n");
        write_file("/etc/resolv.conf", "nameserver 127.0.0.1\noptions timeout:30 attempts:1\n");
        write_file("/etc/hosts", std::string("127.0.0.1 localhost\n") + kHostsIp +
                                     " stun.tarn.test\n" + kLongIp + " " + long_host() + "\n");
        g_dns = new DnsStandIn;
        if (!g_dns->start()) {
            fprintf(stderr, "cannot bind 127.0.0.1:53\n");
            abort();
        }
    }
    static void TearDownTestSuite() {
        g_dns->stop();
        delete g_dns;
        g_dns = nullptr;
    }

    void SetUp() override {
        g_loop_thread = std::this_thread::get_id();
        base_ = event_base_new();
        ASSERT_NE(base_, nullptr);
        g_dns->hold();
    }
    void TearDown() override { event_base_free(base_); }

    // Runs the loop until done() holds; false if the guard time passed first.
    template <typename F>
    bool run_until(F done, std::chrono::seconds guard = 30s) {
        bool expired = false;
        const timeval tv = {static_cast<time_t>(guard.count()), 0};
        event *watchdog = evtimer_new(
            base_, [](evutil_socket_t, short, void *p) { *static_cast<bool *>(p) = true; },
            &expired);
        evtimer_add(watchdog, &tv);
        while (!done() && !expired) event_base_loop(base_, EVLOOP_ONCE);
        event_free(watchdog);
        return done();
    }
    int pending_events() { return event_base_get_num_events(base_, EVENT_BASE_COUNT_ADDED); }

    event_base *base_ = nullptr;
    StdoutCapture log_;
};

TEST_F(EvaddrinfoTest, ResolvesOnTheLoopThread) {
    // Released from inside its own callback.
    Outcome a;
    evaddrinfo *ra = evaddrinfo_new(base_, "stun.tarn.test", "3478", 13, record_cb, &a);
    ASSERT_NE(ra, nullptr);
    a.release_in_cb = ra;
    ASSERT_TRUE(run_until([&] { return a.calls > 0; }));
    EXPECT_TRUE(a.on_loop_thread);
    EXPECT_EQ(a.ip, kHostsIp);
    EXPECT_EQ(a.port, 3478);
    EXPECT_EQ(pending_events(), 0) << "the tick must be gone after delivery";
    ASSERT_TRUE(log_.wait_for("evaddrinfo_free_internal (nil)", 1));
    EXPECT_EQ(log_.count("getaddrinfo('stun.tarn.test:3478') '203.0.113.1:3478'\n"), 1);

    // Null and empty services both mean port 0; a host longer than 127
    // characters is cut (only the cut name is in /etc/hosts).
    struct {
        std::string host;
        const char *port, *ip;
        int want_port;
    } cases[] = {{"localhost", nullptr, "127.0.0.1", 0},
                 {"localhost", "", "127.0.0.1", 0},
                 {long_host() + "dropped.example", "80", kLongIp, 80}};
    for (auto &c : cases) {
        Outcome b;
        evaddrinfo *rb = evaddrinfo_new(base_, c.host.c_str(), c.port, 13, record_cb, &b);
        ASSERT_NE(rb, nullptr);
        ASSERT_TRUE(run_until([&] { return b.calls > 0; }));
        EXPECT_EQ(b.ip, c.ip);
        EXPECT_EQ(b.port, c.want_port);
        evaddrinfo_free(rb);
        EXPECT_EQ(b.calls, 1);
    }
    ASSERT_TRUE(log_.wait_for("evaddrinfo_free_internal", 4));
    EXPECT_EQ(log_.count("getaddrinfo('localhost:0') '127.0.0.1:0'\n"), 2);
    EXPECT_EQ(log_.count("getaddrinfo('" + long_host() + ":80') "), 1);
    EXPECT_EQ(log_.count("(evaddrinfo_new) evaddrinfo_new 0x"), 4);
    EXPECT_EQ(g_dns->queries(), 0) << "/etc/hosts names must not reach DNS";
}

// Whoever lets go last frees the record: the resolver thread after a
// time-out or an early release, the caller otherwise.
TEST_F(EvaddrinfoTest, TimeoutAndEarlyReleaseLeaveTheFreeToTheLastOwner) {
    g_dns->hold();
    int seen = g_dns->queries();
    Outcome late{};
    late.had_result = true;
    evaddrinfo *r = evaddrinfo_new(base_, "slow.tarn.test", "3478", 1, record_cb, &late);
    ASSERT_NE(r, nullptr);
    ASSERT_TRUE(run_until([&] { return late.calls > 0; }));
    EXPECT_FALSE(late.had_result);
    EXPECT_EQ(pending_events(), 0);
    ASSERT_TRUE(g_dns->wait_queries(++seen));
    evaddrinfo_free(r);

    // Released while the resolver is still busy: never called back.
    Outcome busy;
    evaddrinfo *r1 = evaddrinfo_new(base_, "held.tarn.test", "3478", 30, record_cb, &busy);
    ASSERT_NE(r1, nullptr);
    ASSERT_TRUE(g_dns->wait_queries(++seen));
    evaddrinfo_free(r1);
    EXPECT_EQ(pending_events(), 0);
    EXPECT_EQ(log_.count("evaddrinfo_free_internal"), 0);
    g_dns->release_held();
    ASSERT_TRUE(log_.wait_for("evaddrinfo_free_internal", 2));
    EXPECT_EQ(log_.count("getaddrinfo('slow.tarn.test:3478') '203.0.113.77:3478'\n"), 1);

    // Resolver done before the caller lets go, without a tick in between.
    Outcome done;
    evaddrinfo *r2 = evaddrinfo_new(base_, "localhost", "80", 30, record_cb, &done);
    ASSERT_NE(r2, nullptr);
    ASSERT_TRUE(log_.wait_for("getaddrinfo('localhost:80') '127.0.0.1:80'"));
    evaddrinfo_free(r2);
    ASSERT_TRUE(log_.wait_for("evaddrinfo_free_internal", 3));

    // Nothing is left that could call back.
    EXPECT_EQ(pending_events(), 0);
    event_base_loop(base_, EVLOOP_NONBLOCK);
    EXPECT_EQ(late.calls, 1);
    EXPECT_EQ(busy.calls, 0);
    EXPECT_EQ(done.calls, 0);
}

}  // namespace
