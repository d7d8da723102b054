// Probe-port timer and NAT-type results.
//
// The loop thread (gpp_timer_cb) starts at most one detached probe-port
// thread at a time. It copies g_stun_host into probe_host, which only it
// writes and only while no run is alive; the run reads that copy and clears
// probe_running (release) as its very last access, and the loop reads the
// flag (acquire) before it touches probe_host again. get_nat_type_cb runs on
// the NAT-type worker and only stores g_nat_type (atomic).
#include "session/session_probe.h"

#include <event2/event.h>
#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "session/session.h"
#include "stun/stun.h"
#include "stun/stun_async.h"
#include "util/log.h"

static constexpr char log_unit[] = "session";

namespace {

constexpr int kLabels = 16;
constexpr int kNatTypeDeadlineSec = 7;
// A probe-port run every minute keeps the ports in the reports fresh.
const struct timeval kProbePeriod = {60, 0};

struct event *gpp_timer;
std::atomic<bool> probe_running{false};
bool probe_started;  // loop thread only
char probe_host[sizeof(g_stun_host)];

// Interned label texts; slots are written once, before their pointer is
// handed out, and never change afterwards. Loop thread only.
char labels[kLabels][sizeof(g_stun_host)];
int label_count;
const char kLabelOverflow[] = "stun host";

void *gpp_probe_run(void *arg) {
    STUN_get_probe_port(arg);
    probe_running.store(false, std::memory_order_release);
    return nullptr;
}

// Thread creation failures are not reported; the next tick tries again.
void gpp_start_run() {
    snprintf(probe_host, sizeof(probe_host), "%s", g_stun_host);
    probe_running.store(true, std::memory_order_relaxed);
    pthread_t tid;
    if (pthread_create(&tid, nullptr, gpp_probe_run, probe_host) != 0) {
        probe_running.store(false, std::memory_order_relaxed);
        return;
    }
    probe_started = true;
}

int STUN_gpp_thread(struct event_base *base) {
    gpp_timer = event_new(base, -1, EV_TIMEOUT | EV_PERSIST, gpp_timer_cb, nullptr);
    if (!gpp_timer || event_add(gpp_timer, &kProbePeriod) < 0) {
        LOG("event gpp failed");
        gpp_timer_free();
        return -1;
    }
    return 0;
}

}  // namespace

// A pure timer: it only ever times out.
void gpp_timer_cb(int fd, short events, void *arg) {
    (void)fd;
    (void)events;
    (void)arg;
    LOG("stun host is %s\n", g_stun_host);
    if (g_stun_host[0] == '\0') return;
    if (!probe_started) {
        gpp_start_run();
        return;
    }
    // A flag the run clears, not a signal to its id: the run detaches
    // itself, so its id means nothing once it has ended.
    if (!probe_running.load(std::memory_order_acquire)) {
        gpp_start_run();
        return;
    }
    LOG("the thread is alive");
}

int gpp_thread_start(struct event_base *base) {
    if (!base) return -1;
    return STUN_gpp_thread(base);
}

void gpp_timer_free() {
    if (gpp_timer) {
        event_free(gpp_timer);
        gpp_timer = nullptr;
    }
}

void get_nat_type_cb(int code, void *label) {
    LOG("%s say: NAT type %d(%#x)\n", static_cast<const char *>(label), code, code);
    g_nat_type.store(code & 15);
}

const char *nat_type_label(const char *host) {
    if (!host) host = "";
    for (int i = 0; i < label_count; i++) {
        if (strncmp(labels[i], host, sizeof(labels[i]) - 1) == 0) return labels[i];
    }
    if (label_count == kLabels) return kLabelOverflow;
    snprintf(labels[label_count], sizeof(labels[label_count]), "%s", host);
    return labels[label_count++];
}

int request_nat_type(const char *server, const char *label) {
    // The worker only reads the label; the cast is for its opaque argument.
    return STUN_get_nat_type_async(server, 0, kNatTypeDeadlineSec, get_nat_type_cb,
                                   const_cast<char *>(nat_type_label(label)));
}
