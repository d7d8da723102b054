// Host back end of libubox's uloop: a process-wide poll loop over registered
// descriptors. Single-threaded, as the original.
#pragma once

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ULOOP_READ (1 << 0)
#define ULOOP_WRITE (1 << 1)

struct uloop_fd;
typedef void (*uloop_fd_handler)(struct uloop_fd *u, unsigned int events);

struct uloop_fd {
    uloop_fd_handler cb;
    int fd;
    bool eof;
    bool error;
    bool registered;
    uint8_t flags;
};

extern bool uloop_cancelled;

int uloop_init(void);
int uloop_fd_add(struct uloop_fd *sock, unsigned int flags);
int uloop_fd_delete(struct uloop_fd *sock);
// Runs until uloop_end() or until no descriptor is registered.
int uloop_run(void);
void uloop_end(void);
void uloop_done(void);

#ifdef __cplusplus
}
#endif
