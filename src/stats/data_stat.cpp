#include "stats/data_stat.h"

#include <cjson/cJSON.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "bus/ubus_api.h"
#include "util/codes.h"
#include "util/handle.h"
#include "util/log.h"
#include "util/utils.h"

static constexpr char log_unit[] = "data_stat";

namespace {

constexpr const char *kP2pVersion = "1.0";
constexpr const char *kDiscoverVersion = "1.1";

using JsonPtr = unique_with<cJSON, cJSON_Delete>;

void add_num(cJSON *obj, const char *name, double v) {
    cJSON_AddItemToObject(obj, name, cJSON_CreateNumber(v));
}

void add_str(cJSON *obj, const char *name, const char *v) {
    cJSON_AddItemToObject(obj, name, cJSON_CreateString(v));
}

// 64-bit counters travel as decimal text: JSON numbers would round them.
void add_count(cJSON *obj, const char *name, int64_t v) {
    char buf[21];
    snprintf(buf, sizeof(buf), "%lld", static_cast<long long>(v));
    add_str(obj, name, buf);
}

void set_addr(char (&pub)[17], int32_t *pub_port_field, char (&pri)[17], int32_t *pri_port_field,
              int32_t *nat_field, const char *pub_ip, int pub_port, const char *pri_ip,
              int pri_port, int nat_type) {
    copy_text(pub, pub_ip);
    copy_text(pri, pri_ip);
    *pub_port_field = pub_port;
    *pri_port_field = pri_port;
    *nat_field = nat_type;
}

cJSON *build_exchange_info(const struct p2p_stat_data *st) {
    cJSON *ex = cJSON_CreateObject();
    if (!ex) return nullptr;
    if (st->requestRecvTime[0]) add_str(ex, "requestRecvTime", st->requestRecvTime);
    if (st->appPublicIP[0]) {
        add_str(ex, "appPublicIP", st->appPublicIP);
        add_num(ex, "appPublicPort", st->appPublicPort);
        add_str(ex, "appPrivateIP", st->appPrivateIP);
        add_num(ex, "appPrivatePort", st->appPrivatePort);
        add_num(ex, "appNatType", st->appNatType);
    }
    if (st->stunQueryTimeOffset) add_num(ex, "stunQueryTimeOffset", st->stunQueryTimeOffset);
    if (st->stunRespTimeOffset) add_num(ex, "stunRespTimeOffset", st->stunRespTimeOffset);
    if (st->devPublicIP[0]) {
        add_str(ex, "devPublicIP", st->devPublicIP);
        add_num(ex, "devPublicPort", st->devPublicPort);
        add_str(ex, "devPrivateIP", st->devPrivateIP);
        add_num(ex, "devPrivatePort", st->devPrivatePort);
        add_num(ex, "devNatType", st->devNatType);
        add_num(ex, "appCheckCount", st->appCheckCount);
    }
    return ex;
}

cJSON *build_punch_info(const struct p2p_stat_data *st) {
    cJSON *pu = cJSON_CreateObject();
    if (!pu) return nullptr;
    if (st->synRecvTimeOffset) add_num(pu, "synRecvTimeOffset", st->synRecvTimeOffset);
    if (st->ackRecvTimeOffset) add_num(pu, "ackRecvTimeOffset", st->ackRecvTimeOffset);
    if (st->srcIPRecv[0]) {
        add_str(pu, "srcIPRecv", st->srcIPRecv);
        add_num(pu, "srcPortRecv", st->srcPortRecv);
    }
    if (st->udtConnectedTimeOffset)
        add_num(pu, "udtConnectedTimeOffset", st->udtConnectedTimeOffset);
    cJSON_AddItemToObject(pu, "publicPorts",
                          cJSON_CreateIntArray(st->publicPorts, STAT_PUBLIC_PORTS));
    cJSON_AddItemToObject(
        pu, "publicPortsTimeOffset",
        cJSON_CreateIntArray(st->publicPortsTimeOffset, STAT_PUBLIC_PORT_OFFSETS));
    return pu;
}

cJSON *build_stream_info(const struct p2p_stat_data *st) {
    cJSON *sm = cJSON_CreateObject();
    if (!sm) return nullptr;
    add_num(sm, "recvMsgTimeOffset", st->recvMsgTimeOffset);
    // What is still buffered when the session ends never reached the peer.
    int64_t sent = st->dataCountSent - st->dataCountBufSent;
    add_count(sm, "dataCountSent", sent < 0 ? 0 : sent);
    add_count(sm, "dataCountRecv", st->dataCountRecv);
    add_count(sm, "dataCountBufSent", st->dataCountBufSent);
    add_num(sm, "congestionDuration", st->congestionDuration);
    add_num(sm, "connectionDuration", st->connectionDuration);
    add_num(sm, "stopReason", st->stopReason);
    return sm;
}

}  // namespace

// ---- session record setters ----

void stat_init(struct p2p_stat_data *st) {
    if (!st) return;
    memset(st, 0, sizeof(*st));
    st->stage = STAT_STAGE_EXCHANGE;
}

void stat_set_err_code(struct p2p_stat_data *st, int code) {
    if (st) st->errorCode = code;
}

void stat_set_session_id(struct p2p_stat_data *st, const char *sid) {
    if (st && sid) copy_text(st->sessionID, sid);
}

void stat_set_app_imp_version(struct p2p_stat_data *st, int version) {
    if (st) st->appImpVersion = version;
}

void stat_set_req_recv_time(struct p2p_stat_data *st, time_t seconds) {
    if (st)
        snprintf(st->requestRecvTime, sizeof(st->requestRecvTime), "%lld",
                 static_cast<long long>(seconds));
}

void stat_set_app_addr(struct p2p_stat_data *st, const char *pub_ip, int pub_port,
                       const char *pri_ip, int pri_port, int nat_type) {
    if (!st || !pub_ip || !pri_ip) return;
    set_addr(st->appPublicIP, &st->appPublicPort, st->appPrivateIP, &st->appPrivatePort,
             &st->appNatType, pub_ip, pub_port, pri_ip, pri_port, nat_type);
}

void stat_set_stun_query_time(struct p2p_stat_data *st, int ms) {
    if (st) st->stunQueryTimeOffset = ms;
}

void stat_set_stun_resp_time(struct p2p_stat_data *st, int ms) {
    if (st) st->stunRespTimeOffset = ms;
}

void stat_set_dev_addr(struct p2p_stat_data *st, const char *pub_ip, int pub_port,
                       const char *pri_ip, int pri_port, int nat_type) {
    if (!st || !pub_ip || !pri_ip) return;
    set_addr(st->devPublicIP, &st->devPublicPort, st->devPrivateIP, &st->devPrivatePort,
             &st->devNatType, pub_ip, pub_port, pri_ip, pri_port, nat_type);
}

void stat_inc_app_check_count(struct p2p_stat_data *st) {
    if (st) st->appCheckCount++;
}

void stat_enter_punch_stage(struct p2p_stat_data *st) {
    if (st) st->stage = STAT_STAGE_PUNCH;
}

void stat_set_syn_recv_time(struct p2p_stat_data *st, int ms) {
    if (st) st->synRecvTimeOffset = ms;
}

void stat_set_ack_recv_time(struct p2p_stat_data *st, int ms) {
    if (st) st->ackRecvTimeOffset = ms;
}

void stat_set_src_addr_recv(struct p2p_stat_data *st, const char *ip, int port) {
    if (!st || !ip) return;
    copy_text(st->srcIPRecv, ip);
    st->srcPortRecv = port;
}

void stat_set_udt_connected_time(struct p2p_stat_data *st, int ms) {
    if (st) st->udtConnectedTimeOffset = ms;
}

void stat_set_public_ports(struct p2p_stat_data *st, const int *probe) {
    if (!st || !probe) return;
    for (int i = 0; i < STAT_PUBLIC_PORTS; i++) st->publicPorts[i] = probe[i];
    for (int i = 0; i < STAT_PUBLIC_PORT_OFFSETS; i++) {
        st->publicPortsTimeOffset[i] = probe[STAT_PUBLIC_PORTS + i];
    }
}

void stat_enter_stream_stage(struct p2p_stat_data *st) {
    if (st) st->stage = STAT_STAGE_STREAM;
}

void stat_set_recv_msg_time(struct p2p_stat_data *st, int ms) {
    if (st) st->recvMsgTimeOffset = ms;
}

void stat_add_data_sent(struct p2p_stat_data *st, int32_t count) {
    if (st) st->dataCountSent += static_cast<int64_t>(count);
}

void stat_add_data_recv(struct p2p_stat_data *st, int32_t count) {
    if (st) st->dataCountRecv += static_cast<int64_t>(count);
}

void stat_set_data_buf_sent(struct p2p_stat_data *st, int32_t count) {
    if (st && st->stage == STAT_STAGE_STREAM) st->dataCountBufSent = count;
}

void stat_set_connection_duration(struct p2p_stat_data *st, int seconds) {
    if (st && st->stage == STAT_STAGE_STREAM) st->connectionDuration = seconds;
}

void stat_set_stop_reason(struct p2p_stat_data *st, int code) {
    if (st) st->stopReason = code;
}

void stat_mark_cleanup(struct p2p_stat_data *st) {
    if (!st) return;
    if (st->stage > STAT_STAGE_PUNCH)
        st->stopReason = STOP_CLEANED;
    else
        st->errorCode = STAT_ERR_CLEANED;
}

// ---- session report ----

void dump_p2p_stat(const struct p2p_stat_data *st) {
    if (!st) return;
    LOG("stage: %d.\n", st->stage);
    LOG("err_code: %d.\n", st->errorCode);
    LOG("sid: %s.\n", st->sessionID);
    LOG("app implement version: %d.\n", st->appImpVersion);
    LOG("req_recv_time: %s.\n", st->requestRecvTime);
    LOG("app public ip: %s.\n", st->appPublicIP);
    LOG("app public port: %d.\n", st->appPublicPort);
    LOG("app_private ip: %s.\n", st->appPrivateIP);
    LOG("app_private port: %d.\n", st->appPrivatePort);
    LOG("app nat type: %d.\n", st->appNatType);
    LOG("stun query time offset: %d.\n", st->stunQueryTimeOffset);
    LOG("stun resp time offset: %d.\n", st->stunRespTimeOffset);
    LOG("dev public ip: %s.\n", st->devPublicIP);
    LOG("dev public port: %d.\n", st->devPublicPort);
    LOG("dev private ip: %s.\n", st->devPrivateIP);
    LOG("dev prinvate port: %d. \n", st->devPrivatePort);
    LOG("dev nat type: %d.\n", st->devNatType);
    LOG("app check count: %d.\n", st->appCheckCount);
    LOG("syn sent time offset: %d.\n", st->synSentTimeOffset);
    LOG("syn recv time offset: %d.\n", st->synRecvTimeOffset);
    LOG("ack recv time offset: %d.\n", st->ackRecvTimeOffset);
    LOG("src ip recv: %s.\n", st->srcIPRecv);
    LOG("src port recv: %d.\n", st->srcPortRecv);
    LOG("udt connected time offset: %d.\n", st->udtConnectedTimeOffset);
    const int32_t *p = st->publicPorts;
    LOG("public port detect is: %d, %d, %d, %d, %d, %d, %d\n", p[0], p[1], p[2], p[3], p[4], p[5],
        p[6]);
    const int32_t *o = st->publicPortsTimeOffset;
    LOG("public port detect offtime is: %d, %d, %d, %d, %d, %d\n", o[0], o[1], o[2], o[3], o[4],
        o[5]);
    LOG("recv msg time offset: %d.\n", st->recvMsgTimeOffset);
    LOG("data count sent: %lld.\n", static_cast<long long>(st->dataCountSent));
    LOG("data count recv: %lld.\n", static_cast<long long>(st->dataCountRecv));
    LOG("data count buf sent: %lld.\n", static_cast<long long>(st->dataCountBufSent));
    LOG("congestion duration: %d.\n", st->congestionDuration);
    LOG("connection duration: %d.\n", st->connectionDuration);
    LOG("stop reason: %d.\n", st->stopReason);
}

char *build_stat_json_str(const struct p2p_stat_data *st) {
    if (!st) return nullptr;
    JsonPtr root(cJSON_CreateObject());
    if (!root) return nullptr;
    cJSON *r = root.get();
    add_str(r, "type", "p2p");
    add_str(r, "version", TARN_VERSION);
    add_str(r, "p2pVersion", kP2pVersion);
    add_num(r, "appImpVersion", st->appImpVersion);
    add_num(r, "devImpVersion", DEV_IMP_VERSION);
    add_num(r, "errorCode", st->errorCode);
    add_num(r, "stage", st->stage);
    // Refused before a session existed: only the head, in the indented form.
    if (!st->sessionID[0]) return cJSON_Print(r);

    add_str(r, "sessionID", st->sessionID);
    if (cJSON *ex = build_exchange_info(st)) cJSON_AddItemToObject(r, "exchangeInfo", ex);
    if (st->stage > STAT_STAGE_EXCHANGE) {
        if (cJSON *pu = build_punch_info(st)) cJSON_AddItemToObject(r, "punchInfo", pu);
    }
    if (st->stage > STAT_STAGE_PUNCH) {
        if (cJSON *sm = build_stream_info(st)) cJSON_AddItemToObject(r, "streamInfo", sm);
    }
    char *text = cJSON_PrintUnformatted(r);
    if (text) LOG("json string is %s.\n", text);
    return text;
}

namespace {

// Uploads and frees a built report; a report that could not be built is
// logged under the caller's name.
void upload_report(char *text, const char *func, const char *failure) {
    if (!text) {
        LOG_AS(func, "%s", failure);
        return;
    }
    send_log_to_cloud_log(text);
    cJSON_free(text);
}

}  // namespace

void p2p_stat(struct p2p_stat_data *st) {
    if (!st) return;
    dump_p2p_stat(st);
    upload_report(build_stat_json_str(st), __func__, "error: failed to build json string.");
}

// ---- NAT discovery record ----

void discover_stat_init(struct discover_stat_data *d) {
    if (!d) return;
    memset(d, 0, sizeof(*d));
    gettimeofday(&d->start_tv, nullptr);
    snprintf(d->startTime, sizeof(d->startTime), "%lld", static_cast<long long>(time(nullptr)));
}

void discover_set_nat_type(struct discover_stat_data *d, int code) {
    if (d) d->natType = code;
}

void discover_set_src_addr(struct discover_stat_data *d, const char *ip, int port) {
    if (!d || !ip) return;
    copy_text(d->devSrcIP, ip);
    d->devSrcPort = port;
}

void discover_set_resp_test_i(struct discover_stat_data *d, int value) {
    if (d) d->respTestI = value;
}

void discover_set_resp_test_i2(struct discover_stat_data *d, int value) {
    if (d) d->respTestI2 = value;
}

void discover_set_resp_test_ii(struct discover_stat_data *d, int value) {
    if (d) d->respTestII = value;
}

void discover_set_resp_test_iii(struct discover_stat_data *d, int value) {
    if (d) d->respTestIII = value;
}

void discover_set_resp_test_hairpin(struct discover_stat_data *d, int value) {
    if (d) d->respTestHairpin = value;
}

int discover_set_result_bind(struct discover_stat_data *d, int value) {
    if (!d) return -1;
    d->resultBind = value;
    return 0;
}

int discover_set_test_i_mapped(struct discover_stat_data *d, const char *ip, int port) {
    if (!d || !ip) return -1;
    copy_text(d->testIMappedAddrIP, ip);
    d->testIMappedAddrPort = port;
    return 0;
}

int discover_set_test_i2_mapped(struct discover_stat_data *d, const char *ip, int port) {
    if (!d || !ip) return -1;
    copy_text(d->testI2MappedAddrIP, ip);
    d->testI2MappedAddrPort = port;
    return 0;
}

void discover_set_duration(struct discover_stat_data *d) {
    if (d) d->duration = time_offset_ms(&d->start_tv);
}

// ---- NAT discovery report ----

void dump_discover_data(const struct discover_stat_data *d) {
    if (!d) return;
    LOG("nat_type is %d.\n", d->natType);
    LOG("start_time is %s.\n", d->startTime);
    LOG("duration id %d.\n", d->duration);
    LOG("dev_src_ip is %s.\n", d->devSrcIP);
    LOG("dev_src_port is %d.\n", d->devSrcPort);
    LOG("dev_testI is %d.\n", d->respTestI);
    LOG("dev_testI2 is %d.\n", d->respTestI2);
    LOG("dev_testII is %d.\n", d->respTestII);
    LOG("dev_testIII is %d.\n", d->respTestIII);
    LOG("dev_test_hairpin is %d.\n", d->respTestHairpin);
    LOG("dev_result_bind is %d.\n", d->resultBind);
    LOG("testI_mapped_addr_ip is %s.\n", d->testIMappedAddrIP);
    LOG("testI_mapped_addr_port is %d.\n", d->testIMappedAddrPort);
    LOG("testI2_mapped_addr_ip is %s.\n", d->testI2MappedAddrIP);
    LOG("testI2_mapped_addr_port is %d.\n", d->testI2MappedAddrPort);
}

char *build_discover_json_str(const struct discover_stat_data *d) {
    if (!d) return nullptr;
    JsonPtr root(cJSON_CreateObject());
    if (!root) return nullptr;
    cJSON *r = root.get();
    add_str(r, "type", "discoverNatType");
    add_str(r, "version", TARN_VERSION);
    add_str(r, "discoverVersion", kDiscoverVersion);
    add_num(r, "natType", d->natType);
    add_str(r, "startTime", d->startTime);
    add_num(r, "duration", d->duration);
    add_str(r, "devSrcIP", d->devSrcIP);
    add_num(r, "devSrcPort", d->devSrcPort);
    add_num(r, "respTestI", d->respTestI);
    add_num(r, "respTestI2", d->respTestI2);
    add_num(r, "respTestII", d->respTestII);
    add_num(r, "respTestIII", d->respTestIII);
    add_num(r, "respTestHairpin", d->respTestHairpin);
    add_num(r, "resultBind", d->resultBind);
    add_str(r, "testIMappedAddrIP", d->testIMappedAddrIP);
    add_num(r, "testIMappedAddrPort", d->testIMappedAddrPort);
    add_str(r, "testI2MappedAddrIP", d->testI2MappedAddrIP);
    add_num(r, "testI2MappedAddrPort", d->testI2MappedAddrPort);
    char *text = cJSON_PrintUnformatted(r);
    if (text)
        LOG("discoverNatType is %s.\n", text);
    else
        LOG("json string is NULL.");
    return text;
}

void discover_stat(struct discover_stat_data *d) {
    if (!d) return;
    dump_discover_data(d);
    upload_report(build_discover_json_str(d), __func__,
                  "error: failed to build discover json string.");
}
