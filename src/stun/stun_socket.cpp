// STUN transport helpers: UDP sockets, one datagram in or out, server names,
// random ports and numbered test requests. All calls block their caller (the
// NAT-type worker or the probe thread), never the event loop. Diagnostics go
// out unprefixed through tarn_log_raw, the resolver's two "Found" lines as
// ordinary log lines.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "stun/stun.h"
#include "util/log.h"
#include "util/utils.h"

static constexpr char log_unit[] = "stun";

namespace {

constexpr unsigned int kMinServerPort = 1024;
constexpr unsigned int kMaxServerPort = 65534;
constexpr int kPortWalkStep = 5;
constexpr useconds_t kTestPauseUs = 10 * 1000;
// A server name longer than this is cut before it is resolved.
constexpr size_t kMaxHostText = 512;

}  // namespace

Socket openUdpPort(unsigned short port, unsigned int interfaceIp, int retryOnInUse, int verbose) {
    Socket fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd == INVALID_SOCKET) {
        tarn_log_raw("Could not create a UDP socket: %d\n", errno);
        return INVALID_SOCKET;
    }
    for (;;) {
        struct sockaddr_in addr;
        memset(&addr, 0, sizeof(addr));
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        if (interfaceIp != 0 && interfaceIp != STUN_UNRESOLVED_ADDR) {
            addr.sin_addr.s_addr = htonl(interfaceIp);
            if (verbose) tarn_log_raw("Binding to interface %#x\n", addr.sin_addr.s_addr);
        }
        if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) == 0) {
            if (verbose) tarn_log_raw("Opened port %d with fd %d\n", port, fd);
            return fd;
        }
        const int e = errno;
        if (e == EADDRINUSE && retryOnInUse) {
            // Port 0 is reached eventually, and the kernel picks one then.
            port = static_cast<unsigned short>((port + kPortWalkStep) % 65536);
            continue;
        }
        if (e == EADDRINUSE) {
            tarn_log_raw("Port %d for receiving UDP is in use\n", port);
        } else if (e == EADDRNOTAVAIL) {
            if (verbose) tarn_log_raw("Cannot assign requested address\n");
        } else {
            tarn_log_raw("Could not bind UDP receive port. Error=%d %s\n", e, strerror(e));
        }
        close(fd);
        return INVALID_SOCKET;
    }
}

bool getMessage(Socket fd, char *buf, int *len, unsigned int *srcIp, unsigned short *srcPort,
                int verbose) {
    TARN_ASSERT(fd != INVALID_SOCKET, "a socket to read");
    const int originalSize = *len;
    TARN_ASSERT(originalSize > 0, "a buffer to read into");

    struct sockaddr_in from;
    socklen_t fromLen = sizeof(from);
    memset(&from, 0, sizeof(from));
    const ssize_t n = recvfrom(fd, buf, static_cast<size_t>(originalSize), 0,
                               reinterpret_cast<struct sockaddr *>(&from), &fromLen);
    if (n == -1) {
        const int e = errno;
        if (e == ENOTSOCK) {
            tarn_log_raw("Error fd not a socket\n");
        } else if (e == ECONNRESET) {
            tarn_log_raw("Error connection reset - host not reachable\n");
        } else {
            tarn_log_raw("Socket Error=%d\n", e);
        }
        *len = 0;
        return false;
    }
    if (n == 0) {
        tarn_log_raw("socket closed? zero len\n");
        *len = 0;
        return false;
    }
    *len = static_cast<int>(n);
    *srcPort = ntohs(from.sin_port);
    *srcIp = ntohl(from.sin_addr.s_addr);
    // Room for the terminator, and a datagram that filled the buffer may
    // have been cut.
    if (*len + 1 >= originalSize) {
        if (verbose) tarn_log_raw("Received a message that was too large\n");
        return false;
    }
    buf[*len] = '\0';
    return true;
}

bool sendDatagram(Socket fd, const char *buf, int len, unsigned int dstIp, unsigned short dstPort,
                  int verbose) {
    if (fd == INVALID_SOCKET) {
        tarn_log_raw("#########err INVALID_SOCKET\n");
        return false;
    }
    ssize_t sent;
    if (dstPort == 0) {
        if (dstIp != 0) {
            tarn_log_raw("#########err dstIp != 0\n");
            return false;
        }
        sent = send(fd, buf, static_cast<size_t>(len), 0);
    } else {
        if (dstIp == 0) {
            tarn_log_raw("#########err dstIp == 0\n");
            return false;
        }
        struct sockaddr_in to;
        memset(&to, 0, sizeof(to));
        to.sin_family = AF_INET;
        to.sin_port = htons(dstPort);
        to.sin_addr.s_addr = htonl(dstIp);
        sent = sendto(fd, buf, static_cast<size_t>(len), 0,
                      reinterpret_cast<struct sockaddr *>(&to), sizeof(to));
    }
    if (sent == -1) {
        const int e = errno;
        switch (e) {
            case EAFNOSUPPORT:
                tarn_log_raw("err EAFNOSUPPORT in send\n");
                break;
            // Answers to earlier datagrams (ICMP errors); the caller
            // learns of them by the missing reply.
            case ECONNREFUSED:
            case EHOSTDOWN:
            case EHOSTUNREACH:
                break;
            default:
                tarn_log_raw("err %d %s in send\n", e, strerror(e));
                break;
        }
        return false;
    }
    if (sent == 0) {
        tarn_log_raw("no data sent in send\n");
        return false;
    }
    if (sent != len) {
        if (verbose) tarn_log_raw("only %d out of %d bytes sent\n", static_cast<int>(sent), len);
        return false;
    }
    return true;
}

int stunParseServerName(const char *name, StunAddress4 &addr) {
    TARN_ASSERT(name, "a server name");
    const bool ok = parseHostPort(name, addr.addr, addr.port, STUN_PORT);
    if (!ok) addr.port = 0xFFFF;
    return ok ? 1 : 0;
}

bool parseHostPort(const char *name, unsigned int &ip, unsigned short &port,
                   unsigned int defaultPort) {
    char host[kMaxHostText];
    snprintf(host, sizeof(host), "%s", name);
    char portText[32];

    unsigned long portNum = defaultPort;
    char *colon = strchr(host, ':');
    if (colon) {
        *colon = '\0';
        const char *digits = colon + 1;
        char *end = nullptr;
        const long v = strtol(digits, &end, 10);
        // Trailing characters (a port of letters, "3478x") fall back to the
        // default; an empty port text reads as 0 and is refused below.
        if (*end != '\0') {
            portNum = defaultPort;
        } else if (v < 0) {
            return false;
        } else {
            portNum = static_cast<unsigned long>(v);
        }
    }
    if (portNum < kMinServerPort || portNum > kMaxServerPort) return false;

    snprintf(portText, sizeof(portText), "%lu", portNum);
    unsigned int found = 0;
    if (DomainToIP(host, portText, &found) != 0) {
        tarn_log_raw("error was %d\n", errno);
        ip = STUN_UNRESOLVED_ADDR;
        return false;
    }
    ip = found;
    port = static_cast<unsigned short>(portNum);
    return true;
}

int DomainToIP(const char *node, const char *service, unsigned int *ip) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;

    struct addrinfo *res = nullptr;
    int rc = getaddrinfo(node, service, &hints, &res);
    if (rc == EAI_ADDRFAMILY) {
        hints.ai_family = AF_INET6;
        rc = getaddrinfo(node, service, &hints, &res);
    }
    if (rc != 0) {
        tarn_log_raw("getaddrinfo: Host:%s PortStr:%s, errors:%s\n", node, service,
                     gai_strerror(rc));
        return -1;
    }
    for (const struct addrinfo *ai = res; ai; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET) {
            const auto *sin = reinterpret_cast<const struct sockaddr_in *>(ai->ai_addr);
            *ip = ntohl(sin->sin_addr.s_addr);
            // Always names port 3478, whatever service was asked: tooling
            // reads the line as it is.
            char text[IPV4_TEXT_MAX];
            ipv4_format(text, sizeof(text), *ip, static_cast<int>(STUN_PORT));
            LOG("Found IPV4 address:ip:%s \n", text);
            break;
        }
        if (ai->ai_family == AF_INET6) {
            // The client is IPv4 only: a zero address tells every caller
            // that the server cannot be used.
            const auto *sin6 = reinterpret_cast<const struct sockaddr_in6 *>(ai->ai_addr);
            uint32_t first;
            memcpy(&first, sin6->sin6_addr.s6_addr, sizeof(first));
            LOG("Found IPV6 address:ip:%x\n", ntohl(first));
            *ip = 0;
            break;
        }
    }
    freeaddrinfo(res);
    return 0;
}

int pickRandomPort() {
    return (nextRandom() & 0x7FFF) | 0x4000;
}

void stunSendTest(Socket fd, StunAddress4 &dest, const StunAtrString &username,
                  const StunAtrString &password, int testNum, int verbose, const StunMsgId &id) {
    TARN_ASSERT(dest.addr != 0, "a server address");
    TARN_ASSERT(dest.port != 0, "a server port");

    int changePort = 0;
    int changeIp = 0;
    switch (testNum) {
        case STUN_TEST_I:
        case STUN_TEST_I2:
        case STUN_TEST_HAIRPIN:
            break;
        case STUN_TEST_II:
        case STUN_TEST_CHANGE_IP:
            changeIp = 1;
            break;
        case STUN_TEST_III:
            changePort = 1;
            break;
        default:
            tarn_log_raw("Test %d is unknown\n", testNum);
            tarn_assert_failed("0", "a known test number");
    }

    StunMessage req;
    stunBuildReqSimple(&req, username, changePort, changeIp, static_cast<unsigned int>(testNum));
    req.msgHdr.id = id;
    char buf[STUN_MAX_MESSAGE_SIZE];
    const unsigned int len = stunEncodeMessage(req, buf, sizeof(buf), password, verbose);
    if (verbose) {
        char text[IPV4_TEXT_MAX];
        ipv4_format(text, sizeof(text), dest.addr, dest.port);
        tarn_log_raw("About to send msg of len %d to %s\n", static_cast<int>(len), text);
    }
    sendDatagram(fd, buf, static_cast<int>(len), dest.addr, dest.port, verbose);
    // Spaces consecutive test requests.
    usleep(kTestPauseUs);
}
