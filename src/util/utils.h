// Configuration sources and device identity: /etc/tarn.conf, uci options,
// the device MAC, session ids, interface addresses and time offsets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <sys/time.h>

#define TARN_CONF_FILE "/etc/tarn.conf"
#define TARN_CONF_MODE 0644  // permissions of a newly created TARN_CONF_FILE
#define DEFAULT_STREAM_PORT 8080
// Longest uci value readUCI hands out; longer ones are refused, never cut.
#define READ_UCI_VALUE_MAX 127

// 0 with the STUN_HOST value in host (zero-filled over host_len), -1 otherwise.
int conf_file_load(char *host, int host_len);
// Rewrites the file with host; 0 on success or for an empty host, -1 otherwise.
int conf_file_save(const char *host);

// 0 with the option's text in value, -1 otherwise. path is "package.section.option"
// (sections also as "@type[N]"); value must hold READ_UCI_VALUE_MAX + 1 bytes.
int readUCI(const char *path, char *value);
// The WAN device: network.wan.ifname, else network.wan.device (OpenWrt 21.02
// and later); 0 with its name in ifname (READ_UCI_VALUE_MAX + 1 bytes), -1 otherwise.
int read_wan_ifname(char *ifname);
// media_server.main.port, or 8080 when it cannot be read.
int get_stream_port_from_config();

extern char dev_mac[17];

// len bytes from the kernel's CSPRNG; ends the process when it has none.
void random_bytes(void *buf, size_t len);
// dev_mac from `uci get network.wan.macaddr`, else the WAN device's own address
// (/sys/class/net/DEV/address), else "1234567890AB".
void init_dev_mac();
// Writes "MAC-SECONDS-16ALNUM" into buf; returns the formatted length.
int gen_session_id(char *buf, int size);
int get_local_ip(const char *ifname, struct sockaddr_in *addr);
// Dotted text of a host-order address, in a buffer shared by all callers.
const char *ip_to_str(uint32_t addr);
// The one IPv4 formatter: "a.b.c.d" of a host-order address, ":port" added
// when port >= 0, into out (IPV4_TEXT_MAX bytes fit any). Safe on any thread.
constexpr size_t IPV4_TEXT_MAX = 22;
void ipv4_format(char *out, size_t size, uint32_t addr, int port);
int time_offset_ms(const struct timeval *ref);
// The monotonic clock, for deadlines, durations and stall counts.
int64_t monotonic_us();
int64_t monotonic_ms();
int time_offset_sec(const struct timeval *ref);

// Copies src (null counts as "") into dst of size bytes, cut to size - 1 and
// always terminated; the length copied.
size_t copy_text(char *dst, size_t size, const char *src);
template <size_t N>
size_t copy_text(char (&dst)[N], const char *src) {
    return copy_text(dst, N, src);
}

// A caller broke a precondition: a bug, not a runtime condition. Writes
// "assert failed:COND,WHY" to standard output and exits with status 1.
[[noreturn]] void tarn_assert_failed(const char *cond, const char *why);
#define TARN_ASSERT(cond, why)                       \
    do {                                             \
        if (!(cond)) tarn_assert_failed(#cond, why); \
    } while (0)
