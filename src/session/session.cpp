// The session table: 32 static slots, their one teardown path, the manager's
// start and its bulk clean. Loop thread only.
#include "session/session.h"

#include <cjson/cJSON.h>
#include <event2/event.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "dns/evaddrinfo.h"
#include "session/session_bridge.h"
#include "session/session_probe.h"
#include "util/log.h"
#include "util/tunables.h"
#include "util/utils.h"

static constexpr char log_unit[] = "session";

char g_stun_host[129];
std::atomic<int> g_nat_type{NAT_CODE_UNKNOWN};
struct event_base *g_session_base;

namespace {

struct event *nat_type_timer;
session_answer_fn answer_on;
p2p_session sessions[MAX_SESSIONS];

// /etc/tarn.conf sits on flash: a STUN host that keeps changing is written at
// most once per kConfSaveGapS, and the latest host is the one written last.
constexpr int kConfSaveGapS = 5;
struct event *conf_save_timer;  // exists only while a save waits
int64_t last_conf_save_ms;
bool conf_saved_once;

void save_stun_host_now() {
    conf_file_save(g_stun_host);
    last_conf_save_ms = monotonic_ms();
    conf_saved_once = true;
}

// Writes a waiting save at once.
void flush_conf_save() {
    if (!conf_save_timer) return;
    event_free(conf_save_timer);
    conf_save_timer = nullptr;
    save_stun_host_now();
}

void conf_save_cb(evutil_socket_t, short, void *) {
    flush_conf_save();
}

void nat_type_timer_cb(evutil_socket_t fd, short events, void *arg) {
    (void)fd;
    (void)arg;
    if (!(events & EV_TIMEOUT)) return;
    if (g_stun_host[0] != '\0') request_nat_type(g_stun_host, g_stun_host);
}

void free_nat_type_timer() {
    if (nat_type_timer) {
        event_free(nat_type_timer);
        nat_type_timer = nullptr;
    }
}

const char *state_name(int state) {
    switch (state) {
        case SESS_RESOLVING:
            return "resolving";
        case SESS_QUERYING:
            return "querying";
        case SESS_ADDR_KNOWN:
            return "addr_known";
        case SESS_PUNCHING:
            return "punching";
        case SESS_CONNECTED:
            return "connected";
        case SESS_STREAMING:
            return "streaming";
        default:
            return "unknown";
    }
}

// The address the winning ACK came from once punched, the application's
// public address before.
const char *peer_text(const p2p_session &sess, char *buf, size_t size) {
    const udp_punch_state *st = sess.punch.state;
    if (st && st->succeeded) return sockaddr_to_str(&st->peer_addr);
    snprintf(buf, size, "%s:%d", sess.peer.peer_pub_ip, sess.peer.peer_pub_port);
    return buf;
}

void free_timer(struct event **ev) {
    if (*ev) {
        LOG_AS("session_free", "remove ev_timeout.");
        event_free(*ev);
        *ev = nullptr;
    }
}

}  // namespace

int session_mgr_init(struct event_base *base, session_answer_fn answer) {
    if (g_session_base) return 0;
    answer_on = answer;
    if (!base) {
        free_nat_type_timer();
        return -1;
    }
    g_session_base = base;
    memset(sessions, 0, sizeof(sessions));
    memset(g_stun_host, 0, sizeof(g_stun_host));
    conf_file_load(g_stun_host, sizeof(g_stun_host) - 1);
    if (g_stun_host[0] != '\0') request_nat_type(g_stun_host, g_stun_host);

    nat_type_timer = event_new(base, -1, EV_PERSIST, nat_type_timer_cb, nullptr);
    struct timeval period = {tarn_nat_refresh_sec, 0};
    if (!nat_type_timer || event_add(nat_type_timer, &period) < 0) {
        free_nat_type_timer();
        g_session_base = nullptr;
        return -1;
    }
    return 0;
}

// The NAT-type refresh outlives a clean: a device cleaned once would
// otherwise report a NAT type that grows stale for good.
int session_mgr_cleanup() {
    flush_conf_save();
    int ended = 0;
    for (auto &sess : sessions) {
        if (sess.state == SESS_FREE) continue;
        stat_mark_cleanup(&sess.stat);
        session_free(&sess);
        ended++;
    }
    return ended;
}

int session_mgr_stop() {
    free_nat_type_timer();
    return session_mgr_cleanup();
}

int session_mgr_reload() {
    char host[sizeof(g_stun_host)] = "";
    if (conf_file_load(host, sizeof(host) - 1) < 0) {
        LOG("no STUN host in %s, keeping [%s]\n", TARN_CONF_FILE, g_stun_host);
        return -1;
    }
    if (strcmp(host, g_stun_host) == 0) return 0;
    memcpy(g_stun_host, host, sizeof(g_stun_host));
    LOG("STUN host from %s: [%s]\n", TARN_CONF_FILE, g_stun_host);
    if (g_stun_host[0] != '\0') request_nat_type(g_stun_host, g_stun_host);
    return 0;
}

void session_mgr_status(cJSON *out) {
    cJSON_AddStringToObject(out, "stun_host", g_stun_host);
    const int nat = g_nat_type.load();
    cJSON_AddNumberToObject(out, "nat_type", nat);
    cJSON_AddStringToObject(out, "nat_type_name", stunNatCodeName(nat));
    int probe[STUN_PROBE_FIELDS];
    STUN_copy_probe_data(probe);
    cJSON *ports = cJSON_AddObjectToObject(out, "probe_ports");
    cJSON_AddNumberToObject(ports, "local", probe[0]);
    cJSON_AddItemToObject(ports, "public", cJSON_CreateIntArray(probe + 1, STUN_PROBE_PORTS));

    cJSON *list = cJSON_CreateArray();
    int in_use = 0;
    for (const auto &sess : sessions) {
        if (sess.state == SESS_FREE) continue;
        in_use++;
        char buf[32];
        cJSON *item = cJSON_CreateObject();
        cJSON_AddStringToObject(item, "sid", sess.sid);
        cJSON_AddStringToObject(item, "state", state_name(sess.state));
        cJSON_AddStringToObject(item, "peer", peer_text(sess, buf, sizeof(buf)));
        cJSON_AddBoolToObject(item, "private", sess.peer.has_session_key != 0);
        cJSON_AddNumberToObject(item, "age_ms", time_offset_ms(&sess.create_time));
        cJSON_AddNumberToObject(item, "bytes_to_peer",
                                static_cast<double>(sess.stat.dataCountSent));
        cJSON_AddNumberToObject(item, "bytes_from_peer",
                                static_cast<double>(sess.stat.dataCountRecv));
        cJSON_AddItemToArray(list, item);
    }
    cJSON_AddNumberToObject(out, "sessions_in_use", in_use);
    cJSON_AddNumberToObject(out, "sessions_max", MAX_SESSIONS);
    cJSON_AddItemToObject(out, "sessions", list);
}

void session_save_stun_host() {
    if (conf_save_timer) return;  // the waiting save takes the host of its time
    time_t since = static_cast<time_t>((monotonic_ms() - last_conf_save_ms) / 1000);
    if (!conf_saved_once || since >= kConfSaveGapS || !g_session_base) {
        save_stun_host_now();
        return;
    }
    struct timeval wait = {kConfSaveGapS - since, 0};
    conf_save_timer = evtimer_new(g_session_base, conf_save_cb, nullptr);
    if (!conf_save_timer || evtimer_add(conf_save_timer, &wait) < 0) {
        if (conf_save_timer) event_free(conf_save_timer);
        conf_save_timer = nullptr;
        save_stun_host_now();
    }
}

p2p_session *session_new(struct bufferevent *conn, const control_request *req) {
    LOG("assign a session");
    p2p_session *sess = nullptr;
    for (auto &slot : sessions) {
        if (slot.state == SESS_FREE) {
            sess = &slot;
            break;
        }
    }
    if (!sess) {
        LOG("no session available");
        return nullptr;
    }
    memset(sess, 0, sizeof(*sess));
    sess->state = SESS_RESOLVING;
    sess->local_fd = -1;
    sess->stun_fd = -1;
    sess->punch.sock = -1;
    sess->punch.fixed_sock = -1;
    sess->local_name = "noserver";
    LOG("found a session");

    sess->peer = req->prepare;
    sess->conn = conn;
    gen_session_id(sess->sid, sizeof(sess->sid));
    memcpy(sess->self.sid, sess->sid, sizeof(sess->self.sid));
    LOG("sess->resp_for_pready = %s\n", sess->self.sid);
    gettimeofday(&sess->create_time, nullptr);

    p2p_stat_data *st = &sess->stat;
    const prepare_p2p_params &p = req->prepare;
    stat_init(st);
    stat_set_session_id(st, sess->sid);
    stat_set_app_imp_version(st, p.app_imp_version);
    stat_set_req_recv_time(st, time(nullptr));
    stat_set_app_addr(st, p.peer_pub_ip, p.peer_pub_port, p.peer_pri_ip, p.peer_pri_port,
                      p.peer_nat_type);

    return sess;
}

// The punch context owns its sockets from the moment the session handed them
// over, whether or not punching got as far as a state.
static void release_punch(udp_punch_ctx *punch) {
    if (punch->state) udp_punch_clear_internal(punch);
    if (punch->sock >= 0) close(punch->sock);
    if (punch->fixed_sock >= 0) close(punch->fixed_sock);
    punch->sock = punch->fixed_sock = -1;
}

void session_timeout_cb(evutil_socket_t fd, short events, void *arg) {
    (void)fd;
    (void)events;
    auto *sess = static_cast<p2p_session *>(arg);
    stat_set_err_code(&sess->stat,
                      sess->punch_started ? STAT_ERR_DEADLINE_PUNCHING : STAT_ERR_DEADLINE);
    session_free(sess);
}

p2p_session *session_find(const char *sid) {
    for (auto &sess : sessions) {
        if (sess.state != SESS_FREE && strcmp(sess.sid, sid) == 0) return &sess;
    }
    return nullptr;
}

void session_free(p2p_session *sess) {
    if (!sess) return;
    if (sess->stat.stage == STAT_STAGE_STREAM) {
        stat_set_connection_duration(&sess->stat, time_offset_sec(&sess->create_time));
    }
    LOG("clean up p2p session %p\n", static_cast<void *>(sess));
    free(sess->stun_server_text);
    sess->stun_server_text = nullptr;
    local_server_close(sess);
    free_timer(&sess->ev_timeout);
    free_timer(&sess->ev_prepare);
    evaddrinfo_free(sess->dns_req);
    sess->dns_req = nullptr;
    if (sess->ev_stun) {
        event_free(sess->ev_stun);
        sess->ev_stun = nullptr;
    }
    if (sess->stun_fd >= 0) {
        close(sess->stun_fd);
        sess->stun_fd = -1;
    }
    release_punch(&sess->punch);
    p2p_stat(&sess->stat);
    memset(sess, 0, sizeof(*sess));
}

void session_forget_conn(struct bufferevent *bev) {
    for (auto &sess : sessions) {
        if (sess.conn == bev) sess.conn = nullptr;
    }
}

int response_error(struct bufferevent *conn, int code, const char *msg) {
    control_response resp;
    memset(&resp, 0, sizeof(resp));
    resp.error_code = code;
    copy_text(resp.error_msg, msg);
    int rc = answer_on(conn, &resp);
    if (rc < 0) LOG("error: failed when sending resp.");
    return rc;
}

int response_for_pready(p2p_session *sess, int type) {
    if (!sess) return -1;
    if (!sess->conn) {
        LOG("control connection of %s is gone, answer dropped", sess->sid);
        return -1;
    }
    control_response resp;
    memset(&resp, 0, sizeof(resp));
    resp.type = type;
    resp.pready = sess->self;
    int rc = answer_on(sess->conn, &resp);
    if (rc < 0) LOG("error: failed when sending resp.");
    return rc;
}
