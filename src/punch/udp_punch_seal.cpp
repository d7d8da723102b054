// A private session's keys and stream states, wiped when they go.
#include "punch/udp_punch_seal.h"

#include <new>

punch_seal *punch_seal_new(const unsigned char *session_key) {
    auto *s = new (std::nothrow) punch_seal;
    if (!s) return nullptr;
    if (seal_derive(session_key, SEAL_DEVICE, &s->keys) < 0) {
        punch_seal_free(s);
        return nullptr;
    }
    seal_pull_init(&s->pull, s->keys.stream_in);
    return s;
}

void punch_seal_free(punch_seal *s) {
    if (!s) return;
    seal_wipe(s, sizeof(*s));
    delete s;
}
