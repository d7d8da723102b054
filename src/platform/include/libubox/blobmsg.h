// Host back end of libubox's blobmsg: named, typed blob attributes that carry
// JSON-like messages (tables, arrays, strings, integers) over the bus.
#pragma once

#include "blob.h"

#ifdef __cplusplus
extern "C" {
#endif

#define BLOBMSG_ALIGN 2
#define BLOBMSG_PADDING(len) (((len) + (1 << BLOBMSG_ALIGN) - 1) & ~((1 << BLOBMSG_ALIGN) - 1))

enum blobmsg_type {
    BLOBMSG_TYPE_UNSPEC,
    BLOBMSG_TYPE_ARRAY,
    BLOBMSG_TYPE_TABLE,
    BLOBMSG_TYPE_STRING,
    BLOBMSG_TYPE_INT64,
    BLOBMSG_TYPE_INT32,
    BLOBMSG_TYPE_INT16,
    BLOBMSG_TYPE_INT8,
    BLOBMSG_TYPE_DOUBLE,
    __BLOBMSG_TYPE_LAST,
    BLOBMSG_TYPE_LAST = __BLOBMSG_TYPE_LAST - 1,
    BLOBMSG_TYPE_BOOL = BLOBMSG_TYPE_INT8,
};

struct blobmsg_hdr {
    uint16_t namelen;
    uint8_t name[];
} __attribute__((packed));

struct blobmsg_policy {
    const char *name;
    enum blobmsg_type type;
};

static inline int blobmsg_hdrlen(unsigned int namelen) {
    return BLOBMSG_PADDING(sizeof(struct blobmsg_hdr) + namelen + 1);
}

static inline const char *blobmsg_name(const struct blob_attr *attr) {
    const struct blobmsg_hdr *hdr = (const struct blobmsg_hdr *)blob_data(attr);
    return (const char *)hdr->name;
}

static inline int blobmsg_type(const struct blob_attr *attr) {
    return blob_id(attr);
}

static inline void *blobmsg_data(const struct blob_attr *attr) {
    char *data = (char *)blob_data(attr);
    if (blob_is_extended(attr)) {
        const struct blobmsg_hdr *hdr = (const struct blobmsg_hdr *)data;
        data += blobmsg_hdrlen(be16toh(hdr->namelen));
    }
    return data;
}

static inline size_t blobmsg_data_len(const struct blob_attr *attr) {
    uint8_t *start = (uint8_t *)blob_data(attr);
    uint8_t *end = (uint8_t *)blobmsg_data(attr);
    return blob_len(attr) - (size_t)(end - start);
}

static inline size_t blobmsg_len(const struct blob_attr *attr) {
    return blobmsg_data_len(attr);
}

static inline char *blobmsg_get_string(struct blob_attr *attr) {
    return attr ? (char *)blobmsg_data(attr) : NULL;
}

static inline uint8_t blobmsg_get_u8(struct blob_attr *attr) {
    return *(uint8_t *)blobmsg_data(attr);
}

static inline bool blobmsg_get_bool(struct blob_attr *attr) {
    return blobmsg_get_u8(attr);
}

static inline uint16_t blobmsg_get_u16(struct blob_attr *attr) {
    uint16_t v;
    memcpy(&v, blobmsg_data(attr), sizeof(v));
    return be16toh(v);
}

static inline uint32_t blobmsg_get_u32(struct blob_attr *attr) {
    uint32_t v;
    memcpy(&v, blobmsg_data(attr), sizeof(v));
    return be32toh(v);
}

static inline uint64_t blobmsg_get_u64(struct blob_attr *attr) {
    uint64_t v;
    memcpy(&v, blobmsg_data(attr), sizeof(v));
    return be64toh(v);
}

static inline double blobmsg_get_double(struct blob_attr *attr) {
    uint64_t v = blobmsg_get_u64(attr);
    double d;
    memcpy(&d, &v, sizeof(d));
    return d;
}

// True when the attribute is well formed: header, NUL-terminated name (required
// when name is true), payload fitting its type, nested members all valid.
bool blobmsg_check_attr(const struct blob_attr *attr, bool name);

// Fills tb[i] with the first member named policy[i].name of the right type
// (any type for BLOBMSG_TYPE_UNSPEC). -1 on a malformed member.
int blobmsg_parse(const struct blobmsg_policy *policy, int policy_len, struct blob_attr **tb,
                  void *data, unsigned int len);

int blobmsg_add_field(struct blob_buf *buf, int type, const char *name, const void *data,
                      unsigned int len);

static inline int blobmsg_buf_init(struct blob_buf *buf) {
    return blob_buf_init(buf, BLOBMSG_TYPE_TABLE);
}

static inline int blobmsg_add_string(struct blob_buf *buf, const char *name, const char *string) {
    return blobmsg_add_field(buf, BLOBMSG_TYPE_STRING, name, string, strlen(string) + 1);
}

static inline int blobmsg_add_u8(struct blob_buf *buf, const char *name, uint8_t val) {
    return blobmsg_add_field(buf, BLOBMSG_TYPE_INT8, name, &val, 1);
}

static inline int blobmsg_add_u16(struct blob_buf *buf, const char *name, uint16_t val) {
    val = htobe16(val);
    return blobmsg_add_field(buf, BLOBMSG_TYPE_INT16, name, &val, 2);
}

static inline int blobmsg_add_u32(struct blob_buf *buf, const char *name, uint32_t val) {
    val = htobe32(val);
    return blobmsg_add_field(buf, BLOBMSG_TYPE_INT32, name, &val, 4);
}

static inline int blobmsg_add_u64(struct blob_buf *buf, const char *name, uint64_t val) {
    val = htobe64(val);
    return blobmsg_add_field(buf, BLOBMSG_TYPE_INT64, name, &val, 8);
}

static inline int blobmsg_add_double(struct blob_buf *buf, const char *name, double val) {
    uint64_t v;
    memcpy(&v, &val, sizeof(v));
    v = htobe64(v);
    return blobmsg_add_field(buf, BLOBMSG_TYPE_DOUBLE, name, &v, 8);
}

void *blobmsg_open_nested(struct blob_buf *buf, const char *name, bool array);

static inline void *blobmsg_open_array(struct blob_buf *buf, const char *name) {
    return blobmsg_open_nested(buf, name, true);
}

static inline void *blobmsg_open_table(struct blob_buf *buf, const char *name) {
    return blobmsg_open_nested(buf, name, false);
}

static inline void blobmsg_close_array(struct blob_buf *buf, void *cookie) {
    blob_nest_end(buf, cookie);
}

static inline void blobmsg_close_table(struct blob_buf *buf, void *cookie) {
    blob_nest_end(buf, cookie);
}

#define blobmsg_for_each_attr(pos, attr, rem)                             \
    for (rem = attr ? blobmsg_data_len(attr) : 0,                         \
        pos = (struct blob_attr *)(attr ? blobmsg_data(attr) : NULL);     \
         rem >= sizeof(struct blob_attr) && (blob_pad_len(pos) <= rem) && \
         (blob_pad_len(pos) >= sizeof(struct blob_attr));                 \
         rem -= blob_pad_len(pos), pos = blob_next(pos))

#ifdef __cplusplus
}
#endif
