// The media test stream: generation and chunked verification (the CRC-32 of
// what the media stand-in received is checked by the daemon tests).
#include "test_pattern.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<uint8_t> stream(uint64_t offset, size_t len) {
    std::vector<uint8_t> v(len);
    test_pattern_fill(offset, v.data(), len);
    return v;
}

// The first bad offset a fresh checker finds in data fed in chunks of 1000.
int64_t first_error(const std::vector<uint8_t> &data, uint64_t *errors = nullptr) {
    test_pattern_check c;
    test_pattern_check_init(&c);
    for (size_t pos = 0; pos < data.size(); pos += 1000)
        test_pattern_check_data(&c, data.data() + pos, std::min<size_t>(1000, data.size() - pos));
    if (errors) *errors = c.errors;
    return c.first_error;
}

TEST(TestPattern, BytesAndChecker) {
    // Top byte of i * 2654435761 mod 2^32; the stream repeats every 4 GiB.
    EXPECT_EQ(stream(0, 4), (std::vector<uint8_t>{0, 158, 60, 218}));
    EXPECT_EQ(test_pattern_byte(0xffffffffull), 97);
    EXPECT_EQ(test_pattern_byte(0x100000001ull), 158);

    std::vector<uint8_t> data = stream(0, 50000);
    EXPECT_EQ(first_error(data), -1);
    // Flipped bytes, on and off chunk boundaries: counted, the first located.
    for (size_t bad : {size_t(0), size_t(999), size_t(1000), size_t(49999)}) {
        std::vector<uint8_t> copy = data;
        copy[bad] ^= 0x01;
        copy[bad / 2 + 25000] ^= 0x80;
        uint64_t errors = 0;
        EXPECT_EQ(first_error(copy, &errors), static_cast<int64_t>(std::min(bad, bad / 2 + 25000)));
        EXPECT_EQ(errors, bad == 49999 ? 1u : 2u) << bad;
    }
    // Lost chunks of sizes a transport loses, including powers of two that a
    // pattern of period 256 would miss: found where they happened.
    const size_t at = 6000;
    for (size_t gap : {size_t(1), size_t(256), size_t(1420), size_t(65536), size_t(1) << 24}) {
        std::vector<uint8_t> lost = stream(0, at), after = stream(at + gap, 3000);
        lost.insert(lost.end(), after.begin(), after.end());
        EXPECT_EQ(first_error(lost), static_cast<int64_t>(at)) << "lost " << gap;
    }
}

}  // namespace
