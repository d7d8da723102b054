// Report upload to the cloud_log service, and every other bus call, off the
// event loop.
//
// Design: one reporter thread owns the bus. Producers (the loop thread for
// session reports and share notices, the NAT-type worker for discovery
// reports) only append a job to a bounded queue under g_lock and signal
// g_wake; when the queue is full the oldest job is dropped and counted. The
// reporter runs the job at the head; a job that finds the bus down stays at
// the head and is tried again after a growing pause, so nothing queued is lost
// while ubusd restarts or is stopped. The upload connection and the message
// buffer belong to the reporter thread alone; a connection that reported a
// failure is dropped and made anew on the next try. ubus_deinit lets the
// reporter drain the queue for a bounded time, then stops it.
#include "stats/ubus_api.h"

#include "util/log.h"

// OpenWrt's headers carry no C++ guards.
extern "C" {
#include <libubox/blobmsg_json.h>
#include <libubus.h>
}

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

static constexpr char log_unit[] = "ubus_api";

#define UBUS_SOCKET "/var/run/ubus.sock"  // ubusd's before 2020
#define CLOUD_LOG_OBJECT "cloud_log"
#define CLOUD_LOG_METHOD "upload_log"
#define CLOUD_LOG_COMMAND "cloud_log"
#define LOOKUP_RETRIES 10
#define LOOKUP_RETRY_US 20000
#define REPLY_WAIT_MS 100

namespace {

using namespace std::chrono_literals;

constexpr size_t kQueueMax = 64;
constexpr auto kRetryFirst = 100ms;
constexpr auto kRetryMax = 2000ms;
constexpr auto kDrainLimit = 1500ms;

struct bus_job {
    uint64_t seq;
    ubus_job_fn run;
    std::string text;
};

// Allocated once and never freed: a reporter stuck in a bus call at exit is
// left behind, and must not find these destroyed under it.
std::mutex &g_lock = *new std::mutex;
std::condition_variable &g_wake = *new std::condition_variable;
std::deque<bus_job> &g_queue = *new std::deque<bus_job>;
unsigned g_dropped;
uint64_t g_next_seq;
bool g_stopping;
bool g_running;
bool g_finished;  // the reporter has left its loop
std::thread *g_reporter;

// Reporter thread only.
struct ubus_context *g_ctx;
struct blob_buf g_buf;

int ubus_init() {
    if (g_ctx) return 0;
    g_ctx = ubus_connect_system();
    if (!g_ctx) {
        LOG("error: failed to connect ubusd.");
        return -1;
    }
    return 0;
}

void drop_connection() {
    if (!g_ctx) return;
    ubus_free(g_ctx);
    g_ctx = nullptr;
}

// Starts the service through the shell and does not wait for it: a service
// that stays in the foreground must not hold the reporter. The middle child
// ends at once, so nothing is left to reap.
void start_cloud_log() {
    pid_t child = fork();
    if (child < 0) return;
    if (child == 0) {
        if (fork() == 0) {
            setsid();
            execl("/bin/sh", "sh", "-c", CLOUD_LOG_COMMAND, static_cast<char *>(nullptr));
            _exit(127);
        }
        _exit(0);
    }
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
}

int lookup_cloud_log(uint32_t *id) {
    if (ubus_lookup_id(g_ctx, CLOUD_LOG_OBJECT, id) == 0) return 0;
    start_cloud_log();
    for (int i = 0; i < LOOKUP_RETRIES; i++) {
        usleep(LOOKUP_RETRY_US);
        if (ubus_lookup_id(g_ctx, CLOUD_LOG_OBJECT, id) == 0) {
            LOG("start cloud_log successfully.");
            return 0;
        }
    }
    LOG("error: failed to run cloud_log.");
    return -1;
}

void receive_call_result_data(struct ubus_request *, int, struct blob_attr *msg) {
    if (!msg) return;
    char *text = blobmsg_format_json_with_cb(msg, true, NULL, NULL, 0);
    LOG("ubus resp: %s\n", text);
    free(text);
}

int upload_log(const char *text) {
    uint32_t id;
    if (ubus_init() < 0) {
        LOG_AS("send_log_to_cloud_log", "error: failed to init ubus.");
        return -1;
    }
    if (lookup_cloud_log(&id) < 0) {
        LOG_AS("send_log_to_cloud_log", "error: failed to lookup cloud_log.");
        // The service may come up later, or the connection was what failed.
        drop_connection();
        return -1;
    }
    blob_buf_init(&g_buf, 0);
    blobmsg_add_string(&g_buf, "log_data", text);
    int rc = ubus_invoke(g_ctx, id, CLOUD_LOG_METHOD, g_buf.head, receive_call_result_data,
                         NULL, REPLY_WAIT_MS);
    LOG_AS("send_log_to_cloud_log", "ubus invoke return.\n\n\n");
    // A time-out leaves the call with the bus, which delivers it once it runs
    // again; only a lost connection or a vanished object means "not sent".
    if (rc == UBUS_STATUS_CONNECTION_FAILED || rc == UBUS_STATUS_NOT_FOUND) {
        drop_connection();
        return -1;
    }
    return 0;
}

// Runs jobs until asked to stop; then drains what is queued for a while.
void reporter_main() {
    auto pause = kRetryFirst;
    std::chrono::steady_clock::time_point drain_end{};
    std::unique_lock<std::mutex> lk(g_lock);
    for (;;) {
        g_wake.wait(lk, [] { return g_stopping || !g_queue.empty(); });
        if (g_stopping) {
            if (drain_end == std::chrono::steady_clock::time_point{})
                drain_end = std::chrono::steady_clock::now() + kDrainLimit;
            if (g_queue.empty() || std::chrono::steady_clock::now() >= drain_end) break;
        }
        bus_job job = g_queue.front();
        lk.unlock();
        int rc = job.run(job.text.c_str());
        lk.lock();
        if (rc == 0) {
            // The head may have been dropped for room meanwhile.
            if (!g_queue.empty() && g_queue.front().seq == job.seq) g_queue.pop_front();
            pause = kRetryFirst;
            continue;
        }
        auto until = std::chrono::steady_clock::now() + pause;
        if (g_stopping) until = std::min(until, drain_end);
        g_wake.wait_until(lk, until, [] { return g_stopping; });
        pause = std::min(pause * 2, kRetryMax);
    }
    g_queue.clear();
    lk.unlock();
    drop_connection();
    blob_buf_free(&g_buf);
    lk.lock();
    g_finished = true;
    g_wake.notify_all();
}

}  // namespace

struct ubus_context *ubus_connect_system() {
    // libubus starts uloop, which takes SIGCHLD (without SA_RESTART), and
    // SIGINT, SIGTERM while nobody has them; tarn runs no uloop: keep its own.
    static std::mutex lock;
    static const int kSignals[] = {SIGCHLD, SIGINT, SIGTERM};
    struct sigaction saved[3];
    std::lock_guard<std::mutex> guard(lock);
    for (int i = 0; i < 3; i++) sigaction(kSignals[i], NULL, &saved[i]);
    struct ubus_context *ctx = ubus_connect(UBUS_SOCKET);
    if (!ctx) ctx = ubus_connect(NULL);  // the library's default, /var/run/ubus/ubus.sock
    for (int i = 0; i < 3; i++) sigaction(kSignals[i], &saved[i], NULL);
    // libubus means to, but does not, keep the socket from services tarn starts.
    if (ctx) fcntl(ctx->sock.fd, F_SETFD, FD_CLOEXEC);
    return ctx;
}

void ubus_post(ubus_job_fn run, const char *text) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_stopping) return;
    if (!g_running) {
        g_reporter = new std::thread(reporter_main);
        g_running = true;
        // A program that ends without ubus_deinit still stops the reporter
        // before the queue and its lock are destroyed.
        static std::once_flag stop_at_exit;
        std::call_once(stop_at_exit, [] { atexit(ubus_deinit); });
    }
    if (g_queue.size() >= kQueueMax) {
        g_queue.pop_front();
        g_dropped++;
        LOG("report queue full, %u dropped so far\n", g_dropped);
    }
    g_queue.push_back({g_next_seq++, run, text ? text : ""});
    g_wake.notify_one();
}

void send_log_to_cloud_log(const char *text) {
    if (!text || !*text) return;
    ubus_post(upload_log, text);
}

void ubus_deinit() {
    std::unique_lock<std::mutex> lk(g_lock);
    if (!g_running) return;
    g_stopping = true;
    g_wake.notify_all();
    // Some libubus calls wait without a time-out (a lookup on a stopped
    // ubusd): exit does not wait for them.
    if (!g_wake.wait_for(lk, kDrainLimit + 1s, [] { return g_finished; })) {
        g_reporter->detach();
        return;
    }
    lk.unlock();
    g_reporter->join();
    lk.lock();
    delete g_reporter;
    g_reporter = nullptr;
    g_running = false;
    g_stopping = false;
    g_finished = false;
}
