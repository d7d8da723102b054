// is_p2p_ready and the start of punching: once the device knows its public
// address, the session hands its STUN socket and the application's addresses
// to the punch layer, at most once per session.
#include <arpa/inet.h>
#include <event2/event.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "session/session.h"
#include "session/session_bridge.h"
#include "util/log.h"

static constexpr char log_unit[] = "session";

namespace {

struct sockaddr_in ipv4(const char *ip, int port) {
    struct sockaddr_in sin;
    memset(&sin, 0, sizeof(sin));
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = inet_addr(ip);
    sin.sin_port = htons(port);
    return sin;
}

int p2p_succeed_cb(void *user, const struct sockaddr_in *peer) {
    (void)peer;
    auto *sess = static_cast<p2p_session *>(user);
    if (!sess) return -1;
    sess->state = SESS_CONNECTED;
    LOG("udp punching/udt connection ok");
    // From now on the session lives until the punch layer fails or a clean.
    if (sess->ev_timeout) {
        event_free(sess->ev_timeout);
        sess->ev_timeout = nullptr;
    }
    LOG("waiting for remote request to connect local server");
    return 0;
}

void p2p_error_cb(void *user) {
    auto *sess = static_cast<p2p_session *>(user);
    LOG("p2p session failed, %s\n", sess->local_name);
    session_free(sess);
}

int p2p_init_punch_ctx(p2p_session *sess) {
    const prepare_p2p_params &peer = sess->peer;
    const pready_record &self = sess->self;
    udp_punch_ctx &ctx = sess->punch;
    LOG("%s,%s:%d-%s:%d, %d\n", sess->sid, peer.peer_pub_ip, peer.peer_pub_port, peer.peer_pri_ip,
        peer.peer_pri_port, peer.peer_nat_type);

    ctx.base = g_session_base;
    ctx.user = sess;
    ctx.stat = &sess->stat;
    ctx.peer = &sess->peer;
    ctx.self = &sess->self;
    ctx.succeed_cb = p2p_succeed_cb;
    ctx.error_cb = p2p_error_cb;
    ctx.write_local = write_local_fd;
    ctx.read_local = read_local_fd;
    ctx.local_ready = local_server_connected;
    ctx.token = sess->sid;
    ctx.session_key = peer.has_session_key ? peer.session_key : nullptr;
    ctx.peer_private = ipv4(peer.peer_pri_ip, peer.peer_pri_port);
    ctx.peer_public = ipv4(peer.peer_pub_ip, peer.peer_pub_port);
    ctx.sock = sess->stun_fd;
    sess->stun_fd = -1;

    int fixed_port = get_fixed_port(self.pri_port);
    int peer_fixed_port = get_fixed_port(peer.peer_pri_port);
    LOG("Local fixed port addr (%s:%d)\n", "0.0.0.0", fixed_port);
    LOG("Peer fixed port addr (%s:%d)\n", peer.peer_pub_ip, peer_fixed_port);
    ctx.fixed_sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    struct sockaddr_in local = ipv4("0.0.0.0", fixed_port);
    int rc = 0;
    if (ctx.fixed_sock < 0 ||
        bind(ctx.fixed_sock, reinterpret_cast<struct sockaddr *>(&local), sizeof(local)) < 0) {
        rc = -1;
    }
    ctx.peer_fixed = ipv4(peer.peer_pub_ip, peer_fixed_port);
    ctx.peer_port_preserved = peer.peer_pub_port == peer.peer_pri_port;
    ctx.self_port_preserved = self.pub_port == self.pri_port;
    LOG("Port preserve: peer %d, self %d\n", ctx.peer_port_preserved, ctx.self_port_preserved);
    ctx.state = nullptr;
    ctx.syn_seen = 0;
    ctx.start_time = sess->create_time;
    return rc;
}

}  // namespace

// A session that cannot start punching is left to its deadline.
int do_p2p_start(p2p_session *sess) {
    LOG("P2P_START...");
    stat_enter_punch_stage(&sess->stat);
    if (p2p_init_punch_ctx(sess) < 0 || udp_punch_init_internal(&sess->punch) < 0) {
        LOG("p2p init punch error");
        return -1;
    }
    if (udp_punch(&sess->punch) < 0) {
        LOG("udp punch error");
        return -1;
    }
    return 0;
}

int is_p2p_ready(struct bufferevent *bev, const control_request *req) {
    if (!bev || !req) return -1;
    p2p_session *sess = session_find(req->ready.sid);
    if (!sess) {
        LOG("failed to find p2p session '%s' \n", req->ready.sid);
        return response_error(bev, ERR_NO_SESSION, MSG_NO_SESSION);
    }
    sess->conn = bev;
    if (response_for_pready(sess, REQ_IS_P2P_READY) < 0) return -1;
    stat_inc_app_check_count(&sess->stat);
    if (sess->self.is_ready != 1) return 0;
    LOG("now it is ready to start p2p");
    if (sess->punch_started) {
        LOG("has started p2p");
        return 0;
    }
    do_p2p_start(sess);
    sess->punch_started = 1;
    return 0;
}
