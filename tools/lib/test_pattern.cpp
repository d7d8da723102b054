#include "test_pattern.h"

namespace {

constexpr uint32_t kMultiplier = 2654435761u;

// Table of the reflected polynomial 0xEDB88320, built once on first use.
struct Crc32Table {
    uint32_t entry[256];
    Crc32Table() {
        for (uint32_t n = 0; n < 256; n++) {
            uint32_t c = n;
            for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            entry[n] = c;
        }
    }
};

}  // namespace

uint8_t test_pattern_byte(uint64_t offset) {
    return static_cast<uint8_t>((static_cast<uint32_t>(offset) * kMultiplier) >> 24);
}

void test_pattern_fill(uint64_t offset, uint8_t *buf, size_t len) {
    // One addition per byte instead of a multiplication.
    uint32_t x = static_cast<uint32_t>(offset) * kMultiplier;
    for (size_t i = 0; i < len; i++) {
        buf[i] = static_cast<uint8_t>(x >> 24);
        x += kMultiplier;
    }
}

void test_pattern_check_init(struct test_pattern_check *c) {
    c->offset = 0;
    c->errors = 0;
    c->first_error = -1;
}

uint64_t test_pattern_check_data(struct test_pattern_check *c, const uint8_t *buf, size_t len) {
    uint32_t x = static_cast<uint32_t>(c->offset) * kMultiplier;
    uint64_t bad = 0;
    for (size_t i = 0; i < len; i++) {
        if (buf[i] != static_cast<uint8_t>(x >> 24)) {
            if (c->first_error < 0) c->first_error = static_cast<int64_t>(c->offset + i);
            bad++;
        }
        x += kMultiplier;
    }
    c->offset += len;
    c->errors += bad;
    return bad;
}

uint32_t test_pattern_crc32(uint32_t crc, const uint8_t *buf, size_t len) {
    static const Crc32Table table;  // thread-safe local static, no start-up side effects
    crc = ~crc;
    for (size_t i = 0; i < len; i++) crc = table.entry[(crc ^ buf[i]) & 0xff] ^ (crc >> 8);
    return ~crc;
}
