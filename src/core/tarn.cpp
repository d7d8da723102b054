// Daemon start-up, the control listener, signals and shutdown.
//
// Order matters: the MAC is read before daemonising (so a broken uci is seen
// by the invoking shell), the pid-file lock comes before the command line (so
// even -h in a second instance reports "process already running..."), and
// every background duty is started before the loop runs. -f skips only the
// fork, so a supervisor (procd) keeps tarn as its own child and sees its real
// exit status.
#include "core/tarn.h"

#include <arpa/inet.h>
#include <event2/event.h>
#include <event2/listener.h>
#include <event2/util.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "control/libcloud.h"
#include "session/session.h"
#include "conn/libcloud_conn.h"
#include "session/session_probe.h"
#include "bus/tarn_bus.h"
#include "bus/ubus_api.h"
#include "stun/stun_async.h"
#include "util/log.h"
#include "util/utils.h"

static constexpr char log_unit[] = "tarn";

namespace {

// Small blocks straight from mmap give freed memory back to the system at
// once. Only glibc has the knob; musl's allocator returns memory on its own.
void limit_heap_mapping() {
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, 128);
#endif
}

const char kUsage[] =
    "usage: %s [options]\n\t[-l local-address], eg. 127.0.0.1\n\t[-p local-port], eg. "
    "929\n\t[-d debug]\n\t[-f foreground]\n\t[-h help]\n\t[-v version]\n";

// Held open, and its lock with it, for the life of the process. Only root
// may open it: anyone who can open it can hold a lock that keeps tarn from
// starting. A link in its place is refused rather than followed.
int lock_pid_file() {
    int fd = open(TARN_PID_FILE, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    // A file left by an older tarn may still be readable by everyone.
    struct stat st;
    if (fstat(fd, &st) == 0 && (st.st_mode & 077)) fchmod(fd, 0600);
    struct flock fl;
    memset(&fl, 0, sizeof(fl));
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &fl) < 0) {
        close(fd);
        return -1;
    }
    // Only the lock holder may cut the file: a longer stale pid would leave
    // digits behind ("9999999" + 52 reads "5299999").
    if (ftruncate(fd, 0) < 0) LOG_AS("main", "failed to truncate %s", TARN_PID_FILE);
    char buf[16];
    int n = snprintf(buf, sizeof(buf), "%ld", (long)getpid());
    if (write(fd, buf, n) != n) LOG_AS("main", "failed to write %s", TARN_PID_FILE);
    return fd;
}

p2p_context *p2p_context_new() {
    auto *ctx = static_cast<p2p_context *>(calloc(1, sizeof(p2p_context)));
    if (!ctx) LOG_FAILURE("memory deficiency");
    return ctx;
}

const char kShortOptions[] = "l:p:s:dhvf";
const struct option kLongOptions[] = {
    {"local-address", required_argument, nullptr, 'l'},
    {"local-port", required_argument, nullptr, 'p'},
    {"debug", no_argument, nullptr, 'd'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'v'},
    {"foreground", no_argument, nullptr, 'f'},
    {nullptr, 0, nullptr, 0},
};

// Whether to fork must be known before the pid file is locked, long before
// the command line is read for real; this pass says nothing.
bool wants_foreground(int argc, char **argv) {
    bool foreground = false;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1) {
        if (c == 'f') foreground = true;
    }
    opterr = 1;
    optind = 0;  // glibc and musl both start afresh
    return foreground;
}

// 0 to go on, -1 to end with failure (help, version, bad option).
int parse_command_line(p2p_context *ctx, int argc, char **argv, bool *debug) {
    int c;
    while ((c = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1) {
        switch (c) {
            case 'l':
                free(ctx->local_address);
                ctx->local_address = strdup(optarg);
                break;
            case 'p':
                ctx->local_port = atoi(optarg);
                break;
            case 'd':
                *debug = true;
                break;
            case 'f':  // taken before the fork
                break;
            case 'h':
                printf(kUsage, "tarn");
                return -1;
            case 'v':
                printf("%s version: %s\n", "tarn", TARN_VERSION);
                return -1;
            default:  // -s included: accepted by the parser, meaningless to us
                fprintf(stderr, "bad parameters\n");
                return -1;
        }
    }
    return 0;
}

// SIGINT/SIGTERM end the loop this much later, so the loop finishes the
// callbacks it is running.
const struct timeval kQuitDelay = {0, 5000};

void signal_quit_cb(evutil_socket_t sig, short events, void *arg) {
    (void)sig;
    auto *base = static_cast<event_base *>(arg);
    if (!base) return;
    LOG("got signal event:%#x\n", events);
    event_base_loopexit(base, &kQuitDelay);
}

void signal_reload_cb(evutil_socket_t, short, void *) {
    LOG("got SIGHUP, reloading %s\n", TARN_CONF_FILE);
    session_mgr_reload();
}

// Descriptors (or memory) ran out: the pending connection stays in the
// backlog and the listener would wake the loop again at once, so it rests
// for a moment and retries, until idle connections have timed out.
constexpr int kAcceptPauseMs = 100;

void accept_resume_cb(evutil_socket_t fd, short events, void *arg) {
    (void)fd;
    (void)events;
    evconnlistener_enable(static_cast<p2p_context *>(arg)->listener);
}

void p2p_context_accept_error_cb(struct evconnlistener *listener, void *arg) {
    auto *ctx = static_cast<p2p_context *>(arg);
    int err = EVUTIL_SOCKET_ERROR();
    if (!evtimer_pending(ctx->ev_accept_pause, nullptr)) {
        LOG("accept failed, %s; listener paused", evutil_socket_error_to_string(err));
    }
    evconnlistener_disable(listener);
    struct timeval pause = {0, kAcceptPauseMs * 1000};
    evtimer_add(ctx->ev_accept_pause, &pause);
}

void p2p_context_local_accept(struct evconnlistener *listener, evutil_socket_t fd,
                              struct sockaddr *peer, int socklen, void *arg) {
    (void)listener;
    (void)socklen;
    auto *ctx = static_cast<p2p_context *>(arg);
    if (!peer || !ctx) {
        LOG("ptr is null.");
        return;
    }
    auto *sin = reinterpret_cast<struct sockaddr_in *>(peer);
    char ip[IPV4_TEXT_MAX];
    ipv4_format(ip, sizeof(ip), ntohl(sin->sin_addr.s_addr), -1);
    LOG("Accept control from %s:%d\n", ip, ntohs(sin->sin_port));
    if (libcloud_accept(ctx->base, fd) != 0) {
        LOG("failed to setup new p2p session");
        evutil_closesocket(fd);
        p2p_context_clear(ctx);
    }
}

}  // namespace

// The text, blank lines included, is what crash collectors search for.
void signal_abort_handler(int sig) {
    char msg[64];
    int n = snprintf(msg, sizeof(msg), "Attention!!!!signal %d caught\n\n\n\n\n", sig);
    if (n > 0 && write(STDERR_FILENO, msg, n) < 0) return;
}

void p2p_context_dump(const p2p_context *ctx) {
    LOG("ctx->local_address: %s\n", ctx->local_address);
    LOG("ctx->local_port: %d\n", ctx->local_port);
}

int p2p_context_init_event(p2p_context *ctx) {
    ctx->base = event_base_new();
    if (!ctx->base) return -1;

    ctx->ev_sigint = evsignal_new(ctx->base, SIGINT, signal_quit_cb, ctx->base);
    ctx->ev_sigterm = evsignal_new(ctx->base, SIGTERM, signal_quit_cb, ctx->base);
    ctx->ev_sighup = evsignal_new(ctx->base, SIGHUP, signal_reload_cb, nullptr);
    if (!ctx->ev_sigint || !ctx->ev_sigterm || !ctx->ev_sighup) return -1;
    event_add(ctx->ev_sigint, nullptr);
    event_add(ctx->ev_sigterm, nullptr);
    event_add(ctx->ev_sighup, nullptr);

    ctx->ev_accept_pause = evtimer_new(ctx->base, accept_resume_cb, ctx);
    if (!ctx->ev_accept_pause) return -1;

    struct sockaddr_in sin;
    memset(&sin, 0, sizeof(sin));
    sin.sin_family = AF_INET;
    sin.sin_port = htons(ctx->local_port);
    // inet_aton reads what inet_addr reads, but tells "abc" from
    // 255.255.255.255.
    if (inet_aton(ctx->local_address, &sin.sin_addr) != 0) {
        ctx->listener = evconnlistener_new_bind(
            ctx->base, p2p_context_local_accept, ctx, LEV_OPT_CLOSE_ON_EXEC | LEV_OPT_REUSEABLE, 5,
            reinterpret_cast<struct sockaddr *>(&sin), sizeof(sin));
    }
    if (!ctx->listener) {
        LOG_FAILURE("failed to start local listener");
        return -1;
    }
    evconnlistener_set_error_cb(ctx->listener, p2p_context_accept_error_cb);
    evutil_socket_t fd = evconnlistener_get_fd(ctx->listener);
    evutil_make_socket_nonblocking(fd);
    evutil_make_listen_socket_reuseable(fd);
    return 0;
}

// Only a log line, after a failed accept: log readers look for it, and the
// context and the loop carry on.
void p2p_context_clear(p2p_context *ctx) {
    if (!ctx) return;
    LOG("ctx cleared.");
}

void p2p_context_free(p2p_context *ctx) {
    if (!ctx) return;
    p2p_context_clear(ctx);
    free(ctx->local_address);
    ctx->local_address = nullptr;
    if (ctx->ev_sigint) {
        event_free(ctx->ev_sigint);
        ctx->ev_sigint = nullptr;
    }
    if (ctx->ev_sigterm) {
        event_free(ctx->ev_sigterm);
        ctx->ev_sigterm = nullptr;
    }
    if (ctx->ev_sighup) {
        event_free(ctx->ev_sighup);
        ctx->ev_sighup = nullptr;
    }
    if (ctx->listener) {
        evconnlistener_free(ctx->listener);
        ctx->listener = nullptr;
    }
    if (ctx->ev_accept_pause) {
        event_free(ctx->ev_accept_pause);
        ctx->ev_accept_pause = nullptr;
    }
    if (ctx->base) {
        event_base_free(ctx->base);
        ctx->base = nullptr;
    }
    free(ctx);
}

int tarn_main(int argc, char **argv) {
    // A supervisor may send SIGHUP at any time after the fork (procd's reload
    // does); its default action would end us before the loop takes it over.
    signal(SIGHUP, SIG_IGN);
    // Log lines are read live by whoever holds our standard output.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    init_dev_mac();  // never fails: a device without a MAC gets a fixed one
    if (wants_foreground(argc, argv)) {
        if (chdir("/") < 0) LOG_AS("main", "chdir / failed - %s", strerror(errno));
    } else if (daemon(0, 1) < 0) {
        LOG_FAILURE_AS("main", "Could not run as daemon - %s", strerror(errno));
        return -1;
    }
    if (lock_pid_file() < 0) {
        LOG_FAILURE_AS("main", "process already running...");
        return -1;
    }
    signal(SIGPIPE, SIG_IGN);
    signal(SIGABRT, signal_abort_handler);
    limit_heap_mapping();

    p2p_context *ctx = p2p_context_new();
    if (!ctx) return -1;

    bool debug = false;
    if (parse_command_line(ctx, argc, argv, &debug) < 0) {
        p2p_context_free(ctx);
        return -1;
    }
    if (!ctx->local_address) ctx->local_address = strdup(DEFAULT_LOCAL_ADDRESS);
    if (ctx->local_port == 0) ctx->local_port = DEFAULT_LOCAL_PORT;
    if (!debug) {
        int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (devnull >= 0) {
            dup2(devnull, STDOUT_FILENO);
            close(devnull);
        }
    }
    tarn_log_check_output();
    p2p_context_dump(ctx);

    if (p2p_context_init_event(ctx) < 0) {
        p2p_context_free(ctx);
        return -1;
    }
    if (gpp_thread_start(ctx->base) < 0) LOG_AS("main", "warning: get_probe_port fail");
    if (STUN_init_async() < 0) LOG_AS("main", "warning: STUN_init_async fail");
    if (session_mgr_init(ctx->base, libcloud_answer) != 0) {
        session_mgr_stop();
        p2p_context_free(ctx);
        return -1;
    }
    if (tarn_bus_start(ctx->base, session_mgr_status, session_mgr_cleanup) < 0)
        LOG_AS("main", "warning: bus object fail");

    LOG_AS("main", "p2p daemon started. version: %s\n", TARN_VERSION);
    event_base_dispatch(ctx->base);

    LOG_AS("main", "p2p daemon exit");
    session_mgr_stop();
    libcloud_close_all();
    gpp_timer_free();
    tarn_bus_stop();
    p2p_context_free(ctx);
    ubus_deinit();
    return 0;
}
