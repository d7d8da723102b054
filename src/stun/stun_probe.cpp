// Probe-port discovery: how the NAT maps one local port towards six server
// endpoints (two addresses, four ports), and how fast each answers.
//
// One probe thread at a time (the session manager sees to that) is the only
// writer of g_probe_data_instance; the loop thread reads it through
// STUN_copy_probe_data. Both sides copy the whole record under probe_lock,
// so a reader never sees half of one attempt and half of another.
//
// An answer counts only when it carries the request's transaction id and
// comes from an endpoint the request went to; the 150 ms steps run on the
// clock, so other datagrams neither count nor hold the requests back.
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "stats/data_stat.h"
#include "stun/stun.h"
#include "util/log.h"
#include "util/utils.h"

static constexpr char log_unit[] = "stun";

static_assert(STAT_PUBLIC_PORTS + STAT_PUBLIC_PORT_OFFSETS == STUN_PROBE_FIELDS,
              "the report takes the probe record as ports, then offsets");

namespace {

constexpr int kAttempts = 15;
constexpr int64_t kAttemptUs = 4150 * 1000;
constexpr int kWaitMs = 150;
constexpr int kEnoughAnswers = 5;  // more than this ends an attempt

std::mutex probe_lock;
// Local port, public ports 1-6, their answer times; guarded by probe_lock.
int32_t g_probe_data_instance[STUN_PROBE_FIELDS];

int missingPorts(const int32_t *rec) {
    int n = 0;
    for (int k = 1; k <= STUN_PROBE_PORTS; k++) n += rec[k] == 0;
    return n;
}

struct Endpoint {
    bool alternate;
    unsigned short port;
};

// Send order; probe k (1-based) fills public port k and time offset k.
const Endpoint kProbes[STUN_PROBE_PORTS] = {
    {false, static_cast<unsigned short>(STUN_PORT)},
    {true, static_cast<unsigned short>(STUN_ALT_PORT)},
    {false, STUN_PROBE_PORT},
    {true, STUN_PROBE_ALT_PORT},
    {false, static_cast<unsigned short>(STUN_ALT_PORT)},
    {true, static_cast<unsigned short>(STUN_PORT)},
};

// 1..6 for an answer from one of the probed endpoints, else 0.
int probeIndex(uint32_t srcIp, unsigned short srcPort, uint32_t primary, uint32_t alternate) {
    for (int k = 0; k < STUN_PROBE_PORTS; k++) {
        const uint32_t ip = kProbes[k].alternate ? alternate : primary;
        if (srcIp == ip && srcPort == kProbes[k].port) return k + 1;
    }
    return 0;
}

// State that carries over from one attempt to the next until the next
// attempt sends its first request.
struct ProbeRun {
    Socket fd;
    uint32_t primary;
    uint32_t alternate;
    char req[STUN_MAX_MESSAGE_SIZE];
    int reqLen;
    StunMsgId id;  // the request's, reused by every probe
    int gotFirst;
    int probesSent;
};

// One attempt; its record in rec. False when waiting failed.
bool probeAttempt(ProbeRun *r, int port, int32_t *rec, int *answersOut) {
    const int64_t start = monotonic_us();
    memset(rec, 0, sizeof(int32_t) * STUN_PROBE_FIELDS);
    rec[0] = port;
    int answers = 0;
    int firstSent = 0;
    int64_t due = start;  // end of the current 150 ms step; the first is 0 ms
    while (monotonic_us() - start < kAttemptUs && answers <= kEnoughAnswers) {
        const int64_t left = due - monotonic_us();
        int ready = 0;
        if (left > 0) {
            struct pollfd pfd = {r->fd, POLLIN, 0};
            ready = poll(&pfd, 1, static_cast<int>((left + 999) / 1000));
            if (ready < 0 && errno == EINTR) continue;  // a signal is not a failure
            if (ready < 0) {
                const int e = errno;
                tarn_log_raw("Error %d %s in select\n", e, strerror(e));
                return false;
            }
        }
        if (ready == 0 && monotonic_us() >= due) {
            if (!firstSent) {
                sendDatagram(r->fd, r->req, r->reqLen, r->primary,
                             static_cast<unsigned short>(STUN_PORT), 0);
                r->probesSent = 0;
                r->gotFirst = 0;
                firstSent = 1;
            } else if (r->gotFirst && !r->probesSent) {
                for (const Endpoint &e : kProbes) {
                    sendDatagram(r->fd, r->req, r->reqLen, e.alternate ? r->alternate : r->primary,
                                 e.port, 0);
                }
                r->probesSent = 1;
            }
            due = monotonic_us() + int64_t{kWaitMs} * 1000;
            continue;
        }
        if (ready == 0) continue;
        char buf[STUN_MAX_MESSAGE_SIZE];
        int len = sizeof(buf);
        unsigned int srcIp = 0;
        unsigned short srcPort = 0;
        if (!getMessage(r->fd, buf, &len, &srcIp, &srcPort, 0)) continue;
        StunMessage msg;
        if (!stunDecodeMessage(buf, static_cast<unsigned int>(len), msg, 0) ||
            !stunSameId(msg.msgHdr.id, r->id) || !stunIsBindingResponse(msg)) {
            continue;
        }
        if (!r->gotFirst) {
            // The answer to the first request names the alternate address.
            if (srcIp != r->primary || srcPort != STUN_PORT || !msg.hasChangedAddress ||
                msg.changedAddress.family != 1 || msg.changedAddress.ipv4.addr == 0) {
                continue;
            }
            r->gotFirst = 1;
            r->alternate = msg.changedAddress.ipv4.addr;
            continue;
        }
        if (!r->probesSent) continue;
        const int k = probeIndex(srcIp, srcPort, r->primary, r->alternate);
        if (k == 0) continue;
        // Endpoints, not datagrams: repeated answers from one endpoint must
        // not end the attempt before the others have answered.
        if (rec[k] == 0) answers++;
        rec[k] = msg.mappedAddress.ipv4.port;
        rec[k + STUN_PROBE_PORTS] = static_cast<int32_t>(monotonic_us() - start);
    }
    *answersOut = answers;
    return true;
}

}  // namespace

void *STUN_get_probe_port(void *arg) {
    if (!arg) {
        tarn_log_raw("servername == NULL\n");
        return nullptr;
    }
    pthread_detach(pthread_self());
    const char *name = static_cast<const char *>(arg);

    StunAddress4 server;
    memset(&server, 0, sizeof(server));
    if (stunParseServerName(name, server) != 1) {
        tarn_log_raw("%s is not a valid host name\n", name);
        return nullptr;
    }
    const int port = pickRandomPort();
    ProbeRun r;
    memset(&r, 0, sizeof(r));
    r.fd = openUdpPort(static_cast<unsigned short>(port), 0, 1, 0);
    if (r.fd == INVALID_SOCKET) {
        tarn_log_raw("Some problem opening port/interface to send on\n");
        return nullptr;
    }
    r.primary = server.addr;

    StunAtrString empty;
    memset(&empty, 0, sizeof(empty));
    StunMessage req;
    stunBuildReqSimple(&req, empty, 0, 0, STUN_TEST_I);
    r.id = req.msgHdr.id;
    r.reqLen = static_cast<int>(stunEncodeMessage(req, r.req, sizeof(r.req), empty, 0));

    int best;
    {
        std::lock_guard<std::mutex> guard(probe_lock);
        // An earlier run's result sets the bar.
        best = missingPorts(g_probe_data_instance);
    }
    int answers = 0;
    for (int attempt = 0; attempt < kAttempts; attempt++) {
        if (attempt > 0 && answers > kEnoughAnswers) break;
        if (attempt > 0) LOG("the probe func do not get all the stun return:%d\n", attempt);
        int32_t rec[STUN_PROBE_FIELDS];
        if (!probeAttempt(&r, port, rec, &answers)) break;
        const int missing = missingPorts(rec);
        if (missing <= best) {
            best = missing;
            std::lock_guard<std::mutex> guard(probe_lock);
            memcpy(g_probe_data_instance, rec, sizeof(rec));
        }
    }
    close(r.fd);
    return nullptr;
}

void STUN_copy_probe_data(int *out) {
    std::lock_guard<std::mutex> guard(probe_lock);
    for (int i = 0; i < STUN_PROBE_FIELDS; i++) out[i] = g_probe_data_instance[i];
}
