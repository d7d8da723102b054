#include "udt_viewer.h"

#include <sys/socket.h>

#include "punch/udp_punch.h"
#include "punch/udt_api.h"

// The daemon's 16 KB buffer and 32-packet window cap a download at a fraction
// of what the device sends. Only the receiving end sees these; nothing of it
// goes on the wire but the window the handshake announces.
int udt_viewer_socket(int udp_fd, int udp_rcvbuf, bool device_options, int mss) {
    int u = build_udt_socket(-1);
    if (u < 0) return -1;
    // The window first: UDT cuts the receive buffer down to it.
    const int window = UDT_VIEWER_WINDOW;
    const int rcvbuf = UDT_VIEWER_RCVBUF;
    bool ok =
        device_options || (udt_setsockopt(u, 0, UDT_OPT_FC, &window, sizeof(window)) == 0 &&
                           udt_setsockopt(u, 0, UDT_OPT_RCVBUF, &rcvbuf, sizeof(rcvbuf)) == 0);
    if (ok && mss > 0) ok = udt_setsockopt(u, 0, UDT_OPT_MSS, &mss, sizeof(mss)) == 0;
    if (ok && udp_rcvbuf > 0)
        ok = udt_setsockopt(u, 0, UDT_OPT_UDP_RCVBUF, &udp_rcvbuf, sizeof(udp_rcvbuf)) == 0;
    // Unlike the device, a viewer that leaves wants what it sent delivered:
    // closing waits for the send buffer to drain, for a while.
    const struct linger drain = {1, 30};
    ok = ok && udt_setsockopt(u, 0, UDT_OPT_LINGER, &drain, sizeof(drain)) == 0;
    // UDT applies the UDP buffer sizes when it binds.
    if (!ok || udt_bind2(u, udp_fd) < 0) {
        udt_close(u);
        return -1;
    }
    return u;
}
