// libFuzzer entry for the /etc/tarn.conf reader. Runs inside tests/sandbox
// (make fuzz sees to that): /etc is a private overlay there. The first byte
// picks the caller's buffer length; the rest is the file.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/utils.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (!getenv("TARN_SANDBOXED")) {
        fprintf(stderr, "fuzz_conf writes /etc/tarn.conf: run it under tests/sandbox\n");
        abort();
    }
    if (!freopen("/dev/null", "w", stdout)) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const int host_len = 1 + data[0] % 128;
    int fd = open(TARN_CONF_FILE, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || write(fd, data + 1, size - 1) != static_cast<ssize_t>(size - 1)) abort();
    close(fd);
    // The value fills at most host_len bytes; the byte after them is the
    // caller's terminator and must stay untouched.
    char host[130];
    memset(host, 0x5A, sizeof(host));
    conf_file_load(host, host_len);
    if (host[host_len] != 0x5A) abort();
    return 0;
}
