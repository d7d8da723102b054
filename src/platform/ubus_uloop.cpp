// uloop: one poll over the registered descriptors, on the thread that calls
// uloop_run. Like the original it keeps process-wide state and is not meant
// to be driven from two threads.
#include <libubox/uloop.h>

#include <errno.h>
#include <poll.h>

namespace {
constexpr int kMaxFds = 64;
struct uloop_fd *g_fds[kMaxFds];
int g_nfds;
}  // namespace

bool uloop_cancelled;

int uloop_init(void) {
    uloop_cancelled = false;
    return 0;
}

int uloop_fd_add(struct uloop_fd *sock, unsigned int flags) {
    if (!sock->registered) {
        if (g_nfds == kMaxFds) return -1;
        g_fds[g_nfds++] = sock;
    }
    sock->flags = (uint8_t)flags;
    sock->registered = true;
    sock->eof = sock->error = false;
    return 0;
}

int uloop_fd_delete(struct uloop_fd *sock) {
    for (int i = 0; i < g_nfds; i++) {
        if (g_fds[i] == sock) {
            g_fds[i] = g_fds[--g_nfds];
            break;
        }
    }
    sock->registered = false;
    return 0;
}

int uloop_run(void) {
    while (!uloop_cancelled && g_nfds > 0) {
        struct pollfd pfd[kMaxFds];
        struct uloop_fd *who[kMaxFds];
        int n = g_nfds;
        for (int i = 0; i < n; i++) {
            who[i] = g_fds[i];
            pfd[i].fd = who[i]->fd;
            pfd[i].events = (who[i]->flags & ULOOP_READ ? POLLIN : 0) |
                            (who[i]->flags & ULOOP_WRITE ? POLLOUT : 0);
            pfd[i].revents = 0;
        }
        if (poll(pfd, n, -1) < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        for (int i = 0; i < n && !uloop_cancelled; i++) {
            if (!pfd[i].revents) continue;
            // A callback may have removed a later descriptor.
            bool live = false;
            for (int j = 0; j < g_nfds; j++) live = live || g_fds[j] == who[i];
            if (!live) continue;
            unsigned int ev = 0;
            if (pfd[i].revents & (POLLIN | POLLHUP | POLLERR)) ev |= ULOOP_READ;
            if (pfd[i].revents & POLLOUT) ev |= ULOOP_WRITE;
            if (pfd[i].revents & POLLHUP) who[i]->eof = true;
            if (pfd[i].revents & POLLERR) who[i]->error = true;
            who[i]->cb(who[i], ev);
        }
    }
    return 0;
}

void uloop_end(void) {
    uloop_cancelled = true;
}

void uloop_done(void) {
    for (int i = 0; i < g_nfds; i++) g_fds[i]->registered = false;
    g_nfds = 0;
}
