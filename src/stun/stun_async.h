// The NAT-type worker: one long-lived thread fed through a 20-slot ring.
#pragma once

#include <pthread.h>

extern pthread_mutex_t gnt_lock;
extern pthread_cond_t gnt_ready;

// 0 when the worker was started, -1 when it already ran before the call or
// could not be started.
int STUN_init_gnt_async();
int STUN_init_async();
