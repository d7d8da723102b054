// Control connections from libcloud: accept, read one request, dispatch, answer.
#pragma once

#include <event2/util.h>

#include "control/libcloud.h"

struct event_base;
struct bufferevent;

// 0, or -1 when the caller must close the socket.
int libcloud_accept(struct event_base *base, evutil_socket_t fd);
// Frees every control connection still open (shutdown).
void libcloud_close_all();

int send_back_response(struct bufferevent *bev, const control_response *resp);
int response_error(struct bufferevent *bev, int code, const char *msg);
struct p2p_session;
// Answers on the session's control connection with its pready record;
// -1 when the connection is gone or the answer could not be sent.
int response_for_pready(struct p2p_session *sess, int type);

#define ERR_NO_SESSION 21
#define ERR_EXCEPTION 22
#define ERR_BAD_REQUEST 23
#define ERR_NO_IDLE_SESSION 24
#define MSG_NO_SESSION "no sess with this sid"
#define MSG_EXCEPTION "exception occured"
#define MSG_BAD_REQUEST "request json string error"
#define MSG_NO_IDLE_SESSION "no idle sess is available"
