#include "util/log.h"

#include <sys/stat.h>

#include <cstdarg>
#include <cstring>

// Live until main() says where standard output went: tools and tests log.
std::atomic<bool> tarn_log_live{true};

void tarn_log_check_output() {
    struct stat out, null;
    bool live = fstat(fileno(stdout), &out) == 0;
    if (live && S_ISCHR(out.st_mode) && stat("/dev/null", &null) == 0)
        live = out.st_rdev != null.st_rdev;
    tarn_log_live.store(live, std::memory_order_relaxed);
}

// One record is formatted whole and written with one call, so lines from the
// loop, the NAT-type worker and the probe thread never interleave. A record
// that does not end in a line break gets one: every line carries its prefix.
static void log_to(FILE *out, const char *unit, int line, const char *func, const char *fmt,
                   va_list ap) {
    char buf[4096];
    int n = snprintf(buf, sizeof(buf), "%s:%d (%s) ", unit, line, func);
    if (n < 0) return;
    int m = vsnprintf(buf + n, sizeof(buf) - n, fmt, ap);
    if (m < 0) return;
    size_t len = strlen(buf);
    if (len == sizeof(buf) - 1 || buf[len - 1] != '\n') {
        if (len == sizeof(buf) - 1) len--;
        buf[len++] = '\n';
    }
    flockfile(out);
    fwrite(buf, 1, len, out);
    fflush(out);
    funlockfile(out);
}

void tarn_log(const char *unit, int line, const char *func, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_to(stdout, unit, line, func, fmt, ap);
    va_end(ap);
}

void tarn_log_failure(const char *unit, int line, const char *func, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_to(stderr, unit, line, func, fmt, ap);
    va_end(ap);
}

void tarn_log_raw(const char *fmt, ...) {
    if (!tarn_log_live.load(std::memory_order_relaxed)) return;
    va_list ap;
    va_start(ap, fmt);
    flockfile(stdout);
    vfprintf(stdout, fmt, ap);
    fflush(stdout);
    funlockfile(stdout);
    va_end(ap);
}
