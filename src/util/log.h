// The daemon's one log sink: standard output, every line prefixed with
// "file:line (function) ". main() sends standard output to /dev/null unless -d.
#pragma once

#include <cstdio>

void tarn_log(const char *file, int line, const char *func, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

#define LOG(...) tarn_log(__FILE_NAME__, __LINE__, __func__, __VA_ARGS__)
