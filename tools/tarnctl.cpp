// tarnctl: the operator's client for tarn's control port. It speaks exactly
// as libcloud does: one request per connection, at most one answer, and the
// daemon closes the connection once the answer is out. `status` asks tarn's
// bus object instead.
#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "bus/ubus_api.h"
#include "util/handle.h"
#include "util/utils.h"

// OpenWrt's headers carry no C++ guards.
extern "C" {
#include <libubox/blobmsg_json.h>
#include <libubus.h>
}

namespace {

const char kHelp[] =
    "usage: tarnctl [-a ADDRESS] [-p PORT] [-t SECONDS] COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  info                       ask for the daemon's version (get_tarn_info)\n"
    "  clean                      end every session (do_tarn_clean; no answer)\n"
    "  share-reload               send a share-information notice (no answer)\n"
    "  prepare --stun HOST[:PORT] --peer-pub IP:PORT --peer-pri IP:PORT --nat-type N\n"
    "          [--app-version N] [--session-key HEX] [--wait SECONDS]\n"
    "                             start a session (prepare_p2p); --session-key\n"
    "                             makes it private (64 hex digits, sent as given);\n"
    "                             with --wait, poll is_p2p_ready every 250 ms until\n"
    "                             the answer carries the device's addresses\n"
    "  ready SID                  ask whether session SID knows its addresses\n"
    "  raw JSON                   send JSON as it is\n"
    "  status                     show the daemon's state and sessions (ubus call\n"
    "                             tarn status; -t bounds the whole exchange)\n"
    "\n"
    "Options:\n"
    "  -a ADDRESS   control address (default 127.0.0.1)\n"
    "  -p PORT      control port (default 929)\n"
    "  -t SECONDS   how long to wait for an answer (default 5)\n"
    "\n"
    "Prints the answer on standard output. Exit status: 0 for an answer with\n"
    "error_code 0 (or a request that takes no answer), 1 for an error answer,\n"
    "2 when no answer came or the connection failed.\n"
    "\n"
    "Examples:\n"
    "  tarnctl info\n"
    "  tarnctl prepare --stun stun.example.net:3478 --peer-pub 198.51.100.7:40000 \\\n"
    "          --peer-pri 192.168.1.20:40000 --nat-type 4 --wait 5\n"
    "  tarnctl ready 001122334455-1764950000-AbCdEfGhIjKlMnOp\n"
    "  tarnctl raw '{\"request\":\"get_tarn_info\"}'\n";

enum { EXIT_ANSWER_OK = 0, EXIT_ANSWER_ERROR = 1, EXIT_NO_ANSWER = 2 };

struct Target {
    std::string address = "127.0.0.1";
    int port = 929;
    int timeout_ms = 5000;
};

using Json = unique_with<cJSON, cJSON_Delete>;

// Sends one request and collects the answer until the daemon closes the
// connection. expect_answer false: half-close after sending, so the daemon
// sees the end of the request and closes once it has handled it.
// Returns 0 with the answer (possibly empty) or -1 on a connection failure
// or time-out.
int exchange(const Target &t, const std::string &request, bool expect_answer, std::string *answer) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    struct sockaddr_in sin;
    memset(&sin, 0, sizeof(sin));
    sin.sin_family = AF_INET;
    sin.sin_port = htons(t.port);
    if (inet_pton(AF_INET, t.address.c_str(), &sin.sin_addr) != 1) {
        fprintf(stderr, "tarnctl: bad address %s\n", t.address.c_str());
        close(fd);
        return -1;
    }
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&sin), sizeof(sin)) < 0) {
        fprintf(stderr, "tarnctl: connect %s:%d: %s\n", t.address.c_str(), t.port, strerror(errno));
        close(fd);
        return -1;
    }
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != (ssize_t)request.size()) {
        fprintf(stderr, "tarnctl: send: %s\n", strerror(errno));
        close(fd);
        return -1;
    }
    if (!expect_answer) shutdown(fd, SHUT_WR);

    int64_t deadline = monotonic_ms() + t.timeout_ms;
    answer->clear();
    for (;;) {
        int64_t left = deadline - monotonic_ms();
        if (left <= 0) {
            close(fd);
            return -1;
        }
        struct pollfd pfd = {fd, POLLIN, 0};
        int rc = poll(&pfd, 1, static_cast<int>(left));
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) {
            close(fd);
            return -1;
        }
        char buf[2048];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the daemon closed: the answer is complete
        answer->append(buf, n);
    }
    close(fd);
    return 0;
}

int judge(const std::string &answer) {
    Json root(cJSON_Parse(answer.c_str()));
    if (!root) return EXIT_NO_ANSWER;
    cJSON *code = cJSON_GetObjectItem(root.get(), "error_code");
    if (!cJSON_IsNumber(code)) return EXIT_NO_ANSWER;
    return code->valueint == 0 ? EXIT_ANSWER_OK : EXIT_ANSWER_ERROR;
}

// Sends, prints the answer, and maps it to the exit status.
int run(const Target &t, const std::string &request, bool expect_answer) {
    std::string answer;
    if (exchange(t, request, expect_answer, &answer) < 0) {
        fprintf(stderr, "tarnctl: no answer\n");
        return EXIT_NO_ANSWER;
    }
    if (answer.empty()) {
        if (expect_answer) {
            fprintf(stderr, "tarnctl: connection closed without an answer\n");
            return EXIT_NO_ANSWER;
        }
        return EXIT_ANSWER_OK;
    }
    printf("%s\n", answer.c_str());
    return judge(answer);
}

std::string print_json(cJSON *obj) {
    char *text = cJSON_PrintUnformatted(obj);
    std::string s = text ? text : "";
    cJSON_free(text);
    return s;
}

std::string ready_request(const char *sid) {
    Json root(cJSON_CreateObject());
    cJSON_AddStringToObject(root.get(), "request", "is_p2p_ready");
    cJSON *params = cJSON_AddObjectToObject(root.get(), "params");
    cJSON_AddStringToObject(params, "sid", sid);
    return print_json(root.get());
}

bool split_host_port(const char *text, std::string *ip, int *port) {
    const char *colon = strrchr(text, ':');
    if (!colon || colon == text) return false;
    char *end = nullptr;
    long p = strtol(colon + 1, &end, 10);
    if (*end != '\0' || p < 0 || p > 65535) return false;
    ip->assign(text, colon - text);
    *port = static_cast<int>(p);
    return true;
}

// The answer carries the device's addresses once "result" has "dev_addr".
bool has_addresses(const std::string &answer, std::string *sid) {
    Json root(cJSON_Parse(answer.c_str()));
    cJSON *result = root ? cJSON_GetObjectItem(root.get(), "result") : nullptr;
    if (!result) return false;
    cJSON *s = cJSON_GetObjectItem(result, "sid");
    if (cJSON_IsString(s)) *sid = s->valuestring;
    return cJSON_GetObjectItem(result, "dev_addr") != nullptr;
}

int cmd_prepare(const Target &t, int argc, char **argv) {
    static const struct option opts[] = {
        {"stun", required_argument, nullptr, 's'},
        {"peer-pub", required_argument, nullptr, 'P'},
        {"peer-pri", required_argument, nullptr, 'I'},
        {"nat-type", required_argument, nullptr, 'n'},
        {"app-version", required_argument, nullptr, 'V'},
        {"wait", required_argument, nullptr, 'w'},
        {"session-key", required_argument, nullptr, 'k'},
        {nullptr, 0, nullptr, 0},
    };
    const char *stun = nullptr;
    const char *session_key = nullptr;
    std::string pub_ip, pri_ip;
    int pub_port = -1, pri_port = -1, nat_type = -1, app_version = 0;
    double wait_s = 0;
    optind = 1;
    int c;
    while ((c = getopt_long(argc, argv, "", opts, nullptr)) != -1) {
        switch (c) {
            case 's':
                stun = optarg;
                break;
            case 'P':
                if (!split_host_port(optarg, &pub_ip, &pub_port)) return -1;
                break;
            case 'I':
                if (!split_host_port(optarg, &pri_ip, &pri_port)) return -1;
                break;
            case 'n':
                nat_type = atoi(optarg);
                break;
            case 'V':
                app_version = atoi(optarg);
                break;
            case 'w':
                wait_s = atof(optarg);
                break;
            case 'k':
                session_key = optarg;
                break;
            default:
                return -1;
        }
    }
    if (!stun || pub_port < 0 || pri_port < 0 || nat_type < 0) return -1;

    Json root(cJSON_CreateObject());
    cJSON_AddStringToObject(root.get(), "request", "prepare_p2p");
    cJSON *params = cJSON_AddObjectToObject(root.get(), "params");
    cJSON_AddStringToObject(params, "version", "1.0");
    cJSON_AddNumberToObject(params, "app_imp_version", app_version);
    cJSON_AddStringToObject(params, "stun_url", stun);
    cJSON_AddNumberToObject(params, "nat_type", nat_type);
    cJSON *peer = cJSON_AddObjectToObject(params, "peer_addr");
    cJSON_AddStringToObject(peer, "pub_ip", pub_ip.c_str());
    cJSON_AddNumberToObject(peer, "pub_port", pub_port);
    cJSON_AddStringToObject(peer, "pri_ip", pri_ip.c_str());
    cJSON_AddNumberToObject(peer, "pri_port", pri_port);
    // As given: checking it is the daemon's part.
    if (session_key) cJSON_AddStringToObject(params, "session_key", session_key);

    std::string answer;
    if (exchange(t, print_json(root.get()), true, &answer) < 0 || answer.empty()) {
        fprintf(stderr, "tarnctl: no answer\n");
        return EXIT_NO_ANSWER;
    }
    std::string sid;
    int64_t deadline = monotonic_ms() + static_cast<int64_t>(wait_s * 1000);
    while (wait_s > 0 && judge(answer) == EXIT_ANSWER_OK && !has_addresses(answer, &sid) &&
           monotonic_ms() < deadline) {
        usleep(250 * 1000);
        std::string next;
        if (exchange(t, ready_request(sid.c_str()), true, &next) < 0 || next.empty()) {
            fprintf(stderr, "tarnctl: no answer\n");
            return EXIT_NO_ANSWER;
        }
        answer = next;
    }
    printf("%s\n", answer.c_str());
    int status = judge(answer);
    if (status == EXIT_ANSWER_OK && wait_s > 0 && !has_addresses(answer, &sid)) {
        fprintf(stderr, "tarnctl: no addresses after %.1f s\n", wait_s);
        return EXIT_NO_ANSWER;
    }
    return status;
}

// libubus has no time-out for connecting or looking up, and ubusd may be
// stopped: the whole exchange is bounded by an alarm.
void bus_timeout(int) {
    static const char msg[] = "tarnctl: no answer from the bus\n";
    if (write(STDERR_FILENO, msg, sizeof(msg) - 1) < 0) _exit(EXIT_NO_ANSWER);
    _exit(EXIT_NO_ANSWER);
}

void keep_status(struct ubus_request *req, int, struct blob_attr *msg) {
    if (!msg) return;
    char *text = blobmsg_format_json(msg, true);
    if (text) *static_cast<std::string *>(req->priv) = text;
    free(text);
}

long long json_int(cJSON *obj, const char *name) {
    cJSON *item = cJSON_GetObjectItem(obj, name);
    return cJSON_IsNumber(item) ? static_cast<long long>(item->valuedouble) : 0;
}

const char *json_text(cJSON *obj, const char *name) {
    cJSON *item = cJSON_GetObjectItem(obj, name);
    return cJSON_IsString(item) ? item->valuestring : "";
}

void print_status(cJSON *st) {
    printf("tarn %s, up %lld s\n", json_text(st, "version"), json_int(st, "uptime"));
    printf("STUN host: %s\n", json_text(st, "stun_host"));
    printf("NAT type: %lld (%s)\n", json_int(st, "nat_type"), json_text(st, "nat_type_name"));
    cJSON *ports = cJSON_GetObjectItem(st, "probe_ports");
    printf("probe ports: local %lld, public", json_int(ports, "local"));
    cJSON *port;
    cJSON_ArrayForEach(port, cJSON_GetObjectItem(ports, "public")) printf(" %d", port->valueint);
    printf("\nsessions: %lld of %lld\n", json_int(st, "sessions_in_use"),
           json_int(st, "sessions_max"));
    cJSON *list = cJSON_GetObjectItem(st, "sessions");
    if (cJSON_GetArraySize(list) == 0) return;
    printf("%-40s %-10s %-21s %9s %12s %12s\n", "SID", "STATE", "PEER", "AGE_MS", "TO_PEER",
           "FROM_PEER");
    cJSON *sess;
    cJSON_ArrayForEach(sess, list) {
        printf("%-40s %-10s %-21s %9lld %12lld %12lld\n", json_text(sess, "sid"),
               json_text(sess, "state"), json_text(sess, "peer"), json_int(sess, "age_ms"),
               json_int(sess, "bytes_to_peer"), json_int(sess, "bytes_from_peer"));
    }
}

int cmd_status(const Target &t) {
    signal(SIGALRM, bus_timeout);
    alarm(static_cast<unsigned>((t.timeout_ms + 999) / 1000));
    struct ubus_context *ctx = ubus_connect_system();
    if (!ctx) {
        fprintf(stderr, "tarnctl: cannot connect to the bus (is ubusd running?)\n");
        return EXIT_NO_ANSWER;
    }
    std::string answer;
    uint32_t id;
    int rc = ubus_lookup_id(ctx, "tarn", &id);
    if (rc == 0) {
        struct blob_buf b = {};
        blob_buf_init(&b, 0);
        rc = ubus_invoke(ctx, id, "status", b.head, keep_status, &answer, t.timeout_ms);
        blob_buf_free(&b);
    }
    ubus_free(ctx);
    alarm(0);
    if (rc != 0) {
        fprintf(stderr, "tarnctl: %s\n",
                rc == UBUS_STATUS_NOT_FOUND ? "tarn is not on the bus" : ubus_strerror(rc));
        return EXIT_NO_ANSWER;
    }
    Json root(cJSON_Parse(answer.c_str()));
    if (!root) {
        fprintf(stderr, "tarnctl: unreadable status\n");
        return EXIT_NO_ANSWER;
    }
    print_status(root.get());
    return EXIT_ANSWER_OK;
}

int usage_error() {
    fputs(kHelp, stderr);
    return EXIT_NO_ANSWER;
}

}  // namespace

int main(int argc, char **argv) {
    Target t;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        const char *opt = argv[i];
        if (!strcmp(opt, "-h") || !strcmp(opt, "--help")) {
            fputs(kHelp, stdout);
            return 0;
        }
        if (i + 1 >= argc) return usage_error();
        if (!strcmp(opt, "-a")) {
            t.address = argv[++i];
        } else if (!strcmp(opt, "-p")) {
            t.port = atoi(argv[++i]);
        } else if (!strcmp(opt, "-t")) {
            t.timeout_ms = static_cast<int>(atof(argv[++i]) * 1000);
        } else {
            return usage_error();
        }
    }
    if (i >= argc) return usage_error();
    const char *cmd = argv[i];
    int rest = argc - i;
    char **args = argv + i;

    if (!strcmp(cmd, "info") && rest == 1) return run(t, "{\"request\":\"get_tarn_info\"}", true);
    if (!strcmp(cmd, "clean") && rest == 1) return run(t, "{\"request\":\"do_tarn_clean\"}", false);
    if (!strcmp(cmd, "share-reload") && rest == 1)
        return run(t, "{\"action\":\"share_info_reload\"}", false);
    if (!strcmp(cmd, "ready") && rest == 2) return run(t, ready_request(args[1]), true);
    if (!strcmp(cmd, "raw") && rest == 2) return run(t, args[1], true);
    if (!strcmp(cmd, "status") && rest == 1) return cmd_status(t);
    if (!strcmp(cmd, "prepare")) {
        int status = cmd_prepare(t, rest, args);
        return status < 0 ? usage_error() : status;
    }
    return usage_error();
}
