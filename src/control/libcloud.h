// Control protocol with libcloud: one JSON request in, at most one JSON
// answer out, as typed records.
#pragma once

#include "util/codes.h"

struct prepare_p2p_params {
    char version[8];
    int app_imp_version;
    char stun_server[128];
    int stun_port;
    char peer_pub_ip[16];
    int peer_pub_port;
    char peer_pri_ip[16];
    int peer_pri_port;
    int peer_nat_type;
    // Private sessions: the cloud's 32-byte key, when it gave one.
    int has_session_key;
    unsigned char session_key[32];
};

struct ready_params {
    char sid[64];
};

// Control request record: zero-filled by the caller before parsing.
struct control_request {
    int type;
    union {
        prepare_p2p_params prepare;
        ready_params ready;
    };
};

// The device's own addresses for one session.
struct pready_record {
    char sid[64];
    char pub_ip[16];
    int pub_port;
    char pri_ip[16];
    int pri_port;
    int nat_type;
    int is_ready;
};

// Control response record: zero-filled by the caller before use.
struct control_response {
    int type;
    int error_code;
    union {
        char error_msg[64];
        pready_record pready;
    };
};

// 0 when the record is complete and valid for its request type, -1 otherwise.
int libcloud_parse_request(const char *text, control_request *req);

// Length of the JSON text written into buf (NUL-terminated), or -1.
int libcloud_build_pready_resp(const control_response *resp, char *buf, int len);

// 0 with the get_tarn_info answer in buf, or -1.
int libcloud_build_tarn_info_resp(char *buf, int len);
