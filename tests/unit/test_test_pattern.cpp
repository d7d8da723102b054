// The viewer's stream checker. The lab roads compare the generator with a
// copy of their own, but trust the checker's error count: only its sight is
// tested here.
#include "test_pattern.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

// A flipped byte (gap 0) or a lost chunk, including powers of two a pattern of
// period 256 would miss, in a stream fed in chunks of 1000.
TEST(TestPattern, CheckerSeesFlipsAndLostChunks) {
    const size_t at = 5999, tail = 3000;
    for (size_t gap : {size_t(0), size_t(1), size_t(256), size_t(65536), size_t(1) << 24}) {
        std::vector<uint8_t> data(at + tail);
        test_pattern_fill(0, data.data(), at);
        test_pattern_fill(at + gap, data.data() + at, tail);
        if (gap == 0) data[at] ^= 0x01;
        test_pattern_check c;
        test_pattern_check_init(&c);
        for (size_t pos = 0; pos < data.size(); pos += 1000)
            test_pattern_check_data(&c, data.data() + pos,
                                    std::min<size_t>(1000, data.size() - pos));
        EXPECT_EQ(c.first_error, static_cast<int64_t>(at)) << "gap " << gap;
        EXPECT_EQ(c.errors == 1, gap == 0) << "gap " << gap << ": " << c.errors;
    }
}

}  // namespace
