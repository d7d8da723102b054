// The 60 s probe-port timer and the NAT-type result callback.
#pragma once

struct event_base;

// Arms the probe-port timer on base; 0, or negative when it could not be armed.
int gpp_thread_start(struct event_base *base);
// Frees the timer at shutdown, so the loop can be freed with nothing pending.
void gpp_timer_free();
// The timer's callback (loop thread): starts a probe-port run against
// g_stun_host unless one is still going.
void gpp_timer_cb(int fd, short events, void *arg);

// Result callback for STUN_get_nat_type_async (worker thread): label is the
// server text the request was made for; stores code & 15 in g_nat_type.
void get_nat_type_cb(int code, void *label);
// Asks the NAT-type worker to classify with server (verbose 0, 7 s deadline,
// get_nat_type_cb labelled with a stable copy of label). Loop thread; 0 when
// queued, -1 when refused.
int request_nat_type(const char *server, const char *label);
// A copy of host that stays valid and unchanged for the life of the process,
// to pass as the label of a NAT-type request: the worker reads it after the
// caller may have rewritten or freed its own text. Loop thread.
const char *nat_type_label(const char *host);
