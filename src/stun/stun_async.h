// The NAT-type worker: one long-lived thread fed through a 20-slot ring.
#pragma once

// Called on the worker thread with the classification code (or -1) and the
// caller's argument.
typedef void (*STUN_nat_type_cb)(int natType, void *arg);

// 0 when the worker was started, -1 when it already ran before the call or
// could not be started.
int STUN_init_gnt_async();
int STUN_init_async();

// Queues one classification against servername (at most 127 characters).
// The callback runs on the worker, only while timeoutSec has not passed
// since the call; arg must stay valid that long and must not be null.
// 0 when queued, -1 when refused (bad name, null arg, 19 requests waiting).
int STUN_get_nat_type_async(const char *servername, int verbose, int timeoutSec,
                            STUN_nat_type_cb callback, void *arg);
