// Request parser and answer builders of the libcloud control protocol.
#include "control/libcloud.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Parsed {
    int rc;
    control_request req;
};

Parsed parse(const std::string &text) {
    Parsed p;
    memset(&p.req, 0, sizeof(p.req));
    p.rc = libcloud_parse_request(text.c_str(), &p.req);
    return p;
}

// A valid prepare_p2p request with the member `key` as the raw JSON
// fragment `json` instead (an empty fragment leaves the member out).
std::string prepare(const std::string &key = "", const std::string &json = "") {
    std::string t =
        R"({"request":"prepare_p2p","params":{"version":"1.2","app_imp_version":3,)"
        R"("stun_url":"stun.example.net:3479","nat_type":4,"peer_addr":{"pub_ip":"203.0.113.7",)"
        R"("pub_port":40001,"pri_ip":"192.168.1.20","pri_port":50002}}})";
    if (key.empty()) return t;
    const size_t at = t.find("\"" + key + "\":"), from = at + key.size() + 3;
    const size_t to = key == "peer_addr" ? t.find('}', from) + 1 : t.find_first_of(",}", from);
    if (!json.empty()) return t.replace(from, to - from, json);
    return t[at - 1] == ',' ? t.erase(at - 1, to - at + 1) : t.erase(at, to - at + 1);
}

std::string json_str(const std::string &s) {
    return "\"" + s + "\"";
}

// The record in one line: version, app_imp_version, stun host:port, NAT
// type, public and private address.
std::string summary(const prepare_p2p_params &r) {
    char buf[320];
    snprintf(buf, sizeof(buf), "%s %d %s:%d %d %s:%d %s:%d", r.version, r.app_imp_version,
             r.stun_server, r.stun_port, r.peer_nat_type, r.peer_pub_ip, r.peer_pub_port,
             r.peer_pri_ip, r.peer_pri_port);
    return buf;
}

// Accepted requests, lenient members among them: defaults, cuts, integer
// parts, the STUN port read up to the first non-digit.
TEST(LibcloudParse, PrepareP2pFields) {
    const std::string rest = " 203.0.113.7:40001 192.168.1.20:50002";
    const std::string s127(127, 's');
    struct {
        std::string key;
        std::string json, want;
    } cases[] = {
        {"nat_type", "4", "1.2 3 stun.example.net:3479 4" + rest},
        {"version", "2", "1.0 3 stun.example.net:3479 4" + rest},
        {"version", R"("123456789")", "1234567 3 stun.example.net:3479 4" + rest},
        {"app_imp_version", R"("7")", "1.2 0 stun.example.net:3479 4" + rest},
        {"nat_type", "-1.5", "1.2 3 stun.example.net:3479 -1" + rest},
        {"pri_port", "65535.9",
         "1.2 3 stun.example.net:3479 4 203.0.113.7:40001 192.168.1.20:65535"},
        {"stun_url", R"("host")", "1.2 3 host:3478 4" + rest},
        {"stun_url", R"("host:12ab")", "1.2 3 host:12 4" + rest},
        {"stun_url", R"("host:-5")", "1.2 3 host:3478 4" + rest},  // no sign
        {"stun_url", R"("h:99999999999")", "1.2 3 h:2147483647 4" + rest},
        {"stun_url", json_str(s127), "1.2 3 " + s127 + ":3478 4" + rest},
    };
    for (auto &c : cases) {
        Parsed p = parse(prepare(c.key, c.json));
        ASSERT_EQ(p.rc, 0) << c.json;
        EXPECT_EQ(p.req.type, REQ_PREPARE_P2P);
        EXPECT_EQ(summary(p.req.prepare), c.want);
    }
}

TEST(LibcloudParse, PrepareP2pRejections) {
    const struct {
        std::string key;
        std::string json;
    } cases[] = {
        {"stun_url", ""},
        {"stun_url", json_str(std::string(122, 's') + ":34780")},  // too long, though the host fits
        {"nat_type", R"("4")"},
        {"peer_addr", R"("203.0.113.7")"},
        {"peer_addr", "{}"},
        // Outside 0..65535: 1e12 once overflowed port + 1000.
        {"pri_port", "1e12"},
        {"pri_port", "65536"},
        {"pub_port", "-1"},
        {"pub_ip", json_str("255.255.255.2555")},
        {"pri_ip", json_str("255.255.255.2555")},
    };
    for (auto &c : cases) {
        const std::string text = prepare(c.key, c.json);
        EXPECT_EQ(parse(text).rc, -1) << text;
    }
}

// The optional key of a private session: a string the key parser takes (its
// digits are the seal unit's rows), or the request fails.
TEST(LibcloudParse, PrepareP2pSessionKey) {
    std::string hex;
    for (int i = 0; i < 32; i++)
        hex += "0123456789abcdef"[i % 16] + std::string(1, "fedcba9876543210"[i % 16]);
    struct {
        std::string json;  // the member's raw JSON, empty: absent
        int rc;
    } cases[] = {{"", 0},    {json_str(hex), 0}, {json_str(hex.substr(1)), -1}, {json_str(""), -1},
                 {"12", -1}, {"null", -1}};
    for (auto &c : cases) {
        std::string text = prepare();
        if (!c.json.empty()) {
            text.replace(text.find("\"params\":{") + 10, 0, "\"session_key\":" + c.json + ",");
        }
        Parsed p = parse(text);
        ASSERT_EQ(p.rc, c.rc) << text;
        if (c.rc < 0) continue;
        EXPECT_EQ(p.req.prepare.has_session_key, c.json.empty() ? 0 : 1);
        if (c.json.empty()) continue;
        for (int i = 0; i < 32; i++) {
            EXPECT_EQ(p.req.prepare.session_key[i], std::stoi(hex.substr(2 * i, 2), nullptr, 16));
        }
    }
}

TEST(LibcloudParse, OtherRequests) {
    const std::string sid63(63, 'x');  // 64 is refused: the daemon tests
    struct {
        std::string text;
        int rc, type;
    } cases[] = {
        {R"({"request":"is_p2p_ready","params":{"sid":")" + sid63 + "\"}}", 0, REQ_IS_P2P_READY},
        {R"({"request":"is_p2p_ready","params":{"sid":12}})", -1, REQ_IS_P2P_READY},
        {R"({"request":"get_tarn_info","params":7})", 0, REQ_GET_TARN_INFO},
        {R"({"request":"do_tarn_clean"} garbage ]")", 0, REQ_DO_TARN_CLEAN},
        // Names and keywords ignore case; the first occurrence of a name counts.
        {R"({"Request":"Do_Tarn_Clean","request":"get_tarn_info"})", 0, REQ_DO_TARN_CLEAN},
        {R"({"request":"prepare_p2p"})", -1, REQ_PREPARE_P2P},
        {R"({"request":"is_p2p_ready","params":[]})", -1, REQ_IS_P2P_READY},
        // Action as a string selects the share information, whatever the request.
        {R"({"request":"bogus","Action":"reload"})", 0, REQ_SHARE_INFO},
    };
    for (auto &c : cases) {
        Parsed p = parse(c.text);
        EXPECT_EQ(p.rc, c.rc) << c.text;
        EXPECT_EQ(p.req.type, c.type) << c.text;
    }
    EXPECT_EQ(parse(cases[0].text).req.ready.sid, sid63);
}

// Answer builders.

struct Built {
    int rc;
    std::string text;
};

Built build(const control_response &resp, int len = 1024) {
    std::vector<char> buf(len > 0 ? len : 1, '#');
    int rc = libcloud_build_pready_resp(&resp, buf.data(), len);
    return {rc, rc > 0 ? std::string(buf.data()) : ""};
}

control_response error_resp(int code, const char *msg) {
    control_response r{};
    r.error_code = code;
    snprintf(r.error_msg, sizeof(r.error_msg), "%s", msg);
    return r;
}

control_response pready_resp(int type, int is_ready) {
    control_response r{};
    r.type = type;
    snprintf(r.pready.sid, sizeof(r.pready.sid), "%s", "0011223344556677-1700000000-1");
    snprintf(r.pready.pub_ip, sizeof(r.pready.pub_ip), "%s", "198.51.100.9");
    r.pready.pub_port = 61000;
    snprintf(r.pready.pri_ip, sizeof(r.pready.pri_ip), "%s", "192.168.8.1");
    r.pready.pri_port = 45000;
    r.pready.nat_type = 6;
    r.pready.is_ready = is_ready;
    return r;
}

TEST(LibcloudBuild, Answers) {
    const std::string not_ready =
        R"({"error_code":0,"result":{"sid":"0011223344556677-1700000000-1","is_ready":0}})";
    const std::string ready =
        R"({"error_code":0,"result":{"dev_addr":{"pub_ip":"198.51.100.9","pub_port":61000,)"
        R"("pri_ip":"192.168.8.1","pri_port":45000},"sid":"0011223344556677-1700000000-1",)"
        R"("is_ready":1,"dev_imp_version":2,"nat_type":6}})";
    control_response full_msg = error_resp(22, "");
    memset(full_msg.error_msg, 'm', sizeof(full_msg.error_msg));  // no NUL of its own
    full_msg.pready.pub_ip[0] = 'X';  // bytes after the field must not leak in
    control_response busy = error_resp(23, "request json string error");
    busy.type = REQ_PREPARE_P2P;  // an error code wins over the type
    struct {
        control_response resp;
        std::string want;
    } cases[] = {
        {pready_resp(REQ_IS_P2P_READY, 0), not_ready},
        {pready_resp(REQ_PREPARE_P2P, 1), ready},
        {busy, R"({"error_code":23,"error_msg":"request json string error"})"},
        {full_msg, R"({"error_code":22,"error_msg":")" + std::string(64, 'm') + "\"}"},
    };
    for (auto &c : cases) {
        Built b = build(c.resp);
        EXPECT_EQ(b.rc, static_cast<int>(c.want.size()));
        EXPECT_EQ(b.text, c.want);
        // The buffer must hold the text and its NUL.
        EXPECT_EQ(build(c.resp, b.rc).rc, -1);
        EXPECT_EQ(build(c.resp, b.rc + 1).text, c.want);
    }
    // Success answers exist only for prepare_p2p and is_p2p_ready.
    for (int type : {0, int(REQ_GET_TARN_INFO), int(REQ_INVALID)}) {
        EXPECT_EQ(build(pready_resp(type, 1)).rc, -1) << type;
    }
    char buf[8];
    EXPECT_EQ(libcloud_build_pready_resp(nullptr, buf, sizeof(buf)), -1);
    EXPECT_EQ(libcloud_build_pready_resp(&busy, nullptr, 1024), -1);
    EXPECT_EQ(build(busy, 0).rc, -1);
}

// cJSON allocations through hooks that fail the n-th call and count what is
// still held, to show every failure path releases all it created.
int g_fail_countdown;
long g_live;

void *counting_malloc(size_t n) {
    if (g_fail_countdown > 0 && --g_fail_countdown == 0) return nullptr;
    void *p = malloc(n);
    if (p != nullptr) g_live++;
    return p;
}

void counting_free(void *p) {
    if (p == nullptr) return;
    g_live--;
    free(p);
}

// Runs op with its 1st, 2nd, ... allocation failing until it succeeds.
// Returns how many runs failed.
template <typename Op>
int fail_each_allocation(Op op) {
    int failed = 0;
    for (int n = 1; n < 200; n++, failed++) {
        g_fail_countdown = n;
        g_live = 0;
        bool ok = op();
        EXPECT_EQ(g_live, 0) << "allocation " << n;
        EXPECT_EQ(ok, g_fail_countdown > 0) << "allocation " << n;
        if (g_fail_countdown > 0) return failed;  // nothing failed: op ran to the end
    }
    ADD_FAILURE() << "never succeeded";
    return failed;
}

TEST(LibcloudAllocFailure, EveryPathReleasesEverything) {
    cJSON_Hooks hooks = {counting_malloc, counting_free};
    cJSON_InitHooks(&hooks);
    char buf[1024];
    for (const control_response &r : {pready_resp(REQ_PREPARE_P2P, 1), error_resp(21, "x")}) {
        EXPECT_GE(fail_each_allocation(
                      [&] { return libcloud_build_pready_resp(&r, buf, sizeof(buf)) > 0; }),
                  3);
    }
    EXPECT_GE(
        fail_each_allocation([&] { return libcloud_build_tarn_info_resp(buf, sizeof(buf)) == 0; }),
        5);
    std::string text = prepare();
    EXPECT_GE(fail_each_allocation([&] {
                  control_request req{};
                  return libcloud_parse_request(text.c_str(), &req) == 0;
              }),
              10);
    cJSON_InitHooks(nullptr);
}

}  // namespace
