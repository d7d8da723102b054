// STUN message codec: classic RFC 3489 framing, IPv4 only, no state.
//
// Wire fields are read and written byte by byte (big-endian, RFC 3489
// section 11.1), never through casts, so unaligned datagrams are safe on
// CPUs that fault on unaligned loads. Every read stays inside the datagram
// and every write inside the caller's buffer. Diagnostics go out unprefixed
// through tarn_log_raw, one output for every line of the daemon;
// informational ones only with verbose, failures always.
//
// Values are padded to four bytes as RFC 5389 section 15 has it. Classic
// values are multiples of four anyway, so the padding only shows with RFC
// 5389 servers (an odd-length SOFTWARE) and is skipped, never fatal.
#include "stun/stun.h"

#include <cstring>

#include "util/log.h"
#include "util/utils.h"

namespace {

// Attribute types (RFC 3489 section 11.2, plus the vendor range).
constexpr uint16_t MappedAddress = 0x0001;
constexpr uint16_t ResponseAddress = 0x0002;
constexpr uint16_t ChangeRequest = 0x0003;
constexpr uint16_t SourceAddress = 0x0004;
constexpr uint16_t ChangedAddress = 0x0005;
constexpr uint16_t Username = 0x0006;
constexpr uint16_t Password = 0x0007;
constexpr uint16_t MessageIntegrity = 0x0008;
constexpr uint16_t ErrorCode = 0x0009;
constexpr uint16_t UnknownAttribute = 0x000A;
constexpr uint16_t ReflectedFrom = 0x000B;
constexpr uint16_t XorOnly = 0x0021;
constexpr uint16_t XorMappedAddress = 0x8020;
constexpr uint16_t ServerName = 0x8022;
constexpr uint16_t SecondaryAddress = 0x8050;

constexpr uint16_t BindRequestMsg = 0x0001;
constexpr uint16_t BindResponseMsg = 0x0101;
constexpr unsigned int HeaderSize = sizeof(StunMsgHdr);
constexpr unsigned int AttributeHeaderSize = 4;
constexpr unsigned int AddressSize = 8;
constexpr unsigned int IntegritySize = 20;
// Header and a ChangeRequest: what stunBuildBindingRequest writes.
constexpr int BindingRequestSize = HeaderSize + AttributeHeaderSize + 4;
// An ErrorCode value is 4 fixed bytes and a reason; 262 and up is refused.
constexpr unsigned int ErrorCodeLimit = 262;
constexpr unsigned int UnknownAttributeLimit = 17;
constexpr uint8_t FamilyIPv4 = 1;
constexpr uint8_t FamilyIPv6 = 2;
constexpr uint32_t ChangeIpFlag = 0x04;
constexpr uint32_t ChangePortFlag = 0x02;
const char IntegrityPlaceholder[] = "hmac-not-implemented";
static_assert(sizeof(IntegrityPlaceholder) - 1 == IntegritySize, "placeholder fills the hash");

// Bytes that follow a value of len bytes up to the next four-byte boundary.
unsigned int padding(unsigned int len) {
    return (4 - len % 4) % 4;
}

uint16_t get16(const char *p) {
    const auto *b = reinterpret_cast<const unsigned char *>(p);
    return static_cast<uint16_t>(b[0] << 8 | b[1]);
}

uint32_t get32(const char *p) {
    const auto *b = reinterpret_cast<const unsigned char *>(p);
    return static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
           static_cast<uint32_t>(b[2]) << 8 | b[3];
}

// Length of the text in a fixed field that may lack its terminator, so that
// "%.*s" prints what "%s" would without reading past the field.
int textLength(const char *s, size_t cap) {
    return static_cast<int>(strnlen(s, cap));
}

void logAddress(const char *label, const StunAddress4 &a) {
    char text[IPV4_TEXT_MAX];
    ipv4_format(text, sizeof(text), a.addr, a.port);
    tarn_log_raw("%s%s\n", label, text);
}

// --- decoding ---

bool decodeAtrAddress(const char *value, unsigned int hdrLen, StunAtrAddress &result) {
    if (hdrLen != AddressSize) {
        tarn_log_raw("hdrLen wrong for Address\n");
        return false;
    }
    result.pad = static_cast<uint8_t>(value[0]);
    result.family = static_cast<uint8_t>(value[1]);
    if (result.family == FamilyIPv4) {
        result.ipv4.port = get16(value + 2);
        result.ipv4.addr = get32(value + 4);
        return true;
    }
    if (result.family == FamilyIPv6) {
        tarn_log_raw("ipv6 not supported\n");
    } else {
        tarn_log_raw("bad address family: %d\n", result.family);
    }
    return false;
}

bool decodeAtrString(const char *value, unsigned int hdrLen, StunAtrString &result) {
    if (hdrLen >= STUN_MAX_STRING) {
        tarn_log_raw("String is too large\n");
        return false;
    }
    memcpy(result.value, value, hdrLen);
    result.value[hdrLen] = '\0';
    result.sizeValue = static_cast<uint16_t>(hdrLen);
    return true;
}

bool decodeAtrError(const char *value, unsigned int hdrLen, StunAtrError &result) {
    if (hdrLen >= ErrorCodeLimit) {
        tarn_log_raw("head on Error too large\n");
        return false;
    }
    // Shorter than its fixed part: there is no class or number to read.
    if (hdrLen < 4) return false;
    result.pad = get16(value);
    result.errorClass = static_cast<uint8_t>(value[2]);
    result.number = static_cast<uint8_t>(value[3]);
    // Reasons of 256 and 257 bytes pass the size rule but leave no room for
    // the terminator: keep the first 255 bytes.
    unsigned int n = hdrLen - 4;
    if (n > sizeof(result.reason) - 1) n = sizeof(result.reason) - 1;
    memcpy(result.reason, value + 4, n);
    result.reason[n] = '\0';
    result.reasonLength = static_cast<uint16_t>(n);
    return true;
}

bool decodeAtrUnknown(const char *value, unsigned int hdrLen, StunAtrUnknown &result) {
    if (hdrLen > UnknownAttributeLimit || hdrLen % 4 != 0) return false;
    result.typeCount = static_cast<uint16_t>(hdrLen / 4);
    for (unsigned int i = 0; i < result.typeCount; i++) result.types[i] = get16(value + 2 * i);
    return true;
}

// Address attributes differ only in their field and their diagnostic texts.
struct AddressAttr {
    uint16_t type;
    int32_t StunMessage::*flag;
    StunAtrAddress StunMessage::*field;
    const char *problem;
    const char *shown;  // prefix of the verbose line; null: none
};

const AddressAttr addressAttrs[] = {
    {MappedAddress, &StunMessage::hasMappedAddress, &StunMessage::mappedAddress,
     "problem parsing MappedAddress\n", "MappedAddress = "},
    {ResponseAddress, &StunMessage::hasResponseAddress, &StunMessage::responseAddress,
     "problem parsing ResponseAddress\n", "ResponseAddress = "},
    {SourceAddress, &StunMessage::hasSourceAddress, &StunMessage::sourceAddress,
     "problem parsing SourceAddress\n", "SourceAddress = "},
    {ChangedAddress, &StunMessage::hasChangedAddress, &StunMessage::changedAddress,
     "problem parsing ChangedAddress\n", "ChangedAddress = "},
    {ReflectedFrom, &StunMessage::hasReflectedFrom, &StunMessage::reflectedFrom,
     "problem parsing ReflectedFrom\n", nullptr},
    {XorMappedAddress, &StunMessage::hasXorMappedAddress, &StunMessage::xorMappedAddress,
     "problem parsing XorMappedAddressn\n", "XorMappedAddress = "},
    {SecondaryAddress, &StunMessage::hasSecondaryAddress, &StunMessage::secondaryAddress,
     "problem parsing secondaryAddress\n", "SecondaryAddress = "},
};

struct StringAttr {
    uint16_t type;
    int32_t StunMessage::*flag;
    StunAtrString StunMessage::*field;
    const char *name;
};

const StringAttr stringAttrs[] = {
    {Username, &StunMessage::hasUsername, &StunMessage::username, "Username"},
    {Password, &StunMessage::hasPassword, &StunMessage::password, "Password"},
    {ServerName, &StunMessage::hasServerName, &StunMessage::serverName, "ServerName"},
};

// One attribute whose value lies wholly inside the datagram. The presence
// flag is set before the value is examined.
bool decodeAttribute(uint16_t type, const char *value, unsigned int len, StunMessage &msg,
                     int verbose) {
    for (const AddressAttr &a : addressAttrs) {
        if (a.type != type) continue;
        msg.*a.flag = 1;
        if (!decodeAtrAddress(value, len, msg.*a.field)) {
            tarn_log_raw("%s", a.problem);
            return false;
        }
        if (verbose && a.shown) logAddress(a.shown, (msg.*a.field).ipv4);
        return true;
    }
    for (const StringAttr &s : stringAttrs) {
        if (s.type != type) continue;
        msg.*s.flag = 1;
        if (!decodeAtrString(value, len, msg.*s.field)) {
            tarn_log_raw("problem parsing %s\n", s.name);
            return false;
        }
        if (verbose) tarn_log_raw("%s = %s\n", s.name, (msg.*s.field).value);
        return true;
    }
    switch (type) {
        case ChangeRequest:
            msg.hasChangeRequest = 1;
            if (len != 4) {
                tarn_log_raw("hdr length = %d expecting %d\n", len, 4);
                tarn_log_raw("Incorrect size for ChangeRequest\n");
                tarn_log_raw("problem parsing ChangeRequest\n");
                return false;
            }
            msg.changeRequest = get32(value);
            if (verbose) tarn_log_raw("ChangeRequest = %d\n", static_cast<int>(msg.changeRequest));
            return true;
        case MessageIntegrity:
            msg.hasMessageIntegrity = 1;
            if (len != IntegritySize) {
                tarn_log_raw("MessageIntegrity must be 20 bytes\n");
                tarn_log_raw("problem parsing MessageIntegrity\n");
                return false;
            }
            // Stored only; nothing here holds a key to check it against.
            memcpy(msg.messageIntegrity, value, IntegritySize);
            return true;
        case ErrorCode:
            msg.hasErrorCode = 1;
            if (!decodeAtrError(value, len, msg.errorCode)) {
                tarn_log_raw("problem parsing ErrorCode\n");
                return false;
            }
            if (verbose) {
                tarn_log_raw("ErrorCode = %d %d %s\n", msg.errorCode.errorClass,
                             msg.errorCode.number, msg.errorCode.reason);
            }
            return true;
        case UnknownAttribute:
            msg.hasUnknownAttributes = 1;
            if (!decodeAtrUnknown(value, len, msg.unknownAttributes)) {
                tarn_log_raw("problem parsing UnknownAttribute\n");
                return false;
            }
            return true;
        case XorOnly:
            msg.xorOnly = 1;
            if (verbose) tarn_log_raw("xorOnly = TRUE\n");
            return true;
        default:
            if (verbose) tarn_log_raw("Unknown attribute: %d\n", type);
            // RFC 3489 section 11.2: types up to 0x7fff are mandatory to
            // understand, the rest may be ignored.
            return type >= 0x8000;
    }
}

// --- encoding ---

// Appends to a fixed buffer; once something does not fit, nothing more is
// written and the message is reported as not encoded.
struct Writer {
    char *buf;
    unsigned int size;
    unsigned int pos;
    bool overflow;

    void bytes(const void *p, unsigned int n) {
        if (overflow || n > size - pos) {
            overflow = true;
            return;
        }
        if (n > 0) memcpy(buf + pos, p, n);
        pos += n;
    }
    void u8(uint8_t v) { bytes(&v, 1); }
    void u16(uint16_t v) {
        const uint8_t b[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
        bytes(b, 2);
    }
    void u32(uint32_t v) {
        const uint8_t b[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                              static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
        bytes(b, 4);
    }
    void header(uint16_t type, unsigned int len) {
        u16(type);
        u16(static_cast<uint16_t>(len));
    }
    void pad(unsigned int len) {
        static const char zeros[4] = {};
        bytes(zeros, padding(len));
    }
};

void encodeAtrAddress(Writer &w, uint16_t type, const StunAtrAddress &atr) {
    w.header(type, AddressSize);
    w.u8(atr.pad);
    w.u8(FamilyIPv4);
    w.u16(atr.ipv4.port);
    w.u32(atr.ipv4.addr);
}

void encodeAtrString(Writer &w, uint16_t type, const StunAtrString &atr) {
    unsigned int n = atr.sizeValue;
    if (n > sizeof(atr.value)) n = sizeof(atr.value);
    w.header(type, n);
    w.bytes(atr.value, n);
    w.pad(n);
}

void encodeAtrError(Writer &w, const StunAtrError &atr) {
    unsigned int n = atr.reasonLength;
    if (n > sizeof(atr.reason)) n = sizeof(atr.reason);
    w.header(ErrorCode, 4 + n);
    w.u16(atr.pad);
    w.u8(atr.errorClass);
    w.u8(atr.number);
    w.bytes(atr.reason, n);
    w.pad(n);
}

void encodeAtrUnknown(Writer &w, const StunAtrUnknown &atr) {
    unsigned int n = atr.typeCount;
    if (n > STUN_MAX_UNKNOWN_ATTRIBUTES) n = STUN_MAX_UNKNOWN_ATTRIBUTES;
    w.header(UnknownAttribute, 2 * n);
    for (unsigned int i = 0; i < n; i++) w.u16(atr.types[i]);
    w.pad(2 * n);
}

void encodeAddressIf(Writer &w, int32_t present, uint16_t type, const StunAtrAddress &atr,
                     const char *label, int verbose) {
    if (!present) return;
    if (verbose) logAddress(label, atr.ipv4);
    encodeAtrAddress(w, type, atr);
}

void encodeStringIf(Writer &w, int32_t present, uint16_t type, const StunAtrString &atr,
                    const char *name, int verbose) {
    if (!present) return;
    if (verbose) {
        tarn_log_raw("Encoding %s: %.*s\n", name, textLength(atr.value, sizeof(atr.value)),
                     atr.value);
    }
    encodeAtrString(w, type, atr);
}

}  // namespace

bool stunDecodeMessage(const char *buf, unsigned int bufLen, StunMessage &msg, int verbose) {
    if (verbose) tarn_log_raw("Received stun message: %d bytes\n", static_cast<int>(bufLen));
    memset(&msg, 0, sizeof(msg));

    if (buf == nullptr || bufLen < HeaderSize) {
        tarn_log_raw("Bad message\n");
        return false;
    }
    msg.msgHdr.msgType = get16(buf);
    msg.msgHdr.msgLength = get16(buf + 2);
    memcpy(msg.msgHdr.id.octet, buf + 4, sizeof(msg.msgHdr.id.octet));
    if (msg.msgHdr.msgLength + HeaderSize != bufLen) {
        tarn_log_raw("Message header length doesn't match message size: %d - %d\n",
                     msg.msgHdr.msgLength, static_cast<int>(bufLen));
        return false;
    }

    const char *body = buf + HeaderSize;
    unsigned int size = msg.msgHdr.msgLength;
    while (size > 0) {
        // A tail shorter than an attribute header reads as much as is there
        // and is then refused like any other oversized attribute.
        char atrHdr[AttributeHeaderSize] = {};
        memcpy(atrHdr, body, size < AttributeHeaderSize ? size : AttributeHeaderSize);
        const uint16_t type = get16(atrHdr);
        const unsigned int len = get16(atrHdr + 2);
        if (len + AttributeHeaderSize > size) {
            tarn_log_raw("claims attribute is larger than size of message (attribute type=%d)\n",
                         type);
            return false;
        }
        if (!decodeAttribute(type, body + AttributeHeaderSize, len, msg, verbose)) return false;
        // A last value may come without its padding.
        unsigned int step = AttributeHeaderSize + len + padding(len);
        if (step > size) step = size;
        body += step;
        size -= step;
    }
    return true;
}

unsigned int stunEncodeMessage(const StunMessage &msg, char *buf, unsigned int bufLen,
                               const StunAtrString &password, int verbose) {
    TARN_ASSERT(bufLen >= sizeof(StunMsgHdr), "the header must fit");
    Writer w{buf, bufLen, 0, false};

    w.u16(msg.msgHdr.msgType);
    w.u16(0);  // length, known at the end
    w.bytes(msg.msgHdr.id.octet, sizeof(msg.msgHdr.id.octet));
    if (verbose) tarn_log_raw("Encoding stun message: \n");

    encodeAddressIf(w, msg.hasMappedAddress, MappedAddress, msg.mappedAddress,
                    "Encoding MappedAddress: ", verbose);
    encodeAddressIf(w, msg.hasResponseAddress, ResponseAddress, msg.responseAddress,
                    "Encoding ResponseAddress: ", verbose);
    if (msg.hasChangeRequest) {
        if (verbose)
            tarn_log_raw("Encoding ChangeRequest: %d\n", static_cast<int>(msg.changeRequest));
        w.header(ChangeRequest, 4);
        w.u32(msg.changeRequest);
    }
    encodeAddressIf(w, msg.hasSourceAddress, SourceAddress, msg.sourceAddress,
                    "Encoding SourceAddress: ", verbose);
    encodeAddressIf(w, msg.hasChangedAddress, ChangedAddress, msg.changedAddress,
                    "Encoding ChangedAddress: ", verbose);
    encodeStringIf(w, msg.hasUsername, Username, msg.username, "Username", verbose);
    encodeStringIf(w, msg.hasPassword, Password, msg.password, "Password", verbose);
    if (msg.hasErrorCode) {
        if (verbose) {
            const StunAtrError &e = msg.errorCode;
            tarn_log_raw("Encoding ErrorCode: class=%d number=%d reason=%.*s\n", e.errorClass,
                         e.number, textLength(e.reason, sizeof(e.reason)), e.reason);
        }
        encodeAtrError(w, msg.errorCode);
    }
    if (msg.hasUnknownAttributes) {
        if (verbose) tarn_log_raw("Encoding UnknownAttribute: ???\n");
        encodeAtrUnknown(w, msg.unknownAttributes);
    }
    encodeAddressIf(w, msg.hasReflectedFrom, ReflectedFrom, msg.reflectedFrom,
                    "Encoding ReflectedFrom: ", verbose);
    encodeAddressIf(w, msg.hasXorMappedAddress, XorMappedAddress, msg.xorMappedAddress,
                    "Encoding XorMappedAddress: ", verbose);
    if (msg.xorOnly) {
        if (verbose) tarn_log_raw("Encoding xorOnly: \n");
        w.header(XorOnly, 0);
    }
    encodeStringIf(w, msg.hasServerName, ServerName, msg.serverName, "ServerName", verbose);
    encodeAddressIf(w, msg.hasSecondaryAddress, SecondaryAddress, msg.secondaryAddress,
                    "Encoding SecondaryAddress: ", verbose);

    if (password.sizeValue > 0) {
        if (verbose) {
            tarn_log_raw("HMAC with password: %.*s\n",
                         textLength(password.value, sizeof(password.value)), password.value);
        }
        // A fixed placeholder instead of the RFC 3489 section 11.2.8 HMAC:
        // no peer of this client checks it, and the password stays local.
        w.header(MessageIntegrity, IntegritySize);
        w.bytes(IntegrityPlaceholder, IntegritySize);
    }
    if (verbose) tarn_log_raw("\n");

    if (w.overflow) return 0;
    const unsigned int bodyLen = w.pos - HeaderSize;
    buf[2] = static_cast<char>(bodyLen >> 8);
    buf[3] = static_cast<char>(bodyLen);
    return w.pos;
}

int nextRandom() {
    uint32_t r;
    random_bytes(&r, sizeof(r));
    return static_cast<int>(r & 0x7FFFFFFF);
}

void stunNewTransactionId(StunMsgId *id, unsigned int tag) {
    random_bytes(id->octet, sizeof(id->octet));
    // The first octet tags the request with its test; the other fifteen are
    // what makes an answer unforgeable.
    if (tag != 0) id->octet[0] = static_cast<uint8_t>(tag);
}

bool stunSameId(const StunMsgId &a, const StunMsgId &b) {
    return memcmp(a.octet, b.octet, sizeof(a.octet)) == 0;
}

bool stunIsBindingResponse(const StunMessage &msg) {
    return msg.msgHdr.msgType == BindResponseMsg && msg.hasMappedAddress &&
           msg.mappedAddress.family == FamilyIPv4 && msg.mappedAddress.ipv4.addr != 0 &&
           msg.mappedAddress.ipv4.port != 0;
}

void stunBuildReqSimple(StunMessage *msg, const StunAtrString &username, int changePort,
                        int changeIp, unsigned int id) {
    TARN_ASSERT(msg != nullptr, "a message to build into");
    memset(msg, 0, sizeof(*msg));
    msg->msgHdr.msgType = BindRequestMsg;
    stunNewTransactionId(&msg->msgHdr.id, id);

    msg->hasChangeRequest = 1;
    msg->changeRequest = (changeIp ? ChangeIpFlag : 0) | (changePort ? ChangePortFlag : 0);

    if (username.sizeValue > 0) {
        msg->hasUsername = 1;
        msg->username = username;
    }
}

int stunBuildBindingRequest(char *buf, int bufLen, const StunMsgId &id) {
    if (buf == nullptr || bufLen < BindingRequestSize) return -1;
    StunMessage req;
    StunAtrString empty;
    memset(&empty, 0, sizeof(empty));
    stunBuildReqSimple(&req, empty, 0, 0, 1);
    req.msgHdr.id = id;
    const unsigned int len =
        stunEncodeMessage(req, buf, static_cast<unsigned int>(bufLen), empty, 0);
    if (len == 0 || len > static_cast<unsigned int>(bufLen)) return -1;
    return static_cast<int>(len);
}

int stunParseBindingResponse(const char *buf, int len, const StunMsgId &id, char *out,
                             int verbose) {
    StunMessage resp;
    if (len < 0) len = 0;  // refused as too short below
    if (!stunDecodeMessage(buf, static_cast<unsigned int>(len), resp, verbose)) return -1;
    if (verbose) {
        tarn_log_raw("Received message of type %d id=%d\n", resp.msgHdr.msgType,
                     resp.msgHdr.id.octet[0]);
    }
    if (resp.msgHdr.id.octet[0] != 1) {
        tarn_log_raw("resp.msgHdr.id.octet[0] is %c\n", resp.msgHdr.id.octet[0]);
        return -1;
    }
    // The whole id, not its tag: anyone can send a datagram tagged 1, only
    // the server that got our request knows the other fifteen octets. An
    // error answer or one without an IPv4 mapping tells nothing.
    if (!stunSameId(resp.msgHdr.id, id) || !stunIsBindingResponse(resp)) {
        if (verbose) tarn_log_raw("not the binding response to our request\n");
        return -1;
    }
    ipv4_format(out, IPV4_TEXT_MAX, resp.mappedAddress.ipv4.addr, resp.mappedAddress.ipv4.port);
    return 0;
}
