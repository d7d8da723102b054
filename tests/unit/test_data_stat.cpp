// Session and NAT discovery statistics: setters, dumps and report texts.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "stats/data_stat.h"
#include "stdout_capture.h"

namespace {

struct TextFree {
    void operator()(char *p) const { cJSON_free(p); }
};
using Text = std::unique_ptr<char, TextFree>;

std::string session_report(const p2p_stat_data &st) {
    Text t(build_stat_json_str(&st));
    return t ? t.get() : "<null>";
}

std::string discover_report(const discover_stat_data &d) {
    Text t(build_discover_json_str(&d));
    return t ? t.get() : "<null>";
}

// The messages logged under one function, prefixes stripped.
std::vector<std::string> messages_of(const std::string &log, const std::string &func) {
    std::vector<std::string> out;
    std::istringstream in(log);
    const std::string tag = " (" + func + ") ";
    for (std::string line; std::getline(in, line);) {
        size_t at = line.find(tag);
        if (at != std::string::npos) out.push_back(line.substr(at + tag.size()));
    }
    return out;
}

// Errors logged by the statistics code itself: the upload that follows a
// report logs its own when no bus is running.
int own_errors(const std::string &log) {
    int n = 0;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);)
        n += line.rfind("data_stat:", 0) == 0 && line.find(") error:") != std::string::npos;
    return n;
}

const char kSid[] = "AABBCCDDEEFF-1700000000-q8ZrT0xk3LmN2bVc";

// prepare_p2p answered, STUN reply in, never punched.
void fill_stage1(p2p_stat_data *st) {
    stat_init(st);
    stat_set_session_id(st, kSid);
    stat_set_app_imp_version(st, 3);
    stat_set_req_recv_time(st, 1700000000);
    stat_set_app_addr(st, "198.51.100.7", 40000, "192.168.1.20", 5000, 6);
    stat_set_stun_query_time(st, 0);  // measured as 0 ms: left out
    stat_set_stun_resp_time(st, 120);
    stat_inc_app_check_count(st);     // reported only with the device address
    stat_set_syn_recv_time(st, 300);  // punch data, but stage 1
    stat_set_err_code(st, -52010);
}

// Punching started and timed out.
void fill_stage2(p2p_stat_data *st) {
    stat_init(st);
    stat_set_session_id(st, kSid);
    stat_set_app_imp_version(st, 3);
    stat_set_req_recv_time(st, 1700000001);
    stat_set_app_addr(st, "198.51.100.7", 40000, "", 0, 8);
    stat_set_stun_query_time(st, 15);
    stat_set_stun_resp_time(st, 130);
    stat_set_dev_addr(st, "203.0.113.50", 50000, "192.168.2.10", 6000, 2);
    stat_inc_app_check_count(st);
    stat_inc_app_check_count(st);
    stat_enter_punch_stage(st);
    stat_set_syn_recv_time(st, 400);
    stat_set_src_addr_recv(st, "198.51.100.7", 40001);
    stat_set_err_code(st, -52014);
}

// Streamed until the media server hung up.
void fill_stage3(p2p_stat_data *st) {
    fill_stage2(st);
    stat_set_err_code(st, 0);
    stat_set_ack_recv_time(st, 450);
    stat_set_udt_connected_time(st, 600);
    stat_enter_stream_stage(st);
    const int32_t ports[STAT_PUBLIC_PORTS] = {6000, 50001, 50002, 50003, 50004, 50005, 50006};
    const int32_t offs[STAT_PUBLIC_PORT_OFFSETS] = {10, 20, 30, 40, 50, 60};
    memcpy(st->publicPorts, ports, sizeof(ports));
    memcpy(st->publicPortsTimeOffset, offs, sizeof(offs));
    stat_set_recv_msg_time(st, 5000);
    stat_add_data_sent(st, 300);
    stat_add_data_sent(st, 200);
    for (int i = 0; i < 3; i++) stat_add_data_recv(st, 2147483647);  // past 32 bits
    stat_set_data_buf_sent(st, 120);
    stat_set_connection_duration(st, 42);
    stat_set_stop_reason(st, 4);
}

constexpr char kHead[] = R"({"type":"p2p",)"
                         R"("version":"1.1",)"
                         R"("p2pVersion":"1.0",)"
                         R"("appImpVersion":3,)"
                         R"("devImpVersion":2,)";

TEST(SessionReport, Stage1HasOnlyExchangeInfo) {
    p2p_stat_data st;
    fill_stage1(&st);
    EXPECT_EQ(session_report(st), std::string(kHead) +
                                      R"("errorCode":-52010,)"
                                      R"("stage":1,)"
                                      R"("sessionID":"AABBCCDDEEFF-1700000000-q8ZrT0xk3LmN2bVc",)"
                                      R"("exchangeInfo":{)"
                                      R"("requestRecvTime":"1700000000",)"
                                      R"("appPublicIP":"198.51.100.7",)"
                                      R"("appPublicPort":40000,)"
                                      R"("appPrivateIP":"192.168.1.20",)"
                                      R"("appPrivatePort":5000,)"
                                      R"("appNatType":6,)"
                                      // no stunQueryTimeOffset: 0 ms
                                      R"("stunRespTimeOffset":120}})");
}

// exchangeInfo of fill_stage2 and fill_stage3.
constexpr char kExchange2[] = R"("exchangeInfo":{)"
                              R"("requestRecvTime":"1700000001",)"
                              R"("appPublicIP":"198.51.100.7",)"
                              R"("appPublicPort":40000,)"
                              R"("appPrivateIP":"",)"  // present though empty
                              R"("appPrivatePort":0,)"
                              R"("appNatType":8,)"
                              R"("stunQueryTimeOffset":15,)"
                              R"("stunRespTimeOffset":130,)"
                              R"("devPublicIP":"203.0.113.50",)"
                              R"("devPublicPort":50000,)"
                              R"("devPrivateIP":"192.168.2.10",)"
                              R"("devPrivatePort":6000,)"
                              R"("devNatType":2,)"
                              R"("appCheckCount":2},)";

TEST(SessionReport, Stage2AddsPunchInfoWithBothArrays) {
    p2p_stat_data st;
    fill_stage2(&st);
    stat_add_data_sent(&st, 77);  // stream data, but stage 2
    EXPECT_EQ(session_report(st), std::string(kHead) +
                                      R"("errorCode":-52014,)"
                                      R"("stage":2,)"
                                      R"("sessionID":"AABBCCDDEEFF-1700000000-q8ZrT0xk3LmN2bVc",)" +
                                      kExchange2 +
                                      R"("punchInfo":{)"
                                      // no synSentTimeOffset, no ackRecvTimeOffset: never recorded
                                      R"("synRecvTimeOffset":400,)"
                                      R"("srcIPRecv":"198.51.100.7",)"
                                      R"("srcPortRecv":40001,)"
                                      // no udtConnectedTimeOffset
                                      R"("publicPorts":[0,0,0,0,0,0,0],)"
                                      R"("publicPortsTimeOffset":[0,0,0,0,0,0]}})");
}

TEST(SessionReport, Stage3AddsStreamInfoWithCountsAsText) {
    p2p_stat_data st;
    fill_stage3(&st);
    EXPECT_EQ(session_report(st),
              std::string(kHead) +
                  R"("errorCode":0,)"
                  R"("stage":3,)"
                  R"("sessionID":"AABBCCDDEEFF-1700000000-q8ZrT0xk3LmN2bVc",)" +
                  kExchange2 +
                  R"("punchInfo":{)"
                  R"("synRecvTimeOffset":400,)"
                  R"("ackRecvTimeOffset":450,)"
                  R"("srcIPRecv":"198.51.100.7",)"
                  R"("srcPortRecv":40001,)"
                  R"("udtConnectedTimeOffset":600,)"
                  R"("publicPorts":[6000,50001,50002,50003,50004,50005,50006],)"
                  R"("publicPortsTimeOffset":[10,20,30,40,50,60]},)"
                  R"("streamInfo":{)"
                  R"("recvMsgTimeOffset":5000,)"
                  R"("dataCountSent":"380",)"  // 500 read, 120 never sent
                  R"("dataCountRecv":"6442450941",)"
                  R"("dataCountBufSent":"120",)"
                  R"("congestionDuration":0,)"
                  R"("connectionDuration":42,)"
                  R"("stopReason":4}})");
}

TEST(SessionReport, EmptySessionIdGivesIndentedHeadOnly) {
    // prepare_p2p refused for lack of a slot.
    p2p_stat_data st = {};
    stat_init(&st);
    stat_set_err_code(&st, 24);
    stat_set_app_addr(&st, "198.51.100.7", 40000, "192.168.1.20", 5000, 6);
    EXPECT_EQ(session_report(st),
              "{\n"
              "\t\"type\":\t\"p2p\",\n"
              "\t\"version\":\t\"1.1\",\n"
              "\t\"p2pVersion\":\t\"1.0\",\n"
              "\t\"appImpVersion\":\t0,\n"
              "\t\"devImpVersion\":\t2,\n"
              "\t\"errorCode\":\t24,\n"
              "\t\"stage\":\t1\n"
              "}");

    StdoutCapture log;
    p2p_stat(&st);
    ASSERT_TRUE(log.sync());
    EXPECT_EQ(messages_of(log.text(), "dump_p2p_stat").size(), 33u);
    EXPECT_EQ(log.count("json string is"), 0);
    EXPECT_EQ(own_errors(log.text()), 0);
}

TEST(SessionReport, SentCountIsReducedByUnsentBufferAndClampedAtZero) {
    p2p_stat_data st;
    fill_stage3(&st);
    stat_set_data_buf_sent(&st, 501);
    std::string r = session_report(st);
    EXPECT_NE(r.find(R"("dataCountSent":"0","dataCountRecv")"), std::string::npos) << r;
    EXPECT_NE(r.find(R"("dataCountBufSent":"501")"), std::string::npos) << r;

    stat_set_data_buf_sent(&st, 500);
    r = session_report(st);
    EXPECT_NE(r.find(R"("dataCountSent":"0","dataCountRecv")"), std::string::npos) << r;

    // Large sums survive as text; the raw record keeps what was read.
    st.dataCountSent = 0;
    for (int i = 0; i < 4; i++) stat_add_data_sent(&st, 2147483647);
    stat_set_data_buf_sent(&st, 7);
    r = session_report(st);
    EXPECT_NE(r.find(R"("dataCountSent":"8589934581")"), std::string::npos) << r;
    EXPECT_EQ(st.dataCountSent, 8589934588LL);
}

TEST(SessionStat, StreamOnlySettersAndCleanupFollowTheStage) {
    p2p_stat_data st;
    fill_stage2(&st);
    stat_set_stop_reason(&st, 1);
    stat_set_data_buf_sent(&st, 120);
    stat_set_connection_duration(&st, 42);
    EXPECT_EQ(st.dataCountBufSent, 0);
    EXPECT_EQ(st.connectionDuration, 0);
    stat_mark_cleanup(&st);
    EXPECT_EQ(st.errorCode, -52015);
    EXPECT_EQ(st.stopReason, 1);

    stat_init(&st);
    stat_mark_cleanup(&st);
    EXPECT_EQ(st.errorCode, -52015);
    EXPECT_EQ(st.stopReason, 0);

    fill_stage3(&st);
    EXPECT_EQ(st.dataCountBufSent, 120);
    EXPECT_EQ(st.connectionDuration, 42);
    stat_set_err_code(&st, -52012);
    stat_mark_cleanup(&st);
    EXPECT_EQ(st.stopReason, 5);
    EXPECT_EQ(st.errorCode, -52012);

    // Negative counts are sign-extended, not taken as huge unsigned values.
    stat_set_data_buf_sent(&st, -1);
    EXPECT_EQ(st.dataCountBufSent, -1);
    int64_t before = st.dataCountRecv;
    stat_add_data_recv(&st, -10);
    EXPECT_EQ(st.dataCountRecv, before - 10);
}

TEST(SessionStat, TextsAreCutAndNullTextsIgnored) {
    p2p_stat_data st;
    stat_init(&st);
    EXPECT_EQ(st.stage, STAT_STAGE_EXCHANGE);

    const std::string sid70(70, 's');
    stat_set_session_id(&st, sid70.c_str());
    EXPECT_EQ(std::string(st.sessionID), std::string(64, 's'));
    stat_set_session_id(&st, "short");
    EXPECT_STREQ(st.sessionID, "short");  // the longer id is cleared, not overlaid
    stat_set_session_id(&st, nullptr);
    EXPECT_STREQ(st.sessionID, "short");

    stat_set_app_addr(&st, "198.51.100.100:12345", 1, "192.168.100.100/24", 2, 3);
    EXPECT_STREQ(st.appPublicIP, "198.51.100.100:1");
    EXPECT_STREQ(st.appPrivateIP, "192.168.100.100/");
    stat_set_app_addr(&st, "10.0.0.1", 9, nullptr, 9, 9);
    stat_set_dev_addr(&st, nullptr, 9, "10.0.0.1", 9, 9);
    stat_set_src_addr_recv(&st, nullptr, 9);
    EXPECT_STREQ(st.appPublicIP, "198.51.100.100:1");
    EXPECT_EQ(st.appPublicPort, 1);
    EXPECT_EQ(st.devPublicIP[0], '\0');
    EXPECT_EQ(st.srcPortRecv, 0);

    stat_set_src_addr_recv(&st, "10.1.2.3", 7);
    EXPECT_STREQ(st.srcIPRecv, "10.1.2.3");
    EXPECT_EQ(st.srcPortRecv, 7);

    // A null record is ignored everywhere.
    stat_init(nullptr);
    stat_set_err_code(nullptr, 1);
    stat_add_data_sent(nullptr, 1);
    stat_mark_cleanup(nullptr);
    EXPECT_EQ(build_stat_json_str(nullptr), nullptr);
    StdoutCapture log;
    p2p_stat(nullptr);
    ASSERT_TRUE(log.sync());
    EXPECT_EQ(log.count("data_stat"), 0);
}

TEST(SessionStat, ReportLogsTheDumpThenTheCompactText) {
    p2p_stat_data st;
    fill_stage3(&st);
    StdoutCapture log;
    p2p_stat(&st);
    ASSERT_TRUE(log.sync());
    const std::vector<std::string> expected = {
        "stage: 3.",
        "err_code: 0.",
        "sid: AABBCCDDEEFF-1700000000-q8ZrT0xk3LmN2bVc.",
        "app implement version: 3.",
        "req_recv_time: 1700000001.",
        "app public ip: 198.51.100.7.",
        "app public port: 40000.",
        "app_private ip: .",
        "app_private port: 0.",
        "app nat type: 8.",
        "stun query time offset: 15.",
        "stun resp time offset: 130.",
        "dev public ip: 203.0.113.50.",
        "dev public port: 50000.",
        "dev private ip: 192.168.2.10.",
        "dev prinvate port: 6000. ",
        "dev nat type: 2.",
        "app check count: 2.",
        "syn sent time offset: 0.",
        "syn recv time offset: 400.",
        "ack recv time offset: 450.",
        "src ip recv: 198.51.100.7.",
        "src port recv: 40001.",
        "udt connected time offset: 600.",
        "public port detect is: 6000, 50001, 50002, 50003, 50004, 50005, 50006",
        "public port detect offtime is: 10, 20, 30, 40, 50, 60",
        "recv msg time offset: 5000.",
        "data count sent: 500.",  // raw, before the buffer is subtracted
        "data count recv: 6442450941.",
        "data count buf sent: 120.",
        "congestion duration: 0.",
        "connection duration: 42.",
        "stop reason: 4.",
    };
    EXPECT_EQ(messages_of(log.text(), "dump_p2p_stat"), expected);
    const std::vector<std::string> json = messages_of(log.text(), "build_stat_json_str");
    ASSERT_EQ(json.size(), 1u);
    EXPECT_EQ(json[0], "json string is " + session_report(st) + ".");
    EXPECT_EQ(own_errors(log.text()), 0);
}

// ---- NAT discovery ----

// A full-cone run with every test answered.
void fill_discovery(discover_stat_data *d) {
    discover_stat_init(d);
    discover_set_src_addr(d, "192.168.2.10", 40123);
    discover_set_resp_test_i(d, 1);
    discover_set_resp_test_i2(d, 1);
    discover_set_resp_test_ii(d, 1);
    discover_set_resp_test_iii(d, 0);
    discover_set_resp_test_hairpin(d, 1);
    EXPECT_EQ(discover_set_result_bind(d, 0), 0);
    EXPECT_EQ(discover_set_test_i_mapped(d, "203.0.113.50", 40123), 0);
    EXPECT_EQ(discover_set_test_i2_mapped(d, "203.0.113.50", 40123), 0);
    discover_set_duration(d);
    discover_set_nat_type(d, 0x12);
}

TEST(DiscoverReport, FullRunHasEveryMemberInOrder) {
    discover_stat_data d;
    fill_discovery(&d);
    d.duration = 733;  // fixed for the expected text
    EXPECT_EQ(discover_report(d), std::string(R"({"type":"discoverNatType",)"
                                              R"("version":"1.1",)"
                                              R"("discoverVersion":"1.1",)"
                                              R"("natType":18,)"
                                              R"("startTime":")") +
                                      d.startTime +
                                      R"(",)"
                                      R"("duration":733,)"
                                      R"("devSrcIP":"192.168.2.10",)"
                                      R"("devSrcPort":40123,)"
                                      R"("respTestI":1,)"
                                      R"("respTestI2":1,)"
                                      R"("respTestII":1,)"
                                      R"("respTestIII":0,)"
                                      R"("respTestHairpin":1,)"
                                      R"("resultBind":0,)"
                                      R"("testIMappedAddrIP":"203.0.113.50",)"
                                      R"("testIMappedAddrPort":40123,)"
                                      R"("testI2MappedAddrIP":"203.0.113.50",)"
                                      R"("testI2MappedAddrPort":40123})");
}

TEST(DiscoverReport, FailedRunStillReportsAllMembersAndInitClearsTheLastRun) {
    discover_stat_data *d = g_nat_data;
    ASSERT_NE(d, nullptr);
    fill_discovery(d);
    const time_t before = time(nullptr);
    discover_stat_init(d);
    const time_t after = time(nullptr);
    const long long start = atoll(d->startTime);
    EXPECT_GE(start, static_cast<long long>(before));
    EXPECT_LE(start, static_cast<long long>(after));
    discover_set_nat_type(d, -1);
    EXPECT_EQ(discover_report(*d), std::string(R"({"type":"discoverNatType",)"
                                               R"("version":"1.1",)"
                                               R"("discoverVersion":"1.1",)"
                                               R"("natType":-1,)"
                                               R"("startTime":")") +
                                       d->startTime +
                                       R"(",)"
                                       R"("duration":0,)"
                                       R"("devSrcIP":"",)"
                                       R"("devSrcPort":0,)"
                                       R"("respTestI":0,)"
                                       R"("respTestI2":0,)"
                                       R"("respTestII":0,)"
                                       R"("respTestIII":0,)"
                                       R"("respTestHairpin":0,)"
                                       R"("resultBind":0,)"
                                       R"("testIMappedAddrIP":"",)"
                                       R"("testIMappedAddrPort":0,)"
                                       R"("testI2MappedAddrIP":"",)"
                                       R"("testI2MappedAddrPort":0})");
}

TEST(DiscoverStat, DurationCountsFromTheStartTime) {
    discover_stat_data d;
    discover_stat_init(&d);
    // Move the start 250 ms into the past instead of waiting.
    d.start_tv.tv_usec -= 250000;
    if (d.start_tv.tv_usec < 0) {
        d.start_tv.tv_usec += 1000000;
        d.start_tv.tv_sec -= 1;
    }
    discover_set_duration(&d);
    EXPECT_GE(d.duration, 250);
    EXPECT_LT(d.duration, 250 + 60000);
}

TEST(DiscoverStat, SettersRefuseNullAndCutAddresses) {
    discover_stat_data d;
    discover_stat_init(&d);
    EXPECT_EQ(discover_set_result_bind(nullptr, 1), -1);
    EXPECT_EQ(discover_set_test_i_mapped(nullptr, "1.2.3.4", 1), -1);
    EXPECT_EQ(discover_set_test_i_mapped(&d, nullptr, 1), -1);
    EXPECT_EQ(discover_set_test_i2_mapped(&d, nullptr, 1), -1);
    EXPECT_EQ(d.testIMappedAddrPort, 0);
    discover_set_src_addr(&d, nullptr, 5);
    EXPECT_EQ(d.devSrcPort, 0);
    discover_set_src_addr(&d, "255.255.255.255:65535", 5);
    EXPECT_STREQ(d.devSrcIP, "255.255.255.255:");
    EXPECT_EQ(discover_set_test_i2_mapped(&d, "203.0.113.50", 2), 0);
    EXPECT_EQ(discover_set_test_i2_mapped(&d, "10.0.0.1", 3), 0);
    EXPECT_STREQ(d.testI2MappedAddrIP, "10.0.0.1");
    EXPECT_EQ(d.testI2MappedAddrPort, 3);
    EXPECT_EQ(build_discover_json_str(nullptr), nullptr);
}

TEST(DiscoverStat, ReportLogsTheDumpThenTheText) {
    discover_stat_data d;
    fill_discovery(&d);
    d.duration = 733;
    StdoutCapture log;
    discover_stat(&d);
    discover_stat(nullptr);
    ASSERT_TRUE(log.sync());
    const std::vector<std::string> expected = {
        "nat_type is 18.",
        std::string("start_time is ") + d.startTime + ".",
        "duration id 733.",
        "dev_src_ip is 192.168.2.10.",
        "dev_src_port is 40123.",
        "dev_testI is 1.",
        "dev_testI2 is 1.",
        "dev_testII is 1.",
        "dev_testIII is 0.",
        "dev_test_hairpin is 1.",
        "dev_result_bind is 0.",
        "testI_mapped_addr_ip is 203.0.113.50.",
        "testI_mapped_addr_port is 40123.",
        "testI2_mapped_addr_ip is 203.0.113.50.",
        "testI2_mapped_addr_port is 40123.",
    };
    EXPECT_EQ(messages_of(log.text(), "dump_discover_data"), expected);
    const std::vector<std::string> json = messages_of(log.text(), "build_discover_json_str");
    ASSERT_EQ(json.size(), 1u);
    EXPECT_EQ(json[0], "discoverNatType is " + discover_report(d) + ".");
    EXPECT_EQ(own_errors(log.text()), 0);
}

}  // namespace
