// Codes that leave the process: the statistics reports' error codes and stop
// reasons (read by the cloud), the answer codes and request types of the
// control protocol (read by libcloud), NAT classification codes. They are
// wire values: never renumber one.
#pragma once

// The version reported in the bus status, the get_tarn_info answer, the
// reports and -v comes from CMake (project VERSION), defined for every unit.
#ifndef TARN_VERSION
#error "TARN_VERSION comes from CMakeLists.txt"
#endif

// Implementation version the device reports beside TARN_VERSION.
constexpr int DEV_IMP_VERSION = 2;

// Control requests (libcloud's "type" names, parsed into these).
enum {
    REQ_PREPARE_P2P = 1,
    REQ_IS_P2P_READY = 2,
    REQ_GET_TARN_INFO = 3,
    REQ_DO_TARN_CLEAN = 4,
    REQ_SHARE_INFO = 5,
    REQ_INVALID = 255,
};

// Error answers to libcloud; 22 and 24 are also recorded in a report.
enum {
    ERR_NO_SESSION = 21,
    ERR_EXCEPTION = 22,
    ERR_BAD_REQUEST = 23,
    ERR_NO_IDLE_SESSION = 24,
};
// The texts libcloud compares, misspellings included: keep them byte-exact.
#define MSG_NO_SESSION "no sess with this sid"
#define MSG_EXCEPTION "exception occured"
#define MSG_BAD_REQUEST "request json string error"
#define MSG_NO_IDLE_SESSION "no idle sess is available"

// A report's "errorCode": how a session failed.
enum {
    STAT_ERR_DNS = -52009,                // the STUN server's name did not resolve
    STAT_ERR_STUN_QUERY = -52010,         // the public-address query failed
    STAT_ERR_PUNCH_RECV = -52011,         // receiving on a punch socket failed
    STAT_ERR_UDT_CONNECT = -52012,        // the UDT connect step after a won punch failed
    STAT_ERR_DEADLINE = -52013,           // deadline, punching not started
    STAT_ERR_DEADLINE_PUNCHING = -52014,  // deadline, punching started
    STAT_ERR_CLEANED = -52015,            // cleaned up before streaming
};

// A report's "stopReason": why streaming ended; the last one recorded wins.
enum {
    STOP_PAUSED = -1,          // a tick could not send local data (recorded, not an end)
    STOP_NEVER_CONNECTED = 1,  // a tick found UDT not connected yet
    STOP_UDT = 2,              // UDT broke, or a receive or send on it failed
    STOP_MEDIA_IO = 3,         // reading from or writing to the media server failed
    STOP_MEDIA_CLOSED = 4,     // the media server closed its connection
    STOP_CLEANED = 5,          // cleaned up while streaming
    STOP_UNAUTHENTIC = 6,      // a private session's stream failed to authenticate
};

// NAT classification codes: a base code, OR NAT_CODE_HAIRPIN. The session
// manager keeps the low four bits.
constexpr int NAT_CODE_OPEN = 0x00;
constexpr int NAT_CODE_INDEPENDENT_FILTER = 0x02;
constexpr int NAT_CODE_ADDRESS_FILTER = 0x04;
constexpr int NAT_CODE_PORT_FILTER = 0x06;
constexpr int NAT_CODE_DEPENDENT_MAPPING = 0x08;
constexpr int NAT_CODE_FIREWALL = 0x0A;
constexpr int NAT_CODE_BLOCKED = 0x0C;
constexpr int NAT_CODE_UNKNOWN = 0x0E;  // before the first classification
constexpr int NAT_CODE_HAIRPIN = 0x10;
constexpr int NAT_CODE_UNKNOWN_ERROR = 0xEE;
constexpr int NAT_CODE_FAILURE = -1;
