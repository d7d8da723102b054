// NAT type discovery (RFC 3489 section 10.1, with the test I(2) and hairpin
// extensions): two sockets, numbered tests, one verdict, and the discovery
// report sent whenever the verdict or the public address changes.
//
// Runs on the NAT-type worker thread. run_lock serialises whole runs, so the
// run's report record and the last verdict are only ever touched by one run.
//
// Only answers that carry a test's own transaction id and come from where
// that test expects them count; everything else is dropped, and the 150 ms
// steps run on the clock, so no stream of datagrams can stretch a run.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <mutex>

#include "stats/data_stat.h"
#include "stun/stun.h"
#include "util/log.h"
#include "util/utils.h"

static constexpr char log_unit[] = "stun";

namespace {

constexpr int kTimeoutsPerCycle = 6;  // the seventh ends the cycle
constexpr int kMaxRestarts = 2;       // extra cycles for test I(2)
constexpr int kWaitMs = 150;

std::mutex run_lock;
// The previous run's verdict and the report of the current one; guarded by
// run_lock.
int last_code = NAT_CODE_UNKNOWN;
uint32_t last_public_ip = 0;
discover_stat_data nat_report;

bool usable(const StunAddress4 &a) {
    return a.addr != 0 && a.port != 0;
}

bool same(const StunAddress4 &a, const StunAddress4 &b) {
    return a.addr == b.addr && a.port == b.port;
}

bool usableIpv4(const StunAtrAddress &a) {
    return a.family == 1 && usable(a.ipv4);
}

// Where the answer to test k must come from. Tests II and III ask the
// server to answer from its other address or port: the ones test I's
// ChangedAddress names, and until then any other address, or the usual
// alternate port.
bool expectedSource(const StunNatTests *t, int k, const StunAddress4 &from) {
    switch (k) {
        case STUN_TEST_I:
            return same(from, t->dest);
        case STUN_TEST_II:
            return from.port == t->dest.port && from.addr != t->dest.addr &&
                   (!t->respTestI || from.addr == t->altDest.addr);
        case STUN_TEST_III:
            return from.addr == t->dest.addr && from.port != t->dest.port &&
                   from.port == (t->respTestI ? t->changedPort : STUN_ALT_PORT);
        case STUN_TEST_I2:
            return same(from, t->altDest);
        case STUN_TEST_HAIRPIN:
            // Our own request, sent from socket 2 to socket 1's public
            // address, comes back from that public address.
            return t->respTestI && from.addr == t->testIMappedAddr.addr;
        default:
            return false;
    }
}

struct BaseCode {
    const char *text;
    int code;
};

// Indexed by NatType.
const BaseCode kBaseCodes[] = {
    {"Some unknown type error detecting NAT type", NAT_CODE_UNKNOWN_ERROR},
    {"Some stun error detecting NAT type", NAT_CODE_FAILURE},
    {"Open", NAT_CODE_OPEN},
    {"Blocked or could not reach STUN server", NAT_CODE_BLOCKED},
    {"Independent Mapping, Independent Filter", NAT_CODE_INDEPENDENT_FILTER},
    {"Independent Mapping, Address Dependent Filter", NAT_CODE_ADDRESS_FILTER},
    {"Independent Mapping, Port Dependent Filter", NAT_CODE_PORT_FILTER},
    {"Dependent Mapping", NAT_CODE_DEPENDENT_MAPPING},
    {"Firewall", NAT_CODE_FIREWALL},
};
constexpr int kBaseCodeCount = static_cast<int>(sizeof(kBaseCodes) / sizeof(kBaseCodes[0]));

void closeBoth(Socket a, Socket b) {
    if (a != INVALID_SOCKET) close(a);
    if (b != INVALID_SOCKET) close(b);
}

// The address and port socket 1 is really bound to, for the report.
void reportSource(Socket fd) {
    struct sockaddr_in local;
    socklen_t len = sizeof(local);
    memset(&local, 0, sizeof(local));
    getsockname(fd, reinterpret_cast<struct sockaddr *>(&local), &len);
    char ip[IPV4_TEXT_MAX];
    ipv4_format(ip, sizeof(ip), ntohl(local.sin_addr.s_addr), -1);
    discover_set_src_addr(&nat_report, ip, ntohs(local.sin_port));
}

// Receives and applies one datagram; copies the first test I answer out to
// the caller's pointers and the report.
void receiveOne(Socket fd, StunNatTests *t, int verbose, int *preservePort, int *hairpin,
                int *mappedIp) {
    char buf[STUN_MAX_MESSAGE_SIZE];
    int len = sizeof(buf);
    unsigned int srcIp = 0;
    unsigned short srcPort = 0;
    if (!getMessage(fd, buf, &len, &srcIp, &srcPort, verbose)) return;
    StunMessage msg;
    if (!stunDecodeMessage(buf, static_cast<unsigned int>(len), msg, verbose)) return;
    if (verbose) {
        tarn_log_raw("Received message of type %d  id=%d\n", msg.msgHdr.msgType,
                     msg.msgHdr.id.octet[0]);
    }
    char ip[IPV4_TEXT_MAX];
    switch (stunNatTestsAnswer(t, msg, StunAddress4{srcPort, srcIp})) {
        case STUN_TEST_I:
            ipv4_format(ip, sizeof(ip), t->testIMappedAddr.addr, -1);
            discover_set_test_i_mapped(&nat_report, ip, t->testIMappedAddr.port);
            if (preservePort) *preservePort = t->preservePort;
            if (mappedIp) *mappedIp = static_cast<int>(t->testIMappedAddr.addr);
            break;
        case STUN_TEST_I2:
            ipv4_format(ip, sizeof(ip), t->testI2MappedAddr.addr, -1);
            discover_set_test_i2_mapped(&nat_report, ip, t->testI2MappedAddr.port);
            break;
        case STUN_TEST_HAIRPIN:
            if (hairpin) *hairpin = 1;
            break;
        default:
            break;
    }
}

}  // namespace

void stunNatTestsInit(StunNatTests *t, const StunAddress4 &dest, int requestedPort) {
    memset(t, 0, sizeof(*t));
    t->dest = dest;
    t->requestedPort = requestedPort;
    t->altDest = dest;
    for (int k : {STUN_TEST_I, STUN_TEST_II, STUN_TEST_III, STUN_TEST_I2, STUN_TEST_HAIRPIN}) {
        stunNewTransactionId(&t->ids[k], static_cast<unsigned int>(k));
    }
}

int stunNatTestsDue(StunNatTests *t, int tests[5]) {
    t->count++;
    int n = 0;
    if (!t->respTestI) tests[n++] = STUN_TEST_I;
    if (t->respTestI && !t->respTestI2 && usable(t->altDest)) tests[n++] = STUN_TEST_I2;
    if (!t->respTestII) tests[n++] = STUN_TEST_II;
    if (!t->respTestIII) tests[n++] = STUN_TEST_III;
    if (t->respTestI && !t->respTestHairpin && usable(t->testIMappedAddr)) {
        tests[n++] = STUN_TEST_HAIRPIN;
    }
    return n;
}

int stunNatTestsAnswer(StunNatTests *t, const StunMessage &msg, const StunAddress4 &from) {
    int k = 0;
    for (int test : {STUN_TEST_I, STUN_TEST_II, STUN_TEST_III, STUN_TEST_I2, STUN_TEST_HAIRPIN}) {
        if (stunSameId(msg.msgHdr.id, t->ids[test])) k = test;
    }
    if (k == 0 || !expectedSource(t, k, from)) return 0;
    if (k == STUN_TEST_HAIRPIN ? msg.msgHdr.msgType != 0x0001 : !stunIsBindingResponse(msg)) {
        return 0;
    }
    switch (k) {
        case STUN_TEST_I:
            if (t->respTestI || !msg.hasChangedAddress || !usableIpv4(msg.changedAddress)) {
                return 0;
            }
            t->testIMappedAddr = msg.mappedAddress.ipv4;
            t->preservePort = t->testIMappedAddr.port == t->requestedPort;
            // The alternate address answers test I(2) on the alternate port.
            t->altDest.addr = msg.changedAddress.ipv4.addr;
            t->altDest.port = static_cast<uint16_t>(STUN_ALT_PORT);
            t->changedPort = msg.changedAddress.ipv4.port;
            // Tests I(2) and hairpin go out at once.
            t->count = 0;
            t->respTestI = 1;
            return STUN_TEST_I;
        case STUN_TEST_II:
            if (t->respTestII) return 0;
            t->respTestII = 1;
            return STUN_TEST_II;
        case STUN_TEST_III:
            if (t->respTestIII) return 0;
            t->respTestIII = 1;
            return STUN_TEST_III;
        case STUN_TEST_I2:
            if (t->respTestI2) return 0;
            t->testI2MappedAddr = msg.mappedAddress.ipv4;
            t->mappedIpSame = t->testI2MappedAddr.addr == t->testIMappedAddr.addr &&
                              t->testI2MappedAddr.port == t->testIMappedAddr.port;
            t->respTestI2 = 1;
            return STUN_TEST_I2;
        case STUN_TEST_HAIRPIN:
            if (t->respTestHairpin) return 0;
            t->respTestHairpin = 1;
            return STUN_TEST_HAIRPIN;
        default:
            return 0;
    }
}

bool stunNatTestsMore(StunNatTests *t) {
    if (t->count == kTimeoutsPerCycle && !t->respTestI2 && t->respTestI &&
        t->restarts < kMaxRestarts) {
        t->restarts++;
        t->count = 0;
    }
    return t->count <= kTimeoutsPerCycle;
}

NatType stunNatVerdict(const StunNatTests &t) {
    if (!t.respTestI) return NatBlocked;
    if (!t.isNat) return t.respTestII ? NatOpen : NatFirewall;
    if (!t.mappedIpSame) return NatDependentMapping;
    if (t.respTestII) return NatIndependentFilter;
    return t.respTestIII ? NatAddressDependentFilter : NatPortDependentFilter;
}

int stunNatCode(int natType, int hairpin) {
    int code =
        natType >= 0 && natType < kBaseCodeCount ? kBaseCodes[natType].code : NAT_CODE_UNKNOWN;
    if (hairpin) code |= NAT_CODE_HAIRPIN;
    if (code != NAT_CODE_FAILURE) code &= 0xFF;
    return code;
}

const char *stunNatCodeName(int code) {
    const int low = code & 0x0F;
    if (code == NAT_CODE_FAILURE || low == 0x0F) return kBaseCodes[NatFailure].text;
    for (const auto &base : kBaseCodes) {
        if (base.code == low) return base.text;
    }
    return "Unknown";
}

void stunNatDescribe(int natType, int preservePort, int hairpin, char *out, size_t size) {
    if (natType < 0 || natType >= kBaseCodeCount) {
        snprintf(out, size, "%d unknown NAT type", natType);
        return;
    }
    if (natType >= NatIndependentFilter && natType <= NatDependentMapping) {
        snprintf(out, size, "%s%s%s", kBaseCodes[natType].text,
                 preservePort ? ", preserves ports" : ", random port",
                 hairpin ? ", will hairpin" : ", no hairpin");
        return;
    }
    snprintf(out, size, "%s", kBaseCodes[natType].text);
}

NatType stunNatType(StunAddress4 &dest, int verbose, int *preservePort, int *hairpin, int port,
                    int *mappedIp) {
    TARN_ASSERT(dest.addr != 0, "a server address");
    TARN_ASSERT(dest.port != 0, "a server port");

    if (hairpin) *hairpin = 0;
    if (mappedIp) *mappedIp = 0;
    if (port == 0) port = pickRandomPort();

    const Socket fd1 = openUdpPort(static_cast<unsigned short>(port), 0, 1, verbose);
    const Socket fd2 = openUdpPort(static_cast<unsigned short>((port + 1) % 65536), 0, 1, verbose);
    if (fd1 == INVALID_SOCKET || fd2 == INVALID_SOCKET) {
        tarn_log_raw("Some problem opening port/interface to send on\n");
        closeBoth(fd1, fd2);
        return NatFailure;
    }

    StunNatTests t;
    stunNatTestsInit(&t, dest, port);
    StunAtrString empty;
    memset(&empty, 0, sizeof(empty));

    int64_t due = 0;  // end of the current 150 ms step
    do {
        // A count of 0 (the start, or test I just answered) sends at once.
        const int64_t left = t.count == 0 ? 0 : due - monotonic_ms();
        if (left <= 0) {
            int tests[5];
            const int n = stunNatTestsDue(&t, tests);
            for (int i = 0; i < n; i++) {
                const int k = tests[i];
                switch (k) {
                    case STUN_TEST_I:
                        stunSendTest(fd1, t.dest, empty, empty, k, verbose, t.ids[k]);
                        break;
                    case STUN_TEST_I2:
                        stunSendTest(fd1, t.altDest, empty, empty, k, verbose, t.ids[k]);
                        break;
                    case STUN_TEST_HAIRPIN:
                        stunSendTest(fd2, t.testIMappedAddr, empty, empty, k, verbose, t.ids[k]);
                        break;
                    default:
                        stunSendTest(fd2, t.dest, empty, empty, k, verbose, t.ids[k]);
                        break;
                }
            }
            due = monotonic_ms() + kWaitMs;
            continue;
        }
        // poll rather than select: descriptors above FD_SETSIZE are legal here.
        struct pollfd fds[2] = {{fd1, POLLIN, 0}, {fd2, POLLIN, 0}};
        const int ready = poll(fds, 2, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;  // a signal is not a failure
        if (ready < 0) {
            const int e = errno;
            tarn_log_raw("Error %d %s in select\n", e, strerror(e));
            closeBoth(fd1, fd2);
            return NatFailure;
        }
        for (const struct pollfd &p : fds) {
            if (p.revents != 0) {
                receiveOne(p.fd, &t, verbose, preservePort, hairpin, mappedIp);
            }
        }
    } while (stunNatTestsMore(&t));

    // Binding the mapped address works only when it is one of ours. With
    // no answer the address is 0 and the bind succeeds.
    const Socket probe = openUdpPort(0, t.testIMappedAddr.addr, 0, 0);
    if (probe != INVALID_SOCKET) {
        close(probe);
        t.isNat = 0;
    } else {
        t.isNat = 1;
    }

    if (verbose) {
        tarn_log_raw("test I = %d\n", t.respTestI);
        tarn_log_raw("test II = %d\n", t.respTestII);
        tarn_log_raw("test III = %d\n", t.respTestIII);
        tarn_log_raw("test I(2) = %d", t.respTestI2);
        tarn_log_raw("is nat = %d\n", t.isNat);
        tarn_log_raw("mapped IP same = %d\n", t.mappedIpSame);
        tarn_log_raw("hairpin = %d\n", t.respTestHairpin);
        tarn_log_raw("preserver port = %d\n", t.preservePort);
    }

    reportSource(fd1);
    discover_set_resp_test_i(&nat_report, t.respTestI);
    discover_set_resp_test_i2(&nat_report, t.respTestI2);
    discover_set_resp_test_ii(&nat_report, t.respTestII);
    discover_set_resp_test_iii(&nat_report, t.respTestIII);
    discover_set_resp_test_hairpin(&nat_report, t.respTestHairpin);
    discover_set_result_bind(&nat_report, 1 - t.isNat);

    const NatType result = stunNatVerdict(t);
    char feedback[32];
    const int len =
        snprintf(feedback, sizeof(feedback), "%d,feedback yo", static_cast<int>(result));
    sendDatagram(fd1, feedback, len, dest.addr, STUN_FEEDBACK_PORT, verbose);
    closeBoth(fd1, fd2);
    return result;
}

int STUN_get_nat_type(const char *servername, int verbose) {
    if (!servername) {
        tarn_log_raw("servername == NULL\n");
        return -1;
    }
    StunAddress4 server;
    memset(&server, 0, sizeof(server));
    if (stunParseServerName(servername, server) != 1) {
        tarn_log_raw("%s is not a valid host name\n", servername);
        return -1;
    }
    const int port = pickRandomPort();
    if (server.addr == 0) return -1;

    std::lock_guard<std::mutex> guard(run_lock);
    int preservePort = 0;
    int hairpin = 0;
    int mappedIp = 0;
    discover_stat_init(&nat_report);
    const NatType result = stunNatType(server, verbose, &preservePort, &hairpin, port, &mappedIp);

    char text[128];
    stunNatDescribe(result, preservePort, hairpin, text, sizeof(text));
    tarn_log_raw("Primary: %s\t\n", text);

    const int code = stunNatCode(result, hairpin);
    discover_set_duration(&nat_report);
    discover_set_nat_type(&nat_report, code);

    const uint32_t publicIp = static_cast<uint32_t>(mappedIp);
    const bool ipChanged = publicIp != last_public_ip;
    const bool codeChanged = code != last_code;
    LOG("ip change, nat type change: %d, %d.\n", ipChanged ? 1 : 0, codeChanged ? 1 : 0);
    if (ipChanged || codeChanged) {
        last_code = code;
        last_public_ip = publicIp;
        discover_stat(&nat_report);
    }
    tarn_log_raw("Return value is %#x\n", code);
    return code;
}
