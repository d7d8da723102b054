// STUN message codec: wire layout both ways, the decoder's refusals with
// their diagnostics, and the binding request / response wrappers.
#include "stun/stun.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Attrs = std::vector<std::pair<int, int>>;  // type, length

// A Binding Response captured from Debian's coturn 4.6.1 (on 203.0.113.1 and
// .2, port 3478) answering a classic request tagged 1 from 203.0.113.10:40000.
const Bytes kCoturnResponse = {
    0x01, 0x01, 0x00, 0x40,  // Binding Response, 64 bytes of attributes
    0x01, 0x02, 0x03, 0x04,  // transaction id, tag 1 in its first octet
    0x05, 0x06, 0x07, 0x08,  //
    0x09, 0x0A, 0x0B, 0x0C,  //
    0x0D, 0x0E, 0x0F, 0x10,  //
    0x00, 0x01, 0x00, 0x08,  // offset 20: MAPPED-ADDRESS, 8 bytes
    0x00, 0x01, 0x9C, 0x40,  //   pad, IPv4, port 40000
    0xCB, 0x00, 0x71, 0x0A,  //   203.0.113.10
    0x00, 0x04, 0x00, 0x08,  // offset 32: SOURCE-ADDRESS, 8 bytes
    0x00, 0x01, 0x0D, 0x96,  //   pad, IPv4, port 3478
    0xCB, 0x00, 0x71, 0x01,  //   203.0.113.1
    0x00, 0x05, 0x00, 0x08,  // offset 44: CHANGED-ADDRESS, 8 bytes
    0x00, 0x01, 0x0D, 0x97,  //   pad, IPv4, port 3479
    0xCB, 0x00, 0x71, 0x02,  //   203.0.113.2
    0x80, 0x22, 0x00, 0x18,  // offset 56: SERVER-NAME, 24 bytes
    'C',  'o',  't',  'u',   //   "Coturn-4.6.1 'Gorst'"
    'r',  'n',  '-',  '4',   //
    '.',  '6',  '.',  '1',   //
    ' ',  '\'', 'G',  'o',   //
    'r',  's',  't',  '\'',  //
    0x00, 0x00, 0x00, 0x00,  //   NUL padding
};

const Bytes kMappedAttr = {
    0x00, 0x01, 0x00, 0x08,  // MappedAddress, 8 bytes
    0x00, 0x01, 0x1F, 0x90,  // pad, IPv4, port 8080
    0xC0, 0x00, 0x02, 0x07,  // 192.0.2.7
};

constexpr uint32_t ip(int a, int b, int c, int d) {
    return static_cast<uint32_t>(a << 24 | b << 16 | c << 8 | d);
}

Bytes operator+(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A message of type 0x0101 tagged 1 whose header length matches attrs.
Bytes message(const Bytes &attrs) {
    Bytes m = {0x01, 0x01, static_cast<uint8_t>(attrs.size() >> 8),
               static_cast<uint8_t>(attrs.size()), 1};
    for (uint8_t i = 2; i <= 16; i++) m.push_back(i);
    return m + attrs;
}

// One attribute: type and length, both big-endian, then the value.
Bytes attribute(uint16_t type, const Bytes &value) {
    return Bytes{static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type),
                 static_cast<uint8_t>(value.size() >> 8), static_cast<uint8_t>(value.size())} +
           value;
}

struct Decoded {
    bool ok;
    StunMessage msg;
    std::string err;
};

// Decodes from a heap copy of exactly the datagram's size at an odd address:
// a read past the end or an unaligned wide load trips the sanitizers.
Decoded decode(const Bytes &wire, int verbose = 0) {
    std::unique_ptr<char[]> block(new char[wire.size() + 1]);
    if (!wire.empty()) memcpy(block.get() + 1, wire.data(), wire.size());
    Decoded d;
    memset(&d.msg, 0x5A, sizeof(d.msg));  // the decoder zeroes it
    testing::internal::CaptureStderr();
    d.ok =
        stunDecodeMessage(block.get() + 1, static_cast<unsigned int>(wire.size()), d.msg, verbose);
    d.err = testing::internal::GetCapturedStderr();
    return d;
}

void setString(StunAtrString &s, const std::string &text) {
    memcpy(s.value, text.data(), text.size());
    s.sizeValue = static_cast<uint16_t>(text.size());
}

struct Encoded {
    Bytes wire;
    std::string err;
};

Encoded encode(const StunMessage &msg, const char *password = "", int verbose = 0) {
    StunAtrString pw{};
    setString(pw, password);
    char buf[2048];
    testing::internal::CaptureStderr();
    unsigned int n = stunEncodeMessage(msg, buf, sizeof(buf), pw, verbose);
    return Encoded{Bytes(buf, buf + n), testing::internal::GetCapturedStderr()};
}

// Attribute types and lengths, walked independently of the codec; values
// are padded to four bytes.
Attrs attributeList(const Bytes &wire) {
    Attrs list;
    size_t pos = 20;
    while (pos + 4 <= wire.size()) {
        list.emplace_back(wire[pos] << 8 | wire[pos + 1], wire[pos + 2] << 8 | wire[pos + 3]);
        pos += 4 + (list.back().second + 3) / 4 * 4;
    }
    EXPECT_EQ(pos, wire.size());
    return list;
}

// The id of kCoturnResponse and of message(): octets 1 to 16.
StunMsgId messageId() {
    StunMsgId id;
    for (uint8_t i = 0; i < 16; i++) id.octet[i] = static_cast<uint8_t>(i + 1);
    return id;
}

int parse(const Bytes &wire, char *out, std::string *err, int len = -2) {
    testing::internal::CaptureStderr();
    int rc = stunParseBindingResponse(reinterpret_cast<const char *>(wire.data()),
                                      len == -2 ? static_cast<int>(wire.size()) : len, messageId(),
                                      out, 0);
    *err = testing::internal::GetCapturedStderr();
    return rc;
}

TEST(StunDecode, CoturnResponseToAClassicRequest) {
    Decoded d = decode(kCoturnResponse);
    ASSERT_TRUE(d.ok) << d.err;
    EXPECT_EQ(d.err, "");  // quiet unless verbose
    EXPECT_EQ(d.msg.msgHdr.msgType, 0x0101);
    EXPECT_EQ(d.msg.msgHdr.id.octet[15], 0x10);
    EXPECT_EQ(d.msg.mappedAddress.ipv4.addr, ip(203, 0, 113, 10));
    EXPECT_EQ(d.msg.changedAddress.ipv4.port, 3479);
    EXPECT_EQ(d.msg.serverName.sizeValue, 24);
    EXPECT_EQ(d.msg.hasChangeRequest + d.msg.hasErrorCode + d.msg.xorOnly, 0);

    // The verbose dump pins every address, port and the server name.
    EXPECT_EQ(decode(kCoturnResponse, 1).err,
              "Received stun message: 84 bytes\n"
              "MappedAddress = 203.0.113.10:40000\n"
              "SourceAddress = 203.0.113.1:3478\n"
              "ChangedAddress = 203.0.113.2:3479\n"
              "ServerName = Coturn-4.6.1 'Gorst'\n");

    char out[22];
    std::string err;
    EXPECT_EQ(parse(kCoturnResponse, out, &err), 0);
    EXPECT_EQ(err, "");
    EXPECT_STREQ(out, "203.0.113.10:40000");
}

// Raw cuts fail on the header. Cuts with the header length fixed up walk into
// a partial attribute and fail there, except at attribute boundaries.
TEST(StunDecode, EveryTruncationOfAResponse) {
    const std::pair<size_t, int> starts[] = {
        {20, 0x0001}, {32, 0x0004}, {44, 0x0005}, {56, 0x8022}};
    for (size_t n = 0; n < kCoturnResponse.size(); n++) {
        SCOPED_TRACE("cut at " + std::to_string(n));
        Bytes cut(kCoturnResponse.begin(), kCoturnResponse.begin() + n);
        Decoded raw = decode(cut);
        EXPECT_FALSE(raw.ok);
        if (n < 20) {
            EXPECT_EQ(raw.err, "Bad message\n");
            continue;
        }
        EXPECT_EQ(raw.err, "Message header length doesn't match message size: 64 - " +
                               std::to_string(n) + "\n");

        cut[2] = static_cast<uint8_t>((n - 20) >> 8);
        cut[3] = static_cast<uint8_t>(n - 20);
        Decoded fixed = decode(cut);
        size_t at = 0;
        int type = 0;
        for (const auto &s : starts) {
            if (s.first <= n) std::tie(at, type) = s;
        }
        EXPECT_EQ(fixed.ok, at == n) << fixed.err;
        if (at != n) {
            // With one byte left only the high byte of the type is there.
            if (n - at == 1) type &= 0xFF00;
            EXPECT_EQ(fixed.err,
                      "claims attribute is larger than size of message (attribute type=" +
                          std::to_string(type) + ")\n");
        }
        // Whole attributes before the cut stay decoded.
        EXPECT_EQ(fixed.msg.hasMappedAddress, n >= 32 ? 1 : 0);
        EXPECT_EQ(fixed.msg.hasChangedAddress, n >= 56 ? 1 : 0);
        EXPECT_EQ(fixed.msg.hasServerName, 0);
    }
}

// An address attribute value: pad, family, port 4660, 10.11.12.13, padded
// with zeros to len bytes.
Bytes address(uint8_t family, size_t len = 8) {
    Bytes v = {0x7E, family, 0x12, 0x34, 0x0A, 0x0B, 0x0C, 0x0D};
    v.resize(len);
    return v;
}

TEST(StunDecode, Refusals) {
    struct Case {
        Bytes attrs;
        std::string err;
        int32_t StunMessage::*flag;  // set even though the value was refused
    };
    const Case cases[] = {
        {{
             0x00, 0x01, 0x00, 0x0C,  // MappedAddress claiming 12 bytes
             0x00, 0x01, 0x1F, 0x90,  // with only 8 there
             0xC0, 0x00, 0x02, 0x07,  //
         },
         "claims attribute is larger than size of message (attribute type=1)\n",
         nullptr},
        {Bytes{
             0x7F, 0xFF, 0x00, 0x00,  // unknown type below 0x8000
         } + kMappedAttr,
         "", nullptr},
        {attribute(0x0001, address(1, 12)),
         "hdrLen wrong for Address\nproblem parsing MappedAddress\n",
         &StunMessage::hasMappedAddress},
        {attribute(0x0001, address(0)), "bad address family: 0\nproblem parsing MappedAddress\n",
         &StunMessage::hasMappedAddress},
        {attribute(0x0002, address(2)), "ipv6 not supported\nproblem parsing ResponseAddress\n",
         &StunMessage::hasResponseAddress},
        {attribute(0x0004, address(2)), "ipv6 not supported\nproblem parsing SourceAddress\n",
         &StunMessage::hasSourceAddress},
        {attribute(0x0005, address(2)), "ipv6 not supported\nproblem parsing ChangedAddress\n",
         &StunMessage::hasChangedAddress},
        {attribute(0x000B, address(2)), "ipv6 not supported\nproblem parsing ReflectedFrom\n",
         &StunMessage::hasReflectedFrom},
        {attribute(0x8020, address(2)), "ipv6 not supported\nproblem parsing XorMappedAddressn\n",
         &StunMessage::hasXorMappedAddress},
        {attribute(0x8050, address(2)), "ipv6 not supported\nproblem parsing secondaryAddress\n",
         &StunMessage::hasSecondaryAddress},
        {{
             0x00, 0x03, 0x00, 0x03,  // ChangeRequest of 3 bytes
             0x00, 0x00, 0x06,        //
         },
         "hdr length = 3 expecting 4\nIncorrect size for ChangeRequest\n"
         "problem parsing ChangeRequest\n",
         &StunMessage::hasChangeRequest},
        {attribute(0x0006, Bytes(256, 'x')), "String is too large\nproblem parsing Username\n",
         &StunMessage::hasUsername},
        {attribute(0x8022, Bytes(258, 'x')), "String is too large\nproblem parsing ServerName\n",
         &StunMessage::hasServerName},
        {attribute(0x0008, Bytes(19, 0xAB)),
         "MessageIntegrity must be 20 bytes\nproblem parsing MessageIntegrity\n",
         &StunMessage::hasMessageIntegrity},
        {attribute(0x0009, Bytes(262, 'r')), "head on Error too large\nproblem parsing ErrorCode\n",
         &StunMessage::hasErrorCode},
        {{
             0x00, 0x09, 0x00, 0x03,  // ErrorCode of 3 bytes: no room for class and number
             0x00, 0x00, 0x05,        //
         },
         "problem parsing ErrorCode\n",
         &StunMessage::hasErrorCode},
        {attribute(0x000A, Bytes(20, 0x01)), "problem parsing UnknownAttribute\n",
         &StunMessage::hasUnknownAttributes},
        {attribute(0x000A, Bytes(6, 0x01)), "problem parsing UnknownAttribute\n",
         &StunMessage::hasUnknownAttributes},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.err);
        Decoded d = decode(message(c.attrs));
        EXPECT_FALSE(d.ok);
        EXPECT_EQ(d.err, c.err);
        if (c.flag) {
            EXPECT_EQ(d.msg.*c.flag, 1);
        }
        EXPECT_EQ(d.msg.hasMappedAddress, c.flag == &StunMessage::hasMappedAddress ? 1 : 0);
    }

    Decoded d = decode(message({}) + Bytes{0x00});  // one byte the header does not count
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.err, "Message header length doesn't match message size: 0 - 21\n");
    EXPECT_EQ(decode(message(attribute(0x7FFF, {})), 1).err,
              "Received stun message: 24 bytes\nUnknown attribute: 32767\n");
}

TEST(StunDecode, AcceptedEdges) {
    Decoded d = decode(message({}));
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(d.msg.msgHdr.id.octet[1], 2);

    // 0x8000 and up: skipped, with the RFC 5389 padding after the value.
    d = decode(message(attribute(0x8000, {0xDE, 0xAD, 0, 0}) + kMappedAttr));
    EXPECT_TRUE(d.ok) << d.err;
    EXPECT_EQ(d.msg.mappedAddress.ipv4.addr, ip(192, 0, 2, 7));
    d = decode(message(Bytes{0x80, 0x01, 0x00, 0x05, 1, 2, 3, 4, 5, 0, 0, 0} + kMappedAttr));
    EXPECT_TRUE(d.ok) << d.err;
    EXPECT_EQ(d.msg.mappedAddress.ipv4.port, 8080);

    d = decode(message(Bytes{
                           0x00, 0x21, 0x00, 0x03,  // XorOnly with 3 value bytes
                           0xAA, 0xBB, 0xCC, 0x00,  // skipped with its padding
                       } +
                       kMappedAttr));
    EXPECT_TRUE(d.ok) << d.err;
    EXPECT_EQ(d.msg.xorOnly, 1);
    EXPECT_EQ(d.msg.mappedAddress.ipv4.port, 8080);

    // An RFC 5389 SOFTWARE (0x8022) of 22 bytes and 2 of padding, as the last
    // attribute even without them.
    for (const Bytes &pad : {Bytes{0, 0}, Bytes{}}) {
        d = decode(message(kMappedAttr + attribute(0x8022, Bytes(22, 's')) + pad));
        EXPECT_TRUE(d.ok) << d.err;
        EXPECT_EQ(d.msg.serverName.sizeValue, 22);
        EXPECT_EQ(strlen(d.msg.serverName.value), 22u);
        EXPECT_EQ(attributeList(encode(d.msg).wire), (Attrs{{0x0001, 8}, {0x8022, 22}}));
    }

    d = decode(message(attribute(0x0006, Bytes(252, 'x'))));  // longest string accepted
    EXPECT_TRUE(d.ok) << d.err;
    EXPECT_EQ(d.msg.username.sizeValue, 252);
    EXPECT_EQ(strlen(d.msg.username.value), 252u);

    d = decode(message({
                   0x00, 0x09, 0x00, 0x10,  // ErrorCode, 16 bytes
                   0x00, 0x00, 0x04, 0x01,  // pad, class 4, number 1
                   'U',  'n',  'a',  'u',   // "Unauthorized"
                   't',  'h',  'o',  'r',   //
                   'i',  'z',  'e',  'd',   //
               }),
               1);
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(d.msg.errorCode.reasonLength, 12);
    EXPECT_EQ(d.err, "Received stun message: 40 bytes\nErrorCode = 4 1 Unauthorized\n");

    // A 261-byte ErrorCode: its 257-byte reason keeps 255 bytes and the NUL.
    d = decode(message(attribute(0x0009, Bytes{0x00, 0x00, 0x05, 0x00} + Bytes(257, 'r'))));
    EXPECT_TRUE(d.ok) << d.err;
    EXPECT_EQ(d.msg.errorCode.reasonLength, 255);
    EXPECT_EQ(strlen(d.msg.errorCode.reason), 255u);
    EXPECT_EQ(attributeList(encode(d.msg).wire), (Attrs{{0x0009, 259}}));

    d = decode(message({
        0x00, 0x0A, 0x00, 0x10,  // UnknownAttribute, 16 bytes
        0x00, 0x21, 0x80, 0x22,  // 0x0021, 0x8022
        0x00, 0x0F, 0x7F, 0xFF,  // 0x000F, 0x7FFF
        0x11, 0x11, 0x22, 0x22,  //
        0x33, 0x33, 0x44, 0x44,  //
    }));
    EXPECT_TRUE(d.ok) << d.err;
    // length / 4 types, taken from the front of the list.
    EXPECT_EQ(d.msg.unknownAttributes.typeCount, 4);
    EXPECT_EQ(d.msg.unknownAttributes.types[1], 0x8022);
    EXPECT_EQ(d.msg.unknownAttributes.types[3], 0x7FFF);
}

TEST(StunEncode, ResponseMatchesTheCapturedBytes) {
    StunMessage msg{};
    msg.msgHdr.msgType = 0x0101;
    for (int i = 0; i < 16; i++) msg.msgHdr.id.octet[i] = static_cast<uint8_t>(i + 1);
    msg.hasMappedAddress = msg.hasSourceAddress = msg.hasChangedAddress = msg.hasServerName = 1;
    msg.mappedAddress = {0, 1, {40000, ip(203, 0, 113, 10)}};
    msg.sourceAddress = {0, 1, {3478, ip(203, 0, 113, 1)}};
    msg.changedAddress = {0, 1, {3479, ip(203, 0, 113, 2)}};
    setString(msg.serverName, std::string("Coturn-4.6.1 'Gorst'\0\0\0\0", 24));

    Encoded e = encode(msg, "", 1);
    EXPECT_EQ(e.wire, kCoturnResponse);
    EXPECT_EQ(e.err,
              "Encoding stun message: \n"
              "Encoding MappedAddress: 203.0.113.10:40000\n"
              "Encoding SourceAddress: 203.0.113.1:3478\n"
              "Encoding ChangedAddress: 203.0.113.2:3479\n"
              "Encoding ServerName: Coturn-4.6.1 'Gorst'\n"
              "\n");
}

TEST(StunEncode, RequestWithUsernameAndPassword) {
    StunAtrString user{};
    setString(user, "user");
    StunMessage msg;
    stunBuildReqSimple(&msg, user, 1, 1, 7);
    Encoded e = encode(msg, "secret", 1);

    Bytes id(msg.msgHdr.id.octet, msg.msgHdr.id.octet + 16);
    EXPECT_EQ(id[0], 7);
    const Bytes head = {
        0x00, 0x01, 0x00, 0x28,  // Binding Request, 40 bytes of attributes
    };
    const Bytes attrs = {
        0x00, 0x03, 0x00, 0x04,  // ChangeRequest
        0x00, 0x00, 0x00, 0x06,  // change IP (4) and port (2)
        0x00, 0x06, 0x00, 0x04,  // Username, 4 bytes
        'u',  's',  'e',  'r',   //
        0x00, 0x08, 0x00, 0x14,  // MessageIntegrity, 20 bytes, last
        'h',  'm',  'a',  'c',   // a placeholder; the password
        '-',  'n',  'o',  't',   // never goes on the wire
        '-',  'i',  'm',  'p',   //
        'l',  'e',  'm',  'e',   //
        'n',  't',  'e',  'd',   //
    };
    EXPECT_EQ(e.wire, head + id + attrs);
    EXPECT_EQ(e.err,
              "Encoding stun message: \nEncoding ChangeRequest: 6\nEncoding Username: user\n"
              "HMAC with password: secret\n\n");
}

TEST(StunEncode, EveryAttributeInOrderAndBack) {
    StunMessage msg{};
    msg.msgHdr.msgType = 0x0111;
    StunAtrAddress StunMessage::*const addresses[] = {
        &StunMessage::mappedAddress,   &StunMessage::responseAddress,
        &StunMessage::sourceAddress,   &StunMessage::changedAddress,
        &StunMessage::reflectedFrom,   &StunMessage::xorMappedAddress,
        &StunMessage::secondaryAddress};
    for (int i = 0; i < 7; i++) {
        // Family 2 in the record: the wire always says 1.
        msg.*addresses[i] = {static_cast<uint8_t>(0x50 + i),
                             2,
                             {static_cast<uint16_t>(1000 + i), ip(10, 0, 0, i + 1)}};
    }
    msg.hasMappedAddress = msg.hasResponseAddress = msg.hasSourceAddress = 1;
    msg.hasChangedAddress = msg.hasReflectedFrom = msg.hasXorMappedAddress = 1;
    msg.hasSecondaryAddress = msg.hasChangeRequest = msg.hasUsername = msg.hasPassword = 1;
    msg.hasErrorCode = msg.hasUnknownAttributes = msg.xorOnly = msg.hasServerName = 1;
    msg.changeRequest = 0x04;
    setString(msg.username, "alice---");
    setString(msg.password, "pw--");
    setString(msg.serverName, "srv0");
    msg.errorCode = {0, 4, 20, "Unknown", 7};  // an 11-byte value, no padding after it
    msg.unknownAttributes = {{0x0030, 0x0031}, 2};
    msg.hasMessageIntegrity = 1;  // only a password brings it onto the wire

    Encoded e = encode(msg);
    EXPECT_EQ(attributeList(e.wire), (Attrs{{0x0001, 8},
                                            {0x0002, 8},
                                            {0x0003, 4},
                                            {0x0004, 8},
                                            {0x0005, 8},
                                            {0x0006, 8},
                                            {0x0007, 4},
                                            {0x0009, 11},
                                            {0x000A, 4},
                                            {0x000B, 8},
                                            {0x8020, 8},
                                            {0x0021, 0},
                                            {0x8022, 4},
                                            {0x8050, 8}}));
    ASSERT_GE(e.wire.size(), 20u);
    EXPECT_EQ(e.wire[2] << 8 | e.wire[3], static_cast<int>(e.wire.size()) - 20);

    Decoded d = decode(e.wire);
    ASSERT_TRUE(d.ok) << d.err;
    EXPECT_EQ(d.msg.msgHdr.msgType, 0x0111);
    for (int i = 0; i < 7; i++) {
        const StunAtrAddress &a = d.msg.*addresses[i];
        EXPECT_EQ(a.pad, 0x50 + i);
        EXPECT_EQ(a.family, 1);
        EXPECT_EQ(a.ipv4.port, 1000 + i);
        EXPECT_EQ(a.ipv4.addr, ip(10, 0, 0, i + 1));
    }
    EXPECT_EQ(d.msg.changeRequest, 0x04u);
    EXPECT_STREQ(d.msg.username.value, "alice---");
    EXPECT_STREQ(d.msg.password.value, "pw--");
    EXPECT_STREQ(d.msg.serverName.value, "srv0");
    EXPECT_EQ(d.msg.errorCode.number, 20);
    EXPECT_STREQ(d.msg.errorCode.reason, "Unknown");
    // Written as 2 bytes per type, read back as one type per 4 bytes.
    EXPECT_EQ(d.msg.unknownAttributes.typeCount, 1);
    EXPECT_EQ(d.msg.unknownAttributes.types[0], 0x0030);
    EXPECT_EQ(d.msg.xorOnly, 1);
    EXPECT_EQ(d.msg.hasMessageIntegrity, 0);
}

TEST(StunEncode, StopsAtTheEndOfTheBuffer) {
    StunMessage msg{};
    msg.hasMappedAddress = msg.hasSourceAddress = msg.hasChangedAddress = 1;  // 56 bytes
    StunAtrString none{};
    char buf[64];
    memset(buf, 0x77, sizeof(buf));
    EXPECT_EQ(stunEncodeMessage(msg, buf, 55, none, 0), 0u);
    for (size_t i = 55; i < sizeof(buf); i++) EXPECT_EQ(buf[i], 0x77) << i;
    EXPECT_EQ(stunEncodeMessage(msg, buf, 56, none, 0), 56u);
    EXPECT_EQ(buf[56], 0x77);
}

TEST(StunEncodeDeathTest, Preconditions) {
    StunMessage msg{};
    StunAtrString none{};
    char buf[64];
    EXPECT_DEATH(stunEncodeMessage(msg, buf, 19, none, 0),
                 "Assertion `bufLen >= sizeof \\( StunMsgHdr \\)' failed");
    EXPECT_DEATH(stunBuildReqSimple(nullptr, none, 0, 0, 1), "Assertion `__null != msg' failed");
}

TEST(StunRequest, BuildReqSimple) {
    StunAtrString none{};
    const struct {
        int changePort, changeIp;
        uint32_t flags;
    } cases[] = {{0, 0, 0x00}, {1, 0, 0x02}, {0, 1, 0x04}, {1, 1, 0x06}};
    for (const auto &c : cases) {
        StunMessage msg;
        memset(&msg, 0x5A, sizeof(msg));  // the builder zeroes it
        stunBuildReqSimple(&msg, none, c.changePort, c.changeIp, 0x1234);
        EXPECT_EQ(msg.msgHdr.msgType, 0x0001);
        EXPECT_EQ(msg.msgHdr.id.octet[0], 0x34);  // the tag's low byte
        EXPECT_EQ(msg.changeRequest, c.flags);
        EXPECT_EQ(attributeList(encode(msg).wire), (Attrs{{0x0003, 4}}));
    }
}

TEST(StunRequest, BindingRequestIs28Bytes) {
    // Exactly 28 bytes on the heap, so a write past them trips the sanitizer.
    std::unique_ptr<char[]> buf(new char[28]);
    StunMsgId id;
    stunNewTransactionId(&id, 1);
    ASSERT_EQ(stunBuildBindingRequest(buf.get(), 28, id), 28);
    const Bytes wire(buf.get(), buf.get() + 28);
    EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 5), (Bytes{
                                                         0x00, 0x01, 0x00, 0x08,  // Binding
                                                         0x01,                    // tag 1
                                                     }));
    EXPECT_EQ(Bytes(wire.begin() + 4, wire.begin() + 20), Bytes(id.octet, id.octet + 16));
    EXPECT_EQ(Bytes(wire.begin() + 20, wire.end()), (Bytes{
                                                        0x00, 0x03, 0x00, 0x04,  // ChangeRequest
                                                        0x00, 0x00, 0x00, 0x00,  // no change
                                                    }));
    char small[28];
    memset(small, 0x77, sizeof(small));
    EXPECT_EQ(stunBuildBindingRequest(small, 27, id), -1);
    EXPECT_EQ(small[0], 0x77);
    EXPECT_EQ(stunBuildBindingRequest(nullptr, 2048, id), -1);

    // Fifteen octets from the CSPRNG: ids never repeat.
    StunMsgId other;
    stunNewTransactionId(&other, 1);
    EXPECT_FALSE(stunSameId(id, other));
}

TEST(StunResponse, OnlyTheAnswerToOurRequestCounts) {
    char out[22];
    std::string err;
    EXPECT_EQ(parse(kCoturnResponse, out, &err), 0) << err;
    EXPECT_STREQ(out, "203.0.113.10:40000");
    // RFC 5389 padding after an odd-length SOFTWARE does not hide the answer.
    EXPECT_EQ(parse(message(attribute(0x8022, Bytes(7, 's')) + Bytes{0} + kMappedAttr), out, &err),
              0)
        << err;
    EXPECT_STREQ(out, "192.0.2.7:8080");

    Bytes other = kCoturnResponse;
    other[4] = 'A';  // not our tag: printed as a character even when quiet
    EXPECT_EQ(parse(other, out, &err), -1);
    EXPECT_EQ(err, "resp.msgHdr.id.octet[0] is A\n");

    Bytes stranger = kCoturnResponse;
    stranger[19] ^= 1;  // tag 1, but not the id we sent
    Bytes error = kCoturnResponse;
    error[1] = 0x11;  // Binding Error Response
    Bytes request = kCoturnResponse;
    request[0] = 0x00;  // a Binding Request
    Bytes unmapped = kCoturnResponse;
    unmapped[27] = unmapped[28] = unmapped[29] = unmapped[30] = unmapped[31] = 0;  // 0.0.0.0:0
    const Bytes refused[] = {
        stranger,
        error,
        request,
        unmapped,
        message({}),                             // no MappedAddress at all
        message(attribute(0x0001, address(2))),  // IPv6 only
        message(attribute(0x0004, Bytes(kMappedAttr.begin() + 4, kMappedAttr.end()))),
        Bytes(kCoturnResponse.begin(), kCoturnResponse.end() - 4),  // truncated
        kCoturnResponse + Bytes(2000, 0),                           // oversize
    };
    for (const Bytes &wire : refused) {
        EXPECT_EQ(parse(wire, out, &err), -1) << wire.size();
    }
    EXPECT_EQ(parse(kCoturnResponse, out, &err, -1), -1);
    EXPECT_EQ(err, "Bad message\n");

    std::unique_ptr<char[]> text(new char[22]);  // the widest text fits exactly
    stunAddressToString(text.get(), StunAddress4{65535, 0xFFFFFFFF});
    EXPECT_STREQ(text.get(), "255.255.255.255:65535");
}

}  // namespace
