// Everything tarn says on the system bus, said from one reporter thread so
// that the event loop never waits on the bus.
#pragma once

#include <cstdint>

struct ubus_context;

// A notice, run on the reporter thread; a notice that finds no bus is lost.
typedef void (*ubus_notice_fn)();

// Queues one report for cloud_log; empty or null text is ignored. At most 64
// reports wait (the oldest report is dropped when full); notices never take
// their room. Safe from any thread; starts the reporter on first use.
void send_log_to_cloud_log(const char *text);
// Queues a notice. Reports go first, and at most one notice of each kind
// (function) waits, so a burst of the same notice is sent once. A notice has
// up to 4 s on the bus. Safe from any thread.
void ubus_post_notice(ubus_notice_fn run);
// A new connection to ubusd: at /var/run/ubus.sock (ubusd's before 2020) if
// it answers there, else at the library's default socket; null when neither
// answers. Inside a reporter job the connect and every call on the new
// connection end once the job's time is up; release it with ubus_release.
struct ubus_context *ubus_connect_system();
void ubus_release(struct ubus_context *ctx);
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
// Stops the reporter for good and frees the upload connection: queued
// reports get up to 1.5 s, none if no bus was ever reached; a bus call still
// running then is cut. Later posts are dropped. Safe to call again.
void ubus_deinit();
