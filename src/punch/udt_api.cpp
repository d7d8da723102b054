// Flat udt_* calls over UDT4.
//
// Threads: UDT4 runs a garbage-collector thread plus a send and a receive
// thread per UDP socket it drives; UDT::startup starts the collector. We start
// the library once per process (std::call_once, on whichever thread creates
// the first socket) and clean it up from an atexit handler, which stops those
// threads and closes every socket and UDP descriptor UDT still holds. UDT's
// calls guard their own state; none of them throws past us.
#include "punch/udt_api.h"

#include <udt/udt.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

std::once_flag udt_started;

// UDT reads and writes these as a C++ bool through the option pointer, while
// our callers pass 4-byte ints: on a big-endian CPU an int 1 read as a bool is
// false, so the flag has to be converted here.
bool is_bool_option(int optname) {
    return optname == UDT_OPT_SNDSYN || optname == UDT_OPT_RCVSYN ||
           optname == UDT_OPT_RENDEZVOUS || optname == UDT_OPT_REUSEADDR;
}

void udt_stop() {
    UDT::cleanup();
}

void udt_start() {
    std::call_once(udt_started, [] {
        UDT::startup();
        atexit(udt_stop);
    });
}

// Nothing thrown inside UDT may cross into libevent's or our C-like callers:
// a throw reads as the call's failure value.
template <class Call>
int guarded(int failed, Call call) {
    try {
        return call();
    } catch (...) {
        return failed;
    }
}

// 0, or -1 for UDT's ERROR.
int status(int rc) {
    return rc == UDT::ERROR ? -1 : 0;
}

UDT::SOCKOPT opt(int optname) {
    return static_cast<UDT::SOCKOPT>(optname);
}

}  // namespace

int udt_socket(int af, int type, int protocol) {
    udt_start();
    return guarded(-1, [&] {
        UDTSOCKET u = UDT::socket(af, type, protocol);
        return u == UDT::INVALID_SOCK ? -1 : u;
    });
}

int udt_bind2(int u, int udp_fd) {
    return guarded(-1, [&] { return status(UDT::bind2(u, udp_fd)); });
}

int udt_connect(int u, const struct sockaddr *addr, int addrlen) {
    return guarded(-1, [&] { return status(UDT::connect(u, addr, addrlen)); });
}

int udt_send(int u, const char *buf, int len, int flags) {
    return guarded(-1, [&] {
        int n = UDT::send(u, buf, len, flags);
        return n == UDT::ERROR ? -1 : n;
    });
}

int udt_recv(int u, char *buf, int len, int flags) {
    return guarded(-1, [&] {
        int n = UDT::recv(u, buf, len, flags);
        return n == UDT::ERROR ? -1 : n;
    });
}

int udt_close(int u) {
    return guarded(-1, [&] { return status(UDT::close(u)); });
}

int udt_getsockopt(int u, int level, int optname, void *optval, int *optlen) {
    return guarded(-1, [&] {
        if (!is_bool_option(optname)) {
            return status(UDT::getsockopt(u, level, opt(optname), optval, optlen));
        }
        if (*optlen < static_cast<int>(sizeof(int32_t))) return -1;
        bool flag = false;
        int len = sizeof flag;
        if (status(UDT::getsockopt(u, level, opt(optname), &flag, &len)) < 0) return -1;
        int32_t value = flag ? 1 : 0;
        memcpy(optval, &value, sizeof value);
        *optlen = sizeof value;
        return 0;
    });
}

int udt_setsockopt(int u, int level, int optname, const void *optval, int optlen) {
    return guarded(-1, [&] {
        if (!is_bool_option(optname)) {
            return status(UDT::setsockopt(u, level, opt(optname), optval, optlen));
        }
        if (optlen < static_cast<int>(sizeof(int32_t))) return -1;
        int32_t value;
        memcpy(&value, optval, sizeof value);
        bool flag = value != 0;
        return status(UDT::setsockopt(u, level, opt(optname), &flag, sizeof flag));
    });
}

int udt_getsockstate(int u) {
    return guarded(UDT_STATE_NONEXIST, [&] { return static_cast<int>(UDT::getsockstate(u)); });
}

int udt_getlasterror_code() {
    return guarded(-1, [] { return UDT::getlasterror_code(); });
}

// The numbers above are the library's own; a different UDT would break them.
static_assert(UDT_OPT_MSS == UDT_MSS && UDT_OPT_SNDSYN == UDT_SNDSYN &&
                  UDT_OPT_RCVSYN == UDT_RCVSYN && UDT_OPT_REUSEADDR == UDT_REUSEADDR &&
                  UDT_OPT_FC == UDT_FC && UDT_OPT_SNDBUF == UDT_SNDBUF &&
                  UDT_OPT_RCVBUF == UDT_RCVBUF && UDT_OPT_LINGER == UDT_LINGER &&
                  UDT_OPT_UDP_SNDBUF == UDP_SNDBUF && UDT_OPT_UDP_RCVBUF == UDP_RCVBUF &&
                  UDT_OPT_RENDEZVOUS == UDT_RENDEZVOUS && UDT_OPT_STATE == UDT_STATE &&
                  UDT_OPT_SNDDATA == UDT_SNDDATA && UDT_OPT_RCVDATA == UDT_RCVDATA,
              "UDT option ids");
static_assert(UDT_STATE_CONNECTING == CONNECTING && UDT_STATE_CONNECTED == CONNECTED &&
                  UDT_STATE_BROKEN == BROKEN && UDT_STATE_CLOSED == CLOSED &&
                  UDT_STATE_NONEXIST == NONEXIST,
              "UDT states");
