// libFuzzer entry for the control request parser: whatever a local client
// sends, as the read callback hands it over (at most 1499 bytes, terminated).
// A parse that succeeds must leave every text field of the record terminated.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "control/libcloud.h"

namespace {

template <size_t N>
void check_terminated(const char (&field)[N]) {
    if (!memchr(field, 0, N)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The parser logs every request; the fuzzer's own report is on stderr.
    if (!freopen("/dev/null", "w", stdout)) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    char text[1500] = {0};
    memcpy(text, data, size < sizeof(text) - 1 ? size : sizeof(text) - 1);
    control_request req;
    memset(&req, 0, sizeof(req));
    if (libcloud_parse_request(text, &req) != 0) return 0;
    if (req.type == REQ_PREPARE_P2P) {
        const prepare_p2p_params &p = req.prepare;
        check_terminated(p.version);
        check_terminated(p.stun_server);
        check_terminated(p.peer_pub_ip);
        check_terminated(p.peer_pri_ip);
        if (p.peer_pub_port < 0 || p.peer_pub_port > 65535) abort();
        if (p.peer_pri_port < 0 || p.peer_pri_port > 65535) abort();
    } else if (req.type == REQ_IS_P2P_READY) {
        check_terminated(req.ready.sid);
    } else if (req.type < REQ_PREPARE_P2P || req.type > REQ_SHARE_INFO) {
        abort();
    }
    return 0;
}
