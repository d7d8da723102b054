#include "ubus_proto.h"

#include <libubox/blobmsg.h>

void bus_hdr_encode(uint8_t out[BUS_HDR_LEN], uint8_t type, uint32_t seq, uint32_t len) {
    uint16_t magic = htobe16(BUS_MAGIC);
    memcpy(out, &magic, 2);
    out[2] = BUS_VERSION;
    out[3] = type;
    seq = htobe32(seq);
    len = htobe32(len);
    memcpy(out + 4, &seq, 4);
    memcpy(out + 8, &len, 4);
}

int bus_hdr_decode(const uint8_t in[BUS_HDR_LEN], struct bus_hdr *hdr) {
    uint16_t magic;
    memcpy(&magic, in, 2);
    if (be16toh(magic) != BUS_MAGIC || in[2] != BUS_VERSION || in[3] >= BUS_MSG_LAST) return -1;
    uint32_t seq, len;
    memcpy(&seq, in + 4, 4);
    memcpy(&len, in + 8, 4);
    hdr->type = in[3];
    hdr->seq = be32toh(seq);
    hdr->len = be32toh(len);
    if (hdr->len > BUS_MAX_PAYLOAD) return -1;
    return 0;
}

static bool valid_name(const blob_attr *a) {
    size_t len = blob_len(a);
    const char *s = (const char *)blob_data(a);
    return len >= 2 && len <= BUS_MAX_PATH + 1 && s[len - 1] == 0 && strlen(s) == len - 1;
}

// A message is a list of named blobmsg members, like a table's payload.
static bool valid_message(const blob_attr *a) {
    const char *p = (const char *)blob_data(a);
    size_t rem = blob_len(a);
    while (rem > 0) {
        const blob_attr *m = (const blob_attr *)p;
        if (rem < sizeof(blob_attr) || blob_raw_len(m) < sizeof(blob_attr) || blob_pad_len(m) > rem)
            return false;
        if (!blob_is_extended(m) || !blobmsg_check_attr(m, true)) return false;
        rem -= blob_pad_len(m);
        p += blob_pad_len(m);
    }
    return true;
}

int bus_payload_parse(const void *payload, uint32_t len, struct blob_attr *tb[BUS_ATTR_LAST]) {
    memset(tb, 0, sizeof(*tb) * BUS_ATTR_LAST);
    const char *p = (const char *)payload;
    size_t rem = len;
    while (rem > 0) {
        blob_attr *a = (blob_attr *)p;
        if (rem < sizeof(blob_attr) || blob_raw_len(a) < sizeof(blob_attr) ||
            blob_pad_len(a) > rem || blob_is_extended(a))
            return -1;
        unsigned id = blob_id(a);
        if (id == BUS_ATTR_UNSPEC || id >= BUS_ATTR_LAST || tb[id]) return -1;
        switch (id) {
            case BUS_ATTR_STATUS:
            case BUS_ATTR_OBJID:
            case BUS_ATTR_PEER:
                if (blob_len(a) != 4) return -1;
                break;
            case BUS_ATTR_OBJPATH:
            case BUS_ATTR_METHOD:
                if (!valid_name(a)) return -1;
                break;
            case BUS_ATTR_DATA:
                if (!valid_message(a)) return -1;
                break;
        }
        tb[id] = a;
        rem -= blob_pad_len(a);
        p += blob_pad_len(a);
    }
    return 0;
}

bool bus_put_data(struct blob_buf *b, const struct blob_attr *msg) {
    if (!msg) return blob_put(b, BUS_ATTR_DATA, nullptr, 0) != nullptr;
    return blob_put(b, BUS_ATTR_DATA, blob_data(msg), (unsigned)blob_len(msg)) != nullptr;
}
