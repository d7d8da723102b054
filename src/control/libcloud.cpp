// Control protocol with libcloud: the request parser and the answer builders.
// Requests come from a local agent but are still untrusted text: every field
// is checked for type and length, and over-long values are refused (only the
// version is cut). The parsed tree never outlives a call.
#include "control/libcloud.h"

#include <cjson/cJSON.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <strings.h>

#include "util/handle.h"
#include "util/log.h"
#include "util/utils.h"
#include "util/seal.h"

static constexpr char log_unit[] = "libcloud";

namespace {

constexpr int kDefaultStunPort = 3478;

using json_ptr = unique_with<cJSON, cJSON_Delete>;
using text_ptr = unique_with<char, cJSON_free>;

bool is_text(const cJSON *item) {
    return cJSON_IsString(item) && item->valuestring != nullptr;
}

// A UDP port: 1e12 or -5 is bad input like any other, not a number to
// wrap or overflow later (the fixed port is port + 1000).
bool is_port(const cJSON *item) {
    return cJSON_IsNumber(item) && item->valuedouble > -1 && item->valuedouble < 65536;
}

// Keys are literals, so cJSON keeps a pointer instead of allocating a copy:
// attaching cannot run out of memory. Ownership moves only on success.
bool attach(cJSON *parent, const char *key, json_ptr &item) {
    if (!cJSON_AddItemToObjectCS(parent, key, item.get())) return false;
    item.release();
    return true;
}

// Record fields may fill their whole array without a NUL (the error message
// is copied in with a 64-character limit); never read past the field.
template <size_t N>
json_ptr make_string(const char (&field)[N]) {
    char tmp[N + 1];
    size_t n = strnlen(field, N);
    memcpy(tmp, field, n);
    tmp[n] = '\0';
    return json_ptr(cJSON_CreateString(tmp));
}

json_ptr make_number(int value) {
    return json_ptr(cJSON_CreateNumber(value));
}

// Decimal digits up to the first non-digit, as "%d" would read them, but
// saturating instead of overflowing.
int read_port(const char *s) {
    int64_t value = 0;
    for (; *s >= '0' && *s <= '9'; s++) {
        value = value * 10 + (*s - '0');
        if (value > INT_MAX) return INT_MAX;
    }
    return static_cast<int>(value);
}

}  // namespace

static int parse_request_prepare_p2p(const cJSON *params, control_request *req) {
    prepare_p2p_params *p = &req->prepare;
    LOG("start parsing request: prepare_p2p");

    const cJSON *version = cJSON_GetObjectItem(params, "version");
    if (is_text(version) && version->valuestring[0] != '\0') {
        copy_text(p->version, version->valuestring);
    } else {
        LOG("libcloud resquest: invalid prepare_p2p.version");
        copy_text(p->version, "1.0");
    }

    const cJSON *imp = cJSON_GetObjectItem(params, "app_imp_version");
    if (cJSON_IsNumber(imp)) {
        p->app_imp_version = imp->valueint;
    } else {
        LOG("libcloud request: invalid prepare_p2p.app_imp_version");
        p->app_imp_version = 0;
    }

    const cJSON *url = cJSON_GetObjectItem(params, "stun_url");
    if (!is_text(url)) {
        LOG("libcloud request: invalid prepare_p2p.stun_url");
        return -1;
    }
    if (strlen(url->valuestring) >= sizeof(p->stun_server)) {
        LOG("libcloud request: too-long prepare_p2p.stun_url: [%s]\n", url->valuestring);
        return -1;
    }
    copy_text(p->stun_server, url->valuestring);
    p->stun_port = kDefaultStunPort;
    char *colon = strchr(p->stun_server, ':');
    if (colon != nullptr) {
        *colon = '\0';
        if (colon[1] >= '0' && colon[1] <= '9') p->stun_port = read_port(colon + 1);
    }

    const cJSON *nat = cJSON_GetObjectItem(params, "nat_type");
    if (!cJSON_IsNumber(nat)) {
        LOG("libcloud request: invalid start_p2p.nat_type");
        return -1;
    }
    p->peer_nat_type = nat->valueint;

    const cJSON *addr = cJSON_GetObjectItem(params, "peer_addr");
    if (!cJSON_IsObject(addr)) {
        LOG("libcloud request: invalid start_p2p.peer_addr");
        return -1;
    }
    const cJSON *pub_ip = cJSON_GetObjectItem(addr, "pub_ip");
    const cJSON *pri_ip = cJSON_GetObjectItem(addr, "pri_ip");
    const cJSON *pub_port = cJSON_GetObjectItem(addr, "pub_port");
    const cJSON *pri_port = cJSON_GetObjectItem(addr, "pri_port");
    if (!is_text(pub_ip) || !is_text(pri_ip) || !is_port(pub_port) || !is_port(pri_port)) {
        LOG("libcloud request: invalid start_p2p.ip/port");
        return -1;
    }
    if (strlen(pub_ip->valuestring) >= sizeof(p->peer_pub_ip) ||
        strlen(pri_ip->valuestring) >= sizeof(p->peer_pri_ip)) {
        LOG("libcloud request: too-long start_p2p.ip: eip: [%s]; iip: [%s]\n", pub_ip->valuestring,
            pri_ip->valuestring);
        return -1;
    }
    copy_text(p->peer_pub_ip, pub_ip->valuestring);
    copy_text(p->peer_pri_ip, pri_ip->valuestring);
    p->peer_pub_port = pub_port->valueint;
    p->peer_pri_port = pri_port->valueint;

    // Optional: without it the session is a plain one, as for every viewer
    // that does not know private sessions.
    cJSON *key = cJSON_GetObjectItem(params, "session_key");
    if (key) {
        bool ok = is_text(key) && seal_parse_key(key->valuestring, p->session_key) == 0;
        // The parsed tree is freed without wiping: wipe the key's text here.
        if (is_text(key)) seal_wipe(key->valuestring, strlen(key->valuestring));
        if (!ok) {
            LOG("libcloud request: invalid prepare_p2p.session_key");
            return -1;
        }
        p->has_session_key = 1;
    }
    return 0;
}

static int parse_request_ready(const cJSON *params, control_request *req) {
    LOG("start parsing request: is_p2p_ready");
    const cJSON *sid = cJSON_GetObjectItem(params, "sid");
    if (!is_text(sid)) {
        LOG("libcloud request: invalid start_p2p.sid");
        return -1;
    }
    if (strlen(sid->valuestring) >= sizeof(req->ready.sid)) {
        LOG("libcloud request: too-long start_p2p.sid: [%s]\n", sid->valuestring);
        return -1;
    }
    copy_text(req->ready.sid, sid->valuestring);
    LOG("parse is_ready request, success");
    return 0;
}

int libcloud_parse_request(const char *text, control_request *req) {
    if (text == nullptr || text[0] == '\0' || req == nullptr) return -1;
    LOG("libcloud request: parsing [%s]\n", text);

    // Anything after the top-level value is ignored.
    json_ptr root(cJSON_Parse(text));
    if (!root) {
        LOG("libcloud request: invalid json");
        return -1;
    }
    if (!cJSON_IsObject(root.get())) return -1;

    // A share-info reload is recognised by its "action" member alone.
    if (is_text(cJSON_GetObjectItem(root.get(), "action"))) {
        req->type = REQ_SHARE_INFO;
        return 0;
    }

    const cJSON *request = cJSON_GetObjectItem(root.get(), "request");
    if (!is_text(request)) return -1;

    static const struct {
        const char *keyword;
        int type;
    } kKeywords[] = {
        {"prepare_p2p", REQ_PREPARE_P2P},
        {"is_p2p_ready", REQ_IS_P2P_READY},
        {"get_tarn_info", REQ_GET_TARN_INFO},
        {"do_tarn_clean", REQ_DO_TARN_CLEAN},
    };
    req->type = REQ_INVALID;
    for (const auto &k : kKeywords) {
        if (strcasecmp(request->valuestring, k.keyword) == 0) {
            req->type = k.type;
            break;
        }
    }

    const cJSON *params = nullptr;
    switch (req->type) {
        case REQ_PREPARE_P2P:
            params = cJSON_GetObjectItem(root.get(), "params");
            if (!cJSON_IsObject(params)) {
                LOG("libcloud request: invalid params");
                return -1;
            }
            if (parse_request_prepare_p2p(params, req) != 0) {
                LOG("parse prepare_p2p request error");
                return -1;
            }
            return 0;
        case REQ_IS_P2P_READY:
            params = cJSON_GetObjectItem(root.get(), "params");
            if (!cJSON_IsObject(params)) {
                LOG("libcloud request: invalid params");
                return -1;
            }
            if (parse_request_ready(params, req) != 0) {
                LOG("parse request is_ready, error");
                return -1;
            }
            return 0;
        case REQ_GET_TARN_INFO:
            LOG("libcloud request: get tarn info.");
            return 0;
        case REQ_DO_TARN_CLEAN:
            LOG("libcloud request: do tarn clean.");
            return 0;
        default:
            LOG("libcloud request: invalid reqtype: [%s]\n", request->valuestring);
            return -1;
    }
}

// Builds the "result" member of a successful pready answer, or null.
static json_ptr build_pready_result(const control_response *resp) {
    const pready_record &r = resp->pready;
    json_ptr result(cJSON_CreateObject());
    if (!result) return nullptr;

    if (r.is_ready == 0) {
        json_ptr sid = make_string(r.sid);
        json_ptr is_ready = make_number(0);
        if (!sid || !is_ready) return nullptr;
        if (!attach(result.get(), "sid", sid) || !attach(result.get(), "is_ready", is_ready))
            return nullptr;
        return result;
    }

    // Every node is created before any is attached, so one failure releases
    // them all through their owners.
    json_ptr is_ready = make_number(r.is_ready);
    json_ptr imp = make_number(DEV_IMP_VERSION);
    json_ptr sid = make_string(r.sid);
    json_ptr nat_type = make_number(r.nat_type);
    json_ptr pub_ip = make_string(r.pub_ip);
    json_ptr pub_port = make_number(r.pub_port);
    json_ptr pri_ip = make_string(r.pri_ip);
    json_ptr pri_port = make_number(r.pri_port);
    json_ptr dev_addr(cJSON_CreateObject());
    if (!is_ready || !imp || !sid || !nat_type || !pub_ip || !pub_port || !pri_ip || !pri_port ||
        !dev_addr)
        return nullptr;

    cJSON *a = dev_addr.get();
    cJSON *res = result.get();
    if (!attach(a, "pub_ip", pub_ip) || !attach(a, "pub_port", pub_port) ||
        !attach(a, "pri_ip", pri_ip) || !attach(a, "pri_port", pri_port) ||
        !attach(res, "dev_addr", dev_addr) || !attach(res, "sid", sid) ||
        !attach(res, "is_ready", is_ready) || !attach(res, "dev_imp_version", imp) ||
        !attach(res, "nat_type", nat_type))
        return nullptr;
    return result;
}

int libcloud_build_pready_resp(const control_response *resp, char *buf, int len) {
    if (buf == nullptr || resp == nullptr || len < 1) return -1;

    json_ptr root(cJSON_CreateObject());
    json_ptr code = make_number(resp->error_code);
    if (!root || !code) return -1;

    if (resp->error_code != 0) {
        json_ptr msg = make_string(resp->error_msg);
        if (!msg) return -1;
        if (!attach(root.get(), "error_code", code) || !attach(root.get(), "error_msg", msg))
            return -1;
    } else {
        if (resp->type != REQ_PREPARE_P2P && resp->type != REQ_IS_P2P_READY) return -1;
        json_ptr result = build_pready_result(resp);
        if (!result) return -1;
        if (!attach(root.get(), "error_code", code) || !attach(root.get(), "result", result))
            return -1;
    }

    text_ptr text(cJSON_PrintUnformatted(root.get()));
    if (!text) return -1;
    size_t n = strlen(text.get());
    // Refused whole, never cut.
    if (n >= static_cast<size_t>(len)) return -1;
    memcpy(buf, text.get(), n + 1);
    LOG("libcloud resposne: %d[%s]\n", static_cast<int>(n), buf);
    return static_cast<int>(n);
}

int libcloud_build_tarn_info_resp(char *buf, int len) {
    if (buf == nullptr) {
        LOG("buffer is NULL.");
        return -1;
    }
    if (len <= 0) {
        LOG("buffer length is not positive.");
        return -1;
    }
    json_ptr root(cJSON_CreateObject());
    if (!root) {
        LOG("error: failed when creating cjson root.");
        return -1;
    }
    json_ptr code = make_number(0);
    if (!code) {
        LOG("error: failed when creating cjson err_code.");
        return -1;
    }
    json_ptr result(cJSON_CreateObject());
    if (!result) {
        LOG("error: failed when creating cjson result.");
        return -1;
    }
    json_ptr version(cJSON_CreateString(TARN_VERSION));
    if (!version) {
        LOG("error: failed when creating cjson version.");
        return -1;
    }
    // Attaching with literal keys allocates nothing; this cannot fail with
    // the non-null nodes above, but ownership must stay right if it did.
    if (!attach(result.get(), "version", version) || !attach(root.get(), "error_code", code) ||
        !attach(root.get(), "result", result)) {
        LOG("error: failed when creating cjson result.");
        return -1;
    }

    text_ptr text(cJSON_PrintUnformatted(root.get()));
    if (!text) {
        LOG("error: failed when print unformatted.");
        return -1;
    }
    size_t n = strlen(text.get());
    if (n >= static_cast<size_t>(len)) {
        LOG("buffer len is not enough.");
        return -1;
    }
    memcpy(buf, text.get(), n + 1);
    return 0;
}
