// Request parser and answer builders of the libcloud control protocol.
#include "control/libcloud.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// Log lines with the "libcloud:LINE " prefix checked and dropped, leaving
// "(function) message" so tests pin the logging function too.
Lines log_lines(const std::string &out) {
    Lines lines;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        std::string line = out.substr(start, end - start);
        EXPECT_EQ(line.rfind("libcloud:", 0), 0u) << line;
        size_t sp = line.find(' ');
        lines.push_back(sp == std::string::npos ? line : line.substr(sp + 1));
        start = end + 1;
    }
    return lines;
}

struct Parsed {
    int rc;
    control_request req;
    Lines log;
};

Parsed parse(const std::string &text) {
    Parsed p;
    memset(&p.req, 0, sizeof(p.req));
    testing::internal::CaptureStdout();
    p.rc = libcloud_parse_request(text.c_str(), &p.req);
    p.log = log_lines(testing::internal::GetCapturedStdout());
    return p;
}

const std::string kParsing = "(libcloud_parse_request) libcloud request: parsing [";
const std::string kStart = "(parse_request_prepare_p2p) start parsing request: prepare_p2p";
const std::string kPrepareError = "(libcloud_parse_request) parse prepare_p2p request error";
const std::string kReadyError = "(libcloud_parse_request) parse request is_ready, error";

// A valid prepare_p2p request; each member is a raw JSON fragment and an
// empty fragment leaves the member out.
struct Prepare {
    std::string version = R"("1.2")";
    std::string app_imp_version = "3";
    std::string stun_url = R"("stun.example.net:3479")";
    std::string nat_type = "4";
    std::string pub_ip = R"("203.0.113.7")";
    std::string pub_port = "40001";
    std::string pri_ip = R"("192.168.1.20")";
    std::string pri_port = "50002";
    std::string peer_addr;  // overrides the four members above when set

    std::string text() const {
        std::string addr = peer_addr;
        if (addr.empty())
            addr = "{" +
                   join({{"pub_ip", pub_ip},
                         {"pub_port", pub_port},
                         {"pri_ip", pri_ip},
                         {"pri_port", pri_port}}) +
                   "}";
        return R"({"request":"prepare_p2p","params":{)" +
               join({{"version", version},
                     {"app_imp_version", app_imp_version},
                     {"stun_url", stun_url},
                     {"nat_type", nat_type},
                     {"peer_addr", addr}}) +
               "}}";
    }
    static std::string join(std::vector<std::pair<std::string, std::string>> members) {
        std::string out;
        for (auto &m : members) {
            if (m.second.empty()) continue;
            if (!out.empty()) out += ",";
            out += "\"" + m.first + "\":" + m.second;
        }
        return out;
    }
};

std::string json_str(const std::string &s) {
    return "\"" + s + "\"";
}

TEST(LibcloudParse, PrepareP2pFillsEveryField) {
    Prepare req;
    Parsed p = parse(req.text());
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.req.type, REQ_PREPARE_P2P);
    const prepare_p2p_params &r = p.req.prepare;
    EXPECT_STREQ(r.version, "1.2");
    EXPECT_EQ(r.app_imp_version, 3);
    EXPECT_STREQ(r.stun_server, "stun.example.net");
    EXPECT_EQ(r.stun_port, 3479);
    EXPECT_EQ(r.peer_nat_type, 4);
    EXPECT_STREQ(r.peer_pub_ip, "203.0.113.7");
    EXPECT_EQ(r.peer_pub_port, 40001);
    EXPECT_STREQ(r.peer_pri_ip, "192.168.1.20");
    EXPECT_EQ(r.peer_pri_port, 50002);
    EXPECT_EQ(p.log, (Lines{kParsing + req.text() + "]", kStart}));
}

TEST(LibcloudParse, VersionDefaultsAndCut) {
    const std::string invalid =
        "(parse_request_prepare_p2p) libcloud resquest: invalid prepare_p2p.version";
    struct {
        std::string json, want;
        bool logged;
    } cases[] = {
        {"", "1.0", true},       // absent
        {R"("")", "1.0", true},  // empty
        {"2", "1.0", true},      // not a string
        {R"("1234567")", "1234567", false},
        {R"("123456789")", "1234567", false},  // cut, not refused
    };
    for (auto &c : cases) {
        Prepare req;
        req.version = c.json;
        Parsed p = parse(req.text());
        ASSERT_EQ(p.rc, 0) << c.json;
        EXPECT_STREQ(p.req.prepare.version, c.want.c_str()) << c.json;
        Lines want{kParsing + req.text() + "]", kStart};
        if (c.logged) want.push_back(invalid);
        EXPECT_EQ(p.log, want) << c.json;
    }
}

TEST(LibcloudParse, AppImpVersionDefaultsToZeroWithoutFailing) {
    const std::string invalid =
        "(parse_request_prepare_p2p) libcloud request: invalid prepare_p2p.app_imp_version";
    for (std::string json : {"", R"("7")", "null"}) {
        Prepare req;
        req.app_imp_version = json;
        Parsed p = parse(req.text());
        ASSERT_EQ(p.rc, 0) << json;
        EXPECT_EQ(p.req.prepare.app_imp_version, 0) << json;
        EXPECT_EQ(p.log.back(), invalid) << json;
    }
    Prepare req;
    req.app_imp_version = "2.9";
    Parsed p = parse(req.text());
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.req.prepare.app_imp_version, 2);
}

TEST(LibcloudParse, StunUrlHostAndPort) {
    struct {
        std::string url, host;
        int port;
    } cases[] = {
        {"stun.example.net", "stun.example.net", 3478},
        {"198.51.100.1:3479", "198.51.100.1", 3479},
        {"host:12ab", "host", 12},  // digits up to the first non-digit
        {"host:", "host", 3478},    // nothing after ':'
        {"host:x1", "host", 3478},  // non-digit after ':'
        {"host:-5", "host", 3478},  // a sign is not a digit
        {"host:0", "host", 0},      // no range test
        {"host:99999", "host", 99999},
        {"a:b:7", "a", 3478},  // cut at the first ':'
        {"host:99999999999", "host", INT_MAX},
        {":3478", "", 3478},
    };
    for (auto &c : cases) {
        Prepare req;
        req.stun_url = json_str(c.url);
        Parsed p = parse(req.text());
        ASSERT_EQ(p.rc, 0) << c.url;
        EXPECT_STREQ(p.req.prepare.stun_server, c.host.c_str()) << c.url;
        EXPECT_EQ(p.req.prepare.stun_port, c.port) << c.url;
    }
}

TEST(LibcloudParse, StunUrlLengthLimit) {
    Prepare req;
    std::string url127(127, 's');
    req.stun_url = json_str(url127);
    Parsed p = parse(req.text());
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.req.prepare.stun_server, url127);

    std::string url128 = std::string(122, 's') + ":34780";  // refused even though the host fits
    req.stun_url = json_str(url128);
    p = parse(req.text());
    EXPECT_EQ(p.rc, -1);
    EXPECT_EQ(p.log, (Lines{kParsing + req.text() + "]", kStart,
                            "(parse_request_prepare_p2p) libcloud request: too-long "
                            "prepare_p2p.stun_url: [" +
                                url128 + "]",
                            kPrepareError}));
}

TEST(LibcloudParse, PrepareP2pRejectsMissingOrMistypedMembers) {
    const std::string url =
        "(parse_request_prepare_p2p) libcloud request: invalid prepare_p2p.stun_url";
    const std::string nat =
        "(parse_request_prepare_p2p) libcloud request: invalid start_p2p.nat_type";
    const std::string addr =
        "(parse_request_prepare_p2p) libcloud request: invalid start_p2p.peer_addr";
    const std::string ipport =
        "(parse_request_prepare_p2p) libcloud request: invalid start_p2p.ip/port";
    struct {
        std::string Prepare::*member;
        std::string json, line;
    } cases[] = {
        {&Prepare::stun_url, "", url},
        {&Prepare::stun_url, "3478", url},
        {&Prepare::nat_type, "", nat},
        {&Prepare::nat_type, R"("4")", nat},
        {&Prepare::peer_addr, R"("203.0.113.7")", addr},
        {&Prepare::peer_addr, R"(["203.0.113.7",1,"192.168.1.20",2])", addr},
        {&Prepare::pub_ip, "", ipport},
        {&Prepare::pub_ip, "1", ipport},
        {&Prepare::pri_ip, R"({"ip":"192.168.1.20"})", ipport},
        {&Prepare::pub_port, R"("40001")", ipport},
        {&Prepare::pri_port, "", ipport},
        {&Prepare::pri_port, "true", ipport},
        // Outside 0..65535: 1e12 once overflowed port + 1000.
        {&Prepare::pri_port, "1e12", ipport},
        {&Prepare::pri_port, "65536", ipport},
        {&Prepare::pub_port, "-1", ipport},
    };
    for (auto &c : cases) {
        Prepare req;
        req.*c.member = c.json;
        Parsed p = parse(req.text());
        EXPECT_EQ(p.rc, -1) << req.text();
        ASSERT_GE(p.log.size(), 2u);
        EXPECT_EQ(p.log[p.log.size() - 2], c.line) << req.text();
        EXPECT_EQ(p.log.back(), kPrepareError) << req.text();
    }
    Prepare req;
    req.peer_addr = "";
    req.pub_ip = req.pub_port = req.pri_ip = req.pri_port = "";  // "peer_addr":{}
    EXPECT_EQ(parse(req.text()).log.end()[-2], ipport);
}

TEST(LibcloudParse, PeerAddressLimitsAndNumbers) {
    const std::string ip15 = "255.255.255.255", ip16 = "255.255.255.2555";
    Prepare req;
    req.pub_ip = json_str(ip15);
    req.pri_ip = json_str(ip15);
    req.pub_port = "40001.9";  // integer part
    req.pri_port = "65535";    // the highest port
    req.nat_type = "-1.5";
    Parsed p = parse(req.text());
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.req.prepare.peer_pub_ip, ip15);
    EXPECT_EQ(p.req.prepare.peer_pri_ip, ip15);
    EXPECT_EQ(p.req.prepare.peer_pub_port, 40001);
    EXPECT_EQ(p.req.prepare.peer_pri_port, 65535);
    EXPECT_EQ(p.req.prepare.peer_nat_type, -1);

    for (bool pub : {true, false}) {
        Prepare bad;
        (pub ? bad.pub_ip : bad.pri_ip) = json_str(ip16);
        p = parse(bad.text());
        EXPECT_EQ(p.rc, -1);
        std::string eip = pub ? ip16 : "203.0.113.7", iip = pub ? "192.168.1.20" : ip16;
        EXPECT_EQ(p.log, (Lines{kParsing + bad.text() + "]", kStart,
                                "(parse_request_prepare_p2p) libcloud request: too-long "
                                "start_p2p.ip: eip: [" +
                                    eip + "]; iip: [" + iip + "]",
                                kPrepareError}));
    }
}

TEST(LibcloudParse, IsP2pReadySid) {
    std::string sid63(63, 'x'), sid64(64, 'x');
    std::string text = R"({"request":"is_p2p_ready","params":{"sid":")" + sid63 + "\"}}";
    Parsed p = parse(text);
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.req.type, REQ_IS_P2P_READY);
    EXPECT_EQ(p.req.ready.sid, sid63);
    EXPECT_EQ(p.log, (Lines{kParsing + text + "]",
                            "(parse_request_ready) start parsing request: is_p2p_ready",
                            "(parse_request_ready) parse is_ready request, success"}));

    text = R"({"request":"is_p2p_ready","params":{"sid":")" + sid64 + "\"}}";
    p = parse(text);
    EXPECT_EQ(p.rc, -1);
    EXPECT_EQ(
        p.log,
        (Lines{kParsing + text + "]", "(parse_request_ready) start parsing request: is_p2p_ready",
               "(parse_request_ready) libcloud request: too-long start_p2p.sid: [" + sid64 + "]",
               kReadyError}));

    for (std::string params : {R"({})", R"({"sid":12})"}) {
        p = parse(R"({"request":"is_p2p_ready","params":)" + params + "}");
        EXPECT_EQ(p.rc, -1) << params;
        EXPECT_EQ(p.log.end()[-2], "(parse_request_ready) libcloud request: invalid start_p2p.sid");
        EXPECT_EQ(p.log.back(), kReadyError);
    }
}

TEST(LibcloudParse, NamesAndKeywordsIgnoreCase) {
    Parsed p = parse(R"({"REQUEST":"Is_P2P_Ready","Params":{"SID":"AbC-123"}})");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.req.type, REQ_IS_P2P_READY);
    EXPECT_STREQ(p.req.ready.sid, "AbC-123");

    p = parse(R"({"request":"PREPARE_P2P","params":{"STUN_URL":"h:1","Nat_Type":1,)"
              R"("peer_ADDR":{"PUB_IP":"a","pub_PORT":2,"Pri_Ip":"b","PRI_port":3}}})");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.req.type, REQ_PREPARE_P2P);
    EXPECT_STREQ(p.req.prepare.peer_pri_ip, "b");

    // The first occurrence of a name counts, whatever its case.
    EXPECT_EQ(parse(R"({"Request":"do_tarn_clean","request":"get_tarn_info"})").req.type,
              REQ_DO_TARN_CLEAN);
}

TEST(LibcloudParse, RequestsWithoutParams) {
    Parsed p = parse(R"({"request":"get_tarn_info","params":7})");
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.req.type, REQ_GET_TARN_INFO);
    EXPECT_EQ(p.log.back(), "(libcloud_parse_request) libcloud request: get tarn info.");

    p = parse(R"({"request":"do_tarn_clean"})");
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.req.type, REQ_DO_TARN_CLEAN);
    EXPECT_EQ(p.log.back(), "(libcloud_parse_request) libcloud request: do tarn clean.");

    for (std::string kw : {"prepare_p2p", "is_p2p_ready"}) {
        for (std::string params : {"", R"(,"params":[])", R"(,"params":"x")"}) {
            std::string text = R"({"request":")" + kw + "\"" + params + "}";
            p = parse(text);
            EXPECT_EQ(p.rc, -1) << text;
            EXPECT_EQ(p.log, (Lines{kParsing + text + "]",
                                    "(libcloud_parse_request) libcloud request: invalid params"}));
        }
    }
}

TEST(LibcloudParse, ActionSelectsShareInfoOnlyWhenAString) {
    std::string text = R"({"request":"bogus","Action":"reload"})";
    Parsed p = parse(text);
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.req.type, REQ_SHARE_INFO);
    EXPECT_EQ(p.log, Lines{kParsing + text + "]"});

    for (std::string action : {"1", "{}", "null"}) {
        p = parse(R"({"action":)" + action + R"(,"request":"get_tarn_info"})");
        EXPECT_EQ(p.rc, 0) << action;
        EXPECT_EQ(p.req.type, REQ_GET_TARN_INFO) << action;
    }
}

TEST(LibcloudParse, RejectionsAndTheirLogLines) {
    control_request req{};
    testing::internal::CaptureStdout();
    EXPECT_EQ(libcloud_parse_request(nullptr, &req), -1);
    EXPECT_EQ(libcloud_parse_request("", &req), -1);
    EXPECT_EQ(libcloud_parse_request(R"({"request":"get_tarn_info"})", nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    // Code 0 stays when the keyword was never reached.
    for (std::string text :
         {R"({"request":3})", R"({"params":{}})", R"(["request"])", R"("get_tarn_info")"}) {
        Parsed p = parse(text);
        EXPECT_EQ(p.rc, -1) << text;
        EXPECT_EQ(p.req.type, 0) << text;
        EXPECT_EQ(p.log, Lines{kParsing + text + "]"});
    }

    for (std::string text : {"not json", R"({"request":"get_tarn_info")", "{"}) {
        Parsed p = parse(text);
        EXPECT_EQ(p.rc, -1) << text;
        EXPECT_EQ(p.log, (Lines{kParsing + text + "]",
                                "(libcloud_parse_request) libcloud request: invalid json"}));
    }

    Parsed p = parse(R"({"request":"get_tarn_info2"})");
    EXPECT_EQ(p.rc, -1);
    EXPECT_EQ(p.req.type, REQ_INVALID);
    EXPECT_EQ(p.log.back(),
              "(libcloud_parse_request) libcloud request: invalid reqtype: [get_tarn_info2]");
}

TEST(LibcloudParse, TrailingTextIgnored) {
    Parsed p = parse(R"({"request":"get_tarn_info"}{"request":"do_tarn_clean"})");
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.req.type, REQ_GET_TARN_INFO);
    p = parse(R"({"request":"do_tarn_clean"} garbage ]")");
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.req.type, REQ_DO_TARN_CLEAN);
}

// Answer builders.

struct Built {
    int rc;
    std::string text;
    Lines log;
};

Built build(const control_response &resp, int len = 1024) {
    std::vector<char> buf(len > 0 ? len : 1, '#');
    testing::internal::CaptureStdout();
    int rc = libcloud_build_pready_resp(&resp, buf.data(), len);
    Lines log = log_lines(testing::internal::GetCapturedStdout());
    return {rc, rc > 0 ? std::string(buf.data()) : "", log};
}

control_response error_resp(int type, int code, const char *msg) {
    control_response r;
    memset(&r, 0, sizeof(r));
    r.type = type;
    r.error_code = code;
    snprintf(r.error_msg, sizeof(r.error_msg), "%s", msg);
    return r;
}

control_response pready_resp(int type, int is_ready) {
    control_response r;
    memset(&r, 0, sizeof(r));
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

const std::string kNotReady =
    R"({"error_code":0,"result":{"sid":"0011223344556677-1700000000-1","is_ready":0}})";
const std::string kReady =
    R"({"error_code":0,"result":{"dev_addr":{"pub_ip":"198.51.100.9","pub_port":61000,)"
    R"("pri_ip":"192.168.8.1","pri_port":45000},"sid":"0011223344556677-1700000000-1",)"
    R"("is_ready":1,"dev_imp_version":2,"nat_type":6}})";

TEST(LibcloudBuild, ErrorAnswerWhateverTheType) {
    const std::string want = R"({"error_code":23,"error_msg":"request json string error"})";
    for (int type : {0, 1, 3, 255}) {
        Built b = build(error_resp(type, 23, "request json string error"));
        EXPECT_EQ(b.rc, static_cast<int>(want.size()));
        EXPECT_EQ(b.text, want);
        EXPECT_EQ(b.log, Lines{"(libcloud_build_pready_resp) libcloud resposne: " +
                               std::to_string(want.size()) + "[" + want + "]"});
    }
    EXPECT_EQ(build(error_resp(0, -7, "")).text, R"({"error_code":-7,"error_msg":""})");
}

TEST(LibcloudBuild, ErrorMessageEscapedAndBoundedByItsField) {
    EXPECT_EQ(build(error_resp(0, 22, "say \"no\"\nnow\\")).text,
              R"({"error_code":22,"error_msg":"say \"no\"\nnow\\"})");

    // A message that fills the field has no NUL of its own.
    control_response r = error_resp(0, 22, "");
    memset(r.error_msg, 'm', sizeof(r.error_msg));
    r.pready.pub_ip[0] = 'X';  // bytes after the field must not leak in
    EXPECT_EQ(build(r).text, R"({"error_code":22,"error_msg":")" + std::string(64, 'm') + "\"}");
}

TEST(LibcloudBuild, PreadyAnswers) {
    EXPECT_EQ(build(pready_resp(REQ_IS_P2P_READY, 0)).text, kNotReady);
    EXPECT_EQ(build(pready_resp(REQ_PREPARE_P2P, 0)).text, kNotReady);
    EXPECT_EQ(build(pready_resp(REQ_PREPARE_P2P, 1)).text, kReady);
    EXPECT_EQ(build(pready_resp(REQ_IS_P2P_READY, 1)).text, kReady);

    control_response r = pready_resp(REQ_IS_P2P_READY, 9);  // carried unchanged
    r.pready.nat_type = -1;
    std::string text = build(r).text;
    EXPECT_NE(text.find(R"("is_ready":9,"dev_imp_version":2,"nat_type":-1}})"), std::string::npos)
        << text;

    // Success answers exist only for prepare_p2p and is_p2p_ready.
    for (int type : {0, int(REQ_GET_TARN_INFO), int(REQ_INVALID)}) {
        for (int ready : {0, 1}) {
            Built b = build(pready_resp(type, ready));
            EXPECT_EQ(b.rc, -1) << type;
            EXPECT_TRUE(b.log.empty());
        }
    }
}

TEST(LibcloudBuild, BufferMustHoldTextAndNul) {
    for (const control_response &r : {pready_resp(REQ_PREPARE_P2P, 1), error_resp(0, 24, "busy")}) {
        Built full = build(r);
        ASSERT_GT(full.rc, 0);
        int n = full.rc;
        Built tight = build(r, n);
        EXPECT_EQ(tight.rc, -1);
        EXPECT_TRUE(tight.log.empty());
        Built fits = build(r, n + 1);
        EXPECT_EQ(fits.rc, n);
        EXPECT_EQ(fits.text, full.text);
    }
    control_response r = error_resp(0, 1, "x");
    char buf[8];
    EXPECT_EQ(libcloud_build_pready_resp(nullptr, buf, sizeof(buf)), -1);
    EXPECT_EQ(libcloud_build_pready_resp(&r, nullptr, 1024), -1);
    EXPECT_EQ(build(r, 0).rc, -1);
    EXPECT_EQ(build(r, -1).rc, -1);
}

TEST(LibcloudBuild, TarnInfo) {
    const std::string want = R"({"error_code":0,"result":{"version":"1.1"}})";
    ASSERT_EQ(want.size(), 43u);
    struct {
        int len, rc;
        std::string line;
    } cases[] = {
        {1024, 0, ""},
        {44, 0, ""},
        {43, -1, "buffer len is not enough."},
        {30, -1, "buffer len is not enough."},
        {0, -1, "buffer length is not positive."},
        {-3, -1, "buffer length is not positive."},
    };
    for (auto &c : cases) {
        std::vector<char> buf(c.len > 0 ? c.len : 1, '#');
        testing::internal::CaptureStdout();
        EXPECT_EQ(libcloud_build_tarn_info_resp(buf.data(), c.len), c.rc) << c.len;
        Lines log = log_lines(testing::internal::GetCapturedStdout());
        if (c.rc == 0) {
            EXPECT_EQ(std::string(buf.data()), want);
            EXPECT_TRUE(log.empty());
        } else {
            EXPECT_EQ(log, Lines{"(libcloud_build_tarn_info_resp) " + c.line}) << c.len;
        }
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(libcloud_build_tarn_info_resp(nullptr, 1024), -1);
    EXPECT_EQ(log_lines(testing::internal::GetCapturedStdout()),
              Lines{"(libcloud_build_tarn_info_resp) buffer is NULL."});
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

class LibcloudAllocFailure : public testing::Test {
   protected:
    void SetUp() override {
        cJSON_Hooks hooks = {counting_malloc, counting_free};
        cJSON_InitHooks(&hooks);
    }
    void TearDown() override { cJSON_InitHooks(nullptr); }

    // Runs op with its 1st, 2nd, ... allocation failing until it succeeds;
    // each failed run must log fail_lines lines. Returns how many runs failed.
    template <typename Op>
    int fail_each_allocation(size_t fail_lines, Op op) {
        int failed = 0;
        for (int n = 1; n < 200; n++) {
            g_fail_countdown = n;
            g_live = 0;
            testing::internal::CaptureStdout();
            bool ok = op();
            std::string out = testing::internal::GetCapturedStdout();
            EXPECT_EQ(g_live, 0) << "allocation " << n;
            if (g_fail_countdown > 0) {  // nothing failed: op ran to the end
                EXPECT_TRUE(ok) << "allocation " << n;
                return failed;
            }
            EXPECT_FALSE(ok) << "allocation " << n;
            EXPECT_EQ(log_lines(out).size(), fail_lines) << out;
            failed++;
        }
        ADD_FAILURE() << "never succeeded";
        return failed;
    }
};

TEST_F(LibcloudAllocFailure, BuildersReleaseEverything) {
    char buf[1024];
    for (const control_response &r : {pready_resp(REQ_PREPARE_P2P, 1),
                                      pready_resp(REQ_IS_P2P_READY, 0), error_resp(0, 21, "x")}) {
        int failed =
            fail_each_allocation(0, [&] { return libcloud_build_pready_resp(&r, buf, 1024) > 0; });
        EXPECT_GE(failed, 3);
    }
    // one line per failure
    EXPECT_GE(
        fail_each_allocation(1, [&] { return libcloud_build_tarn_info_resp(buf, 1024) == 0; }), 5);
}

TEST_F(LibcloudAllocFailure, ParserReleasesEverything) {
    std::string text = Prepare().text();
    // a failed parse logs the text and "invalid json"
    int failed = fail_each_allocation(2, [&] {
        control_request req{};
        return libcloud_parse_request(text.c_str(), &req) == 0;
    });
    EXPECT_GE(failed, 10);
}

}  // namespace
