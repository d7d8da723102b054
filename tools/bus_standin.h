// Shared body of cloud_log and web_media, stand-ins for two of the device's
// bus services: one object with one method, every call appended as one line
// to a file. Command line [-s SOCKET] [-o FILE] [-p PIDFILE]; without -s the
// bus is found where tarn finds it. Returns (exit 0) once the object is on the
// bus, or at once if it already was; a detached process serves the calls
// until the bus goes away.
#pragma once

#include "bus/ubus_api.h"

extern "C" {
#include <libubox/blobmsg_json.h>
#include <libubus.h>
}

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

namespace standin {

const char *g_object;
// The line to record for one call, or false to refuse it as invalid.
bool (*g_record)(struct blob_attr *msg, std::string *line);
int g_log_fd = -1;

int handle_call(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
                const char *, struct blob_attr *msg) {
    std::string line;
    if (!g_record(msg, &line)) return UBUS_STATUS_INVALID_ARGUMENT;
    size_t len = line.size();
    line += '\n';
    // One write per record: a reader never sees half a line.
    bool ok = write(g_log_fd, line.data(), line.size()) == (ssize_t)line.size();
    struct blob_buf b = {};
    blob_buf_init(&b, 0);
    blobmsg_add_string(&b, "result", ok ? "ok" : "write failed");
    blobmsg_add_u32(&b, "bytes", (uint32_t)len);
    ubus_send_reply(ctx, req, b.head);
    blob_buf_free(&b);
    return ok ? UBUS_STATUS_OK : UBUS_STATUS_UNKNOWN_ERROR;
}

int fail(struct ubus_context *ctx, const char *what) {
    fprintf(stderr, "%s: %s\n", g_object, what);
    if (ctx) ubus_free(ctx);
    return 1;
}

int run(int argc, char **argv, const char *object, const char *method, const char *log,
        bool (*record)(struct blob_attr *, std::string *)) {
    g_object = object, g_record = record;
    const char *sock = nullptr, *pidfile = nullptr;
    for (int opt; (opt = getopt(argc, argv, "s:o:p:")) != -1;) {
        if (opt == 's')
            sock = optarg;
        else if (opt == 'o')
            log = optarg;
        else if (opt == 'p')
            pidfile = optarg;
        else
            return 2;
    }
    if (optind != argc) {
        fprintf(stderr, "usage: %s [-s SOCKET] [-o FILE] [-p PIDFILE]\n", object);
        return 2;
    }
    struct ubus_context *ctx = sock ? ubus_connect(sock) : ubus_connect_system();
    if (!ctx) return fail(nullptr, "cannot connect to the bus");
    uint32_t id;
    if (ubus_lookup_id(ctx, object, &id) == UBUS_STATUS_OK) return ubus_free(ctx), 0;
    g_log_fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (g_log_fd < 0) return fail(ctx, strerror(errno));
    static struct ubus_method methods[1];
    methods[0].name = method;
    methods[0].handler = handle_call;
    static struct ubus_object_type type;
    type.name = object, type.methods = methods, type.n_methods = 1;
    static struct ubus_object obj;
    obj.name = object, obj.type = &type, obj.methods = methods, obj.n_methods = 1;
    if (ubus_add_object(ctx, &obj) != UBUS_STATUS_OK) {
        // Someone registered it between the lookup and the add: that is success.
        if (ubus_lookup_id(ctx, object, &id) == UBUS_STATUS_OK) return ubus_free(ctx), 0;
        return fail(ctx, "cannot add the object");
    }
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) return fail(ctx, "cannot fork");
    if (pid > 0) {
        FILE *f = pidfile ? fopen(pidfile, "we") : nullptr;
        if (f) fprintf(f, "%d\n", (int)pid);
        _exit(pidfile && (!f || fclose(f) != 0) ? 1 : 0);
    }
    setsid();
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int fd = 0; fd < 3; fd++) dup2(null, fd);
    if (null > 2) close(null);
    uloop_init();
    // The library's own handler misses a hang-up: uloop drops the fd first.
    ctx->connection_lost = [](struct ubus_context *) { uloop_end(); };
    ubus_add_uloop(ctx);
    uloop_run();  // until the bus connection is lost (or SIGTERM)
    uloop_done();
    ubus_free(ctx);
    return 0;
}

}  // namespace standin
