// Report upload to the cloud_log service, tarn's own bus object, and every
// other bus call, off the event loop.
//
// Design: one reporter thread owns the bus. Producers (the loop thread for
// session reports and share notices, the NAT-type worker for discovery
// reports) only append to one of two queues under g_lock and write the
// wake-up eventfd: reports (at most 64; when full the oldest report is
// dropped and counted) and notices (at most one per kind). The reporter waits
// in poll() on that eventfd and on the bus socket, so it serves calls on the
// `tarn` object while idle. A due report runs first; a report that finds the
// bus down stays at the head and is tried again after a growing pause, so
// nothing queued is lost while ubusd restarts or is stopped, and notices run
// in those pauses. The upload connection, the object and the message buffer
// belong to the reporter thread alone; a connection that reported a failure
// is dropped and made anew (the object re-added) on the next try.
//
// libubus waits without a time-out in its connect (for ubusd's greeting) and
// in lookups and object adds, so every stretch of bus work on the reporter
// runs under a call_limit: a per-thread timer that, once the time is up,
// sends kCutSignal to the reporter every kCutRepeat. Its handler shuts the
// watched connection down (every wait on it then ends as a lost connection),
// and the signal, taken without SA_RESTART, ends a connect's blocking read.
//
// A call on `tarn` is deferred and handed to the loop through the call pipe;
// the loop answers with ubus_object_reply, which queues the answer under
// g_lock; the reporter completes the call, or fails it once kAnswerWait has
// passed. ubus_deinit stops the reporter for good: queued reports get
// kDrainLimit if a bus was ever reached, none otherwise; then ubus_deinit
// sends kCutSignal itself until the reporter has left, and gives up on it
// after kCutWait.
#include "bus/ubus_api.h"

#include "util/log.h"

// OpenWrt's headers carry no C++ guards.
extern "C" {
#include <libubox/blobmsg_json.h>
#include <libubus.h>
}

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

static constexpr char log_unit[] = "ubus_api";

#define UBUS_SOCKET "/var/run/ubus.sock"  // ubusd's before 2020
#define CLOUD_LOG_OBJECT "cloud_log"
#define CLOUD_LOG_METHOD "upload_log"
#define CLOUD_LOG_COMMAND "cloud_log"
#define LOOKUP_RETRIES 10
#define LOOKUP_RETRY_US 20000
#define REPLY_WAIT_MS 100
#define TARN_OBJECT "tarn"
#ifndef sigev_notify_thread_id
#define sigev_notify_thread_id _sigev_un._tid  // glibc names it only since 2.38
#endif

namespace {

using namespace std::chrono_literals;

constexpr size_t kReportsMax = 64;
constexpr auto kRetryFirst = 100ms;
constexpr auto kRetryMax = 2000ms;
constexpr auto kDrainLimit = 1500ms;

// Time on the bus for one report (with starting cloud_log and its ten
// lookups), one notice (web_media's 3 s reply wait and more), and anything
// else the reporter does between two waits.
constexpr auto kReportLimit = 1000ms;
constexpr auto kNoticeLimit = 4000ms;
constexpr auto kStepLimit = 1000ms;
constexpr auto kCutRepeat = 20ms;  // a cut signal can land before the wait
constexpr auto kCutWait = 300ms;   // at exit, after the drain
constexpr int kCutSignal = SIGUSR2;

constexpr auto kAnswerWait = 2000ms;  // the loop's answer to a call on `tarn`
constexpr size_t kCallsMax = 16;      // calls waiting for the loop

using clock_type = std::chrono::steady_clock;

struct report {
    uint64_t seq;
    std::string text;
};

struct object_reply {
    uint32_t id;
    std::string json;  // empty: the loop could not answer
};

// idle: no reporter yet; running; stopping: ubus_deinit waits for it;
// stopped: for good, posts are dropped and nothing starts it again.
enum class reporter_state { idle, running, stopping, stopped };

// Allocated once and never freed: a reporter stuck in a bus call at exit is
// left behind, and must not find these destroyed under it.
std::mutex &g_lock = *new std::mutex;
std::condition_variable &g_done = *new std::condition_variable;
std::deque<report> &g_reports = *new std::deque<report>;
std::vector<ubus_notice_fn> &g_notices = *new std::vector<ubus_notice_fn>;
std::deque<object_reply> &g_replies = *new std::deque<object_reply>;
unsigned g_dropped;
uint64_t g_next_seq;
reporter_state g_state = reporter_state::idle;
clock_type::time_point g_drain_end;  // set when stopping
bool g_finished;                     // the reporter has left its loop
bool g_serving;                      // keep `tarn` on the bus
std::thread *g_reporter;
int g_wake_fd = -1;
int g_call_pipe[2] = {-1, -1};

// Whether any connect to ubusd ever worked, or only failed: with no bus ever
// seen there is nothing to wait for at exit.
enum bus_seen { BUS_UNTRIED, BUS_NEVER, BUS_REACHED };
std::atomic<int> g_bus_seen{BUS_UNTRIED};

// Reporter thread only.
struct ubus_context *g_ctx;
struct blob_buf g_buf;
bool g_object_added;
uint32_t g_next_call_id;

struct waiting_call {
    uint32_t id;
    clock_type::time_point deadline;
    struct ubus_request_data req;
};
std::vector<waiting_call> &g_calls = *new std::vector<waiting_call>;

// The connection kCutSignal shuts down on this thread, and whether a
// call_limit runs on it. Written by the thread itself, read by its handler.
thread_local volatile sig_atomic_t t_cut_fd = -1;
thread_local bool t_limited;

void cut_cb(int) {
    int saved = errno;
    int fd = t_cut_fd;
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
    errno = saved;
}

void install_cut_handler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa;
        memset(&sa, 0, sizeof(sa));
        sa.sa_handler = cut_cb;  // no SA_RESTART: a blocked read must end
        sigemptyset(&sa.sa_mask);
        sigaction(kCutSignal, &sa, nullptr);
    });
}

// Bounds the bus work of its scope on the calling (reporter) thread; see the
// design note. The connection to cut is g_ctx, or one made inside the scope
// by ubus_connect_system.
class call_limit {
   public:
    explicit call_limit(std::chrono::milliseconds limit) {
        t_cut_fd = g_ctx ? g_ctx->sock.fd : -1;
        t_limited = true;
        struct sigevent sev;
        memset(&sev, 0, sizeof(sev));
        sev.sigev_notify = SIGEV_THREAD_ID;
        sev.sigev_signo = kCutSignal;
        sev.sigev_notify_thread_id = static_cast<pid_t>(gettid());
        if (timer_create(CLOCK_MONOTONIC, &sev, &timer_) < 0) {
            LOG("no timer for a bus call: %s", strerror(errno));
            return;
        }
        armed_ = true;
        struct itimerspec when;
        memset(&when, 0, sizeof(when));
        when.it_value = to_timespec(limit);
        when.it_interval = to_timespec(kCutRepeat);
        timer_settime(timer_, 0, &when, nullptr);
    }
    ~call_limit() {
        if (armed_) timer_delete(timer_);
        t_cut_fd = -1;
        t_limited = false;
    }
    call_limit(const call_limit &) = delete;
    call_limit &operator=(const call_limit &) = delete;

   private:
    static struct timespec to_timespec(std::chrono::milliseconds ms) {
        return {static_cast<time_t>(ms.count() / 1000),
                static_cast<long>(ms.count() % 1000) * 1000000L};
    }
    timer_t timer_{};
    bool armed_ = false;
};

int ubus_init() {
    if (g_ctx) return 0;
    g_ctx = ubus_connect_system();
    if (!g_ctx) {
        LOG("error: failed to connect ubusd.");
        return -1;
    }
    return 0;
}

// Calls still waiting went with the connection they came on.
void drop_connection() {
    if (!g_ctx) return;
    ubus_release(g_ctx);
    g_ctx = nullptr;
    g_object_added = false;
    g_calls.clear();
}

void wake_reporter() {
    uint64_t one = 1;
    if (write(g_wake_fd, &one, sizeof(one)) < 0) return;  // already awake
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

// 0, or the bus status of the last lookup. Only a missing object starts the
// service: a lookup that failed with the connection says nothing about it.
int lookup_cloud_log(uint32_t *id) {
    int rc = ubus_lookup_id(g_ctx, CLOUD_LOG_OBJECT, id);
    if (rc != UBUS_STATUS_NOT_FOUND) return rc;
    start_cloud_log();
    for (int i = 0; i < LOOKUP_RETRIES && rc == UBUS_STATUS_NOT_FOUND; i++) {
        usleep(LOOKUP_RETRY_US);
        rc = ubus_lookup_id(g_ctx, CLOUD_LOG_OBJECT, id);
        if (rc == 0) {
            LOG("start cloud_log successfully.");
            return 0;
        }
    }
    LOG("error: failed to run cloud_log.");
    return rc;
}

void receive_call_result_data(struct ubus_request *, int, struct blob_attr *msg) {
    if (!msg) return;
    char *text = blobmsg_format_json_with_cb(msg, true, NULL, NULL, 0);
    LOG("ubus resp: %s\n", text);
    free(text);
}

// 0 when sent, -1 when the bus was not there (tried again later).
int upload_log(const char *text) {
    uint32_t id;
    if (ubus_init() < 0) {
        LOG_AS("send_log_to_cloud_log", "error: failed to init ubus.");
        return -1;
    }
    int rc = lookup_cloud_log(&id);
    if (rc != 0) {
        LOG_AS("send_log_to_cloud_log", "error: failed to lookup cloud_log.");
        // The service may come up later; the connection stays unless it is
        // what failed, since it carries the `tarn` object and its calls.
        if (rc != UBUS_STATUS_NOT_FOUND) drop_connection();
        return -1;
    }
    blob_buf_init(&g_buf, 0);
    blobmsg_add_string(&g_buf, "log_data", text);
    rc = ubus_invoke(g_ctx, id, CLOUD_LOG_METHOD, g_buf.head, receive_call_result_data, NULL,
                     REPLY_WAIT_MS);
    LOG_AS("send_log_to_cloud_log", "ubus invoke return.\n\n\n");
    // A time-out leaves the call with the bus, which delivers it once it runs
    // again; only a lost connection or a vanished object means "not sent".
    if (rc == UBUS_STATUS_CONNECTION_FAILED) drop_connection();
    return rc == UBUS_STATUS_CONNECTION_FAILED || rc == UBUS_STATUS_NOT_FOUND ? -1 : 0;
}

int object_call(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
                const char *method, struct blob_attr *) {
    if (g_calls.size() >= kCallsMax) return UBUS_STATUS_UNKNOWN_ERROR;
    tarn_call call = {g_next_call_id++,
                      strcmp(method, "clean") == 0 ? TARN_CALL_CLEAN : TARN_CALL_STATUS};
    if (write(g_call_pipe[1], &call, sizeof(call)) != sizeof(call))
        return UBUS_STATUS_UNKNOWN_ERROR;
    g_calls.push_back({call.id, clock_type::now() + kAnswerWait, {}});
    ubus_defer_request(ctx, req, &g_calls.back().req);
    return 0;
}

struct ubus_method g_methods[2];
struct ubus_object_type g_object_type;
struct ubus_object g_object;

int add_tarn_object() {
    if (!g_ctx) g_ctx = ubus_connect_system();
    if (!g_ctx) return -1;
    if (!g_object.name) {
        g_methods[0].name = "status";
        g_methods[1].name = "clean";
        for (auto &m : g_methods) m.handler = object_call;
        g_object_type.name = TARN_OBJECT;
        g_object_type.methods = g_methods;
        g_object_type.n_methods = 2;
        g_object.name = TARN_OBJECT;
        g_object.type = &g_object_type;
        g_object.methods = g_methods;
        g_object.n_methods = 2;
    }
    // Ids from an earlier ubusd mean nothing to this one.
    g_object.id = 0;
    g_object_type.id = 0;
    if (ubus_add_object(g_ctx, &g_object) != 0) {
        LOG("failed to add object %s", TARN_OBJECT);
        drop_connection();
        return -1;
    }
    g_object_added = true;
    LOG("object %s added", TARN_OBJECT);
    return 0;
}

void complete_call(std::vector<waiting_call>::iterator it, const std::string &json) {
    int status = UBUS_STATUS_UNKNOWN_ERROR;
    blob_buf_init(&g_buf, 0);
    if (!json.empty() && blobmsg_add_json_from_string(&g_buf, json.c_str())) {
        ubus_send_reply(g_ctx, &it->req, g_buf.head);
        status = UBUS_STATUS_OK;
    }
    ubus_complete_deferred_request(g_ctx, &it->req, status);
    g_calls.erase(it);
}

void answer_calls(std::deque<object_reply> &replies) {
    for (auto &r : replies) {
        auto it = std::find_if(g_calls.begin(), g_calls.end(),
                               [&](const waiting_call &c) { return c.id == r.id; });
        if (it != g_calls.end()) complete_call(it, r.json);
    }
    auto now = clock_type::now();
    for (auto it = g_calls.begin(); it != g_calls.end();) {
        if (it->deadline > now) {
            ++it;
            continue;
        }
        ubus_complete_deferred_request(g_ctx, &it->req, UBUS_STATUS_TIMEOUT);
        it = g_calls.erase(it);
    }
}

// Waits until woken, the bus has something for us, or `until`.
void wait_for_work(clock_type::time_point until) {
    int timeout = -1;
    if (until != clock_type::time_point::max()) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(until - clock_type::now());
        timeout = static_cast<int>(std::max<int64_t>(0, left.count()));
    }
    struct pollfd fds[2] = {{g_wake_fd, POLLIN, 0}, {g_ctx ? g_ctx->sock.fd : -1, POLLIN, 0}};
    if (poll(fds, 2, timeout) <= 0) return;
    uint64_t count;
    if (fds[0].revents && read(g_wake_fd, &count, sizeof(count)) < 0) count = 0;
    if (g_ctx && fds[1].revents) {
        call_limit limit(kStepLimit);
        ubus_handle_event(g_ctx);
        if (g_ctx->sock.eof) {
            LOG("bus connection lost");
            drop_connection();
        }
    }
}

// Whether the reporter is done: when stopping, once no report is left, the
// drain time is over, or no bus was ever there to take them. Under g_lock.
bool drained(clock_type::time_point now) {
    return g_reports.empty() || now >= g_drain_end || g_bus_seen.load() == BUS_NEVER;
}

// Runs reports and notices and serves calls until stopped; then drains the
// reports for a while.
void reporter_main() {
    auto pause = kRetryFirst;
    auto connect_pause = kRetryFirst;
    auto report_after = clock_type::time_point::min();
    auto connect_after = clock_type::time_point::min();
    std::unique_lock<std::mutex> lk(g_lock);
    for (;;) {
        auto now = clock_type::now();
        bool stopping = g_state != reporter_state::running;
        if (stopping && drained(now)) break;
        std::deque<object_reply> replies;
        replies.swap(g_replies);
        bool serve = g_serving && !stopping;
        bool have_report = !g_reports.empty();
        bool report_due = have_report && now >= report_after;
        report job = report_due ? g_reports.front() : report{};
        // Notices wait behind a due report and are not sent once stopping.
        ubus_notice_fn notice = nullptr;
        if (!report_due && !stopping && !g_notices.empty()) {
            notice = g_notices.front();
            g_notices.erase(g_notices.begin());
        }
        auto drain_end = stopping ? g_drain_end : clock_type::time_point::max();
        lk.unlock();

        if (g_ctx && !replies.empty()) {
            call_limit limit(kStepLimit);
            answer_calls(replies);
        }
        if (report_due) {
            int rc;
            {
                call_limit limit(kReportLimit);
                rc = upload_log(job.text.c_str());
            }
            lk.lock();
            if (rc == 0) {
                // The head may have been dropped for room meanwhile.
                if (!g_reports.empty() && g_reports.front().seq == job.seq) g_reports.pop_front();
                pause = kRetryFirst;
                report_after = clock_type::time_point::min();
            } else {
                report_after = clock_type::now() + pause;
                pause = std::min(pause * 2, kRetryMax);
            }
            continue;
        }
        if (notice) {
            {
                call_limit limit(kNoticeLimit);
                notice();
            }
            lk.lock();
            continue;
        }
        if (serve && !g_object_added && now >= connect_after) {
            call_limit limit(kStepLimit);
            if (add_tarn_object() == 0) {
                connect_pause = kRetryFirst;
            } else {
                connect_after = clock_type::now() + connect_pause;
                connect_pause = std::min(connect_pause * 2, kRetryMax);
            }
        }
        auto until = drain_end;
        if (have_report) until = std::min(until, report_after);
        if (serve && !g_object_added) until = std::min(until, connect_after);
        for (auto &c : g_calls) until = std::min(until, c.deadline);
        wait_for_work(until);
        lk.lock();
    }
    size_t left = g_reports.size();
    bool never = g_bus_seen.load() == BUS_NEVER;
    g_reports.clear();
    g_notices.clear();
    lk.unlock();
    if (left) LOG("%zu report(s) not delivered%s", left, never ? ", no bus ever reached" : "");
    drop_connection();
    blob_buf_free(&g_buf);
    lk.lock();
    g_finished = true;
    g_done.notify_all();
}

// Under g_lock: 0 when the reporter runs, -1 when it does not (stopped, or
// it could not be started).
int start_reporter() {
    if (g_state == reporter_state::running) return 0;
    if (g_state != reporter_state::idle) return -1;
    g_wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (g_wake_fd < 0) return -1;
    install_cut_handler();
    try {
        g_reporter = new std::thread(reporter_main);
    } catch (const std::system_error &) {
        close(g_wake_fd);
        g_wake_fd = -1;
        return -1;
    }
    g_state = reporter_state::running;
    // A program that ends without ubus_deinit still stops the reporter
    // before the queues and their lock are destroyed.
    atexit(ubus_deinit);
    return 0;
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
    if (!ctx) {
        int untried = BUS_UNTRIED;
        g_bus_seen.compare_exchange_strong(untried, BUS_NEVER);
        return nullptr;
    }
    g_bus_seen = BUS_REACHED;
    // libubus means to, but does not, keep the socket from services tarn starts.
    fcntl(ctx->sock.fd, F_SETFD, FD_CLOEXEC);
    if (t_limited) t_cut_fd = ctx->sock.fd;
    return ctx;
}

void ubus_release(struct ubus_context *ctx) {
    if (!ctx) return;
    // Before the descriptor is closed: its number may soon be someone else's.
    if (t_cut_fd == ctx->sock.fd) t_cut_fd = -1;
    ubus_free(ctx);
}

void ubus_post_notice(ubus_notice_fn run) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (start_reporter() < 0) return;
    if (std::find(g_notices.begin(), g_notices.end(), run) != g_notices.end()) return;
    g_notices.push_back(run);
    wake_reporter();
}

int ubus_object_start() {
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_serving) return g_call_pipe[0];
    if (g_state == reporter_state::stopping || g_state == reporter_state::stopped) return -1;
    if (pipe2(g_call_pipe, O_CLOEXEC | O_NONBLOCK) < 0) return -1;
    if (start_reporter() < 0) {
        close(g_call_pipe[0]);
        close(g_call_pipe[1]);
        g_call_pipe[0] = g_call_pipe[1] = -1;
        return -1;
    }
    g_serving = true;
    wake_reporter();
    return g_call_pipe[0];
}

void ubus_object_reply(uint32_t id, const char *json) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_state != reporter_state::running) return;
    g_replies.push_back({id, json ? json : ""});
    wake_reporter();
}

void send_log_to_cloud_log(const char *text) {
    if (!text || !*text) return;
    std::lock_guard<std::mutex> guard(g_lock);
    if (start_reporter() < 0) return;
    if (g_reports.size() >= kReportsMax) {
        g_reports.pop_front();
        g_dropped++;
        LOG("report queue full, %u dropped so far\n", g_dropped);
    }
    g_reports.push_back({g_next_seq++, text});
    wake_reporter();
}

void ubus_deinit() {
    std::unique_lock<std::mutex> lk(g_lock);
    if (g_state != reporter_state::running) {
        if (g_state == reporter_state::idle) g_state = reporter_state::stopped;
        return;
    }
    g_state = reporter_state::stopping;
    auto now = clock_type::now();
    // A report in flight is still queued: with none, nothing is worth a wait.
    g_drain_end = g_reports.empty() ? now : now + kDrainLimit;
    wake_reporter();
    auto finished = [] { return g_finished; };
    bool done = g_done.wait_until(lk, g_drain_end, finished);
    // Time is up: cut the bus call the reporter may be in, until it leaves.
    auto give_up = clock_type::now() + kCutWait;
    while (!done && clock_type::now() < give_up) {
        pthread_kill(g_reporter->native_handle(), kCutSignal);
        done = g_done.wait_for(lk, kCutRepeat, finished);
    }
    g_state = reporter_state::stopped;
    if (!done) {
        // It keeps the descriptors and state it may still touch.
        LOG("bus reporter left behind");
        g_reporter->detach();
        return;
    }
    lk.unlock();
    g_reporter->join();
    lk.lock();
    delete g_reporter;
    g_reporter = nullptr;
    for (int *fd : {&g_wake_fd, &g_call_pipe[0], &g_call_pipe[1]}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
    g_replies.clear();
    g_serving = false;
}
