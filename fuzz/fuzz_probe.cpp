// libFuzzer entry for the punch probe recogniser: any datagram against any
// session id. The first input byte splits the rest into the id and the
// datagram. A SYN is exactly what stun_send_syn_ex would send for that id.
// The same datagram is also judged as a private session's probe: accepted
// only when the plain judgement agrees and the tag fits after the zero.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "punch/udp_punch.h"
#include "util/seal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const size_t cut = data[0] < size - 1 ? data[0] : size - 1;
    const std::string token(reinterpret_cast<const char *>(data + 1), cut);  // may hold NULs
    const char *dgram = reinterpret_cast<const char *>(data + 1 + cut);
    const int len = static_cast<int>(size - 1 - cut);

    const int kind = punch_probe_kind(dgram, len, token.c_str(), nullptr);
    if (kind != PUNCH_TRASH && kind != PUNCH_SYN && kind != PUNCH_ACK) abort();
    // Only the token's text up to its first NUL, cut to 511, is on the wire.
    const size_t n = strnlen(token.c_str(), 511);
    if (kind == PUNCH_SYN && (n == 0 ? len < 1 : static_cast<size_t>(len) < n)) abort();

    static const uint8_t key[SEAL_KEY_BYTES] = {7};
    const int keyed = punch_probe_kind(dgram, len, token.c_str(), key);
    if (keyed == PUNCH_SYN || keyed == PUNCH_ACK) {
        if (keyed != kind || static_cast<size_t>(len) < n + 1 + SEAL_TAG_BYTES) abort();
    } else if (keyed != (kind == PUNCH_TRASH ? PUNCH_TRASH : PUNCH_REFUSED)) {
        abort();
    }
    return 0;
}
