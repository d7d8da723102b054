// Report upload to the cloud_log service over the system bus.
//
// Producers: the loop thread (session reports) and the NAT-type worker
// (discovery reports). Both share one bus connection and one message buffer,
// so a whole upload, including the reply callback that runs inside the
// invoke, holds g_upload_lock. Nothing else touches this state but
// ubus_deinit at exit, under the same lock.
#include "stats/ubus_api.h"

#include "util/log.h"

// OpenWrt's headers carry no C++ guards.
extern "C" {
#include <libubox/blobmsg_json.h>
#include <libubus.h>
}

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

static constexpr char log_unit[] = "ubus_api";

#define UBUS_SOCKET "/var/run/ubus.sock"  // ubusd's before 2020
#define CLOUD_LOG_OBJECT "cloud_log"
#define CLOUD_LOG_METHOD "upload_log"
#define CLOUD_LOG_COMMAND "cloud_log"
#define LOOKUP_RETRIES 10
#define LOOKUP_RETRY_US 20000
#define REPLY_WAIT_MS 100

static pthread_mutex_t g_upload_lock = PTHREAD_MUTEX_INITIALIZER;
static struct ubus_context *g_ctx;
static struct blob_buf g_buf;

struct ubus_context *ubus_connect_system() {
    // libubus starts uloop, which takes SIGCHLD (without SA_RESTART), and
    // SIGINT, SIGTERM while nobody has them; tarn runs no uloop: keep its own.
    static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    static const int kSignals[] = {SIGCHLD, SIGINT, SIGTERM};
    struct sigaction saved[3];
    pthread_mutex_lock(&lock);
    for (int i = 0; i < 3; i++) sigaction(kSignals[i], NULL, &saved[i]);
    struct ubus_context *ctx = ubus_connect(UBUS_SOCKET);
    if (!ctx) ctx = ubus_connect(NULL);  // the library's default, /var/run/ubus/ubus.sock
    for (int i = 0; i < 3; i++) sigaction(kSignals[i], &saved[i], NULL);
    pthread_mutex_unlock(&lock);
    // libubus means to, but does not, keep the socket from services tarn starts.
    if (ctx) fcntl(ctx->sock.fd, F_SETFD, FD_CLOEXEC);
    return ctx;
}

static int ubus_init() {
    if (g_ctx) return 0;
    g_ctx = ubus_connect_system();
    if (!g_ctx) {
        LOG("error: failed to connect ubusd.");
        return -1;
    }
    return 0;
}

static int lookup_cloud_log(uint32_t *id) {
    if (ubus_lookup_id(g_ctx, CLOUD_LOG_OBJECT, id) == 0) return 0;
    // The service starts in the background and returns once it is on the bus.
    (void)!system(CLOUD_LOG_COMMAND);
    for (int i = 0; i < LOOKUP_RETRIES; i++) {
        usleep(LOOKUP_RETRY_US);
        if (ubus_lookup_id(g_ctx, CLOUD_LOG_OBJECT, id) == 0) {
            LOG("start cloud_log successfully.");
            return 0;
        }
    }
    LOG("error: failed to run cloud_log.");
    return -1;
}

static void receive_call_result_data(struct ubus_request *, int, struct blob_attr *msg) {
    if (!msg) return;
    char *text = blobmsg_format_json_with_cb(msg, true, NULL, NULL, 0);
    LOG("ubus resp: %s\n", text);
    free(text);
}

void send_log_to_cloud_log(const char *text) {
    if (!text || !*text) return;
    pthread_mutex_lock(&g_upload_lock);
    uint32_t id;
    if (ubus_init() < 0) {
        LOG("error: failed to init ubus.");
    } else if (lookup_cloud_log(&id) < 0) {
        LOG("error: failed to lookup cloud_log.");
    } else {
        blob_buf_init(&g_buf, 0);
        blobmsg_add_string(&g_buf, "log_data", text);
        ubus_invoke(g_ctx, id, CLOUD_LOG_METHOD, g_buf.head, receive_call_result_data, NULL,
                    REPLY_WAIT_MS);
        LOG("ubus invoke return.\n\n\n");
    }
    pthread_mutex_unlock(&g_upload_lock);
}

void ubus_deinit() {
    pthread_mutex_lock(&g_upload_lock);
    if (g_ctx) {
        ubus_free(g_ctx);
        g_ctx = NULL;
    }
    pthread_mutex_unlock(&g_upload_lock);
}
