// The 60 s probe-port timer.
#pragma once

struct event_base;

// Arms the probe-port timer on base; 0, or negative when it could not be armed.
int gpp_thread_start(struct event_base *base);
// Frees the timer at shutdown, so the loop can be freed with nothing pending.
void gpp_timer_free();
