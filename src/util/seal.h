// Private sessions: what a 32-byte session key, handed by the cloud to both
// ends, adds to a session. Probes carry a 16-byte tag after their zero byte,
// and each direction of the media stream is a libsodium secretstream of
// length-prefixed frames. docs/tools.md gives the byte layouts; tarn-peer is
// the viewer's side of the same code. No state is shared between sessions.
#pragma once

#include <sodium.h>

#include <cstddef>
#include <cstdint>

constexpr size_t SEAL_KEY_BYTES = 32;
constexpr size_t SEAL_TAG_BYTES = 16;
constexpr size_t SEAL_HEADER_BYTES = crypto_secretstream_xchacha20poly1305_HEADERBYTES;
// Plaintext per frame: the bridge's chunk.
constexpr size_t SEAL_FRAME_MAX = 8192;
// Length prefix and the cipher's tag and MAC.
constexpr size_t SEAL_FRAME_OVERHEAD = 2 + crypto_secretstream_xchacha20poly1305_ABYTES;

enum seal_role { SEAL_DEVICE = 0, SEAL_VIEWER = 1 };

// One end's keys, derived from the session key for its role.
struct seal_keys {
    uint8_t probe_out[SEAL_KEY_BYTES];  // tags the probes we send
    uint8_t probe_in[SEAL_KEY_BYTES];   // checks the probes we accept
    uint8_t stream_out[SEAL_KEY_BYTES];
    uint8_t stream_in[SEAL_KEY_BYTES];
};

// Exactly 64 hexadecimal digits, either case, into key. 0 or -1.
int seal_parse_key(const char *hex, uint8_t key[SEAL_KEY_BYTES]);
// 0, or -1 when libsodium cannot start.
int seal_derive(const uint8_t key[SEAL_KEY_BYTES], int role, seal_keys *out);
void seal_wipe(void *p, size_t len);

// The tag of a probe: id is the text as it goes on the wire (already cut),
// without its ACK increment.
void seal_probe_tag(const uint8_t key[SEAL_KEY_BYTES], int is_ack, const char *id, size_t id_len,
                    uint8_t tag[SEAL_TAG_BYTES]);
// True when the tag is the probe's, compared in constant time.
bool seal_probe_tag_ok(const uint8_t key[SEAL_KEY_BYTES], int is_ack, const char *id, size_t id_len,
                       const uint8_t *tag);

// Our direction: the header once, then frames.
struct seal_push {
    crypto_secretstream_xchacha20poly1305_state st;
};
void seal_push_init(seal_push *p, const uint8_t key[SEAL_KEY_BYTES],
                    uint8_t header[SEAL_HEADER_BYTES]);
// Seals len (1..SEAL_FRAME_MAX) bytes into out, which has room for
// len + SEAL_FRAME_OVERHEAD; returns the frame's length, or -1 for a bad len.
int seal_push_frame(seal_push *p, const uint8_t *plain, size_t len, uint8_t *out);

// The peer's direction, fed as it arrives: the header, then frames, each
// opened once it is whole.
struct seal_pull {
    crypto_secretstream_xchacha20poly1305_state st;
    uint8_t key[SEAL_KEY_BYTES];
    bool started;  // the header is in
    bool failed;   // SEAL_BAD was returned
    size_t have;   // bytes of the header or of the frame collected so far
    uint8_t buf[SEAL_FRAME_MAX + SEAL_FRAME_OVERHEAD];
};
// Called with each frame's plaintext; a negative result stops the feed.
typedef int (*seal_deliver_fn)(void *arg, const uint8_t *plain, size_t len);
void seal_pull_init(seal_pull *p, const uint8_t key[SEAL_KEY_BYTES]);
enum { SEAL_OK = 0, SEAL_BAD = -1, SEAL_DELIVER_FAILED = -2 };
// SEAL_BAD once a frame has a length out of range, fails to authenticate or
// is not a plain message frame, and for every feed after that.
int seal_pull_feed(seal_pull *p, const uint8_t *in, size_t len, seal_deliver_fn deliver, void *arg);

// One end of a private session: its keys and both stream states.
struct seal_session {
    seal_keys keys;
    seal_push push;  // ours, started (seal_push_init) when the stream opens
    seal_pull pull;  // the peer's, ready to be fed
};
// Keys derived for role; null on failure. Free with seal_session_free.
seal_session *seal_session_new(const uint8_t key[SEAL_KEY_BYTES], int role);
// Wipes and frees; nothing on null.
void seal_session_free(seal_session *s);
