// Report upload to cloud_log through the reporter thread: waiting for the
// bus, starting the service, whole reports, reconnecting, two producers.
#include "stats/ubus_api.h"

#include "bus_harness.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

using namespace bus_test;

namespace {

const char *const kCloudLog = "/var/log/cloud_log.log";
const char *const kConnectErr = "(ubus_init) error: failed to connect ubusd.\n";
const char *const kInitErr = "(send_log_to_cloud_log) error: failed to init ubus.\n";
const char *const kStarted = "(lookup_cloud_log) start cloud_log successfully.\n";
const char *const kReturned = "(send_log_to_cloud_log) ubus invoke return.\n\n\n";

// A report of several kilobytes, shaped like the daemon's JSON.
std::string report(char tag, size_t size) {
    std::string s = "{\"type\":\"p2p\",\"tag\":\"";
    s += tag;
    s += "\",\"data\":\"";
    for (size_t i = 0; s.size() < size - 2; i++) s += (char)('!' + (i * 7 + tag) % 90);
    // No quote or backslash inside the value keeps it valid JSON.
    for (size_t i = 28; i < s.size(); i++)
        if (s[i] == '"' || s[i] == '\\') s[i] = '_';
    return s + "\"}";
}

class Upload : public ::testing::Test {
   protected:
    temp_dir dir;
    std::unique_ptr<bus_daemon> bus;
    std::string saved_path = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";

    void SetUp() override {
        become_subreaper();
        // The daemon starts the service by its bare name.
        setenv("PATH", (bin_dir() + ":" + saved_path).c_str(), 1);
        unlink(kCloudLog);
    }
    void TearDown() override {
        ubus_deinit();
        bus.reset();
        EXPECT_TRUE(reap_children());
        setenv("PATH", saved_path.c_str(), 1);
    }
    void start_bus() {
        bus = std::make_unique<bus_daemon>();
        ASSERT_TRUE(bus->up());
    }
    bool recorded(size_t n) {
        return wait_until([&] { return read_lines(kCloudLog).size() >= n; });
    }
};

// The reporter keeps what it could not deliver: reports made while there is
// no bus arrive, in order, once ubusd runs; one that came while the queue
// was full pushed out the oldest.
TEST_F(Upload, ReportsWaitForTheBusAndTheOldestGoWhenTheQueueIsFull) {
    stdout_capture out(dir.path);
    for (int n = 0; n < 70; n++) send_log_to_cloud_log(("{\"n\":" + std::to_string(n) + "}").c_str());
    ASSERT_TRUE(wait_until([&] { return count(out.text(), kConnectErr) >= 1; }));
    EXPECT_EQ(6u, count(out.text(), "report queue full"));

    start_bus();
    ASSERT_TRUE(recorded(64));
    std::vector<std::string> want;
    for (int n = 6; n < 70; n++) want.push_back("{\"n\":" + std::to_string(n) + "}");
    EXPECT_EQ(want, read_lines(kCloudLog));
    EXPECT_GE(count(out.text(), kInitErr), 1u);
    EXPECT_EQ(1u, count(out.text(), kStarted));
}

TEST_F(Upload, FirstUploadStartsCloudLogAndReportsArriveWhole) {
    start_bus();
    stdout_capture out(dir.path);
    std::string a = report('a', 6000), b = report('b', 9000);
    send_log_to_cloud_log(a.c_str());
    send_log_to_cloud_log(b.c_str());
    ASSERT_TRUE(recorded(2));
    EXPECT_EQ((std::vector<std::string>{a, b}), read_lines(kCloudLog));
    ASSERT_TRUE(wait_until([&] { return count(out.text(), kReturned) == 2; }));
    std::string text = out.text();
    EXPECT_EQ(1u, count(text, kStarted));  // the second upload finds it at once
    // The reply is logged as indented JSON; one of the two replies must have
    // come within the 100 ms wait, and each that came is complete.
    std::string resp_a =
        "(receive_call_result_data) ubus resp: {\n\t\"result\": \"ok\",\n\t"
        "\"bytes\": 6000\n}\n";
    std::string resp_b =
        "(receive_call_result_data) ubus resp: {\n\t\"result\": \"ok\",\n\t"
        "\"bytes\": 9000\n}\n";
    EXPECT_GE(count(text, resp_a) + count(text, resp_b), 1u);
    EXPECT_EQ(count(text, "ubus resp:"), count(text, resp_a) + count(text, resp_b));
}

// A restarted ubusd drops every connection: the reporter connects again and
// the service is started again on the new bus.
TEST_F(Upload, ReconnectsAfterTheBusRestarts) {
    start_bus();
    send_log_to_cloud_log("{\"n\":1}");
    ASSERT_TRUE(recorded(1));
    bus.reset();
    EXPECT_TRUE(reap_children());
    start_bus();
    send_log_to_cloud_log("{\"n\":2}");
    ASSERT_TRUE(recorded(2));
    EXPECT_EQ((std::vector<std::string>{"{\"n\":1}", "{\"n\":2}"}), read_lines(kCloudLog));
}

// libubus starts uloop, which would take SIGCHLD, SIGINT and SIGTERM.
TEST_F(Upload, ConnectingLeavesSignalDispositionsAlone) {
    start_bus();
    for (int sig : {SIGCHLD, SIGINT, SIGTERM}) signal(sig, SIG_DFL);
    ubus_context *ctx = ubus_connect_system();
    ASSERT_NE(ctx, nullptr);
    ubus_free(ctx);
    for (int sig : {SIGCHLD, SIGINT, SIGTERM}) {
        struct sigaction sa;
        sigaction(sig, nullptr, &sa);
        EXPECT_EQ(sa.sa_handler, SIG_DFL) << sig;
    }
}

TEST_F(Upload, MissingServiceProgramIsReported) {
    start_bus();
    temp_dir empty;
    setenv("PATH", empty.path.c_str(), 1);
    stdout_capture out(dir.path);
    send_log_to_cloud_log("{\"n\":1}");
    ASSERT_TRUE(wait_until([&] {
        return count(out.text(), "(send_log_to_cloud_log) error: failed to lookup cloud_log.\n");
    }));
    std::string text = out.text();
    EXPECT_GE(count(text, "(lookup_cloud_log) error: failed to run cloud_log.\n"), 1u);
    EXPECT_EQ(0u, count(text, "ubus invoke return."));
    EXPECT_NE(0, access(kCloudLog, F_OK));
}

TEST_F(Upload, SimultaneousUploadsFromTwoThreadsBothArrive) {
    start_bus();
    std::string a = report('x', 5000), b = report('y', 7000);
    std::mutex m;
    std::condition_variable cv;
    int ready = 0;
    auto go = [&](const std::string &text) {
        {
            std::unique_lock<std::mutex> l(m);
            ready++;
            cv.notify_all();
            cv.wait(l, [&] { return ready == 2; });
        }
        send_log_to_cloud_log(text.c_str());
    };
    stdout_capture out(dir.path);
    std::thread t1(go, a), t2(go, b);
    t1.join();
    t2.join();
    ASSERT_TRUE(recorded(2));
    EXPECT_EQ(1u, count(out.text(), kStarted));
    auto lines = read_lines(kCloudLog);
    EXPECT_EQ((std::multiset<std::string>{a, b}),
              std::multiset<std::string>(lines.begin(), lines.end()));
}

}  // namespace
