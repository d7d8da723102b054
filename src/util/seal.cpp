// Private sessions: key derivation, probe tags and the framed secretstream.
// Pure functions over caller-owned records; any thread.
#include "util/seal.h"

#include <cstring>
#include <new>

namespace {

constexpr char kKdfContext[crypto_kdf_CONTEXTBYTES + 1] = "tarn-p2p";
// Subkey ids. Each direction has keys of its own, so nothing one end sends,
// probe or frame, is ever accepted when reflected back to it.
enum : uint64_t {
    kViewerProbes = 1,
    kDeviceProbes = 2,
    kViewerStream = 3,
    kDeviceStream = 4,
};
constexpr uint8_t kSynKind = 'S';
constexpr uint8_t kAckKind = 'A';
constexpr size_t kLenBytes = 2;
constexpr size_t kCipherMin = crypto_secretstream_xchacha20poly1305_ABYTES + 1;
constexpr size_t kCipherMax = crypto_secretstream_xchacha20poly1305_ABYTES + SEAL_FRAME_MAX;

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

size_t frame_length(const uint8_t *p) {
    return static_cast<size_t>(p[0]) << 8 | p[1];
}

}  // namespace

int seal_parse_key(const char *hex, uint8_t key[SEAL_KEY_BYTES]) {
    if (!hex || strlen(hex) != 2 * SEAL_KEY_BYTES) return -1;
    for (size_t i = 0; i < SEAL_KEY_BYTES; i++) {
        int hi = hex_digit(hex[2 * i]);
        int lo = hex_digit(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            seal_wipe(key, SEAL_KEY_BYTES);
            return -1;
        }
        key[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return 0;
}

int seal_derive(const uint8_t key[SEAL_KEY_BYTES], int role, seal_keys *out) {
    if (sodium_init() < 0) return -1;
    bool device = role == SEAL_DEVICE;
    struct {
        uint8_t *sub;
        uint64_t id;
    } plan[] = {
        {out->probe_out, device ? kDeviceProbes : kViewerProbes},
        {out->probe_in, device ? kViewerProbes : kDeviceProbes},
        {out->stream_out, device ? kDeviceStream : kViewerStream},
        {out->stream_in, device ? kViewerStream : kDeviceStream},
    };
    for (const auto &p : plan) {
        if (crypto_kdf_derive_from_key(p.sub, SEAL_KEY_BYTES, p.id, kKdfContext, key) != 0) {
            seal_wipe(out, sizeof(*out));
            return -1;
        }
    }
    return 0;
}

void seal_wipe(void *p, size_t len) {
    sodium_memzero(p, len);
}

void seal_probe_tag(const uint8_t key[SEAL_KEY_BYTES], int is_ack, const char *id, size_t id_len,
                    uint8_t tag[SEAL_TAG_BYTES]) {
    crypto_generichash_state h;
    crypto_generichash_init(&h, key, SEAL_KEY_BYTES, SEAL_TAG_BYTES);
    const uint8_t kind = is_ack ? kAckKind : kSynKind;
    crypto_generichash_update(&h, &kind, 1);
    crypto_generichash_update(&h, reinterpret_cast<const uint8_t *>(id), id_len);
    crypto_generichash_final(&h, tag, SEAL_TAG_BYTES);
}

bool seal_probe_tag_ok(const uint8_t key[SEAL_KEY_BYTES], int is_ack, const char *id, size_t id_len,
                       const uint8_t *tag) {
    uint8_t want[SEAL_TAG_BYTES];
    seal_probe_tag(key, is_ack, id, id_len, want);
    return sodium_memcmp(want, tag, SEAL_TAG_BYTES) == 0;
}

void seal_push_init(seal_push *p, const uint8_t key[SEAL_KEY_BYTES],
                    uint8_t header[SEAL_HEADER_BYTES]) {
    crypto_secretstream_xchacha20poly1305_init_push(&p->st, header, key);
}

int seal_push_frame(seal_push *p, const uint8_t *plain, size_t len, uint8_t *out) {
    if (len == 0 || len > SEAL_FRAME_MAX) return -1;
    unsigned long long clen = 0;
    crypto_secretstream_xchacha20poly1305_push(&p->st, out + kLenBytes, &clen, plain, len, nullptr,
                                               0,
                                               crypto_secretstream_xchacha20poly1305_TAG_MESSAGE);
    out[0] = static_cast<uint8_t>(clen >> 8);
    out[1] = static_cast<uint8_t>(clen);
    return static_cast<int>(kLenBytes + clen);
}

void seal_pull_init(seal_pull *p, const uint8_t key[SEAL_KEY_BYTES]) {
    memcpy(p->key, key, SEAL_KEY_BYTES);
    p->started = false;
    p->failed = false;
    p->have = 0;
}

int seal_pull_feed(seal_pull *p, const uint8_t *in, size_t len, seal_deliver_fn deliver,
                   void *arg) {
    // Once broken, always broken: the collected bytes no longer frame anything.
    if (p->failed) return SEAL_BAD;
    while (len > 0) {
        // How much the piece being collected still needs: the header, a
        // length prefix, or the frame that prefix announced.
        size_t need = SEAL_HEADER_BYTES;
        if (p->started) {
            need = p->have < kLenBytes ? kLenBytes : kLenBytes + frame_length(p->buf);
        }
        size_t take = need - p->have < len ? need - p->have : len;
        memcpy(p->buf + p->have, in, take);
        p->have += take;
        in += take;
        len -= take;
        if (p->have < need) continue;
        if (!p->started) {
            crypto_secretstream_xchacha20poly1305_init_pull(&p->st, p->buf, p->key);
            seal_wipe(p->key, sizeof(p->key));
            p->started = true;
            p->have = 0;
            continue;
        }
        if (need == kLenBytes) {  // the prefix is in; now its frame
            size_t clen = frame_length(p->buf);
            if (clen < kCipherMin || clen > kCipherMax) {
                p->failed = true;
                return SEAL_BAD;
            }
            continue;
        }
        uint8_t plain[SEAL_FRAME_MAX];
        unsigned long long mlen = 0;
        unsigned char tag = 0;
        if (crypto_secretstream_xchacha20poly1305_pull(&p->st, plain, &mlen, &tag,
                                                       p->buf + kLenBytes, need - kLenBytes,
                                                       nullptr, 0) != 0 ||
            tag != crypto_secretstream_xchacha20poly1305_TAG_MESSAGE) {
            p->failed = true;
            return SEAL_BAD;
        }
        p->have = 0;
        int r = deliver(arg, plain, static_cast<size_t>(mlen));
        seal_wipe(plain, static_cast<size_t>(mlen));
        if (r < 0) return SEAL_DELIVER_FAILED;
    }
    return SEAL_OK;
}

seal_session *seal_session_new(const uint8_t key[SEAL_KEY_BYTES], int role) {
    auto *s = new (std::nothrow) seal_session;
    if (!s) return nullptr;
    if (seal_derive(key, role, &s->keys) < 0) {
        seal_session_free(s);
        return nullptr;
    }
    seal_pull_init(&s->pull, s->keys.stream_in);
    return s;
}

void seal_session_free(seal_session *s) {
    if (!s) return;
    seal_wipe(s, sizeof(*s));
    delete s;
}
