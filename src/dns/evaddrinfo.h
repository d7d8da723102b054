// Host name resolution on a detached thread, delivered on the event loop.
#pragma once

#include <netdb.h>

// Resolver threads in flight at most; further requests wait for a free one
// within their own time-out.
constexpr int EVADDRINFO_MAX_THREADS = 4;

struct event_base;
struct evaddrinfo;

// Completion: res is the IPv4 list on success, null on failure or time-out.
// The list is borrowed: it lives until the request is released. The result
// value is ignored.
typedef int (*evaddrinfo_cb_fn)(struct addrinfo *res, void *arg);

// Starts resolving host:port (port null or "" means "0"). cb runs exactly once
// on base's thread, within timeout_s seconds, unless the request is released
// first. Null on bad arguments or when the request cannot be set up.
struct evaddrinfo *evaddrinfo_new(struct event_base *base, const char *host, const char *port,
                                  int timeout_s, evaddrinfo_cb_fn cb, void *arg);
// Drops the caller's reference; a callback that has not run yet never will.
// Allowed before, inside or after the callback. Null is ignored.
void evaddrinfo_free(struct evaddrinfo *req);
