// Shared body of the service stand-ins. After detaching, the background
// process is single-threaded: uloop reads the bus connection and calls the
// handler, which appends to the log file and replies.
#include "ubus_standin.h"

#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const standin_service *g_svc;
int g_log_fd = -1;

bool write_all(int fd, const char *p, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        len -= n;
    }
    return true;
}

int handle_call(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
                const char *, struct blob_attr *msg) {
    char *line = g_svc->record(msg);
    if (!line) return UBUS_STATUS_INVALID_ARGUMENT;
    size_t len = strlen(line);
    char *rec = (char *)realloc(line, len + 2);
    if (!rec) {
        free(line);
        return UBUS_STATUS_NO_MEMORY;
    }
    rec[len] = '\n';
    // One write per record: a reader never sees half a line.
    bool ok = write_all(g_log_fd, rec, len + 1);
    free(rec);
    struct blob_buf b = {};
    if (blob_buf_init(&b, 0) == 0) {
        blobmsg_add_string(&b, "result", ok ? "ok" : "write failed");
        blobmsg_add_u32(&b, "bytes", (uint32_t)len);
        ubus_send_reply(ctx, req, b.head);
    }
    blob_buf_free(&b);
    return ok ? UBUS_STATUS_OK : UBUS_STATUS_UNKNOWN_ERROR;
}

void usage(const char *prog, FILE *f) {
    fprintf(f, "usage: %s [-s SOCKET] [-o FILE] [-p PIDFILE]\n", prog);
}

bool write_pidfile(const char *path, pid_t pid) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    char buf[32];
    int n = snprintf(buf, sizeof(buf), "%d\n", (int)pid);
    bool ok = write_all(fd, buf, n);
    return close(fd) == 0 && ok;
}

}  // namespace

int standin_main(int argc, char **argv, const struct standin_service *svc) {
    const char *sock = UBUS_UNIX_SOCKET;
    const char *log = svc->default_log;
    const char *pidfile = nullptr;
    int opt;
    while ((opt = getopt(argc, argv, "s:o:p:h")) != -1) {
        switch (opt) {
            case 's':
                sock = optarg;
                break;
            case 'o':
                log = optarg;
                break;
            case 'p':
                pidfile = optarg;
                break;
            case 'h':
                usage(svc->object, stdout);
                return 0;
            default:
                usage(svc->object, stderr);
                return 2;
        }
    }
    if (optind != argc) {
        usage(svc->object, stderr);
        return 2;
    }

    struct ubus_context *ctx = ubus_connect(sock);
    if (!ctx) {
        fprintf(stderr, "%s: cannot connect to the bus at %s\n", svc->object, sock);
        return 1;
    }
    uint32_t id;
    if (ubus_lookup_id(ctx, svc->object, &id) == UBUS_STATUS_OK) {
        ubus_free(ctx);
        return 0;
    }
    g_log_fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (g_log_fd < 0) {
        fprintf(stderr, "%s: cannot open %s: %s\n", svc->object, log, strerror(errno));
        ubus_free(ctx);
        return 1;
    }
    g_svc = svc;
    struct ubus_method method = UBUS_METHOD_NOARG(svc->method, handle_call);
    struct ubus_object_type type = {svc->object, 0, &method, 1};
    struct ubus_object obj = {};
    obj.name = svc->object;
    obj.type = &type;
    obj.methods = &method;
    obj.n_methods = 1;
    int ret = ubus_add_object(ctx, &obj);
    if (ret != UBUS_STATUS_OK) {
        // Someone registered it between our lookup and add: that is success.
        bool there = ubus_lookup_id(ctx, svc->object, &id) == UBUS_STATUS_OK;
        if (!there) fprintf(stderr, "%s: cannot add object: %s\n", svc->object, ubus_strerror(ret));
        ubus_free(ctx);
        close(g_log_fd);
        return there ? 0 : 1;
    }

    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "%s: fork: %s\n", svc->object, strerror(errno));
        ubus_free(ctx);
        close(g_log_fd);
        return 1;
    }
    if (pid > 0) {
        // The object is on the bus already; the caller may look it up now.
        int status = 0;
        if (pidfile && !write_pidfile(pidfile, pid)) {
            fprintf(stderr, "%s: cannot write %s\n", svc->object, pidfile);
            status = 1;
        }
        _exit(status);
    }

    setsid();
    signal(SIGPIPE, SIG_IGN);
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        if (null > 2) close(null);
    }
    uloop_init();
    ubus_add_uloop(ctx);
    uloop_run();  // returns when the bus connection is lost
    uloop_done();
    ubus_free(ctx);
    close(g_log_fd);
    return 0;
}
