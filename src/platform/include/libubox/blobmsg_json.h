// Host back end of libblobmsg_json: blobmsg messages rendered as JSON text.
#pragma once

#include "blobmsg.h"

#ifdef __cplusplus
extern "C" {
#endif

// May return replacement text for an element's value, or NULL for the default.
typedef const char *(*blobmsg_json_format_t)(void *priv, struct blob_attr *attr);

// JSON text of attr (malloc'ed, caller frees), or NULL. With list, attr's members
// form the object (or array); otherwise attr itself is rendered. indent < 0 gives
// compact text; indent >= 0 puts each member on its own line, tab-indented from
// that level.
char *blobmsg_format_json_with_cb(struct blob_attr *attr, bool list, blobmsg_json_format_t cb,
                                  void *priv, int indent);

static inline char *blobmsg_format_json(struct blob_attr *attr, bool list) {
    return blobmsg_format_json_with_cb(attr, list, NULL, NULL, -1);
}

static inline char *blobmsg_format_json_indent(struct blob_attr *attr, bool list, int indent) {
    return blobmsg_format_json_with_cb(attr, list, NULL, NULL, indent);
}

#ifdef __cplusplus
}
#endif
