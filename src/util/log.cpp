#include "util/log.h"

#include <cstdarg>
#include <cstring>

// One record is formatted whole and written with one call, so lines from the
// loop, the NAT-type worker and the probe thread never interleave. A record
// that does not end in a line break gets one: every line carries its prefix.
void tarn_log(const char *unit, int line, const char *func, const char *fmt, ...) {
    char buf[4096];
    int n = snprintf(buf, sizeof(buf), "%s:%d (%s) ", unit, line, func);
    if (n < 0) return;
    va_list ap;
    va_start(ap, fmt);
    int m = vsnprintf(buf + n, sizeof(buf) - n, fmt, ap);
    va_end(ap);
    if (m < 0) return;
    size_t len = strlen(buf);
    if (len == sizeof(buf) - 1 || buf[len - 1] != '\n') {
        if (len == sizeof(buf) - 1) len--;
        buf[len++] = '\n';
    }
    flockfile(stdout);
    fwrite(buf, 1, len, stdout);
    fflush(stdout);
    funlockfile(stdout);
}
