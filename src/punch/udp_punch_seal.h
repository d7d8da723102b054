// A private session's side of the punch: keys for the probe tags, and the
// two stream states of the UDT phase. Owned by the punch state.
#pragma once

#include "util/seal.h"

struct punch_seal {
    seal_keys keys;
    seal_push push;  // device to viewer; started when UDT comes up
    seal_pull pull;  // viewer to device
};

// Keys derived for the device's role from the session key; null on failure.
punch_seal *punch_seal_new(const unsigned char *session_key);
// Wipes and frees; nothing on null.
void punch_seal_free(punch_seal *s);
