// STUN client: classic RFC 3489 messages over IPv4 (Binding Request only).
// Addresses and ports are host order in memory, big-endian on the wire.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/codes.h"

constexpr int STUN_MAX_STRING = 256;
constexpr int STUN_MAX_UNKNOWN_ATTRIBUTES = 8;

struct StunAddress4 {
    uint16_t port;
    uint32_t addr;  // 0: no address known
};

struct StunAtrAddress {
    uint8_t pad;
    uint8_t family;  // 1 IPv4, 2 IPv6 (not supported)
    StunAddress4 ipv4;
};

struct StunAtrString {
    char value[STUN_MAX_STRING];
    uint16_t sizeValue;
};

struct StunAtrError {
    uint16_t pad;
    uint8_t errorClass;
    uint8_t number;
    char reason[STUN_MAX_STRING];
    uint16_t reasonLength;
};

struct StunAtrUnknown {
    uint16_t types[STUN_MAX_UNKNOWN_ATTRIBUTES];
    uint16_t typeCount;
};

struct StunMsgId {
    uint8_t octet[16];
};

struct StunMsgHdr {
    uint16_t msgType;
    uint16_t msgLength;  // bytes after the header
    StunMsgId id;
};
static_assert(sizeof(StunMsgHdr) == 20, "the wire header is 20 bytes");

// Zeroed in full before it is built or decoded.
struct StunMessage {
    StunMsgHdr msgHdr;

    int32_t hasMappedAddress;
    StunAtrAddress mappedAddress;

    int32_t hasResponseAddress;
    StunAtrAddress responseAddress;

    int32_t hasChangeRequest;
    uint32_t changeRequest;  // 0x04 change IP, 0x02 change port

    int32_t hasSourceAddress;
    StunAtrAddress sourceAddress;

    int32_t hasChangedAddress;
    StunAtrAddress changedAddress;

    int32_t hasUsername;
    StunAtrString username;

    int32_t hasPassword;
    StunAtrString password;

    int32_t hasMessageIntegrity;
    uint8_t messageIntegrity[20];

    int32_t hasErrorCode;
    StunAtrError errorCode;

    int32_t hasUnknownAttributes;
    StunAtrUnknown unknownAttributes;

    int32_t hasReflectedFrom;
    StunAtrAddress reflectedFrom;

    int32_t hasXorMappedAddress;
    StunAtrAddress xorMappedAddress;

    int32_t xorOnly;

    int32_t hasServerName;
    StunAtrString serverName;

    int32_t hasSecondaryAddress;
    StunAtrAddress secondaryAddress;
};

// True when the whole datagram decoded; msg then holds everything decoded up
// to the point of failure otherwise.
bool stunDecodeMessage(const char *buf, unsigned int bufLen, StunMessage &msg, int verbose);

// Bytes written into buf; 0 when the message does not fit. bufLen must be at
// least 20. A non-empty password appends a placeholder MessageIntegrity.
unsigned int stunEncodeMessage(const StunMessage &msg, char *buf, unsigned int bufLen,
                               const StunAtrString &password, int verbose);

// A Binding Request with a fresh transaction id whose first octet is the
// low byte of id when id is not 0, and always a ChangeRequest attribute.
void stunBuildReqSimple(StunMessage *msg, const StunAtrString &username, int changePort,
                        int changeIp, unsigned int id);

// A draw from the kernel's CSPRNG, 0..INT_MAX.
int nextRandom();
// Sixteen unguessable octets, the first one replaced by tag unless it is 0.
void stunNewTransactionId(StunMsgId *id, unsigned int tag);
bool stunSameId(const StunMsgId &a, const StunMsgId &b);
// A decoded Binding Response (0x0101) with a usable IPv4 MappedAddress
// (address and port not 0). Error answers and IPv6-only ones are not.
bool stunIsBindingResponse(const StunMessage &msg);

// The 28-byte Binding Request carrying id (tagged 1); its length, or -1.
// Re-sends carry the same id, so a late answer to any of them counts.
int stunBuildBindingRequest(char *buf, int bufLen, const StunMsgId &id);

// 0 with the mapped address written to out ("a.b.c.d:port", IPV4_TEXT_MAX
// bytes), or -1 when buf is not a Binding Response to the request carrying id.
int stunParseBindingResponse(const char *buf, int len, const StunMsgId &id, char *out, int verbose);

// ---- Sockets and server names (blocking; the caller owns every socket) ----

using Socket = int;
constexpr Socket INVALID_SOCKET = -1;
constexpr unsigned int STUN_PORT = 3478;
constexpr unsigned int STUN_ALT_PORT = 3479;
constexpr int STUN_MAX_MESSAGE_SIZE = 2048;
// What a failed resolution leaves in an address; binds like 0 (any).
constexpr uint32_t STUN_UNRESOLVED_ADDR = 0x0100007F;

// A bound IPv4 UDP socket, or -1. interfaceIp is host order (0: any). With
// retryOnInUse a taken port moves up in steps of 5 until one binds.
Socket openUdpPort(unsigned short port, unsigned int interfaceIp, int retryOnInUse, int verbose);
// One datagram of at most *len - 2 bytes, NUL-terminated; *len becomes its
// size and the sender is stored host order.
bool getMessage(Socket fd, char *buf, int *len, unsigned int *srcIp, unsigned short *srcPort,
                int verbose);
// dstPort 0 sends on a connected socket (dstIp must then be 0).
bool sendDatagram(Socket fd, const char *buf, int len, unsigned int dstIp, unsigned short dstPort,
                  int verbose);
// 1 with addr filled, 0 with addr.port = 0xFFFF. Default port 3478.
int stunParseServerName(const char *name, StunAddress4 &addr);
bool parseHostPort(const char *name, unsigned int &ip, unsigned short &port,
                   unsigned int defaultPort);
// 0 with *ip (host order; 0 when the name only has IPv6 addresses), or -1.
int DomainToIP(const char *node, const char *service, unsigned int *ip);
// 16384..32767.
int pickRandomPort();
// Test numbers of the NAT classification (the first octet of the request id).
constexpr int STUN_TEST_I = 1;
constexpr int STUN_TEST_II = 2;         // answer from the other IP
constexpr int STUN_TEST_III = 3;        // answer from the other port
constexpr int STUN_TEST_CHANGE_IP = 4;  // never sent
constexpr int STUN_TEST_I2 = 10;        // test I to the alternate address
constexpr int STUN_TEST_HAIRPIN = 11;   // to the own mapped address
// Sends test testNum to dest with transaction id (tagged testNum) and
// pauses 10 ms.
void stunSendTest(Socket fd, StunAddress4 &dest, const StunAtrString &username,
                  const StunAtrString &password, int testNum, int verbose, const StunMsgId &id);

// ---- NAT type discovery ----------------------------------------------------

enum NatType {
    NatUnknown = 0,
    NatFailure = 1,
    NatOpen = 2,
    NatBlocked = 3,
    NatIndependentFilter = 4,
    NatAddressDependentFilter = 5,
    NatPortDependentFilter = 6,
    NatDependentMapping = 7,
    NatFirewall = 8,
};

// Feedback datagram after each classification; nothing answers it.
constexpr unsigned short STUN_FEEDBACK_PORT = 8089;

// State of one classification run. The socket code feeds it timeouts and
// answers; the decisions themselves need no network.
struct StunNatTests {
    StunAddress4 dest;  // primary server address and port
    int requestedPort;  // local port asked for socket 1
    // Transaction id of each test, by test number; re-sends carry it again.
    StunMsgId ids[STUN_TEST_HAIRPIN + 1];
    int respTestI;
    int respTestII;
    int respTestIII;
    int respTestI2;
    int respTestHairpin;
    StunAddress4 testIMappedAddr;
    StunAddress4 testI2MappedAddr;
    StunAddress4 altDest;  // where test I(2) goes
    uint16_t changedPort;  // the server's other port, from test I's answer
    int mappedIpSame;
    int preservePort;
    int isNat;     // set by the caller once the tests are over
    int count;     // timeouts since the last restart
    int restarts;  // extra cycles granted to test I(2)
};

// Draws a fresh id for every test.
void stunNatTestsInit(StunNatTests *t, const StunAddress4 &dest, int requestedPort);
// A wait timed out: counts it and writes the tests to send now, in order
// (at most 5); returns how many.
int stunNatTestsDue(StunNatTests *t, int tests[5]);
// Applies one decoded message received from `from`; returns the test number
// whose first answer it was, or 0 when it is no answer (wrong id, type or
// source, no usable address) or a repeated one. A test I answer needs a
// ChangedAddress too: without it test I(2) cannot be run, and a later
// answer that has one must still count. The hairpin "answer" is our own
// test 11 request coming back from our public address.
int stunNatTestsAnswer(StunNatTests *t, const StunMessage &msg, const StunAddress4 &from);
// End of a pass: false when the run is over.
bool stunNatTestsMore(StunNatTests *t);
NatType stunNatVerdict(const StunNatTests &t);
// The classification code: base code, OR 0x10 for hairpin, low byte; -1 for
// NatFailure.
int stunNatCode(int natType, int hairpin);
// Name of a classification code as the session manager keeps it (low four
// bits; 15 for a failure): "Open", "Firewall", ...
const char *stunNatCodeName(int code);
// "Open", "Dependent Mapping, random port, no hairpin", ...
void stunNatDescribe(int natType, int preservePort, int hairpin, char *out, size_t size);

// Both sockets bind to any address; *mappedIp is test I's public address.
NatType stunNatType(StunAddress4 &dest, int verbose, int *preservePort, int *hairpin, int port,
                    int *mappedIp);
// One whole run (resolve, classify, report on change); the code or -1. Runs
// are serialised.
int STUN_get_nat_type(const char *servername, int verbose);

// ---- Probe-port discovery --------------------------------------------------

// Local port, six public ports, six answer times (microseconds).
constexpr int STUN_PROBE_FIELDS = 13;
constexpr int STUN_PROBE_PORTS = 6;
constexpr unsigned short STUN_PROBE_PORT = 13478;
constexpr unsigned short STUN_PROBE_ALT_PORT = 13479;

// Thread entry: arg is the server name text, which must stay unchanged
// until the thread ends. Detaches itself.
void *STUN_get_probe_port(void *arg);
// A consistent copy of the latest probe record (13 integers).
void STUN_copy_probe_data(int *out);
