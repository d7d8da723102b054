// Client side of the host bus. A context is one Unix-socket connection to
// tarn-ubusd; requests are synchronous: the caller's thread sends a frame and
// reads frames until the status that answers it, serving calls for its own
// objects that arrive meanwhile. A context is not shared between threads
// without a lock held by the caller (as with libubus).
#include <libubus.h>

#include "ubus_proto.h"

#include <errno.h>
#include <poll.h>
#include <stddef.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

struct ubus_host_state {
    uint8_t *rbuf;
    size_t rlen;
    size_t rcap;
    uint32_t next_seq;
    bool dead;
    struct ubus_object *objects;
};

namespace {

// Bus requests other than invoke are answered by the bus daemon itself; a
// daemon that stays silent this long is treated as gone.
constexpr int kControlTimeoutMs = 10000;

struct frame {
    uint8_t type;
    uint32_t seq;
    uint8_t *payload;  // malloc'ed copy, so handlers may re-enter the reader
    uint32_t len;
    blob_attr *tb[BUS_ATTR_LAST];
};

int64_t now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int send_all(int fd, const struct iovec *iov_in, int iovcnt) {
    struct iovec iov[2];
    memcpy(iov, iov_in, sizeof(iov[0]) * iovcnt);
    struct iovec *v = iov;
    while (iovcnt > 0) {
        struct msghdr mh = {};
        mh.msg_iov = v;
        mh.msg_iovlen = iovcnt;
        ssize_t n = sendmsg(fd, &mh, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        while (iovcnt > 0 && (size_t)n >= v->iov_len) {
            n -= v->iov_len;
            v++;
            iovcnt--;
        }
        if (iovcnt > 0) {
            v->iov_base = (char *)v->iov_base + n;
            v->iov_len -= n;
        }
    }
    return 0;
}

int send_frame(ubus_context *ctx, uint8_t type, uint32_t seq, blob_buf *b) {
    if (ctx->host->dead) return -1;
    uint8_t hdr[BUS_HDR_LEN];
    uint32_t len = b ? (uint32_t)blob_len(b->head) : 0;
    if (len > BUS_MAX_PAYLOAD) return -1;
    bus_hdr_encode(hdr, type, seq, len);
    struct iovec iov[2] = {{hdr, sizeof(hdr)}, {b ? blob_data(b->head) : nullptr, len}};
    if (send_all(ctx->sock.fd, iov, len ? 2 : 1) < 0) {
        ctx->host->dead = true;
        return -1;
    }
    return 0;
}

// Reads what the socket has within timeout_ms (-1: no limit). 1 when bytes
// came, 0 on time-out, -1 when the connection is gone.
int fill(ubus_context *ctx, int timeout_ms) {
    ubus_host_state *h = ctx->host;
    if (h->dead) return -1;
    struct pollfd pfd = {ctx->sock.fd, POLLIN, 0};
    int r;
    do {
        r = poll(&pfd, 1, timeout_ms);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        h->dead = true;
        return -1;
    }
    if (r == 0) return 0;
    if (h->rcap - h->rlen < 65536) {
        size_t ncap = h->rcap ? h->rcap * 2 : 65536;
        while (ncap - h->rlen < 65536) ncap *= 2;
        uint8_t *n = (uint8_t *)realloc(h->rbuf, ncap);
        if (!n) {
            h->dead = true;
            return -1;
        }
        h->rbuf = n;
        h->rcap = ncap;
    }
    ssize_t n;
    do {
        n = recv(ctx->sock.fd, h->rbuf + h->rlen, h->rcap - h->rlen, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    if (n <= 0) {
        h->dead = true;
        return -1;
    }
    h->rlen += n;
    return 1;
}

// Takes one whole frame out of the read buffer: 1 with f, 0 when incomplete,
// -1 when the bus sent something malformed (the connection is then dropped).
int take_frame(ubus_context *ctx, frame *f) {
    ubus_host_state *h = ctx->host;
    if (h->rlen < BUS_HDR_LEN) return 0;
    bus_hdr hdr;
    if (bus_hdr_decode(h->rbuf, &hdr) < 0) {
        h->dead = true;
        return -1;
    }
    if (h->rlen < BUS_HDR_LEN + (size_t)hdr.len) return 0;
    f->type = hdr.type;
    f->seq = hdr.seq;
    f->len = hdr.len;
    f->payload = (uint8_t *)malloc(hdr.len ? hdr.len : 1);
    if (!f->payload) {
        h->dead = true;
        return -1;
    }
    memcpy(f->payload, h->rbuf + BUS_HDR_LEN, hdr.len);
    size_t used = BUS_HDR_LEN + hdr.len;
    memmove(h->rbuf, h->rbuf + used, h->rlen - used);
    h->rlen -= used;
    if (bus_payload_parse(f->payload, f->len, f->tb) < 0) {
        free(f->payload);
        h->dead = true;
        return -1;
    }
    return 1;
}

uint32_t attr_u32(const blob_attr *a) {
    return blob_get_u32(a);
}

// An empty message for handlers called without one.
blob_attr *empty_message(blob_attr *storage) {
    storage->id_len = htobe32(((uint32_t)BUS_ATTR_DATA << BLOB_ATTR_ID_SHIFT) | sizeof(blob_attr));
    return storage;
}

void send_status(ubus_context *ctx, uint32_t seq, int status) {
    blob_buf b = {};
    if (blob_buf_init(&b, 0) == 0 && blob_put_u32(&b, BUS_ATTR_STATUS, (uint32_t)status))
        send_frame(ctx, BUS_MSG_STATUS, seq, &b);
    blob_buf_free(&b);
}

void dispatch_invoke(ubus_context *ctx, frame *f) {
    if (!f->tb[BUS_ATTR_OBJID] || !f->tb[BUS_ATTR_METHOD]) return;
    uint32_t id = attr_u32(f->tb[BUS_ATTR_OBJID]);
    const char *method = blob_get_string(f->tb[BUS_ATTR_METHOD]);
    ubus_object *obj = ctx->host->objects;
    while (obj && obj->id != id) obj = obj->host_next;
    int status = UBUS_STATUS_NOT_FOUND;
    if (obj) {
        status = UBUS_STATUS_METHOD_NOT_FOUND;
        for (int i = 0; i < obj->n_methods; i++) {
            const ubus_method *m = &obj->methods[i];
            if (!m->name || strcmp(m->name, method) != 0 || !m->handler) continue;
            ubus_request_data req = {};
            req.object = id;
            req.peer = f->tb[BUS_ATTR_PEER] ? attr_u32(f->tb[BUS_ATTR_PEER]) : 0;
            req.seq = f->seq;
            req.fd = -1;
            blob_attr empty;
            blob_attr *msg = f->tb[BUS_ATTR_DATA] ? f->tb[BUS_ATTR_DATA] : empty_message(&empty);
            status = m->handler(ctx, obj, &req, method, msg);
            break;
        }
    }
    send_status(ctx, f->seq, status);
}

// Sends a request and reads until its status arrives. Replies for req go to
// its data callback; calls for our own objects are served on the way.
int request(ubus_context *ctx, uint8_t type, blob_buf *b, ubus_request *req, int timeout_ms,
            uint32_t *objid) {
    ubus_host_state *h = ctx->host;
    uint32_t seq = ++h->next_seq;
    if (req) req->seq = (uint16_t)seq;
    if (send_frame(ctx, type, seq, b) < 0) return UBUS_STATUS_CONNECTION_FAILED;
    int64_t deadline = timeout_ms > 0 ? now_ms() + timeout_ms : 0;
    for (;;) {
        frame f;
        int r;
        while ((r = take_frame(ctx, &f)) > 0) {
            int status = -1;
            if (f.type == BUS_MSG_STATUS && f.seq == seq && f.tb[BUS_ATTR_STATUS]) {
                status = (int)attr_u32(f.tb[BUS_ATTR_STATUS]);
                if (objid && f.tb[BUS_ATTR_OBJID]) *objid = attr_u32(f.tb[BUS_ATTR_OBJID]);
            } else if (f.type == BUS_MSG_DATA && f.seq == seq && req && req->data_cb &&
                       f.tb[BUS_ATTR_DATA]) {
                req->data_cb(req, UBUS_MSG_DATA, f.tb[BUS_ATTR_DATA]);
            } else if (f.type == BUS_MSG_INVOKE) {
                dispatch_invoke(ctx, &f);
            }
            // Anything else answers a request that already timed out.
            free(f.payload);
            if (status >= 0) return status;
        }
        if (r < 0 || h->dead) return UBUS_STATUS_CONNECTION_FAILED;
        int wait = -1;
        if (deadline) {
            int64_t left = deadline - now_ms();
            if (left <= 0) return UBUS_STATUS_TIMEOUT;
            wait = (int)left;
        }
        if (fill(ctx, wait) < 0) return UBUS_STATUS_CONNECTION_FAILED;
    }
}

void default_connection_lost(ubus_context *ctx) {
    if (!ctx->sock.registered) return;
    uloop_fd_delete(&ctx->sock);
    uloop_end();
}

void uloop_cb(uloop_fd *u, unsigned int) {
    ubus_context *ctx = (ubus_context *)((char *)u - offsetof(ubus_context, sock));
    ubus_handle_event(ctx);
}

}  // namespace

struct ubus_context *ubus_connect(const char *path) {
    if (!path) path = UBUS_UNIX_SOCKET;
    struct sockaddr_un sun = {};
    sun.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof(sun.sun_path)) return nullptr;
    memcpy(sun.sun_path, path, strlen(path) + 1);
    // Close-on-exec: a service started through system() must not hold our
    // connection open after we free it.
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    if (connect(fd, (struct sockaddr *)&sun, sizeof(sun)) < 0) {
        close(fd);
        return nullptr;
    }
    ubus_context *ctx = (ubus_context *)calloc(1, sizeof(ubus_context));
    ubus_host_state *h = (ubus_host_state *)calloc(1, sizeof(ubus_host_state));
    if (!ctx || !h) {
        free(ctx);
        free(h);
        close(fd);
        return nullptr;
    }
    ctx->host = h;
    ctx->sock.fd = fd;
    ctx->connection_lost = default_connection_lost;
    // The daemon greets every client with its id; anything else is not our bus.
    int64_t deadline = now_ms() + kControlTimeoutMs;
    for (;;) {
        frame f;
        int r = take_frame(ctx, &f);
        if (r > 0) {
            bool hello = f.type == BUS_MSG_HELLO && f.tb[BUS_ATTR_PEER];
            if (hello) ctx->local_id = attr_u32(f.tb[BUS_ATTR_PEER]);
            free(f.payload);
            if (hello) return ctx;
            break;
        }
        int64_t left = deadline - now_ms();
        if (r < 0 || left <= 0 || fill(ctx, (int)left) < 0) break;
    }
    ubus_free(ctx);
    return nullptr;
}

void ubus_free(struct ubus_context *ctx) {
    if (!ctx) return;
    if (ctx->sock.registered) uloop_fd_delete(&ctx->sock);
    close(ctx->sock.fd);
    free(ctx->host->rbuf);
    free(ctx->host);
    free(ctx);
}

const char *ubus_strerror(int error) {
    static const char *const text[] = {
        "Success",
        "Invalid command",
        "Invalid argument",
        "Method not found",
        "Not found",
        "No response",
        "Permission denied",
        "Request timed out",
        "Operation not supported",
        "Unknown error",
        "Connection failed",
        "Out of memory",
        "Parsing message data failed",
        "System error",
    };
    if (error < 0 || error >= (int)ARRAY_SIZE(text)) return "Unknown error";
    return text[error];
}

int ubus_lookup_id(struct ubus_context *ctx, const char *path, uint32_t *id) {
    if (!path || !*path || strlen(path) > BUS_MAX_PATH) return UBUS_STATUS_INVALID_ARGUMENT;
    blob_buf b = {};
    int ret = UBUS_STATUS_NO_MEMORY;
    uint32_t found = 0;
    if (blob_buf_init(&b, 0) == 0 && blob_put_string(&b, BUS_ATTR_OBJPATH, path))
        ret = request(ctx, BUS_MSG_LOOKUP, &b, nullptr, kControlTimeoutMs, &found);
    blob_buf_free(&b);
    if (ret == UBUS_STATUS_OK) {
        if (!found) return UBUS_STATUS_NOT_FOUND;
        *id = found;
    }
    return ret;
}

int ubus_invoke(struct ubus_context *ctx, uint32_t obj, const char *method, struct blob_attr *msg,
                ubus_data_handler_t cb, void *priv, int timeout) {
    if (!method || !*method || strlen(method) > BUS_MAX_PATH) return UBUS_STATUS_INVALID_ARGUMENT;
    if (msg && blob_len(msg) > UBUS_MAX_MSGLEN) return UBUS_STATUS_INVALID_ARGUMENT;
    blob_buf b = {};
    int ret = UBUS_STATUS_NO_MEMORY;
    if (blob_buf_init(&b, 0) == 0 && blob_put_u32(&b, BUS_ATTR_OBJID, obj) &&
        blob_put_string(&b, BUS_ATTR_METHOD, method) && bus_put_data(&b, msg)) {
        ubus_request req = {};
        req.peer = obj;
        req.data_cb = cb;
        req.ctx = ctx;
        req.priv = priv;
        ret = request(ctx, BUS_MSG_INVOKE, &b, &req, timeout, nullptr);
        req.status_code = ret;
    }
    blob_buf_free(&b);
    return ret;
}

int ubus_add_object(struct ubus_context *ctx, struct ubus_object *obj) {
    if (!obj->name || !*obj->name || strlen(obj->name) > BUS_MAX_PATH)
        return UBUS_STATUS_INVALID_ARGUMENT;
    if (!obj->methods && obj->type) {
        obj->methods = obj->type->methods;
        obj->n_methods = obj->type->n_methods;
    }
    blob_buf b = {};
    int ret = UBUS_STATUS_NO_MEMORY;
    uint32_t id = 0;
    if (blob_buf_init(&b, 0) == 0 && blob_put_string(&b, BUS_ATTR_OBJPATH, obj->name))
        ret = request(ctx, BUS_MSG_ADD_OBJECT, &b, nullptr, kControlTimeoutMs, &id);
    blob_buf_free(&b);
    if (ret == UBUS_STATUS_OK) {
        obj->id = id;
        obj->path = obj->name;
        obj->host_next = ctx->host->objects;
        ctx->host->objects = obj;
    }
    return ret;
}

int ubus_remove_object(struct ubus_context *ctx, struct ubus_object *obj) {
    ubus_object **p = &ctx->host->objects;
    while (*p && *p != obj) p = &(*p)->host_next;
    if (!*p) return UBUS_STATUS_INVALID_ARGUMENT;
    *p = obj->host_next;
    obj->host_next = nullptr;
    blob_buf b = {};
    int ret = UBUS_STATUS_NO_MEMORY;
    if (blob_buf_init(&b, 0) == 0 && blob_put_u32(&b, BUS_ATTR_OBJID, obj->id))
        ret = request(ctx, BUS_MSG_REMOVE_OBJECT, &b, nullptr, kControlTimeoutMs, nullptr);
    blob_buf_free(&b);
    obj->id = 0;
    return ret;
}

int ubus_send_reply(struct ubus_context *ctx, struct ubus_request_data *req,
                    struct blob_attr *msg) {
    if (msg && blob_len(msg) > UBUS_MAX_MSGLEN) return UBUS_STATUS_INVALID_ARGUMENT;
    blob_buf b = {};
    int ret = UBUS_STATUS_NO_MEMORY;
    if (blob_buf_init(&b, 0) == 0 && bus_put_data(&b, msg))
        ret = send_frame(ctx, BUS_MSG_DATA, req->seq, &b) == 0 ? UBUS_STATUS_OK
                                                               : UBUS_STATUS_CONNECTION_FAILED;
    blob_buf_free(&b);
    return ret;
}

void ubus_handle_event(struct ubus_context *ctx) {
    int r = fill(ctx, 0);
    frame f;
    int t;
    while ((t = take_frame(ctx, &f)) > 0) {
        if (f.type == BUS_MSG_INVOKE) dispatch_invoke(ctx, &f);
        free(f.payload);
    }
    if (r < 0 || t < 0 || ctx->host->dead) {
        ctx->sock.eof = true;
        if (ctx->connection_lost) ctx->connection_lost(ctx);
    }
}

void ubus_add_uloop(struct ubus_context *ctx) {
    ctx->sock.cb = uloop_cb;
    uloop_fd_add(&ctx->sock, ULOOP_READ);
}
