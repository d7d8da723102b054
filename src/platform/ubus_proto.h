// Wire format of the host bus, shared by the client library and tarn-ubusd.
// See docs/host-bus.md.
#pragma once

#include <libubox/blob.h>

#include <stdint.h>

#define BUS_MAGIC 0x7462  // "tb"
#define BUS_VERSION 1
#define BUS_HDR_LEN 12
// A message of UBUS_MAX_MSGLEN plus the frame's own attributes.
#define BUS_MAX_PAYLOAD (1048576 + 4096)
#define BUS_MAX_PATH 255

enum bus_msg {
    BUS_MSG_HELLO,
    BUS_MSG_STATUS,
    BUS_MSG_DATA,
    BUS_MSG_LOOKUP,
    BUS_MSG_INVOKE,
    BUS_MSG_ADD_OBJECT,
    BUS_MSG_REMOVE_OBJECT,
    BUS_MSG_LAST
};

enum bus_attr {
    BUS_ATTR_UNSPEC,
    BUS_ATTR_STATUS,
    BUS_ATTR_OBJPATH,
    BUS_ATTR_OBJID,
    BUS_ATTR_METHOD,
    BUS_ATTR_DATA,
    BUS_ATTR_PEER,
    BUS_ATTR_LAST
};

struct bus_hdr {
    uint8_t type;
    uint32_t seq;
    uint32_t len;
};

void bus_hdr_encode(uint8_t out[BUS_HDR_LEN], uint8_t type, uint32_t seq, uint32_t len);
// 0 with hdr filled, -1 when magic, version, type or length is wrong.
int bus_hdr_decode(const uint8_t in[BUS_HDR_LEN], struct bus_hdr *hdr);
// 0 with tb[id] pointing at each attribute present, -1 for a malformed payload
// (bad lengths, unknown or repeated attributes, bad values, invalid message).
int bus_payload_parse(const void *payload, uint32_t len, struct blob_attr *tb[BUS_ATTR_LAST]);
// Appends the members of msg (a blob_buf head, or NULL for none) as BUS_ATTR_DATA.
bool bus_put_data(struct blob_buf *b, const struct blob_attr *msg);
