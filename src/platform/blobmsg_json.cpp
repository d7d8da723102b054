// blobmsg messages rendered as JSON text, compact or tab-indented.
#include <libubox/blobmsg_json.h>

#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

struct strbuf {
    char *buf;
    size_t len;
    size_t pos;
    bool failed;
    bool indent;
    int indent_level;
    blobmsg_json_format_t custom_format;
    void *priv;
};

void puts_n(strbuf *s, const char *c, size_t len) {
    if (s->failed || !len) return;
    if (s->pos + len + 1 > s->len) {
        size_t nlen = (s->pos + len + 1) * 2;
        char *n = (char *)realloc(s->buf, nlen);
        if (!n) {
            s->failed = true;
            return;
        }
        s->buf = n;
        s->len = nlen;
    }
    memcpy(s->buf + s->pos, c, len);
    s->pos += len;
    s->buf[s->pos] = 0;
}

void puts_z(strbuf *s, const char *c) {
    puts_n(s, c, strlen(c));
}

// A line break and one tab per level, when indenting.
void add_separator(strbuf *s) {
    static const char chars[] =
        "\n\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t";
    if (!s->indent) return;
    size_t len = s->indent_level + 1;
    if (len > sizeof(chars) - 1) len = sizeof(chars) - 1;
    puts_n(s, chars, len);
}

void format_string(strbuf *s, const char *str) {
    puts_n(s, "\"", 1);
    const char *last = str;
    for (const char *p = str; *p; p++) {
        char esc[8];
        unsigned char c = (unsigned char)*p;
        switch (c) {
            case '\b':
                memcpy(esc, "\\b", 3);
                break;
            case '\n':
                memcpy(esc, "\\n", 3);
                break;
            case '\t':
                memcpy(esc, "\\t", 3);
                break;
            case '\r':
                memcpy(esc, "\\r", 3);
                break;
            case '"':
                memcpy(esc, "\\\"", 3);
                break;
            case '\\':
                memcpy(esc, "\\\\", 3);
                break;
            case '/':
                memcpy(esc, "\\/", 3);
                break;
            default:
                if (c >= ' ') continue;
                snprintf(esc, sizeof(esc), "\\u%04x", c);
                break;
        }
        puts_n(s, last, p - last);
        puts_z(s, esc);
        last = p + 1;
    }
    puts_z(s, last);
    puts_n(s, "\"", 1);
}

// Nesting depth needs no bound here: every element passed blobmsg_check_attr,
// which refuses deep nesting.
void format_list(strbuf *s, const char *data, size_t len, bool array);

void format_element(strbuf *s, blob_attr *attr, bool without_name, bool head) {
    if (!without_name && blobmsg_name(attr)[0]) {
        format_string(s, blobmsg_name(attr));
        puts_n(s, ": ", s->indent ? 2 : 1);
    }
    if (!head && s->custom_format) {
        const char *text = s->custom_format(s->priv, attr);
        if (text) {
            puts_z(s, text);
            return;
        }
    }
    char buf[64];
    const char *data = (const char *)blobmsg_data(attr);
    size_t len = blobmsg_data_len(attr);
    switch (blob_id(attr)) {
        case BLOBMSG_TYPE_UNSPEC:
            snprintf(buf, sizeof(buf), "null");
            break;
        case BLOBMSG_TYPE_BOOL:
            snprintf(buf, sizeof(buf), "%s", blobmsg_get_u8(attr) ? "true" : "false");
            break;
        case BLOBMSG_TYPE_INT16:
            snprintf(buf, sizeof(buf), "%d", (int16_t)blobmsg_get_u16(attr));
            break;
        case BLOBMSG_TYPE_INT32:
            snprintf(buf, sizeof(buf), "%d", (int32_t)blobmsg_get_u32(attr));
            break;
        case BLOBMSG_TYPE_INT64:
            snprintf(buf, sizeof(buf), "%" PRId64, (int64_t)blobmsg_get_u64(attr));
            break;
        case BLOBMSG_TYPE_DOUBLE:
            snprintf(buf, sizeof(buf), "%lf", blobmsg_get_double(attr));
            break;
        case BLOBMSG_TYPE_STRING:
            format_string(s, data);
            return;
        case BLOBMSG_TYPE_ARRAY:
            format_list(s, data, len, true);
            return;
        case BLOBMSG_TYPE_TABLE:
            format_list(s, data, len, false);
            return;
        default:
            return;
    }
    puts_z(s, buf);
}

void format_list(strbuf *s, const char *data, size_t len, bool array) {
    puts_n(s, array ? "[" : "{", 1);
    s->indent_level++;
    add_separator(s);
    bool first = true;
    blob_attr *pos;
    size_t rem = len;
    __blob_for_each_attr(pos, data, rem) {
        // Members that are not valid blobmsg are left out rather than misread.
        if (!blob_is_extended(pos) || !blobmsg_check_attr(pos, false)) continue;
        if (!first) {
            puts_n(s, ",", 1);
            add_separator(s);
        }
        format_element(s, pos, array, false);
        first = false;
    }
    s->indent_level--;
    add_separator(s);
    puts_n(s, array ? "]" : "}", 1);
}

}  // namespace

char *blobmsg_format_json_with_cb(struct blob_attr *attr, bool list, blobmsg_json_format_t cb,
                                  void *priv, int indent) {
    if (!attr || blob_raw_len(attr) < sizeof(blob_attr)) return nullptr;
    if (blob_is_extended(attr) && !blobmsg_check_attr(attr, false)) return nullptr;
    strbuf s = {};
    s.custom_format = cb;
    s.priv = priv;
    if (indent >= 0) {
        s.indent = true;
        s.indent_level = indent;
    }
    bool array = blob_is_extended(attr) && blobmsg_type(attr) == BLOBMSG_TYPE_ARRAY;
    if (list)
        format_list(&s, (const char *)blobmsg_data(attr), blobmsg_data_len(attr), array);
    else if (blob_is_extended(attr))
        format_element(&s, attr, true, false);
    if (s.failed || !s.buf) {
        free(s.buf);
        return nullptr;
    }
    return s.buf;
}
