// Statistics records and their JSON reports: one record per p2p session and
// one per NAT discovery run (kept by the run). Reports go to cloud_log.
#pragma once

#include <cstdint>
#include <ctime>
#include <sys/time.h>

// Session stages; 0 is a zero-filled, never initialised record.
#define STAT_STAGE_EXCHANGE 1
#define STAT_STAGE_PUNCH 2
#define STAT_STAGE_STREAM 3

#define STAT_PUBLIC_PORTS 7
#define STAT_PUBLIC_PORT_OFFSETS 6

// One per session, embedded in the session and zero-filled with it. Time
// offsets are ms since the session start; 0 means not recorded.
struct p2p_stat_data {
    int32_t stage;
    int32_t errorCode;
    char sessionID[65];
    int32_t appImpVersion;
    char requestRecvTime[17];
    char appPublicIP[17];
    int32_t appPublicPort;
    char appPrivateIP[17];
    int32_t appPrivatePort;
    int32_t appNatType;
    int32_t stunQueryTimeOffset;
    int32_t stunRespTimeOffset;
    char devPublicIP[17];
    int32_t devPublicPort;
    char devPrivateIP[17];
    int32_t devPrivatePort;
    int32_t devNatType;
    int32_t appCheckCount;
    int32_t synSentTimeOffset;  // nothing writes it: only the dump shows it, as 0
    int32_t synRecvTimeOffset;
    int32_t ackRecvTimeOffset;
    char srcIPRecv[17];
    int32_t srcPortRecv;
    int32_t udtConnectedTimeOffset;
    int32_t publicPorts[STAT_PUBLIC_PORTS];
    int32_t publicPortsTimeOffset[STAT_PUBLIC_PORT_OFFSETS];
    int32_t recvMsgTimeOffset;
    int64_t dataCountSent;
    int64_t dataCountRecv;
    int64_t dataCountBufSent;
    int32_t congestionDuration;  // nothing writes it: the report carries a 0
    int32_t connectionDuration;
    int32_t stopReason;
};

// Setters: a null record (or a null text) is ignored. Addresses are cut to
// 16 characters, the session id to 64.
void stat_init(struct p2p_stat_data *st);
void stat_set_err_code(struct p2p_stat_data *st, int code);
void stat_set_session_id(struct p2p_stat_data *st, const char *sid);
void stat_set_app_imp_version(struct p2p_stat_data *st, int version);
void stat_set_req_recv_time(struct p2p_stat_data *st, time_t seconds);
void stat_set_app_addr(struct p2p_stat_data *st, const char *pub_ip, int pub_port,
                       const char *pri_ip, int pri_port, int nat_type);
void stat_set_stun_query_time(struct p2p_stat_data *st, int ms);
void stat_set_stun_resp_time(struct p2p_stat_data *st, int ms);
void stat_set_dev_addr(struct p2p_stat_data *st, const char *pub_ip, int pub_port,
                       const char *pri_ip, int pri_port, int nat_type);
void stat_inc_app_check_count(struct p2p_stat_data *st);
void stat_enter_punch_stage(struct p2p_stat_data *st);
void stat_set_syn_recv_time(struct p2p_stat_data *st, int ms);
void stat_set_ack_recv_time(struct p2p_stat_data *st, int ms);
void stat_set_src_addr_recv(struct p2p_stat_data *st, const char *ip, int port);
void stat_set_udt_connected_time(struct p2p_stat_data *st, int ms);
// Copies a probe-port record (STUN_copy_probe_data): local port and six
// public ports, then their six time offsets.
void stat_set_public_ports(struct p2p_stat_data *st, const int *probe);
void stat_enter_stream_stage(struct p2p_stat_data *st);
void stat_set_recv_msg_time(struct p2p_stat_data *st, int ms);
// Called for every relayed chunk: plain stores, no allocation, no logging.
void stat_add_data_sent(struct p2p_stat_data *st, int32_t count);
void stat_add_data_recv(struct p2p_stat_data *st, int32_t count);
// Only in the stream stage; elsewhere they change nothing.
void stat_set_data_buf_sent(struct p2p_stat_data *st, int32_t count);
void stat_set_connection_duration(struct p2p_stat_data *st, int seconds);
void stat_set_stop_reason(struct p2p_stat_data *st, int code);
// Cleaned up by do_tarn_clean or daemon stop: stop reason 5 when streaming,
// error -52015 before that.
void stat_mark_cleanup(struct p2p_stat_data *st);

// Dumps, builds and uploads the session report. Loop thread.
void p2p_stat(struct p2p_stat_data *st);
void dump_p2p_stat(const struct p2p_stat_data *st);
// Newly allocated report text (release with cJSON_free), or null.
char *build_stat_json_str(const struct p2p_stat_data *st);

// One NAT classification run.
struct discover_stat_data {
    struct timeval start_tv;
    int32_t natType;
    char startTime[17];
    int32_t duration;
    char devSrcIP[17];
    int32_t devSrcPort;
    int32_t respTestI;
    int32_t respTestI2;
    int32_t respTestII;
    int32_t respTestIII;
    int32_t respTestHairpin;
    int32_t resultBind;
    char testIMappedAddrIP[17];
    int32_t testIMappedAddrPort;
    char testI2MappedAddrIP[17];
    int32_t testI2MappedAddrPort;
};

void discover_stat_init(struct discover_stat_data *d);
void discover_set_nat_type(struct discover_stat_data *d, int code);
void discover_set_src_addr(struct discover_stat_data *d, const char *ip, int port);
void discover_set_resp_test_i(struct discover_stat_data *d, int value);
void discover_set_resp_test_i2(struct discover_stat_data *d, int value);
void discover_set_resp_test_ii(struct discover_stat_data *d, int value);
void discover_set_resp_test_iii(struct discover_stat_data *d, int value);
void discover_set_resp_test_hairpin(struct discover_stat_data *d, int value);
// 0, or -1 for a null record or text.
int discover_set_result_bind(struct discover_stat_data *d, int value);
int discover_set_test_i_mapped(struct discover_stat_data *d, const char *ip, int port);
int discover_set_test_i2_mapped(struct discover_stat_data *d, const char *ip, int port);
// Milliseconds since discover_stat_init.
void discover_set_duration(struct discover_stat_data *d);

// Dumps, builds and uploads the discovery report, on the caller's thread.
void discover_stat(struct discover_stat_data *d);
void dump_discover_data(const struct discover_stat_data *d);
// Newly allocated report text (release with cJSON_free), or null.
char *build_discover_json_str(const struct discover_stat_data *d);
