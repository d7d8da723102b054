// Session manager: the 32-slot session table and its process-wide values.
#pragma once

#include <netinet/in.h>
#include <sys/time.h>

#include <atomic>

#include "control/libcloud.h"
#include "punch/udp_punch.h"
#include "stats/data_stat.h"
#include "stun/stun.h"

struct event_base;
struct event;
struct bufferevent;
struct evbuffer;
struct evaddrinfo;
struct cJSON;

#define MAX_SESSIONS 32

// Session states; 1 is not used.
enum {
    SESS_FREE = 0,
    SESS_RESOLVING = 2,
    SESS_QUERYING = 3,
    SESS_ADDR_KNOWN = 4,  // addresses known after "not ready" went out
    SESS_PUNCHING = 5,
    SESS_CONNECTED = 6,
    SESS_STREAMING = 7,
};

// One slot of the session table. A free slot is all zero.
struct p2p_session {
    int state;
    char sid[64];
    // The libcloud connection the next answer goes to; cleared by the
    // control-connection code whenever it frees that connection.
    struct bufferevent *conn;
    struct event *ev_timeout;
    struct event *ev_prepare;
    int answered;
    prepare_p2p_params peer;
    pready_record self;
    int punch_started;
    int local_fd;
    int64_t local_connect_end_ms;    // monotonic end of a connect under way, 0 otherwise
    struct evbuffer *local_pending;  // application bytes the media server has not taken yet
    const char *local_name;
    int stun_fd;
    struct sockaddr_in stun_addr;
    struct evaddrinfo *dns_req;
    char *stun_server_text;
    struct event *ev_stun;
    StunMsgId stun_tid;        // the public-address query's transaction id
    int64_t stun_wait_end_us;  // monotonic end of the current wait for its answer
    udp_punch_ctx punch;
    int stun_send_cnt;
    struct timeval create_time;
    int first_query_recorded;
    p2p_stat_data stat;
};

// Current STUN server address text; written on the loop thread only.
extern char g_stun_host[129];
// The device's NAT classification (low four bits); written by the NAT-type worker.
extern std::atomic<int> g_nat_type;
// The loop every session runs on; null until the manager is started.
extern struct event_base *g_session_base;

// How sessions answer libcloud: sends resp on conn, 0; or frees conn
// (session_forget_conn included) and gives -1. The connection layer owns it.
typedef int (*session_answer_fn)(struct bufferevent *conn, const control_response *resp);

// 0 (also when already started) or -1.
int session_mgr_init(struct event_base *base, session_answer_fn answer);
// Ends every live session (do_tarn_clean); the NAT-type refresh goes on.
// Returns how many there were.
int session_mgr_cleanup();
// Shutdown: ends the NAT-type refresh, then every live session. Returns how
// many sessions there were.
int session_mgr_stop();
// Re-reads the STUN host from the configuration file (SIGHUP); a changed
// host gets a fresh NAT-type request. Sessions are untouched. 0 or -1.
int session_mgr_reload();
// Adds the manager's view to a status object: STUN host, NAT type, probe
// ports and every live session.
void session_mgr_status(struct cJSON *out);
// Saves g_stun_host to the configuration file now, or a few seconds later
// when it was saved a moment ago (then the host current at that time).
void session_save_stun_host();

// First free slot, initialised for a prepare_p2p on conn; null when all are taken.
p2p_session *session_new(struct bufferevent *conn, const control_request *req);
p2p_session *session_find(const char *sid);
// The one teardown path of a session; nothing on null.
void session_free(p2p_session *sess);
// Deadline timer callback (arg: the session).
void session_timeout_cb(int fd, short events, void *arg);

// Hands the session to the punch layer; 0 or -1 (the deadline then ends it).
int do_p2p_start(p2p_session *sess);

// Answers an error on conn; 0 or -1 (the connection is then gone).
int response_error(struct bufferevent *conn, int code, const char *msg);
// Answers on the session's control connection with its pready record;
// -1 when the connection is gone or the answer could not be sent.
int response_for_pready(p2p_session *sess, int type);

// Request handlers of the dispatch table.
int p2p_prepare(struct bufferevent *bev, const control_request *req);
int is_p2p_ready(struct bufferevent *bev, const control_request *req);

// The control-connection code calls this before it frees a connection, so a
// session never answers on a connection that is gone.
void session_forget_conn(struct bufferevent *bev);
