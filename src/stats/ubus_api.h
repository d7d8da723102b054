// Everything tarn says on the system bus, said from one reporter thread so
// that the event loop never waits on the bus.
#pragma once

#include <cstdint>

struct ubus_context;

// A bus job, run on the reporter thread with the text it was posted with:
// 0 when done, -1 when the bus was not there (it is tried again later).
typedef int (*ubus_job_fn)(const char *text);

// Queues a job (at most 64 wait; the oldest is dropped when full). Safe from
// any thread; starts the reporter on first use.
void ubus_post(ubus_job_fn run, const char *text);
// Queues one report for cloud_log; empty or null text is ignored.
void send_log_to_cloud_log(const char *text);
// A new connection to ubusd: at /var/run/ubus.sock (ubusd's before 2020) if
// it answers there, else at the library's default socket; null when neither
// answers.
struct ubus_context *ubus_connect_system();
// A call on tarn's own bus object, as the loop reads it from the call pipe.
enum { TARN_CALL_STATUS = 1, TARN_CALL_CLEAN = 2 };
struct tarn_call {
    uint32_t id;
    int32_t method;  // TARN_CALL_*
};
// Starts the reporter now and keeps the object `tarn` (methods status and
// clean) on the bus from then on, re-added after every reconnect. Returns the
// read end of the call pipe (non-blocking; ubus_deinit closes it), on which
// each call arrives as one tarn_call; -1 on failure.
int ubus_object_start();
// Answers call id with a JSON object text; null or "" fails the call. Safe
// from any thread; an answer after the call timed out is dropped.
void ubus_object_reply(uint32_t id, const char *json);
// Lets the reporter deliver what is queued for a short while, then stops it
// and frees the upload connection. Called once at exit.
void ubus_deinit();
