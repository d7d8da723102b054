// Session and NAT discovery statistics: setters and report texts.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "stats/data_stat.h"

namespace {

using Text = std::unique_ptr<char, void (*)(void *)>;

// The report text of a session or of a NAT discovery run.
std::string report(const p2p_stat_data &st) {
    return Text(build_stat_json_str(&st), cJSON_free).get();
}
std::string report(const discover_stat_data &d) {
    return Text(build_discover_json_str(&d), cJSON_free).get();
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

const std::string kHead =
    R"({"type":"p2p","version":"1.1","p2pVersion":"1.0","appImpVersion":3,"devImpVersion":2,)";
const std::string kSidMember = R"("sessionID":"AABBCCDDEEFF-1700000000-q8ZrT0xk3LmN2bVc",)";
// exchangeInfo of fill_stage2 and fill_stage3: the empty private address
// is there all the same.
const std::string kExchange2 =
    R"("exchangeInfo":{"requestRecvTime":"1700000001","appPublicIP":"198.51.100.7",)"
    R"("appPublicPort":40000,"appPrivateIP":"","appPrivatePort":0,"appNatType":8,)"
    R"("stunQueryTimeOffset":15,"stunRespTimeOffset":130,"devPublicIP":"203.0.113.50",)"
    R"("devPublicPort":50000,"devPrivateIP":"192.168.2.10","devPrivatePort":6000,)"
    R"("devNatType":2,"appCheckCount":2},)";

// Each stage adds its own member; data of a later stage stays out.
TEST(SessionReport, EachStageAddsItsMember) {
    p2p_stat_data st;
    fill_stage1(&st);
    EXPECT_EQ(report(st),
              kHead + R"("errorCode":-52010,"stage":1,)" + kSidMember +
                  R"("exchangeInfo":{"requestRecvTime":"1700000000","appPublicIP":"198.51.100.7",)"
                  R"("appPublicPort":40000,"appPrivateIP":"192.168.1.20","appPrivatePort":5000,)"
                  R"("appNatType":6,"stunRespTimeOffset":120}})");

    fill_stage2(&st);
    stat_add_data_sent(&st, 77);  // stream data, but stage 2
    // Offsets never recorded are left out; both arrays are always there.
    EXPECT_EQ(report(st), kHead + R"("errorCode":-52014,"stage":2,)" + kSidMember + kExchange2 +
                              R"("punchInfo":{"synRecvTimeOffset":400,"srcIPRecv":"198.51.100.7",)"
                              R"("srcPortRecv":40001,"publicPorts":[0,0,0,0,0,0,0],)"
                              R"("publicPortsTimeOffset":[0,0,0,0,0,0]}})");

    fill_stage3(&st);
    // Counts travel as text; what was sent excludes what stayed buffered.
    EXPECT_EQ(report(st),
              kHead + R"("errorCode":0,"stage":3,)" + kSidMember + kExchange2 +
                  R"("punchInfo":{"synRecvTimeOffset":400,"ackRecvTimeOffset":450,)"
                  R"("srcIPRecv":"198.51.100.7","srcPortRecv":40001,"udtConnectedTimeOffset":600,)"
                  R"("publicPorts":[6000,50001,50002,50003,50004,50005,50006],)"
                  R"("publicPortsTimeOffset":[10,20,30,40,50,60]},)"
                  R"("streamInfo":{"recvMsgTimeOffset":5000,"dataCountSent":"380",)"
                  R"("dataCountRecv":"6442450941","dataCountBufSent":"120",)"
                  R"("congestionDuration":0,"connectionDuration":42,"stopReason":4}})");

    // More buffered than read: clamped at zero.
    for (int buffered : {500, 501}) {
        stat_set_data_buf_sent(&st, buffered);
        std::string r = report(st);
        EXPECT_NE(r.find(R"("dataCountSent":"0","dataCountRecv")"), std::string::npos) << r;
    }
}

// The members behind natType are compared run by run in the lab's NAT kinds;
// the head is the cloud side's to parse.
TEST(DiscoverReport, Head) {
    discover_stat_data d;
    discover_stat_init(&d);
    discover_set_nat_type(&d, 0x12);
    const std::string head =
        R"({"type":"discoverNatType","version":"1.1","discoverVersion":"1.1","natType":18,)";
    EXPECT_EQ(report(d).substr(0, head.size()), head);
}

}  // namespace
