// Session manager: the 32-slot session table and its process-wide values.
#pragma once

#include <atomic>

#include "control/libcloud.h"

struct event_base;
struct bufferevent;

#define MAX_SESSIONS 32
#define NAT_TYPE_UNKNOWN 14

// Current STUN server address text; written on the loop thread only.
extern char g_stun_host[129];
// The device's NAT classification (low four bits); written by the NAT-type worker.
extern std::atomic<int> g_nat_type;

// 0 (also when already started) or -1.
int session_mgr_init(struct event_base *base);
// Ends every live session; used for do_tarn_clean and at shutdown.
int session_mgr_cleanup();

// Request handlers of the dispatch table.
int p2p_prepare(struct bufferevent *bev, const control_request *req);
int is_p2p_ready(struct bufferevent *bev, const control_request *req);

// The control-connection code calls this before it frees a connection, so a
// session never answers on a connection that is gone.
void session_forget_conn(struct bufferevent *bev);
