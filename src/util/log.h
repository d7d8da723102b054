// The daemon's one log sink: standard output, every line prefixed with
// "unit:line (function) ". main() sends standard output to /dev/null unless -d.
// Every file that logs names its source unit in `log_unit` (a file-local
// constant), so split files of one unit log under the unit's name.
#pragma once

#include <cstdio>

void tarn_log(const char *unit, int line, const char *func, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

#define LOG(...) tarn_log(log_unit, __LINE__, __func__, __VA_ARGS__)
// For a line logged under another function's name than the one it sits in
// (a helper doing a callback's work).
#define LOG_AS(func, ...) tarn_log(log_unit, __LINE__, func, __VA_ARGS__)
