// libFuzzer entry for the uci readers: the input is the file behind
// network.wan.ifname (readUCI) and media_server.main.port
// (get_stream_port_from_config). Runs inside tests/sandbox (make fuzz sees
// to that): /etc is a private overlay there.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/utils.h"

namespace {

void put(const char *path, const uint8_t *data, size_t size) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) abort();
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (!getenv("TARN_SANDBOXED")) {
        fprintf(stderr, "fuzz_uci writes /etc/config: run it under tests/sandbox\n");
        abort();
    }
    if (!freopen("/dev/null", "w", stdout)) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    put("/etc/config/network", data, size);
    put("/etc/config/media_server", data, size);
    char value[READ_UCI_VALUE_MAX + 2];
    memset(value, 0, sizeof(value));
    value[READ_UCI_VALUE_MAX + 1] = 0x5A;
    if (readUCI("network.wan.ifname", value) == 0 &&
        (value[READ_UCI_VALUE_MAX + 1] != 0x5A || !memchr(value, 0, READ_UCI_VALUE_MAX + 1))) {
        abort();
    }
    if (get_stream_port_from_config() == 0) abort();
    return 0;
}
