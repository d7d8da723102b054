// The media test stream: generation, chunked verification, and the CRC-32
// the media stand-in prints for what it received.
#include "util/test_pattern.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

std::vector<uint8_t> stream(uint64_t offset, size_t len) {
    std::vector<uint8_t> v(len);
    test_pattern_fill(offset, v.data(), len);
    return v;
}

// Feeds data to a fresh checker in the given chunk sizes (cycled).
test_pattern_check check_in_chunks(const std::vector<uint8_t> &data,
                                   const std::vector<size_t> &chunks) {
    test_pattern_check c;
    test_pattern_check_init(&c);
    size_t pos = 0;
    for (size_t k = 0; pos < data.size(); k++) {
        size_t n = std::min(chunks[k % chunks.size()], data.size() - pos);
        test_pattern_check_data(&c, data.data() + pos, n);
        pos += n;
    }
    return c;
}

TEST(TestPattern, DocumentedBytes) {
    // top byte of i * 2654435761 mod 2^32
    EXPECT_EQ(test_pattern_byte(0), 0);    // 0x00000000
    EXPECT_EQ(test_pattern_byte(1), 158);  // 0x9e3779b1
    EXPECT_EQ(test_pattern_byte(2), 60);   // 0x3c6ef362
    EXPECT_EQ(test_pattern_byte(3), 218);  // 0xdaa66d13
    // The offset is taken modulo 2^32: the stream repeats every 4 GiB.
    EXPECT_EQ(test_pattern_byte(0xffffffffull), 97);  // 0x61c88647
    EXPECT_EQ(test_pattern_byte(0x100000001ull), 158);
}

TEST(TestPattern, FillAgreesWithByteAtAnyOffset) {
    for (uint64_t start : {0ull, 1ull, 4095ull, 0xfffffff0ull, 0x123456789ull}) {
        std::vector<uint8_t> v = stream(start, 40);
        for (size_t i = 0; i < v.size(); i++)
            ASSERT_EQ(v[i], test_pattern_byte(start + i)) << "start " << start << " i " << i;
    }
    // A fill that starts mid-stream continues the fill before it.
    std::vector<uint8_t> whole = stream(0, 5000), tail = stream(1234, 3766);
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), whole.begin() + 1234));
}

TEST(TestPatternCheck, CleanStreamInAnyChunking) {
    std::vector<uint8_t> data = stream(0, 200000);
    for (const auto &chunks :
         std::vector<std::vector<size_t>>{{200000}, {1}, {2048}, {1420, 7, 8192}, {3, 65536, 1}}) {
        test_pattern_check c = check_in_chunks(data, chunks);
        EXPECT_EQ(c.offset, data.size());
        EXPECT_EQ(c.errors, 0u);
        EXPECT_EQ(c.first_error, -1);
    }
}

TEST(TestPatternCheck, CorruptedByteFoundAtItsOffset) {
    std::vector<uint8_t> data = stream(0, 50000);
    // One byte in the middle of a later chunk, one on a chunk boundary.
    for (size_t bad : {size_t(0), size_t(2047), size_t(2048), size_t(30001), size_t(49999)}) {
        std::vector<uint8_t> copy = data;
        copy[bad] ^= 0x01;
        test_pattern_check c = check_in_chunks(copy, {2048});
        EXPECT_EQ(c.errors, 1u) << bad;
        EXPECT_EQ(c.first_error, static_cast<int64_t>(bad));
    }
    // The return value counts the bad bytes of that chunk only.
    test_pattern_check c;
    test_pattern_check_init(&c);
    std::vector<uint8_t> copy = data;
    copy[10] ^= 0xff;
    copy[20] ^= 0xff;
    EXPECT_EQ(test_pattern_check_data(&c, copy.data(), 16), 1u);
    EXPECT_EQ(test_pattern_check_data(&c, copy.data() + 16, 16), 1u);
    EXPECT_EQ(test_pattern_check_data(&c, copy.data() + 32, 100), 0u);
    EXPECT_EQ(c.errors, 2u);
    EXPECT_EQ(c.first_error, 10);
}

TEST(TestPatternCheck, LostOrRepeatedChunkFoundWhereItHappened) {
    // Sizes a transport loses or repeats: a byte, a UDT segment, pump chunks,
    // and powers of two that a pattern of period 256 would miss.
    const size_t at = 6000;
    for (size_t gap : {size_t(1), size_t(251), size_t(256), size_t(1420), size_t(2048),
                       size_t(8192), size_t(65536), size_t(1) << 24}) {
        std::vector<uint8_t> head = stream(0, at), after = stream(at + gap, 3000);
        std::vector<uint8_t> lost = head;
        lost.insert(lost.end(), after.begin(), after.end());
        test_pattern_check c = check_in_chunks(lost, {1000});
        EXPECT_EQ(c.first_error, static_cast<int64_t>(at)) << "lost " << gap;

        if (gap > at) continue;
        std::vector<uint8_t> again = stream(0, at), rest = stream(at - gap, 3000);
        again.insert(again.end(), rest.begin(), rest.end());
        c = check_in_chunks(again, {1000});
        EXPECT_EQ(c.first_error, static_cast<int64_t>(at)) << "repeated " << gap;
    }
}

TEST(TestPatternCrc32, KnownValuesAndChunking) {
    const char *check = "123456789";
    EXPECT_EQ(test_pattern_crc32(0, reinterpret_cast<const uint8_t *>(check), 9), 0xCBF43926u);
    EXPECT_EQ(test_pattern_crc32(0, nullptr, 0), 0u);
    // The same value whatever the chunking, as a stream recorder feeds it.
    std::vector<uint8_t> data = stream(0, 10000);
    uint32_t whole = test_pattern_crc32(0, data.data(), data.size());
    uint32_t parts = 0;
    for (size_t pos = 0; pos < data.size(); pos += 999)
        parts =
            test_pattern_crc32(parts, data.data() + pos, std::min<size_t>(999, data.size() - pos));
    EXPECT_EQ(parts, whole);
    EXPECT_EQ(whole, 0x5e42f6b9u);  // zlib.crc32 of the first 10000 pattern bytes
}

}  // namespace
