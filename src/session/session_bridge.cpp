// The media server connection is opened by the first bytes from the
// application and polled by the UDT pump: no events of its own. The connect
// never waits on the loop: it runs in the background and the pump's calls
// see it through, for at most kConnectTimeoutMs; bytes from the application
// wait in local_pending meanwhile. Once connected, each chunk is sent in one
// call or dropped, unless earlier bytes still wait, which go first.
#include "session/session_bridge.h"

#include <arpa/inet.h>
#include <event2/buffer.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "session/session.h"
#include "util/log.h"
#include "util/utils.h"

static constexpr char log_unit[] = "session";

namespace {

// The kernel retries an unanswered SYN after 1 s; a server that has not taken
// the connection by the second try is not coming.
constexpr int64_t kConnectTimeoutMs = 2500;
// What the application may send before the media server takes it.
constexpr size_t kPendingMax = 64 * 1024;

void connect_failed(p2p_session *sess, int err) {
    LOG_AS("connect_server", "connect to %s failed, %s\n", sess->local_name, strerror(err));
}

void unable(p2p_session *sess) {
    LOG_AS("connect_server", "unable to establish connection with %s\n", sess->local_name);
    local_server_close(sess);
}

// Starts a connect to 127.0.0.1 (the media server is on this device) without
// waiting for it. 0 when it is under way or done, -1 on failure.
int connect_server(p2p_session *sess) {
    int port = get_stream_port_from_config();
    sess->local_name = "streamd";
    LOG("connecting to local server: %s\n", sess->local_name);

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        LOG("unable to establish connection with %s\n", sess->local_name);
        return -1;
    }
    sess->local_fd = fd;
    struct sockaddr_in sin;
    memset(&sin, 0, sizeof(sin));
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&sin), sizeof(sin)) < 0) {
        unable(sess);
        return -1;
    }
    sin.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&sin), sizeof(sin)) < 0 &&
        errno != EINPROGRESS) {
        connect_failed(sess, errno);
        unable(sess);
        return -1;
    }
    sess->local_connect_end_ms = monotonic_ms() + kConnectTimeoutMs;
    return 0;
}

// Sees a connect under way through and writes what waits. 0 while all is
// well (connected or not yet), -1 when the connection failed and is closed.
int local_progress(p2p_session *sess) {
    if (sess->local_connect_end_ms) {
        struct pollfd p = {sess->local_fd, POLLOUT, 0};
        if (poll(&p, 1, 0) == 0) {
            if (monotonic_ms() < sess->local_connect_end_ms) return 0;
            connect_failed(sess, ETIMEDOUT);
            unable(sess);
            return -1;
        }
        int err = 0;
        socklen_t len = sizeof(err);
        if (getsockopt(sess->local_fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) err = errno;
        if (err) {
            connect_failed(sess, err);
            unable(sess);
            return -1;
        }
        sess->local_connect_end_ms = 0;
        sess->state = SESS_STREAMING;
    }
    struct evbuffer *pending = sess->local_pending;
    if (!pending || evbuffer_get_length(pending) == 0) return 0;
    int n = evbuffer_write(pending, sess->local_fd);
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
        LOG_AS("write_local_fd", "failed to send data to %s\n", sess->local_name);
        local_server_close(sess);
        return -1;
    }
    if (n > 0) stat_add_data_recv(&sess->stat, n);
    return 0;
}

bool bytes_wait(const p2p_session *sess) {
    return sess->local_connect_end_ms ||
           (sess->local_pending && evbuffer_get_length(sess->local_pending) > 0);
}

}  // namespace

int write_local_fd(void *user, const char *data, int len) {
    auto *sess = static_cast<p2p_session *>(user);
    if (!sess || !data) return -1;
    if (sess->local_fd == -1 && connect_server(sess) < 0) return -1;
    if (len > 0 && bytes_wait(sess)) {
        if (!sess->local_pending) sess->local_pending = evbuffer_new();
        if (!sess->local_pending ||
            evbuffer_get_length(sess->local_pending) + static_cast<size_t>(len) > kPendingMax ||
            evbuffer_add(sess->local_pending, data, len) < 0) {
            LOG("failed to send data to %s\n", sess->local_name);
            return -1;
        }
        len = 0;  // it goes with the pending bytes
    }
    if (local_progress(sess) < 0) return -1;
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
    if (local_progress(sess) < 0) {
        stat_set_stop_reason(&sess->stat, STOP_MEDIA_IO);
        return -1;
    }
    if (sess->local_connect_end_ms) return 0;
    ssize_t n = recv(sess->local_fd, buf, capacity, MSG_DONTWAIT);
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) return 0;
        stat_set_stop_reason(&sess->stat, STOP_MEDIA_IO);
        return -1;
    }
    if (n == 0) {
        stat_set_stop_reason(&sess->stat, STOP_MEDIA_CLOSED);
        LOG("connection to local server is closed.");
        local_server_close(sess);
        return 0;
    }
    stat_add_data_sent(&sess->stat, static_cast<int32_t>(n));
    return static_cast<int>(n);
}

int local_server_connected(void *user) {
    auto *sess = static_cast<p2p_session *>(user);
    return sess && sess->local_fd != -1 ? 1 : 0;
}

void local_server_close(p2p_session *sess) {
    if (sess->local_fd >= 0) close(sess->local_fd);
    sess->local_fd = -1;
    sess->local_connect_end_ms = 0;
    if (sess->local_pending) evbuffer_free(sess->local_pending);
    sess->local_pending = nullptr;
}
