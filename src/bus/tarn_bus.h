// The bus object `tarn` (methods status and clean), answered on the loop.
#pragma once

struct event_base;
struct cJSON;

// Adds the daemon's state to the status object.
typedef void (*tarn_bus_status_fn)(struct cJSON *out);
// Ends every live session; how many there were.
typedef int (*tarn_bus_clean_fn)();

// Calls are answered on base's loop through status and clean: 0 or -1.
int tarn_bus_start(struct event_base *base, tarn_bus_status_fn status, tarn_bus_clean_fn clean);
// Before the loop is freed; the reporter's call pipe goes with ubus_deinit.
void tarn_bus_stop();
