// Threaded name resolution.
//
// Design: each request gets one detached resolver thread, but at most
// EVADDRINFO_MAX_THREADS run at once: a slow DNS server keeps a thread inside
// getaddrinfo long after its request timed out, and without a cap every new
// session would add one more. A request that finds no free slot waits, and its
// tick retries until it gets one or its time-out passes. The slot count is an
// atomic taken on the loop thread and given back by the resolver thread. The
// thread (producer) runs getaddrinfo and publishes the list through the atomic
// `res`, or a failure by zeroing the atomic `remaining_ms`. A 50 ms tick on the
// caller's event base (consumer) polls both and calls the callback on the loop
// thread, by time-out at the latest. The record is shared by a reference count
// under `lock`: one reference for the loop side, one for the thread; whoever
// drops the last one frees the record and the list. Only the loop thread
// touches `ev`, and it frees it before giving up its reference, so a thread
// that frees the record never meets a live event. `host`, `port`, `cb` and
// `arg` are written before the thread starts and only read afterwards.
#include "dns/evaddrinfo.h"

#include <event2/event.h>
#include <netinet/in.h>
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <new>

#include "util/log.h"
#include "util/utils.h"

static constexpr char log_unit[] = "evaddrinfo";

struct evaddrinfo {
    struct event *ev;
    char host[128];
    char port[64];
    std::atomic<int> remaining_ms;
    std::atomic<struct addrinfo *> res;
    evaddrinfo_cb_fn cb;
    void *arg;
    std::mutex lock;
    int refcnt;
    bool started;  // loop thread only
};

namespace {

constexpr int kTickMs = 50;

std::atomic<int> g_resolvers{0};

bool take_resolver_slot() {
    int n = g_resolvers.load(std::memory_order_relaxed);
    while (n < EVADDRINFO_MAX_THREADS)
        if (g_resolvers.compare_exchange_weak(n, n + 1, std::memory_order_relaxed)) return true;
    return false;
}

void evaddrinfo_free_internal(struct evaddrinfo *req) {
    if (!req) return;
    if (req->ev) event_free(req->ev);
    struct addrinfo *res = req->res.load(std::memory_order_acquire);
    if (res) freeaddrinfo(res);
    delete req;
}

void *thread_getaddrinfo(void *p) {
    pthread_detach(pthread_self());
    auto *req = static_cast<struct evaddrinfo *>(p);

    struct addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *res = nullptr;
    int rc = getaddrinfo(req->host, req->port, &hints, &res);
    g_resolvers.fetch_sub(1, std::memory_order_relaxed);
    if (rc != 0) {
        res = nullptr;
        LOG("getaddrinfo('%s:%s') failed: %d; %s\n", req->host, req->port, rc, gai_strerror(rc));
    } else {
        // ip_to_str shares one buffer between callers; this thread needs its own.
        char ip[IPV4_TEXT_MAX];
        const auto *sin = reinterpret_cast<const struct sockaddr_in *>(res->ai_addr);
        ipv4_format(ip, sizeof(ip), ntohl(sin->sin_addr.s_addr), -1);
        LOG("getaddrinfo('%s:%s') '%s:%d'\n", req->host, req->port, ip, ntohs(sin->sin_port));
    }

    int left;
    {
        std::lock_guard<std::mutex> guard(req->lock);
        // Published before the reference goes: once it is gone the loop side
        // may free the record at any moment.
        if (res)
            req->res.store(res, std::memory_order_release);
        else
            req->remaining_ms.store(0, std::memory_order_relaxed);
        left = --req->refcnt;
    }
    if (left <= 0) evaddrinfo_free_internal(req);
    return nullptr;
}

// Starts the resolver thread if a slot is free. The thread's reference is
// taken before it runs. 1 started, 0 no free slot, -1 the thread failed.
int start_resolver(struct evaddrinfo *req) {
    if (!take_resolver_slot()) return 0;
    {
        std::lock_guard<std::mutex> guard(req->lock);
        req->refcnt++;
    }
    pthread_t tid;
    if (pthread_create(&tid, nullptr, thread_getaddrinfo, req) != 0) {
        std::lock_guard<std::mutex> guard(req->lock);
        req->refcnt--;
        g_resolvers.fetch_sub(1, std::memory_order_relaxed);
        return -1;
    }
    req->started = true;
    return 1;
}

void timeout_cb(evutil_socket_t, short, void *p) {
    auto *req = static_cast<struct evaddrinfo *>(p);
    if (!req->started) start_resolver(req);
    int remaining = req->remaining_ms.fetch_sub(kTickMs, std::memory_order_relaxed) - kTickMs;
    struct addrinfo *res = req->res.load(std::memory_order_acquire);
    if (!res && remaining > 0) return;

    event_free(req->ev);
    req->ev = nullptr;
    // The callback may release the request: nothing touches req after it.
    req->cb(res, req->arg);
}

}  // namespace

struct evaddrinfo *evaddrinfo_new(struct event_base *base, const char *host, const char *port,
                                  int timeout_s, evaddrinfo_cb_fn cb, void *arg) {
    if (!base || !host || !cb || timeout_s <= 0) return nullptr;

    auto *req = new (std::nothrow) evaddrinfo{};
    if (!req) return nullptr;
    req->ev = event_new(base, -1, EV_TIMEOUT | EV_PERSIST, timeout_cb, req);
    if (!req->ev) {
        delete req;
        return nullptr;
    }
    const struct timeval tick = {0, kTickMs * 1000};
    if (event_add(req->ev, &tick) != 0) {
        event_free(req->ev);
        delete req;
        return nullptr;
    }
    req->cb = cb;
    req->arg = arg;
    req->refcnt = 1;
    // Large time-outs saturate rather than wrap into an instant time-out.
    req->remaining_ms = timeout_s > INT32_MAX / 1000 ? INT32_MAX : timeout_s * 1000;
    snprintf(req->host, sizeof(req->host), "%s", host);
    snprintf(req->port, sizeof(req->port), "%s", port && *port ? port : "0");

    if (start_resolver(req) < 0) {
        event_free(req->ev);
        delete req;
        return nullptr;
    }
    LOG("evaddrinfo_new %p\n", static_cast<void *>(req));
    return req;
}

void evaddrinfo_free(struct evaddrinfo *req) {
    if (!req) return;
    // The event goes first, while our reference still keeps the record alive.
    if (req->ev) {
        event_free(req->ev);
        req->ev = nullptr;
    }
    int left;
    {
        std::lock_guard<std::mutex> guard(req->lock);
        left = --req->refcnt;
    }
    if (left <= 0) evaddrinfo_free_internal(req);
}
