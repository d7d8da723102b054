// The test stream of the media stand-in and the reference peer: byte i of a
// connection's stream (i counted from 0, restarting per connection) is
//     (uint8_t)(((uint32_t)i * 2654435761u) >> 24)
// i.e. the top byte of i times Knuth's multiplicative constant, modulo 2^32.
// Every byte depends on its offset, so a lost, repeated or reordered chunk
// shows as a mismatch at once, whatever its size.
#pragma once

#include <cstddef>
#include <cstdint>

// Byte at offset of the stream.
uint8_t test_pattern_byte(uint64_t offset);

// Fills buf with the len bytes that start at offset.
void test_pattern_fill(uint64_t offset, uint8_t *buf, size_t len);

// Checks a received stream chunk by chunk.
struct test_pattern_check {
    uint64_t offset;      // bytes checked so far
    uint64_t errors;      // bytes that differed
    int64_t first_error;  // offset of the first differing byte, -1 while none
};

void test_pattern_check_init(struct test_pattern_check *c);
// Checks the next len bytes; returns how many of them differed.
uint64_t test_pattern_check_data(struct test_pattern_check *c, const uint8_t *buf, size_t len);

// CRC-32 (IEEE 802.3, as zlib's crc32): start with crc 0, feed chunks in order.
uint32_t test_pattern_crc32(uint32_t crc, const uint8_t *buf, size_t len);
