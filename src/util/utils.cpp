#include "util/utils.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <uci.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "util/handle.h"
#include "util/log.h"

static constexpr char log_unit[] = "utils";

char dev_mac[17];

namespace {

const char kDefaultMac[] = "1234567890AB";
const char kSidAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

using FilePtr = unique_with<FILE, fclose>;
using UciPtr = unique_with<uci_context, uci_free_context>;

// uci_perror's text. libuci's own appends a line feed to a static 128-byte
// buffer on every call: one more blank line each time, past its end after 127.
void uci_print_error(uci_context *ctx, const char *prefix) {
    char *text = nullptr;
    uci_get_errorstr(ctx, &text, prefix);
    fprintf(stderr, "%s\n", text ? text : prefix);
    free(text);
}

}  // namespace

int conf_file_load(char *host, int host_len) {
    TARN_ASSERT(host_len > 0, "buffer length should not be negative");

    FilePtr fp(fopen(TARN_CONF_FILE, "re"));
    if (!fp) return -1;

    // Each block is examined on its own, as terminated text.
    char buf[1025];
    while (true) {
        memset(buf, 0, sizeof(buf));
        if (fread(buf, 1, sizeof(buf) - 1, fp.get()) == 0) return -1;
        if (!strchr(buf, '\n') && !strchr(buf, '\r')) {
            LOG("conf line in %s too long\n", TARN_CONF_FILE);
            return -1;
        }
        if (!strstr(buf, "STUN_HOST")) continue;
        const char *open = strchr(buf, '[');
        const char *close = strchr(buf, ']');
        if (!open || !close || close < open) continue;
        size_t len = static_cast<size_t>(close - open - 1);
        if (static_cast<size_t>(host_len) < len) {
            LOG("buffer length is too short");
            return -1;
        }
        memset(host, 0, static_cast<size_t>(host_len));
        memcpy(host, open + 1, len);
        return 0;
    }
}

// Written to a temporary file and renamed over the old one: a crash or power
// cut mid-write leaves the previous file, never an empty one.
int conf_file_save(const char *host) {
    if (!host || !host[0]) return 0;

    char line[1024];
    snprintf(line, sizeof(line), "STUN_HOST=[%s]\n", host);
    size_t len = strlen(line);

    const char *tmp = TARN_CONF_FILE ".tmp";
    int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, TARN_CONF_MODE);
    if (fd < 0) return -1;
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, line + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    bool ok = done == len && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(tmp, TARN_CONF_FILE) != 0) {
        unlink(tmp);
        return -1;
    }
    return 0;
}

int readUCI(const char *path, char *value) {
    if (!path || !value) return -1;
    UciPtr ctx(uci_alloc_context());
    if (!ctx) return -1;

    // The lookup splits the path in place.
    char work[256] = {0};
    size_t path_len = strlen(path);
    if (path_len >= sizeof(work)) {
        LOG("uci path too long");
        return -1;
    }
    memcpy(work, path, path_len);

    uci_ptr ptr;
    if (uci_lookup_ptr(ctx.get(), &ptr, work, true) != UCI_OK) {
        uci_print_error(ctx.get(), "read UCI file error");
        LOG("read UCI error");
        return -1;
    }

    // Only a plain option answers; a section path or a list has no single text.
    if ((ptr.flags & uci_ptr::UCI_LOOKUP_COMPLETE) && ptr.o && ptr.o->type == UCI_TYPE_STRING &&
        ptr.o->v.string) {
        size_t len = strlen(ptr.o->v.string);
        if (len > READ_UCI_VALUE_MAX) {
            LOG("uci value of %s is longer than %d characters", path, READ_UCI_VALUE_MAX);
            return -1;
        }
        memcpy(value, ptr.o->v.string, len + 1);
        LOG("uci file read, value is %s", value);
        return 0;
    }

    ctx->err = UCI_ERR_NOTFOUND;
    uci_print_error(ctx.get(), "do not find the option");
    LOG("readUCI: do not find the UCI option");
    return -1;
}

int get_stream_port_from_config() {
    const char *failure = nullptr;
    int port = 0;
    UciPtr ctx(uci_alloc_context());
    uci_package *pkg = nullptr;
    uci_section *sec = nullptr;
    uci_option *opt = nullptr;

    if (!ctx) {
        failure = "Alloc uci context failed";
    } else if (uci_load(ctx.get(), "media_server", &pkg) != UCI_OK || !pkg) {
        failure = "Load package media_server failed";
    } else if (!(sec = uci_lookup_section(ctx.get(), pkg, "main"))) {
        failure = "Section media_server.main not found";
    } else if (!(opt = uci_lookup_option(ctx.get(), sec, "port")) || opt->type != UCI_TYPE_STRING ||
               !opt->v.string) {
        failure = "option media_server.main.port not found";
    } else {
        // atoi's reading, without its undefined result for out-of-range text.
        errno = 0;
        long long v = strtoll(opt->v.string, nullptr, 10);
        if (errno == ERANGE || v > INT_MAX || v < INT_MIN) v = 0;
        port = static_cast<int>(v);
        if (port == 0) failure = "option media_server.main.port is invalid";
    }

    if (failure) {
        LOG("%s", failure);
        fprintf(stderr, "Reading stream port from config failed. Use default port: %d\n",
                DEFAULT_STREAM_PORT);
        return DEFAULT_STREAM_PORT;
    }
    LOG("reading stream port succeeded, port: %d\n", port);
    return port;
}

int read_wan_ifname(char *ifname) {
    if (readUCI("network.wan.ifname", ifname) == 0) return 0;
    return readUCI("network.wan.device", ifname);  // OpenWrt 21.02 and later
}

namespace {

// A MAC as printed by uci or sysfs, into out without separators and line
// feeds; false when nothing was printed.
bool read_mac(FILE *fp, char (&out)[129]) {
    size_t n = fread(out, 1, sizeof(out) - 1, fp);
    out[n] = '\0';  // what was read is terminated text either way
    bool printed = out[0];
    size_t w = 0;
    for (size_t r = 0; out[r]; r++) {
        char c = out[r];
        if (c != ':' && c != '-' && c != '\n') out[w++] = c;
    }
    out[w] = '\0';
    return printed;
}

// The WAN device's own address, for a MAC that is not in uci (an all-zero one is none).
bool wan_device_mac(char (&out)[129]) {
    char dev[READ_UCI_VALUE_MAX + 1] = {0};
    if (read_wan_ifname(dev) < 0 || !dev[0] || strchr(dev, '/')) return false;
    char path[sizeof(dev) + 32];
    snprintf(path, sizeof(path), "/sys/class/net/%s/address", dev);
    FilePtr fp(fopen(path, "re"));
    if (!fp) return false;
    read_mac(fp.get(), out);
    return strspn(out, "0") != strlen(out);
}

}  // namespace

void init_dev_mac() {
    char out[129] = {0};
    // "e": the pipe is close-on-exec in this process (musl sets it anyway).
    FILE *fp = popen("uci get network.wan.macaddr", "re");
    if (!fp) {
        LOG("popen error");
    } else {
        bool printed = read_mac(fp, out);
        pclose(fp);
        if (!printed) LOG("can not found mac");
    }
    if (!out[0] && !wan_device_mac(out)) out[0] = '\0';

    copy_text(dev_mac, out[0] ? out : kDefaultMac);
}

int gen_session_id(char *buf, int size) {
    // The text names the caller's buffer, as the message has always read.
    if (!(size > 0)) tarn_assert_failed("buf_len > 0", "buffer length should not be negative");
    memset(buf, 0, static_cast<size_t>(size));

    // The id is all that authenticates a punch probe: it must not be
    // guessable. Bytes of 248 and above are drawn again, so that every
    // character is equally likely (248 = 4 * 62).
    char rnd[17];
    for (int i = 0; i < 16;) {
        unsigned char b[16];
        random_bytes(b, sizeof(b));
        for (size_t k = 0; k < sizeof(b) && i < 16; k++) {
            if (b[k] < 248) rnd[i++] = kSidAlphabet[b[k] % 62];
        }
    }
    rnd[16] = '\0';

    int n = snprintf(buf, static_cast<size_t>(size), "%s-%d-%s", dev_mac,
                     static_cast<int>(time(nullptr)), rnd);
    if (n < 0) return 0;
    return n < size ? n : size - 1;
}

int get_local_ip(const char *ifname, struct sockaddr_in *addr) {
    if (!ifname || !addr) return -1;

    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        perror("socket");
        return -1;
    }
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    size_t len = strnlen(ifname, IFNAMSIZ - 1);
    memcpy(ifr.ifr_name, ifname, len);
    if (ioctl(fd, SIOCGIFADDR, &ifr) < 0) {
        perror("ioctl");
        close(fd);
        return -1;
    }
    memcpy(addr, &ifr.ifr_addr, sizeof(*addr));

    // Own buffer: the shared ip_to_str text of a caller stays intact.
    char text[IPV4_TEXT_MAX];
    ipv4_format(text, sizeof(text), ntohl(addr->sin_addr.s_addr), -1);
    LOG("got local address %s\n", text);
    close(fd);
    return 0;
}

const char *ip_to_str(uint32_t addr) {
    static char text[IPV4_TEXT_MAX];
    ipv4_format(text, sizeof(text), addr, -1);
    return text;
}

void ipv4_format(char *out, size_t size, uint32_t addr, int port) {
    const unsigned a = addr >> 24 & 0xFF, b = addr >> 16 & 0xFF, c = addr >> 8 & 0xFF,
                   d = addr & 0xFF;
    if (port >= 0) {
        snprintf(out, size, "%u.%u.%u.%u:%d", a, b, c, d, port);
    } else {
        snprintf(out, size, "%u.%u.%u.%u", a, b, c, d);
    }
}

// Offsets are computed wide and saturate at INT_MAX, so a reference far in
// the past (more than 24 days for milliseconds) cannot wrap to a negative.
static int clamp_offset(long long v) {
    if (v < 0) return 0;
    if (v > INT_MAX) return INT_MAX;
    return static_cast<int>(v);
}

int time_offset_ms(const struct timeval *ref) {
    if (!ref) return -1;
    struct timeval now;
    gettimeofday(&now, nullptr);
    long long ms = (static_cast<long long>(now.tv_sec) - ref->tv_sec) * 1000 +
                   (static_cast<long long>(now.tv_usec) - ref->tv_usec) / 1000;
    return clamp_offset(ms);
}

int time_offset_sec(const struct timeval *ref) {
    if (!ref) return -1;
    struct timeval now;
    gettimeofday(&now, nullptr);
    return clamp_offset(static_cast<long long>(now.tv_sec) - ref->tv_sec);
}

int64_t monotonic_us() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t monotonic_ms() {
    return monotonic_us() / 1000;
}

size_t copy_text(char *dst, size_t size, const char *src) {
    if (size == 0) return 0;
    size_t len = src ? strnlen(src, size - 1) : 0;
    if (len) memcpy(dst, src, len);
    dst[len] = '\0';
    return len;
}

void tarn_assert_failed(const char *cond, const char *why) {
    printf("assert failed:%s,%s\n", cond, why);
    fflush(stdout);
    exit(1);
}
