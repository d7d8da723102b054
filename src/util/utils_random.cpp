// Unpredictable bytes for session ids and STUN transaction ids, from the
// kernel's CSPRNG: getrandom where the C library has it (glibc 2.25, musl
// 1.1.20), else a read of /dev/urandom. Never rand(): its seed is a clock
// and a stranger who guesses it owns every id drawn from it. Any thread.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#if defined(__has_include)
#if __has_include(<sys/random.h>)
#include <sys/random.h>
#define TARN_HAVE_GETRANDOM 1
#endif
#endif

#include "util/utils.h"

namespace {

// 0 once len bytes came from getrandom; -1 when the kernel or the library
// lacks it.
int from_getrandom(unsigned char *p, size_t len) {
#ifdef TARN_HAVE_GETRANDOM
    while (len > 0) {
        ssize_t n = getrandom(p, len, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
#else
    (void)p;
    (void)len;
    return -1;
#endif
}

int from_urandom(unsigned char *p, size_t len) {
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    while (len > 0) {
        ssize_t n = read(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            close(fd);
            return -1;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    close(fd);
    return 0;
}

}  // namespace

void random_bytes(void *buf, size_t len) {
    auto *p = static_cast<unsigned char *>(buf);
    if (from_getrandom(p, len) == 0 || from_urandom(p, len) == 0) return;
    // No source of unguessable ids: better no daemon than forgeable sessions.
    fprintf(stderr, "no kernel random source (getrandom, /dev/urandom)\n");
    abort();
}
