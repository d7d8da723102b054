// Threaded name resolution against a real event base.
//
// Slow and failing resolutions come from a DNS stand-in on 127.0.0.1:53 that
// the sandbox's private /etc/resolv.conf points at: it answers NXDOMAIN or
// REFUSED at once, or holds every query until the test releases it.
//
// Design of the stand-in: one server thread (consumer of queries) reads the
// socket and either replies or parks the query; the test thread changes the
// mode and releases parked queries. Mode, parked queries and counters are
// under `mu`; the socket is only read by the server thread.
#include <arpa/inet.h>
#include <dirent.h>
#include <event2/event.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
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
using Clock = std::chrono::steady_clock;

namespace {

constexpr char kHeldAnswer[] = "203.0.113.77";
constexpr char kHostsIp[] = "203.0.113.1";
constexpr char kLongIp[] = "203.0.113.9";

// 127 characters: the longest host the resolver passes on.
std::string long_host() {
    return std::string(60, 'a') + "." + std::string(60, 'b') + "." + std::string(5, 'c');
}

class DnsStandIn {
   public:
    enum Mode { kNxDomain, kRefused, kHold, kAnswer };

    bool start() {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) return false;
        sockaddr_in sin = {};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(53);
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd_, reinterpret_cast<sockaddr *>(&sin), sizeof(sin)) != 0) return false;
        stop_fd_ = eventfd(0, EFD_CLOEXEC);
        if (stop_fd_ < 0) return false;
        thread_ = std::thread([this] { serve(); });
        return true;
    }
    void stop() {
        if (!thread_.joinable()) return;
        uint64_t one = 1;
        if (write(stop_fd_, &one, sizeof(one)) != sizeof(one)) return;
        thread_.join();
        close(stop_fd_);
        close(fd_);
    }
    void set_mode(Mode m) {
        std::lock_guard<std::mutex> g(mu_);
        mode_ = m;
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
    // Answers every parked query with kHeldAnswer; later queries too.
    void release_held() {
        std::lock_guard<std::mutex> g(mu_);
        mode_ = kAnswer;
        for (auto &q : held_) reply(q, kAnswer);
        held_.clear();
    }
    Clock::time_point last_reply() {
        std::lock_guard<std::mutex> g(mu_);
        return last_reply_;
    }

   private:
    struct Query {
        std::vector<uint8_t> msg;
        sockaddr_in from;
    };

    void serve() {
        pollfd p[2] = {{fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
        for (;;) {
            if (poll(p, 2, -1) < 0) continue;
            if (p[1].revents) return;
            Query q;
            q.msg.resize(512);
            socklen_t len = sizeof(q.from);
            ssize_t n = recvfrom(fd_, q.msg.data(), q.msg.size(), 0,
                                 reinterpret_cast<sockaddr *>(&q.from), &len);
            if (n < 12) continue;
            q.msg.resize(n);
            std::lock_guard<std::mutex> g(mu_);
            queries_++;
            if (mode_ == kHold)
                held_.push_back(q);
            else
                reply(q, mode_);
            cv_.notify_all();
        }
    }

    // Header and question of the query; an A record for kAnswer.
    void reply(const Query &q, Mode mode) {
        size_t qend = 12;
        while (qend < q.msg.size() && q.msg[qend] != 0) qend += q.msg[qend] + 1;
        qend += 5;  // root label, type, class
        if (qend > q.msg.size()) return;
        std::vector<uint8_t> r(q.msg.begin(), q.msg.begin() + qend);
        uint16_t qtype = (q.msg[qend - 4] << 8) | q.msg[qend - 3];
        bool answer = mode == kAnswer && qtype == 1;
        uint8_t rcode = mode == kNxDomain ? 3 : mode == kRefused ? 5 : 0;
        r[2] = 0x80 | (q.msg[2] & 0x79);  // QR, opcode and RD of the query
        r[3] = 0x80 | rcode;              // RA
        r[4] = 0, r[5] = 1;               // one question
        r[6] = 0, r[7] = answer ? 1 : 0;  // answers
        for (int i = 8; i < 12; i++) r[i] = 0;
        if (answer) {
            const uint8_t rr[] = {0xc0, 0x0c, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4};
            r.insert(r.end(), rr, rr + sizeof(rr));
            in_addr a;
            inet_pton(AF_INET, kHeldAnswer, &a);
            const auto *b = reinterpret_cast<const uint8_t *>(&a.s_addr);
            r.insert(r.end(), b, b + 4);
        }
        sendto(fd_, r.data(), r.size(), 0, reinterpret_cast<const sockaddr *>(&q.from),
               sizeof(q.from));
        last_reply_ = Clock::now();
    }

    int fd_ = -1;
    int stop_fd_ = -1;
    std::thread thread_;
    std::mutex mu_;
    std::condition_variable cv_;
    Mode mode_ = kNxDomain;
    int queries_ = 0;
    std::vector<Query> held_;
    Clock::time_point last_reply_;
};

DnsStandIn *g_dns;

bool inside_sandbox() {
    if (!getenv("TARN_SANDBOXED")) return false;
    std::ifstream mounts("/proc/self/mounts");
    std::string line;
    while (std::getline(mounts, line))
        if (line.rfind("tarn-etc /etc overlay", 0) == 0) return true;
    return false;
}

void write_file(const char *path, const std::string &text) {
    unlink(path);  // may be a symlink into the host's /run
    std::ofstream f(path);
    f << text;
}

long long ms(Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

// What one callback saw.
struct Outcome {
    int calls = 0;
    bool on_loop_thread = false;
    bool had_result = false;
    std::string ip;
    int port = -1;
    Clock::time_point at;
    // When set, the callback releases the request itself.
    struct evaddrinfo *release_in_cb = nullptr;
};

std::thread::id g_loop_thread;

int record_cb(struct addrinfo *res, void *arg) {
    auto *o = static_cast<Outcome *>(arg);
    o->calls++;
    o->at = Clock::now();
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
        if (!inside_sandbox()) {
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
        g_dns->set_mode(DnsStandIn::kNxDomain);
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

TEST_F(EvaddrinfoTest, ResolvesHostsEntryAndLocalhostOnTheLoopThread) {
    // Released from inside its own callback.
    Outcome a;
    evaddrinfo *ra = evaddrinfo_new(base_, "stun.tarn.test", "3478", 13, record_cb, &a);
    ASSERT_NE(ra, nullptr);
    a.release_in_cb = ra;
    ASSERT_TRUE(run_until([&] { return a.calls > 0; }));
    EXPECT_TRUE(a.on_loop_thread);
    ASSERT_TRUE(a.had_result);
    EXPECT_EQ(a.ip, kHostsIp);
    EXPECT_EQ(a.port, 3478);
    EXPECT_EQ(pending_events(), 0) << "the tick must be gone after delivery";
    ASSERT_TRUE(log_.wait_for("evaddrinfo_free_internal (nil)", 1));
    EXPECT_EQ(log_.count("getaddrinfo('stun.tarn.test:3478') '203.0.113.1:3478'\n"), 1);

    // Null and empty services both mean port 0; released after the callback.
    const char *ports[] = {nullptr, ""};
    for (const char *port : ports) {
        Outcome b;
        evaddrinfo *rb = evaddrinfo_new(base_, "localhost", port, 13, record_cb, &b);
        ASSERT_NE(rb, nullptr);
        ASSERT_TRUE(run_until([&] { return b.calls > 0; }));
        ASSERT_TRUE(b.had_result);
        EXPECT_EQ(b.ip, "127.0.0.1");
        EXPECT_EQ(b.port, 0);
        evaddrinfo_free(rb);
        EXPECT_EQ(b.calls, 1);
    }
    ASSERT_TRUE(log_.wait_for("evaddrinfo_free_internal", 3));
    EXPECT_EQ(log_.count("getaddrinfo('localhost:0') '127.0.0.1:0'\n"), 2);
    EXPECT_EQ(log_.count("(evaddrinfo_new) evaddrinfo_new 0x"), 3);
    EXPECT_EQ(g_dns->queries(), 0) << "/etc/hosts names must not reach DNS";
}

TEST_F(EvaddrinfoTest, HostLongerThan127CharactersIsCut) {
    // Only the cut name is in /etc/hosts; the full one would fail in DNS.
    const std::string full = long_host() + "dropped.example";
    Outcome o;
    evaddrinfo *r = evaddrinfo_new(base_, full.c_str(), "80", 13, record_cb, &o);
    ASSERT_NE(r, nullptr);
    ASSERT_TRUE(run_until([&] { return o.calls > 0; }));
    ASSERT_TRUE(o.had_result);
    EXPECT_EQ(o.ip, kLongIp);
    evaddrinfo_free(r);
    ASSERT_TRUE(log_.wait_for("evaddrinfo_free_internal"));
    EXPECT_EQ(log_.count("getaddrinfo('" + long_host() + ":80') "), 1);
}

TEST_F(EvaddrinfoTest, FailureIsDeliveredSoonAfterTheResolverGivesUp) {
    struct Case {
        DnsStandIn::Mode mode;
        const char *host;
    } cases[] = {{DnsStandIn::kNxDomain, "nx.tarn.test"},
                 {DnsStandIn::kRefused, "refused.tarn.test"}};
    int freed = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.host);
        g_dns->set_mode(c.mode);
        const int seen = g_dns->queries();
        Outcome o;
        evaddrinfo *r = evaddrinfo_new(base_, c.host, "3478", 30, record_cb, &o);
        ASSERT_NE(r, nullptr);
        const auto started = Clock::now();
        ASSERT_TRUE(run_until([&] { return o.calls > 0; }, 60s));
        EXPECT_FALSE(o.had_result);
        EXPECT_GT(g_dns->queries(), seen);
        // One tick after the answer is expected; the margin only separates it
        // from the 30 s time-out.
        EXPECT_LT(ms(o.at - g_dns->last_reply()), 5000);
        EXPECT_LT(ms(o.at - started), 15000);
        evaddrinfo_free(r);
        ASSERT_TRUE(log_.wait_for("evaddrinfo_free_internal", ++freed));
        EXPECT_EQ(log_.count(std::string("getaddrinfo('") + c.host + ":3478') failed: "), 1);
    }
    char nx_line[160];
    snprintf(nx_line, sizeof(nx_line), "getaddrinfo('nx.tarn.test:3478') failed: %d; %s\n",
             EAI_NONAME, gai_strerror(EAI_NONAME));
    EXPECT_EQ(log_.count(nx_line), 1);
}

TEST_F(EvaddrinfoTest, TimeoutThenLateResultIsFreedByTheResolverThread) {
    g_dns->set_mode(DnsStandIn::kHold);
    const int seen = g_dns->queries();
    Outcome o;
    const auto started = Clock::now();
    evaddrinfo *r = evaddrinfo_new(base_, "slow.tarn.test", "3478", 1, record_cb, &o);
    ASSERT_NE(r, nullptr);
    ASSERT_TRUE(run_until([&] { return o.calls > 0; }));
    EXPECT_FALSE(o.had_result);
    // 20 ticks of 50 ms; timers do not fire early.
    EXPECT_GE(ms(o.at - started), 900);
    EXPECT_EQ(pending_events(), 0);

    // The resolver thread is still waiting for the held query.
    ASSERT_TRUE(g_dns->wait_queries(seen + 1));
    evaddrinfo_free(r);
    EXPECT_EQ(log_.count("evaddrinfo_free_internal"), 0);

    g_dns->release_held();
    ASSERT_TRUE(log_.wait_for("evaddrinfo_free_internal"));
    EXPECT_EQ(log_.count("getaddrinfo('slow.tarn.test:3478') '203.0.113.77:3478'\n"), 1);
    EXPECT_EQ(o.calls, 1);
    // LeakSanitizer checks that the late list went with the record.
}

TEST_F(EvaddrinfoTest, ReleaseBeforeDeliverySilencesTheCallback) {
    // Resolver still busy when the caller lets go: the thread frees.
    g_dns->set_mode(DnsStandIn::kHold);
    const int seen = g_dns->queries();
    Outcome busy;
    evaddrinfo *r1 = evaddrinfo_new(base_, "held.tarn.test", "3478", 30, record_cb, &busy);
    ASSERT_NE(r1, nullptr);
    ASSERT_TRUE(g_dns->wait_queries(seen + 1));
    evaddrinfo_free(r1);
    EXPECT_EQ(pending_events(), 0);
    EXPECT_EQ(log_.count("evaddrinfo_free_internal"), 0);
    g_dns->release_held();
    ASSERT_TRUE(log_.wait_for("evaddrinfo_free_internal", 1));

    // Resolver done before the caller lets go, without a tick in between.
    Outcome done;
    evaddrinfo *r2 = evaddrinfo_new(base_, "localhost", "80", 30, record_cb, &done);
    ASSERT_NE(r2, nullptr);
    ASSERT_TRUE(log_.wait_for("getaddrinfo('localhost:80') '127.0.0.1:80'"));
    evaddrinfo_free(r2);
    ASSERT_TRUE(log_.wait_for("evaddrinfo_free_internal", 2));

    // Nothing is left that could call back.
    EXPECT_EQ(pending_events(), 0);
    event_base_loop(base_, EVLOOP_NONBLOCK);
    EXPECT_EQ(busy.calls, 0);
    EXPECT_EQ(done.calls, 0);
}

TEST_F(EvaddrinfoTest, TwoRequestsInFlightAreIndependent) {
    g_dns->set_mode(DnsStandIn::kHold);
    const int seen = g_dns->queries();
    Outcome slow, fast;
    evaddrinfo *rs = evaddrinfo_new(base_, "slow2.tarn.test", "3478", 30, record_cb, &slow);
    evaddrinfo *rf = evaddrinfo_new(base_, "localhost", "3478", 30, record_cb, &fast);
    ASSERT_NE(rs, nullptr);
    ASSERT_NE(rf, nullptr);
    ASSERT_NE(rs, rf);
    ASSERT_TRUE(run_until([&] { return fast.calls > 0; }));
    EXPECT_EQ(fast.ip, "127.0.0.1");
    EXPECT_EQ(slow.calls, 0);
    evaddrinfo_free(rf);

    ASSERT_TRUE(g_dns->wait_queries(seen + 1));
    g_dns->release_held();
    ASSERT_TRUE(run_until([&] { return slow.calls > 0; }));
    ASSERT_TRUE(slow.had_result);
    EXPECT_EQ(slow.ip, kHeldAnswer);
    EXPECT_EQ(slow.port, 3478);
    EXPECT_EQ(fast.calls, 1);
    evaddrinfo_free(rs);
    ASSERT_TRUE(log_.wait_for("evaddrinfo_free_internal", 2));
}

int count_threads() {
    int n = 0;
    DIR *d = opendir("/proc/self/task");
    if (!d) return -1;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') n++;
    closedir(d);
    return n;
}

// A DNS server that holds every query must not pile up resolver threads: the
// cap is in flight, the rest wait, and every request still gets its answer
// once the server speaks again.
TEST_F(EvaddrinfoTest, ResolverThreadsAreCappedAndWaitingRequestsGetTheirTurn) {
    g_dns->set_mode(DnsStandIn::kHold);
    const int seen = g_dns->queries();
    const int threads = count_threads();
    constexpr int kRequests = EVADDRINFO_MAX_THREADS + 3;
    Outcome o[kRequests];
    evaddrinfo *r[kRequests];
    for (int i = 0; i < kRequests; i++) {
        std::string host = "capped" + std::to_string(i) + ".tarn.test";
        r[i] = evaddrinfo_new(base_, host.c_str(), "3478", 30, record_cb, &o[i]);
        ASSERT_NE(r[i], nullptr);
    }
    ASSERT_TRUE(g_dns->wait_queries(seen + EVADDRINFO_MAX_THREADS));
    // Ticks keep running; none of the waiting requests may start a thread.
    run_until([] { return false; }, 1s);
    EXPECT_EQ(g_dns->queries(), seen + EVADDRINFO_MAX_THREADS);
    EXPECT_LE(count_threads(), threads + EVADDRINFO_MAX_THREADS);

    g_dns->release_held();
    ASSERT_TRUE(run_until([&] {
        for (const Outcome &x : o)
            if (x.calls == 0) return false;
        return true;
    }));
    for (const Outcome &x : o) EXPECT_EQ(x.ip, kHeldAnswer);
    for (evaddrinfo *x : r) evaddrinfo_free(x);
    ASSERT_TRUE(log_.wait_for("evaddrinfo_free_internal", kRequests));
}

TEST_F(EvaddrinfoTest, BadArgumentsStartNothing) {
    Outcome o;
    const int threads = count_threads();
    EXPECT_EQ(evaddrinfo_new(nullptr, "localhost", "80", 5, record_cb, &o), nullptr);
    EXPECT_EQ(evaddrinfo_new(base_, nullptr, "80", 5, record_cb, &o), nullptr);
    EXPECT_EQ(evaddrinfo_new(base_, "localhost", "80", 5, nullptr, &o), nullptr);
    EXPECT_EQ(evaddrinfo_new(base_, "localhost", "80", 0, record_cb, &o), nullptr);
    EXPECT_EQ(evaddrinfo_new(base_, "localhost", "80", -3, record_cb, &o), nullptr);
    evaddrinfo_free(nullptr);
    EXPECT_EQ(pending_events(), 0);
    EXPECT_LE(count_threads(), threads);
    EXPECT_EQ(log_.count("evaddrinfo_new"), 0);
    EXPECT_EQ(log_.count("getaddrinfo("), 0);
    EXPECT_EQ(o.calls, 0);
}

}  // namespace
