// Daemon core: the process-wide context, its event loop and control listener.
#pragma once

struct event_base;
struct event;
struct evconnlistener;

struct p2p_context {
    struct event_base *base;
    struct evconnlistener *listener;
    struct event *ev_sigint;
    struct event *ev_sigterm;
    char *local_address;
    int local_port;
    // Re-enables the listener after a failed accept (descriptors used up).
    struct event *ev_accept_pause;
    // SIGHUP re-reads the configuration file; sessions carry on.
    struct event *ev_sighup;
};

#define TARN_PID_FILE "/var/run/tarn.pid"
#define DEFAULT_LOCAL_ADDRESS "127.0.0.1"
#define DEFAULT_LOCAL_PORT 929

// The daemon's main: start-up, loop, shutdown. Returns the exit status.
int tarn_main(int argc, char **argv);

void p2p_context_dump(const p2p_context *ctx);
int p2p_context_init_event(p2p_context *ctx);
void p2p_context_clear(p2p_context *ctx);
void p2p_context_free(p2p_context *ctx);
void signal_abort_handler(int sig);
