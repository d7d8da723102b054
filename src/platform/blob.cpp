// blob buffers and blobmsg messages: building, nesting, validation, lookup.
#include <libubox/blobmsg.h>

#include <errno.h>
#include <stdlib.h>

namespace {

// Nesting of messages read from the bus is bounded so validation and JSON
// rendering cannot exhaust the stack on a crafted message.
constexpr int kMaxDepth = 32;

unsigned long attr_to_offset(const blob_buf *buf, const blob_attr *attr) {
    return (unsigned long)((const char *)attr - (const char *)buf->buf) + BLOB_COOKIE;
}

blob_attr *offset_to_attr(const blob_buf *buf, unsigned long offset) {
    return (blob_attr *)((char *)buf->buf + (offset - BLOB_COOKIE));
}

void attr_init(blob_attr *attr, uint32_t id, size_t len) {
    attr->id_len = htobe32(((id << BLOB_ATTR_ID_SHIFT) & BLOB_ATTR_ID_MASK) | (uint32_t)len);
}

void attr_set_raw_len(blob_attr *attr, size_t len) {
    uint32_t v = be32toh(attr->id_len) & ~(uint32_t)BLOB_ATTR_LEN_MASK;
    attr->id_len = htobe32(v | (uint32_t)len);
}

size_t pad4(size_t len) {
    return (len + BLOB_ATTR_ALIGN - 1) & ~(size_t)(BLOB_ATTR_ALIGN - 1);
}

bool default_grow(blob_buf *buf, int minlen) {
    int delta = ((minlen / 256) + 1) * 256;
    void *p = realloc(buf->buf, (size_t)buf->buflen + delta);
    if (!p) return false;
    memset((char *)p + buf->buflen, 0, delta);
    buf->buf = p;
    buf->buflen += delta;
    return true;
}

bool check_attr(const blob_attr *attr, bool name, int depth);

// Every member must be a blobmsg attribute that ends inside the list.
bool check_list(const char *data, size_t len, bool names, int depth) {
    if (depth > kMaxDepth) return false;
    while (len > 0) {
        if (len < sizeof(blob_attr)) return false;
        const blob_attr *a = (const blob_attr *)data;
        if (blob_raw_len(a) < sizeof(blob_attr) || blob_pad_len(a) > len) return false;
        if (!blob_is_extended(a) || !check_attr(a, names, depth)) return false;
        len -= blob_pad_len(a);
        data += blob_pad_len(a);
    }
    return true;
}

bool check_attr(const blob_attr *attr, bool name, int depth) {
    if (blob_raw_len(attr) < sizeof(blob_attr)) return false;
    if (!blob_is_extended(attr)) return true;
    size_t len = blob_len(attr);
    if (len < sizeof(blobmsg_hdr)) return false;
    const blobmsg_hdr *hdr = (const blobmsg_hdr *)blob_data(attr);
    uint16_t namelen_be;
    memcpy(&namelen_be, &hdr->namelen, sizeof(namelen_be));
    size_t namelen = be16toh(namelen_be);
    if (name && !namelen) return false;
    size_t hdrlen = blobmsg_hdrlen(namelen);
    if (hdrlen > len) return false;
    if (hdr->name[namelen] != 0) return false;
    const char *data = (const char *)blob_data(attr) + hdrlen;
    size_t dlen = len - hdrlen;
    switch (blob_id(attr)) {
        case BLOBMSG_TYPE_UNSPEC:
            return true;
        case BLOBMSG_TYPE_STRING:
            return dlen >= 1 && data[dlen - 1] == 0;
        case BLOBMSG_TYPE_INT8:
            return dlen >= 1;
        case BLOBMSG_TYPE_INT16:
            return dlen >= 2;
        case BLOBMSG_TYPE_INT32:
            return dlen >= 4;
        case BLOBMSG_TYPE_INT64:
        case BLOBMSG_TYPE_DOUBLE:
            return dlen >= 8;
        case BLOBMSG_TYPE_ARRAY:
            return check_list(data, dlen, false, depth + 1);
        case BLOBMSG_TYPE_TABLE:
            return check_list(data, dlen, true, depth + 1);
        default:
            return false;
    }
}

blob_attr *blobmsg_new(blob_buf *buf, int type, const char *name, int payload_len, void **data) {
    if (!name) name = "";
    size_t namelen = strlen(name);
    if (namelen > 0xffff || payload_len < 0) return nullptr;
    int hdrlen = blobmsg_hdrlen((unsigned)namelen);
    blob_attr *attr = blob_new(buf, 0, hdrlen + payload_len);
    if (!attr) return nullptr;
    attr->id_len |=
        htobe32(BLOB_ATTR_EXTENDED | (((uint32_t)type << BLOB_ATTR_ID_SHIFT) & BLOB_ATTR_ID_MASK));
    blobmsg_hdr *hdr = (blobmsg_hdr *)blob_data(attr);
    uint16_t nl = htobe16((uint16_t)namelen);
    memcpy(&hdr->namelen, &nl, sizeof(nl));
    memcpy((char *)hdr + sizeof(blobmsg_hdr), name, namelen + 1);
    if (data) *data = blobmsg_data(attr);
    return attr;
}

}  // namespace

bool blob_buf_grow(struct blob_buf *buf, int required) {
    if (required <= 0) return true;
    if ((size_t)buf->buflen + (size_t)required > BLOB_ATTR_LEN_MASK) return false;
    unsigned long head = buf->head ? attr_to_offset(buf, buf->head) : 0;
    if (!buf->grow || !buf->grow(buf, required)) return false;
    if (buf->head) buf->head = offset_to_attr(buf, head);
    return true;
}

int blob_buf_init(struct blob_buf *buf, int id) {
    if (!buf->grow) buf->grow = default_grow;
    buf->head = nullptr;
    if (buf->buflen < (int)sizeof(blob_attr) && !blob_buf_grow(buf, sizeof(blob_attr)))
        return -ENOMEM;
    buf->head = (blob_attr *)buf->buf;
    attr_init(buf->head, (uint32_t)id, sizeof(blob_attr));
    return 0;
}

void blob_buf_free(struct blob_buf *buf) {
    free(buf->buf);
    buf->buf = nullptr;
    buf->head = nullptr;
    buf->buflen = 0;
}

struct blob_attr *blob_new(struct blob_buf *buf, int id, int payload) {
    if (!buf->head || payload < 0) return nullptr;
    size_t head_off = (char *)buf->head - (char *)buf->buf;
    // The open attribute always ends the buffer, so new members go at its end.
    size_t pos = head_off + blob_pad_len(buf->head);
    size_t len = sizeof(blob_attr) + (size_t)payload;
    size_t end = pos + pad4(len);
    if (end > BLOB_ATTR_LEN_MASK) return nullptr;
    if (end > (size_t)buf->buflen && !blob_buf_grow(buf, (int)(end - buf->buflen))) return nullptr;
    blob_attr *attr = (blob_attr *)((char *)buf->buf + pos);
    memset(attr, 0, pad4(len));
    attr_init(attr, (uint32_t)id, len);
    attr_set_raw_len(buf->head, blob_pad_len(buf->head) + blob_pad_len(attr));
    return attr;
}

struct blob_attr *blob_put(struct blob_buf *buf, int id, const void *ptr, unsigned int len) {
    blob_attr *attr = blob_new(buf, id, (int)len);
    if (!attr) return nullptr;
    if (len) memcpy(blob_data(attr), ptr, len);
    return attr;
}

void *blob_nest_start(struct blob_buf *buf, int id) {
    if (!buf->head) return nullptr;
    unsigned long parent = attr_to_offset(buf, buf->head);
    blob_attr *attr = blob_new(buf, id, 0);
    if (!attr) return nullptr;
    buf->head = attr;
    return (void *)parent;
}

void blob_nest_end(struct blob_buf *buf, void *cookie) {
    if (!cookie || !buf->head) return;
    blob_attr *parent = offset_to_attr(buf, (unsigned long)cookie);
    blob_attr *child = buf->head;
    size_t end = (size_t)((char *)child - (char *)parent) + blob_pad_len(child);
    attr_set_raw_len(parent, end);
    buf->head = parent;
}

bool blobmsg_check_attr(const struct blob_attr *attr, bool name) {
    return attr && check_attr(attr, name, 0);
}

int blobmsg_parse(const struct blobmsg_policy *policy, int policy_len, struct blob_attr **tb,
                  void *data, unsigned int len) {
    memset(tb, 0, sizeof(*tb) * policy_len);
    if (!data || !len) return -EINVAL;
    const char *p = (const char *)data;
    size_t rem = len;
    while (rem > 0) {
        blob_attr *attr = (blob_attr *)p;
        if (rem < sizeof(blob_attr) || blob_raw_len(attr) < sizeof(blob_attr) ||
            blob_pad_len(attr) > rem)
            return -1;
        if (blob_is_extended(attr)) {
            if (!check_attr(attr, true, 0)) return -1;
            for (int i = 0; i < policy_len; i++) {
                if (policy[i].type != BLOBMSG_TYPE_UNSPEC &&
                    blob_id(attr) != (unsigned)policy[i].type)
                    continue;
                if (!policy[i].name || strcmp(policy[i].name, blobmsg_name(attr)) != 0) continue;
                if (!tb[i]) tb[i] = attr;
            }
        }
        rem -= blob_pad_len(attr);
        p += blob_pad_len(attr);
    }
    return 0;
}

int blobmsg_add_field(struct blob_buf *buf, int type, const char *name, const void *data,
                      unsigned int len) {
    void *dst;
    if (len > BLOB_ATTR_LEN_MASK) return -1;
    blob_attr *attr = blobmsg_new(buf, type, name, (int)len, &dst);
    if (!attr) return -1;
    if (len) memcpy(dst, data, len);
    return 0;
}

void *blobmsg_open_nested(struct blob_buf *buf, const char *name, bool array) {
    if (!buf->head) return nullptr;
    unsigned long parent = attr_to_offset(buf, buf->head);
    blob_attr *attr =
        blobmsg_new(buf, array ? BLOBMSG_TYPE_ARRAY : BLOBMSG_TYPE_TABLE, name, 0, nullptr);
    if (!attr) return nullptr;
    buf->head = attr;
    return (void *)parent;
}
