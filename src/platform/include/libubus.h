// Host back end of libubus: a client of tarn-ubusd (docs/host-bus.md). Covers
// connect, lookup, invoke with reply callback and time-out, object
// registration with method handlers, replies, and the uloop integration.
#pragma once

#include <libubox/blobmsg.h>
#include <libubox/uloop.h>

#ifdef __cplusplus
extern "C" {
#endif

#define UBUS_UNIX_SOCKET "/var/run/ubus.sock"
#define UBUS_MAX_MSGLEN 1048576

#ifndef ARRAY_SIZE
#define ARRAY_SIZE(x) (sizeof(x) / sizeof((x)[0]))
#endif

enum ubus_msg_type {
    UBUS_MSG_HELLO,
    UBUS_MSG_STATUS,
    UBUS_MSG_DATA,
    UBUS_MSG_PING,
    UBUS_MSG_LOOKUP,
    UBUS_MSG_INVOKE,
    UBUS_MSG_ADD_OBJECT,
    UBUS_MSG_REMOVE_OBJECT,
    __UBUS_MSG_LAST,
};

enum ubus_msg_status {
    UBUS_STATUS_OK,
    UBUS_STATUS_INVALID_COMMAND,
    UBUS_STATUS_INVALID_ARGUMENT,
    UBUS_STATUS_METHOD_NOT_FOUND,
    UBUS_STATUS_NOT_FOUND,
    UBUS_STATUS_NO_DATA,
    UBUS_STATUS_PERMISSION_DENIED,
    UBUS_STATUS_TIMEOUT,
    UBUS_STATUS_NOT_SUPPORTED,
    UBUS_STATUS_UNKNOWN_ERROR,
    UBUS_STATUS_CONNECTION_FAILED,
    UBUS_STATUS_NO_MEMORY,
    UBUS_STATUS_PARSE_ERROR,
    UBUS_STATUS_SYSTEM_ERROR,
    __UBUS_STATUS_LAST
};

struct ubus_context;
struct ubus_request;
struct ubus_request_data;
struct ubus_object;
struct ubus_host_state;

typedef void (*ubus_data_handler_t)(struct ubus_request *req, int type, struct blob_attr *msg);
typedef void (*ubus_complete_handler_t)(struct ubus_request *req, int ret);
typedef int (*ubus_handler_t)(struct ubus_context *ctx, struct ubus_object *obj,
                              struct ubus_request_data *req, const char *method,
                              struct blob_attr *msg);
typedef void (*ubus_state_handler_t)(struct ubus_context *ctx, struct ubus_object *obj);

struct ubus_method {
    const char *name;
    ubus_handler_t handler;
    unsigned long mask;
    unsigned long tags;
    const struct blobmsg_policy *policy;
    int n_policy;
};

struct ubus_object_type {
    const char *name;
    uint32_t id;
    const struct ubus_method *methods;
    int n_methods;
};

struct ubus_object {
    const char *name;
    uint32_t id;
    const char *path;
    struct ubus_object_type *type;
    ubus_state_handler_t subscribe_cb;
    bool has_subscribers;
    const struct ubus_method *methods;
    int n_methods;
    struct ubus_object *host_next;  // the context's list of registered objects
};

struct ubus_context {
    struct uloop_fd sock;
    uint32_t local_id;
    uint16_t request_seq;
    void (*connection_lost)(struct ubus_context *ctx);
    struct ubus_host_state *host;
};

struct ubus_request {
    int status_code;
    bool status_msg;
    bool cancelled;
    uint32_t peer;
    uint16_t seq;
    ubus_data_handler_t data_cb;
    ubus_complete_handler_t complete_cb;
    struct ubus_context *ctx;
    void *priv;
};

struct ubus_request_data {
    uint32_t object;
    uint32_t peer;
    uint32_t seq;
    bool deferred;
    int fd;
};

#define UBUS_METHOD(_name, _handler, _policy) \
    { _name, _handler, 0, 0, _policy, (int)ARRAY_SIZE(_policy) }
#define UBUS_METHOD_NOARG(_name, _handler) \
    { _name, _handler, 0, 0, NULL, 0 }
#define UBUS_OBJECT_TYPE(_name, _methods) \
    { _name, 0, _methods, (int)ARRAY_SIZE(_methods) }

// NULL path means UBUS_UNIX_SOCKET. NULL on failure.
struct ubus_context *ubus_connect(const char *path);
void ubus_free(struct ubus_context *ctx);
const char *ubus_strerror(int error);

// 0 with the object's id, or a UBUS_STATUS_* code.
int ubus_lookup_id(struct ubus_context *ctx, const char *path, uint32_t *id);
// Calls method on object obj and waits for its status; every reply message is
// passed to cb first. timeout in ms, 0 waits for ever.
int ubus_invoke(struct ubus_context *ctx, uint32_t obj, const char *method, struct blob_attr *msg,
                ubus_data_handler_t cb, void *priv, int timeout);

int ubus_add_object(struct ubus_context *ctx, struct ubus_object *obj);
int ubus_remove_object(struct ubus_context *ctx, struct ubus_object *obj);
// Sends one reply message for the call being handled.
int ubus_send_reply(struct ubus_context *ctx, struct ubus_request_data *req, struct blob_attr *msg);

// Reads and dispatches whatever the bus has sent; calls connection_lost on
// end of stream.
void ubus_handle_event(struct ubus_context *ctx);
void ubus_add_uloop(struct ubus_context *ctx);

#ifdef __cplusplus
}
#endif
