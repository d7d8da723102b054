// Control connections from libcloud: accept, read one request, dispatch it
// to its handler, answer. Above the session table: sessions answer through
// the function this layer hands to session_mgr_init.
#pragma once

#include <event2/util.h>

#include "control/libcloud.h"

struct event_base;
struct bufferevent;

// 0, or -1 when the caller must close the socket.
int libcloud_accept(struct event_base *base, evutil_socket_t fd);
// Frees every control connection still open (shutdown).
void libcloud_close_all();

// How sessions answer (session_answer_fn): a connection whose answer cannot
// be sent is freed.
int libcloud_answer(struct bufferevent *bev, const control_response *resp);
// Writes the answer; 0, or -1 when it could not be built.
int send_back_response(struct bufferevent *bev, const control_response *resp);
