// The media server connection is opened by the first bytes from the
// application and polled by the UDT pump: no events of its own, no buffering.
// Each chunk is sent in one call or dropped.
#include "session/session_bridge.h"

#include <arpa/inet.h>
#include <event2/util.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "session/session.h"
#include "util/log.h"
#include "util/utils.h"

static constexpr char log_unit[] = "session";

namespace {

// Blocking connect to 127.0.0.1: the media server is on this device.
int connect_server(p2p_session *sess) {
    int port = get_stream_port_from_config();
    sess->local_name = "streamd";
    sess->local_port = port;
    if (port == -1) return -1;
    LOG("connecting to local server: %s\n", sess->local_name);

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        struct sockaddr_in sin;
        memset(&sin, 0, sizeof(sin));
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd, reinterpret_cast<struct sockaddr *>(&sin), sizeof(sin)) == 0) {
            sin.sin_port = htons(port);
            if (connect(fd, reinterpret_cast<struct sockaddr *>(&sin), sizeof(sin)) == 0) {
                evutil_make_socket_nonblocking(fd);
                sess->local_fd = fd;
                sess->state = SESS_STREAMING;
                return 0;
            }
            LOG("connect to %s failed, %s\n", sess->local_name, strerror(errno));
        }
    }
    LOG("unable to establish connection with %s\n", sess->local_name);
    if (fd >= 0) close(fd);
    return -1;
}

}  // namespace

int write_local_fd(void *user, const char *data, int len) {
    auto *sess = static_cast<p2p_session *>(user);
    if (!sess || !data) return -1;
    if (sess->local_fd == -1 && connect_server(sess) < 0) return -1;
    if (len <= 0) return 0;
    ssize_t n = send(sess->local_fd, data, len, MSG_NOSIGNAL);
    if (n != len) {
        LOG("failed to send data to %s\n", sess->local_name);
        return -1;
    }
    stat_add_data_recv(&sess->stat, len);
    return 0;
}

int read_local_fd(void *user, char *buf, int capacity) {
    auto *sess = static_cast<p2p_session *>(user);
    if (!sess || sess->local_fd == -1 || capacity <= 0) return 0;
    ssize_t n = recv(sess->local_fd, buf, capacity, MSG_DONTWAIT);
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) return 0;
        stat_set_stop_reason(&sess->stat, 3);
        return -1;
    }
    if (n == 0) {
        stat_set_stop_reason(&sess->stat, 4);
        LOG("connection to local server is closed.");
        close(sess->local_fd);
        sess->local_fd = -1;
        return 0;
    }
    stat_add_data_sent(&sess->stat, static_cast<int32_t>(n));
    return static_cast<int>(n);
}

int local_server_connected(void *user) {
    auto *sess = static_cast<p2p_session *>(user);
    return sess && sess->local_fd != -1 ? 1 : 0;
}
