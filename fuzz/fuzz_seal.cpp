// libFuzzer entry for the frame decoder of private sessions: one direction of
// a stream, sealed with a fixed key, fed in pieces. The first four input bytes
// are the piece sizes, used in turn (0: all that is left), so frames and
// headers arrive cut anywhere; the rest is the stream. The seeds in
// fuzz/corpus/seal are real streams under the same key, so mutations reach
// past the header and the first length prefix; the largest seed holds two
// largest frames, since libFuzzer never grows an input past its largest seed
// and a prefix just over the limit needs a whole frame's bytes behind it.
//
// Every delivery is one whole frame: 1..SEAL_FRAME_MAX bytes, each delivered
// frame having taken its plaintext plus SEAL_FRAME_OVERHEAD bytes of input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "util/seal.h"

namespace {

constexpr size_t kPieceBytes = 4;

struct Count {
    size_t frames_bytes;  // input that delivered frames took
};

int check(void *arg, const uint8_t *plain, size_t len) {
    (void)plain;
    if (len < 1 || len > SEAL_FRAME_MAX) abort();
    static_cast<Count *>(arg)->frames_bytes += len + SEAL_FRAME_OVERHEAD;
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < kPieceBytes) return 0;
    uint8_t key[SEAL_KEY_BYTES];
    for (size_t i = 0; i < SEAL_KEY_BYTES; i++) key[i] = static_cast<uint8_t>(i);
    seal_pull pull;
    seal_pull_init(&pull, key);

    const uint8_t *pieces = data;
    const uint8_t *in = data + kPieceBytes;
    const size_t len = size - kPieceBytes;
    Count count{0};
    size_t off = 0;
    for (size_t i = 0; off < len; i++) {
        size_t n = pieces[i % kPieceBytes] ? pieces[i % kPieceBytes] : len - off;
        if (n > len - off) n = len - off;
        const int rc = seal_pull_feed(&pull, in + off, n, check, &count);
        off += n;
        // Nothing may be fed after a failure: the stream is dead.
        if (rc == SEAL_BAD) break;
        if (rc != SEAL_OK) abort();
    }
    if (count.frames_bytes > 0 && SEAL_HEADER_BYTES + count.frames_bytes > off) abort();
    return 0;
}
