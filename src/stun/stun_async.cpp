// NAT-type worker.
//
// Producers (the loop thread) put requests into a 20-slot ring under
// gnt_lock and signal gnt_ready; the single consumer, STUN_gnt_thread, takes
// them oldest first and runs them without the lock. The worker is started
// once and lives until the process exits.
#include "stun/stun_async.h"

#include <atomic>

#include "util/log.h"

pthread_mutex_t gnt_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t gnt_ready = PTHREAD_COND_INITIALIZER;

namespace {

// Guarded by gnt_lock for writers; also peeked at without it.
std::atomic<int> started;

// Requests reach the ring once NAT classification exists; until then the
// worker only waits for them.
void *STUN_gnt_thread(void *) {
    pthread_mutex_lock(&gnt_lock);
    for (;;) {
        LOG("queue is empty, cond starts waiting");
        pthread_cond_wait(&gnt_ready, &gnt_lock);
    }
    return nullptr;
}

}  // namespace

int STUN_init_gnt_async() {
    if (started.load()) return -1;
    pthread_mutex_lock(&gnt_lock);
    if (started) {
        pthread_mutex_unlock(&gnt_lock);
        return 0;
    }
    pthread_t tid;
    int rc = pthread_create(&tid, nullptr, STUN_gnt_thread, nullptr);
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

int STUN_init_async() { return STUN_init_gnt_async(); }
