// NAT-type worker.
//
// Producers (the loop thread, in principle any thread) put requests into a
// 20-slot ring under gnt_lock and signal gnt_ready; the single consumer,
// STUN_gnt_thread, takes them oldest first, then runs the classification
// and the callback without the lock. The worker is started once and lives
// until the process exits.
#include "stun/stun_async.h"

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "stun/stun.h"
#include "util/log.h"

static constexpr char log_unit[] = "stun_async";

namespace {

pthread_mutex_t gnt_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t gnt_ready = PTHREAD_COND_INITIALIZER;

constexpr int kRingSlots = 20;  // one stays free: 19 requests wait at most
constexpr size_t kMaxName = 127;

struct NatRequest {
    char servername[kMaxName + 1];
    int32_t verbose;
    time_t deadline;
    STUN_nat_type_cb callback;
    void *argument;
};

// Ring and indices guarded by gnt_lock.
NatRequest ring[kRingSlots];
int head;
int tail;
// Written under gnt_lock; also peeked at without it.
std::atomic<int> started;

void *STUN_gnt_thread(void *) {
    for (;;) {
        pthread_mutex_lock(&gnt_lock);
        while (head == tail) {
            LOG("queue is empty, cond starts waiting");
            pthread_cond_wait(&gnt_ready, &gnt_lock);
        }
        LOG("gnt thread wakes, now get nat type");
        const NatRequest req = ring[head];
        head = (head + 1) % kRingSlots;
        pthread_mutex_unlock(&gnt_lock);

        const int code = STUN_get_nat_type(req.servername, req.verbose);
        // Checked after the run: a late request still updates the report.
        if (difftime(time(nullptr), req.deadline) < 0 && req.callback) {
            req.callback(code, req.argument);
        }
        LOG("finish getting nat type");
    }
    return nullptr;
}

int STUN_gnt_task_enqueue(const char *servername, int verbose, int timeoutSec,
                          STUN_nat_type_cb callback, void *arg) {
    if (!servername) return -1;
    LOG("request [%s] for NAT type\n", servername);
    const size_t len = strnlen(servername, kMaxName + 1);
    if (!arg || len == 0 || len > kMaxName) return -1;

    pthread_mutex_lock(&gnt_lock);
    if ((tail + 1) % kRingSlots == head) {
        pthread_mutex_unlock(&gnt_lock);
        return -1;
    }
    NatRequest &slot = ring[tail];
    memcpy(slot.servername, servername, len);
    slot.servername[len] = '\0';
    slot.verbose = verbose;
    slot.deadline = time(nullptr) + timeoutSec;
    slot.callback = callback;
    slot.argument = arg;
    tail = (tail + 1) % kRingSlots;
    pthread_mutex_unlock(&gnt_lock);

    LOG("send cond signal");
    pthread_cond_signal(&gnt_ready);
    return 0;
}

}  // namespace

int STUN_init_gnt_async() {
    if (started.load()) return -1;
    pthread_mutex_lock(&gnt_lock);
    if (started.load()) {
        pthread_mutex_unlock(&gnt_lock);
        return 0;
    }
    head = 0;
    tail = 0;
    pthread_t tid;
    const int rc = pthread_create(&tid, nullptr, STUN_gnt_thread, nullptr);
    if (rc != 0) {
        LOG("create STUN_gnt_thread fail. errno: %d\n", rc);
        LOG("STUN async gnt init fail");
        pthread_mutex_unlock(&gnt_lock);
        return -1;
    }
    LOG("STUN_gnt_thread start");
    started.store(1);
    pthread_mutex_unlock(&gnt_lock);
    LOG("STUN async gnt init OK");
    return 0;
}

int STUN_init_async() {
    return STUN_init_gnt_async();
}

int STUN_get_nat_type_async(const char *servername, int verbose, int timeoutSec,
                            STUN_nat_type_cb callback, void *arg) {
    // Another thread may have started the worker between the two looks.
    if (!started.load() && STUN_init_gnt_async() < 0 && !started.load()) return -1;
    return STUN_gnt_task_enqueue(servername, verbose, timeoutSec, callback, arg);
}
