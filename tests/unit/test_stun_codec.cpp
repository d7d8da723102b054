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

// Bytes from hex text; spaces are for reading only.
Bytes hex(const std::string &text) {
    Bytes out;
    std::string digits;
    for (char c : text) {
        if (c != ' ') digits += c;
    }
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}

Bytes operator+(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A Binding Response captured from Debian's coturn 4.6.1 (on 203.0.113.1 and
// .2, port 3478) answering a classic request tagged 1 from 203.0.113.10:40000:
// MAPPED-ADDRESS at offset 20, SOURCE-ADDRESS 203.0.113.1:3478 at 32,
// CHANGED-ADDRESS 203.0.113.2:3479 at 44, a 24-byte SERVER-NAME at 56.
const std::string kServerName("Coturn-4.6.1 'Gorst'\0\0\0\0", 24);
const Bytes kCoturnResponse = hex("0101 0040 0102030405060708090A0B0C0D0E0F10"
                                  "0001 0008 0001 9C40 CB00710A"
                                  "0004 0008 0001 0D96 CB007101"
                                  "0005 0008 0001 0D97 CB007102"
                                  "8022 0018") +
                              Bytes(kServerName.begin(), kServerName.end());

const Bytes kMappedAttr = hex("0001 0008 0001 1F90 C0000207");  // 192.0.2.7:8080

constexpr uint32_t ip(int a, int b, int c, int d) {
    return static_cast<uint32_t>(a << 24 | b << 16 | c << 8 | d);
}

// A message of type 0x0101 with the id of kCoturnResponse.
Bytes message(const Bytes &attrs) {
    return hex("0101") + Bytes{uint8_t(attrs.size() >> 8), uint8_t(attrs.size())} +
           hex("0102030405060708090A0B0C0D0E0F10") + attrs;
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
    testing::internal::CaptureStdout();
    d.ok =
        stunDecodeMessage(block.get() + 1, static_cast<unsigned int>(wire.size()), d.msg, verbose);
    d.err = testing::internal::GetCapturedStdout();
    return d;
}

void setString(StunAtrString &s, const std::string &text) {
    memcpy(s.value, text.data(), text.size());
    s.sizeValue = static_cast<uint16_t>(text.size());
}

Bytes encode(const StunMessage &msg, std::string *err = nullptr) {
    StunAtrString pw{};
    char buf[2048];
    testing::internal::CaptureStdout();
    unsigned int n = stunEncodeMessage(msg, buf, sizeof(buf), pw, err ? 1 : 0);
    std::string text = testing::internal::GetCapturedStdout();
    if (err) *err = text;
    return Bytes(buf, buf + n);
}

// "TYPE/LENGTH" of each attribute, walked independently of the codec; values
// are padded to four bytes.
std::string attributeList(const Bytes &wire) {
    std::string list;
    size_t pos = 20;
    while (pos + 4 <= wire.size()) {
        char item[16];
        int len = wire[pos + 2] << 8 | wire[pos + 3];
        snprintf(item, sizeof(item), " %04X/%d", wire[pos] << 8 | wire[pos + 1], len);
        list += item;
        pos += 4 + (len + 3) / 4 * 4;
    }
    EXPECT_EQ(pos, wire.size());
    return list;
}

int parse(const Bytes &wire, char *out, std::string *err, int len = -2) {
    StunMsgId id;
    for (uint8_t i = 0; i < 16; i++) id.octet[i] = static_cast<uint8_t>(i + 1);
    testing::internal::CaptureStdout();
    int rc = stunParseBindingResponse(reinterpret_cast<const char *>(wire.data()),
                                      len == -2 ? static_cast<int>(wire.size()) : len, id, out, 0);
    *err = testing::internal::GetCapturedStdout();
    return rc;
}

// Decoded and encoded again, byte for byte; the verbose dumps pin every
// address, port and the server name.
TEST(StunCodec, CoturnResponseBothWays) {
    Decoded d = decode(kCoturnResponse);
    ASSERT_TRUE(d.ok) << d.err;
    EXPECT_EQ(d.err, "");  // quiet unless verbose
    EXPECT_EQ(d.msg.msgHdr.msgType, 0x0101);
    EXPECT_EQ(d.msg.mappedAddress.ipv4.addr, ip(203, 0, 113, 10));
    EXPECT_EQ(d.msg.changedAddress.ipv4.port, 3479);
    EXPECT_EQ(decode(kCoturnResponse, 1).err,
              "Received stun message: 84 bytes\nMappedAddress = 203.0.113.10:40000\n"
              "SourceAddress = 203.0.113.1:3478\nChangedAddress = 203.0.113.2:3479\n"
              "ServerName = Coturn-4.6.1 'Gorst'\n");

    StunMessage msg{};
    msg.msgHdr = d.msg.msgHdr;
    msg.hasMappedAddress = msg.hasSourceAddress = msg.hasChangedAddress = msg.hasServerName = 1;
    msg.mappedAddress = {0, 1, {40000, ip(203, 0, 113, 10)}};
    msg.sourceAddress = {0, 1, {3478, ip(203, 0, 113, 1)}};
    msg.changedAddress = {0, 1, {3479, ip(203, 0, 113, 2)}};
    setString(msg.serverName, kServerName);
    std::string err;
    EXPECT_EQ(encode(msg, &err), kCoturnResponse);
    EXPECT_EQ(err,
              "Encoding stun message: \nEncoding MappedAddress: 203.0.113.10:40000\n"
              "Encoding SourceAddress: 203.0.113.1:3478\nEncoding ChangedAddress: "
              "203.0.113.2:3479\nEncoding ServerName: Coturn-4.6.1 'Gorst'\n\n");

    // The encoder stops at the end of the buffer.
    StunAtrString none{};
    char buf[85];
    memset(buf, 0x77, sizeof(buf));
    EXPECT_EQ(stunEncodeMessage(msg, buf, 83, none, 0), 0u);
    EXPECT_EQ(buf[83], 0x77);
    EXPECT_EQ(stunEncodeMessage(msg, buf, 84, none, 0), 84u);
    EXPECT_EQ(buf[84], 0x77);
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
        {hex("0001 000C 0001 1F90 C0000207"),  // claims 12 bytes, 8 there
         "claims attribute is larger than size of message (attribute type=1)\n", nullptr},
        {hex("7FFF 0000") + kMappedAttr, "", nullptr},  // unknown type below 0x8000
        {attribute(0x0001, address(1, 12)),
         "hdrLen wrong for Address\nproblem parsing MappedAddress\n",
         &StunMessage::hasMappedAddress},
        {attribute(0x0001, address(0)), "bad address family: 0\nproblem parsing MappedAddress\n",
         &StunMessage::hasMappedAddress},
        {attribute(0x8020, address(2)), "ipv6 not supported\nproblem parsing XorMappedAddressn\n",
         &StunMessage::hasXorMappedAddress},
        {hex("0003 0003 000006"),
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
        // No room for class and number.
        {hex("0009 0003 000005"), "problem parsing ErrorCode\n", &StunMessage::hasErrorCode},
        {attribute(0x000A, Bytes(20, 0x01)), "problem parsing UnknownAttribute\n",
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
    // 0x8000 and up, and XorOnly: skipped with the padding after the value.
    Decoded d;
    for (const Bytes &skipped : {hex("8000 0004 DEAD0000"), hex("8001 0005 0102030405 000000"),
                                 hex("0021 0003 AABBCC00")}) {
        d = decode(message(skipped + kMappedAttr));
        EXPECT_TRUE(d.ok) << d.err;
        EXPECT_EQ(d.msg.mappedAddress.ipv4.port, 8080);
    }
    EXPECT_EQ(d.msg.xorOnly, 1);
    // A 261-byte ErrorCode: its 257-byte reason keeps 255 bytes and the NUL.
    d = decode(message(attribute(0x0009, hex("00000500") + Bytes(257, 'r'))));
    EXPECT_TRUE(d.ok) << d.err;
    EXPECT_EQ(strlen(d.msg.errorCode.reason), 255u);
    EXPECT_EQ(attributeList(encode(d.msg)), " 0009/259");
    const std::string reason = "Unauthorized";
    EXPECT_EQ(
        decode(message(hex("0009 0010 00000401") + Bytes(reason.begin(), reason.end())), 1).err,
        "Received stun message: 40 bytes\nErrorCode = 4 1 Unauthorized\n");
    // length / 4 types, taken from the front of the list.
    d = decode(message(hex("000A 0010 0021 8022 000F 7FFF 11112222 33334444")));
    EXPECT_TRUE(d.ok) << d.err;
    EXPECT_EQ(d.msg.unknownAttributes.typeCount, 4);
    EXPECT_EQ(d.msg.unknownAttributes.types[3], 0x7FFF);
}

TEST(StunRequest, BuildersAndIds) {
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
        EXPECT_EQ(attributeList(encode(msg)), " 0003/4");
    }

    // Exactly 28 bytes on the heap, so a write past them trips the sanitizer.
    std::unique_ptr<char[]> buf(new char[28]);
    StunMsgId id, other;
    stunNewTransactionId(&id, 1);
    ASSERT_EQ(stunBuildBindingRequest(buf.get(), 28, id), 28);
    EXPECT_EQ(Bytes(buf.get(), buf.get() + 28),
              hex("0001 0008") + Bytes(id.octet, id.octet + 16) + hex("0003 0004 00000000"));
    EXPECT_EQ(stunBuildBindingRequest(buf.get(), 27, id), -1);
    EXPECT_EQ(stunBuildBindingRequest(nullptr, 2048, id), -1);
    // Fifteen octets from the CSPRNG: ids never repeat.
    stunNewTransactionId(&other, 1);
    EXPECT_EQ(other.octet[0], 1);
    EXPECT_FALSE(stunSameId(id, other));
}

TEST(StunCodec, EveryAttributeInOrderAndBack) {
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

    Bytes wire = encode(msg);
    EXPECT_EQ(attributeList(wire),
              " 0001/8 0002/8 0003/4 0004/8 0005/8 0006/8 0007/4 0009/11 000A/4 000B/8 8020/8"
              " 0021/0 8022/4 8050/8");
    ASSERT_GE(wire.size(), 20u);
    EXPECT_EQ(wire[2] << 8 | wire[3], static_cast<int>(wire.size()) - 20);

    // Decoded and encoded again the same, but for the unknown attributes:
    // written as 2 bytes per type, read back as one type per 4 bytes.
    Decoded d = decode(wire);
    ASSERT_TRUE(d.ok) << d.err;
    EXPECT_EQ(d.msg.unknownAttributes.typeCount, 1);
    d.msg.unknownAttributes = msg.unknownAttributes;
    EXPECT_EQ(encode(d.msg), wire);
    EXPECT_EQ(d.msg.hasMessageIntegrity, 0);
}

TEST(StunResponse, OnlyTheAnswerToOurRequestCounts) {
    char out[22];
    std::string err;
    EXPECT_EQ(parse(kCoturnResponse, out, &err), 0) << err;
    EXPECT_STREQ(out, "203.0.113.10:40000");
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
    // Also refused: no MappedAddress, IPv6 only, truncated, oversize.
    const Bytes refused[] = {
        stranger,
        error,
        request,
        unmapped,
        message(attribute(0x0004, Bytes(kMappedAttr.begin() + 4, kMappedAttr.end()))),
        message(attribute(0x0001, address(2))),
        Bytes(kCoturnResponse.begin(), kCoturnResponse.end() - 4),
        kCoturnResponse + Bytes(2000, 0)};
    for (const Bytes &wire : refused) {
        EXPECT_EQ(parse(wire, out, &err), -1) << wire.size();
    }
    EXPECT_EQ(parse(kCoturnResponse, out, &err, -1), -1);
    EXPECT_EQ(err, "Bad message\n");
}

}  // namespace
