// The daemon's log sink: standard output, every line prefixed with
// "unit:line (function) ". main() sends standard output to /dev/null unless -d.
// A failure that ends start-up goes to standard error instead, so that a
// supervisor (procd hands standard error to logd) shows why tarn stopped
// even without -d.
// Every file that logs names its source unit in `log_unit` (a file-local
// constant), so split files of one unit log under the unit's name.
#pragma once

#include <atomic>
#include <cstdio>

void tarn_log(const char *unit, int line, const char *func, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

void tarn_log_failure(const char *unit, int line, const char *func, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

// Diagnostics of the STUN client: the text as given, no prefix, to the same
// output as every other line.
void tarn_log_raw(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// False while standard output is /dev/null or closed (the normal case on a
// device): then nothing is formatted at all, arguments included.
extern std::atomic<bool> tarn_log_live;
// Looks at standard output again; main() calls it after redirecting it.
void tarn_log_check_output();

#define LOG(...) LOG_AS(__func__, __VA_ARGS__)
// For a line logged under another function's name than the one it sits in
// (a helper doing a callback's work).
#define LOG_AS(func, ...)                                    \
    do {                                                     \
        if (tarn_log_live.load(std::memory_order_relaxed))   \
            tarn_log(log_unit, __LINE__, func, __VA_ARGS__); \
    } while (0)
#define LOG_FAILURE(...) tarn_log_failure(log_unit, __LINE__, __func__, __VA_ARGS__)
#define LOG_FAILURE_AS(func, ...) tarn_log_failure(log_unit, __LINE__, func, __VA_ARGS__)
