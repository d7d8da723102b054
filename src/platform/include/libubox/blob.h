// Host back end of libubox's blob buffers: type-length-value attributes, nested,
// 4-byte aligned, header in network byte order.
#pragma once

#include <endian.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

#define BLOB_COOKIE 0x01234567

enum {
    BLOB_ATTR_UNSPEC,
    BLOB_ATTR_NESTED,
    BLOB_ATTR_BINARY,
    BLOB_ATTR_STRING,
    BLOB_ATTR_INT8,
    BLOB_ATTR_INT16,
    BLOB_ATTR_INT32,
    BLOB_ATTR_INT64,
    BLOB_ATTR_DOUBLE,
    BLOB_ATTR_LAST
};

#define BLOB_ATTR_ID_MASK 0x7f000000
#define BLOB_ATTR_ID_SHIFT 24
#define BLOB_ATTR_LEN_MASK 0x00ffffff
#define BLOB_ATTR_ALIGN 4
#define BLOB_ATTR_EXTENDED 0x80000000

struct blob_attr {
    uint32_t id_len;
    char data[];
} __attribute__((packed));

struct blob_buf {
    struct blob_attr *head;
    bool (*grow)(struct blob_buf *buf, int minlen);
    int buflen;
    void *buf;
};

static inline void *blob_data(const struct blob_attr *attr) {
    return (void *)attr->data;
}

static inline unsigned int blob_id(const struct blob_attr *attr) {
    return (be32toh(attr->id_len) & BLOB_ATTR_ID_MASK) >> BLOB_ATTR_ID_SHIFT;
}

static inline bool blob_is_extended(const struct blob_attr *attr) {
    return !!(attr->id_len & htobe32(BLOB_ATTR_EXTENDED));
}

// Length of header and payload, without padding.
static inline size_t blob_raw_len(const struct blob_attr *attr) {
    return be32toh(attr->id_len) & BLOB_ATTR_LEN_MASK;
}

static inline size_t blob_len(const struct blob_attr *attr) {
    return blob_raw_len(attr) - sizeof(struct blob_attr);
}

static inline size_t blob_pad_len(const struct blob_attr *attr) {
    size_t len = blob_raw_len(attr);
    return (len + BLOB_ATTR_ALIGN - 1) & ~(size_t)(BLOB_ATTR_ALIGN - 1);
}

static inline struct blob_attr *blob_next(const struct blob_attr *attr) {
    return (struct blob_attr *)((char *)attr + blob_pad_len(attr));
}

static inline uint8_t blob_get_u8(const struct blob_attr *attr) {
    return *(const uint8_t *)attr->data;
}

static inline uint16_t blob_get_u16(const struct blob_attr *attr) {
    uint16_t v;
    memcpy(&v, attr->data, sizeof(v));
    return be16toh(v);
}

static inline uint32_t blob_get_u32(const struct blob_attr *attr) {
    uint32_t v;
    memcpy(&v, attr->data, sizeof(v));
    return be32toh(v);
}

static inline uint64_t blob_get_u64(const struct blob_attr *attr) {
    uint64_t v;
    memcpy(&v, attr->data, sizeof(v));
    return be64toh(v);
}

static inline const char *blob_get_string(const struct blob_attr *attr) {
    return attr->data;
}

// Starts an empty buffer whose outer attribute has the given id.
int blob_buf_init(struct blob_buf *buf, int id);
void blob_buf_free(struct blob_buf *buf);
bool blob_buf_grow(struct blob_buf *buf, int required);

// Appends an attribute with room for payload bytes (zeroed) to the current head.
struct blob_attr *blob_new(struct blob_buf *buf, int id, int payload);
struct blob_attr *blob_put(struct blob_buf *buf, int id, const void *ptr, unsigned int len);
// Nesting: attributes added between start and end go inside the new one.
void *blob_nest_start(struct blob_buf *buf, int id);
void blob_nest_end(struct blob_buf *buf, void *cookie);

static inline struct blob_attr *blob_put_string(struct blob_buf *buf, int id, const char *str) {
    return blob_put(buf, id, str, strlen(str) + 1);
}

static inline struct blob_attr *blob_put_u32(struct blob_buf *buf, int id, uint32_t val) {
    val = htobe32(val);
    return blob_put(buf, id, &val, sizeof(val));
}

static inline struct blob_attr *blob_put_u16(struct blob_buf *buf, int id, uint16_t val) {
    val = htobe16(val);
    return blob_put(buf, id, &val, sizeof(val));
}

static inline struct blob_attr *blob_put_u8(struct blob_buf *buf, int id, uint8_t val) {
    return blob_put(buf, id, &val, sizeof(val));
}

#define __blob_for_each_attr(pos, attr, rem)                              \
    for (pos = (struct blob_attr *)attr;                                  \
         rem >= sizeof(struct blob_attr) && (blob_pad_len(pos) <= rem) && \
         (blob_pad_len(pos) >= sizeof(struct blob_attr));                 \
         rem -= blob_pad_len(pos), pos = blob_next(pos))

#define blob_for_each_attr(pos, attr, rem)                                \
    for (rem = attr ? blob_len(attr) : 0,                                 \
        pos = (struct blob_attr *)(attr ? blob_data(attr) : NULL);        \
         rem >= sizeof(struct blob_attr) && (blob_pad_len(pos) <= rem) && \
         (blob_pad_len(pos) >= sizeof(struct blob_attr));                 \
         rem -= blob_pad_len(pos), pos = blob_next(pos))

#ifdef __cplusplus
}
#endif
