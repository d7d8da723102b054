// libFuzzer entry for the STUN codec: arbitrary datagrams into the decoder,
// and whatever decodes back through the encoder.
//
// What decodes must encode, and the encoding must be a fixed point: decoding
// it again and re-encoding gives the same bytes. The one exception is
// UnknownAttribute, which is written as 2 bytes per type but read as one
// type per 4 bytes, so its list shrinks on every pass.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "stun/stun.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 65535 + 20) return 0;  // beyond any UDP datagram
    StunMessage msg;
    if (!stunDecodeMessage(reinterpret_cast<const char *>(data), static_cast<unsigned int>(size),
                           msg, 0)) {
        return 0;
    }

    StunAtrString noPassword;
    memset(&noPassword, 0, sizeof(noPassword));
    char first[2048];
    const unsigned int n = stunEncodeMessage(msg, first, sizeof(first), noPassword, 0);
    if (n < 20) abort();

    StunMessage again;
    const bool ok = stunDecodeMessage(first, n, again, 0);
    if (msg.hasUnknownAttributes) return 0;
    if (!ok) abort();
    char second[2048];
    const unsigned int m = stunEncodeMessage(again, second, sizeof(second), noPassword, 0);
    if (m != n || memcmp(first, second, n) != 0) abort();
    return 0;
}
