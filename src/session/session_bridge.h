// Bridge between a session's UDT connection and the local media server.
#pragma once

// The punch layer's data callbacks; user is the session.
int write_local_fd(void *user, const char *data, int len);
int read_local_fd(void *user, char *buf, int capacity);
int local_server_connected(void *user);

struct p2p_session;
// Closes the media server connection and drops what waits for it.
void local_server_close(struct p2p_session *sess);
