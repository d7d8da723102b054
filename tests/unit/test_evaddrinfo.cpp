// Threaded name resolution against a real event base: who frees a request
// whose resolver is still busy. (Names from /etc/hosts, failing names, a
// silent server and the thread cap are the daemon tests' part.)
//
// The busy resolver waits on a DNS stand-in on 127.0.0.1:53, which the
// sandbox's private /etc/resolv.conf points at. Design of the stand-in: one
// server thread (consumer of queries) reads the socket and parks each query;
// the test thread refuses the parked ones. Parked queries and the counter
// are under `mu_`.
#include <arpa/inet.h>
#include <event2/event.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dns/evaddrinfo.h"
#include "stdout_capture.h"

namespace {

class DnsStandIn {
   public:
    DnsStandIn() {
        sockaddr_in sin = {};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(53);
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bound_ = bind(fd_, reinterpret_cast<sockaddr *>(&sin), sizeof(sin)) == 0;
        thread_ = std::thread([this] { serve(); });
    }
    ~DnsStandIn() {
        uint64_t one = 1;
        if (write(stop_fd_, &one, sizeof(one)) == sizeof(one)) thread_.join();
        close(stop_fd_);
        close(fd_);
    }
    bool bound() const { return bound_; }
    // True once n queries in total have arrived.
    bool wait_queries(int n) {
        std::unique_lock<std::mutex> lk(mu_);
        return cv_.wait_for(lk, std::chrono::seconds(30), [&] { return queries_ >= n; });
    }
    // Refuses every parked query.
    void release_held() {
        std::lock_guard<std::mutex> g(mu_);
        for (auto &q : held_) {
            q.msg[2] |= 0x80;  // a response: QR
            q.msg[3] = 0x85;   // RA, REFUSED
            sendto(fd_, q.msg.data(), q.msg.size(), 0, reinterpret_cast<sockaddr *>(&q.from),
                   sizeof(q.from));
        }
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
            Query q{std::vector<uint8_t>(512), {}};
            socklen_t len = sizeof(q.from);
            ssize_t n = recvfrom(fd_, q.msg.data(), q.msg.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr *>(&q.from), &len);
            if (n < 12) continue;
            q.msg.resize(n);
            std::lock_guard<std::mutex> g(mu_);
            queries_++;
            held_.push_back(q);
            cv_.notify_all();
        }
    }

    int fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int stop_fd_ = eventfd(0, EFD_CLOEXEC);
    bool bound_ = false;
    std::thread thread_;
    std::mutex mu_;
    std::condition_variable cv_;
    int queries_ = 0;
    std::vector<Query> held_;
};

void write_file(const char *path, const std::string &text) {
    unlink(path);  // may be a symlink into the host's /run
    std::ofstream(path) << text;
}

// What one callback saw.
struct Outcome {
    int calls = 0;
    bool on_loop_thread = false;
    bool had_result = true;
    // When set, the callback releases the request itself.
    struct evaddrinfo *release_in_cb = nullptr;
};

std::thread::id g_loop_thread;

int record_cb(struct addrinfo *res, void *arg) {
    auto *o = static_cast<Outcome *>(arg);
    o->calls++;
    o->on_loop_thread = std::this_thread::get_id() == g_loop_thread;
    o->had_result = res != nullptr;
    if (o->release_in_cb) evaddrinfo_free(o->release_in_cb);
    return 0;
}

// Whoever lets go last frees the record: the resolver thread after a
// time-out or an early release.
TEST(Evaddrinfo, BusyResolverFreesWhatTheCallerLetGo) {
    // These rewrite /etc: never on the host. One try with the longest
    // per-try wait, so a held query stays held until released.
    ASSERT_NE(getenv("TARN_SANDBOXED"), nullptr) << "run inside tests/sandbox";
    write_file("/etc/nsswitch.conf", "hosts: files dns\n");
    write_file("/etc/resolv.conf", "nameserver 127.0.0.1\noptions timeout:30 attempts:1\n");
    DnsStandIn dns;
    ASSERT_TRUE(dns.bound());
    g_loop_thread = std::this_thread::get_id();
    event_base *base = event_base_new();
    StdoutCapture log;
    auto pending = [&] { return event_base_get_num_events(base, EVENT_BASE_COUNT_ADDED); };

    // Timed out, and released from inside its own callback, on the loop's
    // thread.
    Outcome late;
    late.release_in_cb = evaddrinfo_new(base, "slow.tarn.test", "3478", 1, record_cb, &late);
    ASSERT_NE(late.release_in_cb, nullptr);
    while (late.calls == 0) event_base_loop(base, EVLOOP_ONCE);  // the time-out's own tick
    EXPECT_TRUE(late.on_loop_thread);
    EXPECT_FALSE(late.had_result);
    EXPECT_EQ(pending(), 0) << "the tick must be gone after delivery";
    ASSERT_TRUE(dns.wait_queries(1));

    // Released while the resolver is still busy: never called back.
    Outcome busy;
    evaddrinfo *r = evaddrinfo_new(base, "held.tarn.test", "3478", 30, record_cb, &busy);
    ASSERT_NE(r, nullptr);
    ASSERT_TRUE(dns.wait_queries(2));
    evaddrinfo_free(r);
    EXPECT_EQ(pending(), 0);
    EXPECT_EQ(log.count("evaddrinfo_free_internal"), 0);

    dns.release_held();
    ASSERT_TRUE(log.wait_for("evaddrinfo_free_internal", 2));
    EXPECT_EQ(log.count("getaddrinfo('slow.tarn.test:3478') failed: "), 1);
    event_base_loop(base, EVLOOP_NONBLOCK);
    EXPECT_EQ(late.calls, 1);
    EXPECT_EQ(busy.calls, 0);
    event_base_free(base);
}

}  // namespace
