// STUN message codec as the daemon uses it: answers decoded (coturn's bytes,
// refusals), requests encoded, and the binding request / response
// wrappers. The encoder's other attributes have no caller but the fuzzer.
#include "stun/stun.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
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

// Decodes from a heap copy of exactly the datagram's size at an odd address:
// a read past the end or an unaligned wide load trips the sanitizers.
bool decode(const Bytes &wire, StunMessage *msg) {
    std::unique_ptr<char[]> block(new char[wire.size() + 1]);
    if (!wire.empty()) memcpy(block.get() + 1, wire.data(), wire.size());
    memset(msg, 0x5A, sizeof(*msg));  // the decoder zeroes it
    return stunDecodeMessage(block.get() + 1, static_cast<unsigned int>(wire.size()), *msg, 0);
}

Bytes encode(const StunMessage &msg) {
    StunAtrString pw{};
    char buf[2048];
    unsigned int n = stunEncodeMessage(msg, buf, sizeof(buf), pw, 0);
    return Bytes(buf, buf + n);
}

int parse(const Bytes &wire, char *out, int len = -2) {
    StunMsgId id;
    for (uint8_t i = 0; i < 16; i++) id.octet[i] = static_cast<uint8_t>(i + 1);
    return stunParseBindingResponse(reinterpret_cast<const char *>(wire.data()),
                                    len == -2 ? static_cast<int>(wire.size()) : len, id, out, 0);
}

// Every address and port in network order, as a big-endian slip would not be.
TEST(StunDecode, CoturnResponse) {
    StunMessage msg;
    ASSERT_TRUE(decode(kCoturnResponse, &msg));
    EXPECT_EQ(msg.msgHdr.msgType, 0x0101);
    EXPECT_EQ(msg.mappedAddress.ipv4.addr, ip(203, 0, 113, 10));
    EXPECT_EQ(msg.mappedAddress.ipv4.port, 40000);
    EXPECT_EQ(msg.changedAddress.ipv4.addr, ip(203, 0, 113, 2));
    EXPECT_EQ(msg.changedAddress.ipv4.port, 3479);
}

// An address attribute value: pad, family, port 4660, 10.11.12.13, padded
// with zeros to len bytes.
Bytes address(uint8_t family, size_t len = 8) {
    Bytes v = {0x7E, family, 0x12, 0x34, 0x0A, 0x0B, 0x0C, 0x0D};
    v.resize(len);
    return v;
}

// Each message has one thing wrong; the attribute's flag is set even though
// its value was refused.
TEST(StunDecode, Refusals) {
    struct Case {
        Bytes attrs;
        int32_t StunMessage::*flag;
    } cases[] = {
        {hex("0001 000C 0001 1F90 C0000207"), nullptr},  // claims 12 bytes, 8 there
        {hex("7FFF 0000") + kMappedAttr, nullptr},       // unknown type below 0x8000
        {attribute(0x0001, address(1, 12)), &StunMessage::hasMappedAddress},
        {attribute(0x0001, address(0)), &StunMessage::hasMappedAddress},     // bad family
        {attribute(0x8020, address(2)), &StunMessage::hasXorMappedAddress},  // IPv6
        {hex("0003 0003 000006"), &StunMessage::hasChangeRequest},
        {attribute(0x0006, Bytes(256, 'x')), &StunMessage::hasUsername},
        {attribute(0x8022, Bytes(258, 'x')), &StunMessage::hasServerName},
        {attribute(0x0008, Bytes(19, 0xAB)), &StunMessage::hasMessageIntegrity},
        {attribute(0x0009, Bytes(262, 'r')), &StunMessage::hasErrorCode},
        {hex("0009 0003 000005"), &StunMessage::hasErrorCode},  // no room for class and number
        {attribute(0x000A, Bytes(20, 0x01)), &StunMessage::hasUnknownAttributes},
    };
    for (const Case &c : cases) {
        const Bytes wire = message(c.attrs);
        SCOPED_TRACE(testing::PrintToString(wire));
        StunMessage msg;
        EXPECT_FALSE(decode(wire, &msg));
        if (c.flag) {
            EXPECT_EQ(msg.*c.flag, 1);
        }
        EXPECT_EQ(msg.hasMappedAddress, c.flag == &StunMessage::hasMappedAddress ? 1 : 0);
    }
    StunMessage msg;
    EXPECT_FALSE(decode(message({}) + Bytes{0x00}, &msg));  // a byte the header does not count
}

TEST(StunDecode, AcceptedEdges) {
    // 0x8000 and up, and XorOnly: skipped with the padding after the value.
    StunMessage msg;
    for (const Bytes &skipped : {hex("8000 0004 DEAD0000"), hex("8001 0005 0102030405 000000"),
                                 hex("0021 0003 AABBCC00")}) {
        EXPECT_TRUE(decode(message(skipped + kMappedAttr), &msg));
        EXPECT_EQ(msg.mappedAddress.ipv4.port, 8080);
    }
    // Error and unknown-attribute lists the daemon never reads, kept in bounds.
    EXPECT_TRUE(decode(message(attribute(0x0009, hex("00000500") + Bytes(257, 'r'))), &msg));
    EXPECT_TRUE(decode(message(hex("000A 0010 0021 8022 000F 7FFF 11112222 33334444")), &msg));
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
        EXPECT_EQ(msg.msgHdr.id.octet[0], 0x34);  // the tag's low byte
        EXPECT_EQ(encode(msg), hex("0001 0008") +
                                   Bytes(msg.msgHdr.id.octet, msg.msgHdr.id.octet + 16) +
                                   hex("0003 0004 000000") + Bytes{uint8_t(c.flags)});
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

TEST(StunResponse, OnlyTheAnswerToOurRequestCounts) {
    char out[22];
    EXPECT_EQ(parse(kCoturnResponse, out), 0);
    EXPECT_STREQ(out, "203.0.113.10:40000");
    // The widest text fits exactly: 22 bytes on the heap.
    std::unique_ptr<char[]> text(new char[22]);
    EXPECT_EQ(parse(message(attribute(0x0001, hex("0001 FFFF FFFFFFFF"))), text.get()), 0);
    EXPECT_STREQ(text.get(), "255.255.255.255:65535");

    Bytes other = kCoturnResponse;
    other[4] = 'A';  // not our tag
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
        other,
        stranger,
        error,
        request,
        unmapped,
        message(attribute(0x0004, Bytes(kMappedAttr.begin() + 4, kMappedAttr.end()))),
        message(attribute(0x0001, address(2))),
        Bytes(kCoturnResponse.begin(), kCoturnResponse.end() - 4),
        kCoturnResponse + Bytes(2000, 0)};
    for (const Bytes &wire : refused) {
        EXPECT_EQ(parse(wire, out), -1) << testing::PrintToString(wire);
    }
    EXPECT_EQ(parse(kCoturnResponse, out, -1), -1);
}

}  // namespace
