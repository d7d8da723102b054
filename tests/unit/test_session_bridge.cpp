// The bridge to the media server, against a listening socket of the test's
// own on loopback (the test runs in the sandbox, so /etc/config is private).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "session/session.h"
#include "session/session_bridge.h"
#include "stdout_capture.h"

namespace {

void set_media_port(int port) {
    FILE *f = fopen("/etc/config/media_server", "w");
    ASSERT_NE(f, nullptr);
    fprintf(f, "config media_server 'main'\n\toption port '%d'\n", port);
    fclose(f);
}

// A listening socket on 127.0.0.1 with a free port.
struct MediaServer {
    int fd = -1;
    int port = 0;
    MediaServer() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in sin;
        memset(&sin, 0, sizeof(sin));
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<struct sockaddr *>(&sin), sizeof(sin));
        listen(fd, 4);
        socklen_t len = sizeof(sin);
        getsockname(fd, reinterpret_cast<struct sockaddr *>(&sin), &len);
        port = ntohs(sin.sin_port);
    }
    ~MediaServer() { close(fd); }
    int accept_one() { return accept(fd, nullptr, nullptr); }
};

bool wait_readable(int fd) {
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 5000) == 1;
}

struct Session {
    p2p_session sess;
    Session() {
        memset(&sess, 0, sizeof(sess));
        sess.local_fd = -1;
        sess.local_port = -1;
        sess.local_name = "noserver";
        sess.state = SESS_CONNECTED;
        stat_init(&sess.stat);
        stat_enter_stream_stage(&sess.stat);
    }
    ~Session() {
        if (sess.local_fd >= 0) close(sess.local_fd);
    }
};

TEST(Bridge, FirstApplicationBytesConnectAndArrive) {
    MediaServer server;
    set_media_port(server.port);
    Session s;
    StdoutCapture log;
    EXPECT_EQ(local_server_connected(&s.sess), 0);
    ASSERT_EQ(write_local_fd(&s.sess, "GET /live\n", 10), 0);
    EXPECT_EQ(local_server_connected(&s.sess), 1);
    EXPECT_EQ(s.sess.state, SESS_STREAMING);
    EXPECT_STREQ(s.sess.local_name, "streamd");
    EXPECT_EQ(s.sess.local_port, server.port);
    EXPECT_EQ(s.sess.stat.dataCountRecv, 10);
    log.sync();
    EXPECT_EQ(log.count("connecting to local server: streamd"), 1);

    int conn = server.accept_one();
    char buf[32] = {0};
    ASSERT_EQ(recv(conn, buf, sizeof(buf), 0), 10);
    EXPECT_STREQ(buf, "GET /live\n");

    // Nothing from the server yet, then its media, then its close.
    EXPECT_EQ(read_local_fd(&s.sess, buf, sizeof(buf)), 0);
    ASSERT_EQ(send(conn, "frame", 5, 0), 5);
    ASSERT_TRUE(wait_readable(s.sess.local_fd));
    EXPECT_EQ(read_local_fd(&s.sess, buf, sizeof(buf)), 5);
    EXPECT_EQ(s.sess.stat.dataCountSent, 5);
    close(conn);
    ASSERT_TRUE(wait_readable(s.sess.local_fd));
    EXPECT_EQ(read_local_fd(&s.sess, buf, sizeof(buf)), 0);
    EXPECT_EQ(local_server_connected(&s.sess), 0);
    EXPECT_EQ(s.sess.stat.stopReason, 4);
    log.sync();
    EXPECT_EQ(log.count("connection to local server is closed."), 1);

    // The next application bytes reconnect; an empty chunk connects too.
    EXPECT_EQ(write_local_fd(&s.sess, "", 0), 0);
    EXPECT_EQ(local_server_connected(&s.sess), 1);
    EXPECT_EQ(s.sess.stat.dataCountRecv, 10);
}

TEST(Bridge, MediaServerNotListening) {
    int port;
    {
        MediaServer gone;
        port = gone.port;
    }
    set_media_port(port);
    Session s;
    StdoutCapture log;
    EXPECT_EQ(write_local_fd(&s.sess, "x", 1), -1);
    EXPECT_EQ(s.sess.local_fd, -1);
    EXPECT_EQ(s.sess.stat.dataCountRecv, 0);
    log.sync();
    EXPECT_EQ(log.count("connect to streamd failed, Connection refused"), 1);
    EXPECT_EQ(log.count("unable to establish connection with streamd"), 1);
    char buf[8];
    EXPECT_EQ(read_local_fd(&s.sess, buf, sizeof(buf)), 0);
    EXPECT_EQ(write_local_fd(nullptr, "x", 1), -1);
    EXPECT_EQ(local_server_connected(nullptr), 0);
}

}  // namespace
