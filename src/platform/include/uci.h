// Host stand-in for OpenWrt's libuci: the subset of its public API that tarn
// and the host `uci` command use, with the same names, types and semantics,
// so the daemon links unchanged against the real library on a device.
// Reads standard uci files from the configuration directory; never writes.
#pragma once

#include <stdbool.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define UCI_CONFDIR "/etc/config"

enum {
    UCI_OK = 0,
    UCI_ERR_MEM,
    UCI_ERR_INVAL,
    UCI_ERR_NOTFOUND,
    UCI_ERR_IO,
    UCI_ERR_PARSE,
    UCI_ERR_DUPLICATE,
    UCI_ERR_UNKNOWN,
    UCI_ERR_LAST
};

struct uci_list {
    struct uci_list *next;
    struct uci_list *prev;
};

enum uci_type {
    UCI_TYPE_UNSPEC = 0,
    UCI_TYPE_DELTA = 1,
    UCI_TYPE_PACKAGE = 2,
    UCI_TYPE_SECTION = 3,
    UCI_TYPE_OPTION = 4,
    UCI_TYPE_PATH = 5,
    UCI_TYPE_BACKEND = 6,
    UCI_TYPE_ITEM = 7,
    UCI_TYPE_HOOK = 8,
};

enum uci_option_type {
    UCI_TYPE_STRING = 0,
    UCI_TYPE_LIST = 1,
};

enum uci_flags {
    UCI_FLAG_STRICT = (1 << 0),
    UCI_FLAG_PERROR = (1 << 1),
    UCI_FLAG_EXPORT_NAME = (1 << 2),
    UCI_FLAG_SAVED_DELTA = (1 << 3),
};

struct uci_element {
    struct uci_list list;
    enum uci_type type;
    char *name;
};

struct uci_parse_context;

struct uci_context {
    struct uci_list root;            // loaded packages
    struct uci_parse_context *pctx;  // details of the last parse error
    enum uci_flags flags;
    char *confdir;
    char *savedir;
    int err;
    const char *func;
};

struct uci_package {
    struct uci_element e;
    struct uci_list sections;
    struct uci_context *ctx;
    bool has_delta;
    char *path;
    int n_section;
};

struct uci_section {
    struct uci_element e;
    struct uci_list options;
    struct uci_package *package;
    bool anonymous;
    char *type;
};

struct uci_option {
    struct uci_element e;
    struct uci_section *section;
    enum uci_option_type type;
    union {
        struct uci_list list;  // of struct uci_element, value in name
        char *string;
    } v;
};

// As in libuci the flag names are scoped to the struct in C++:
// uci_ptr::UCI_LOOKUP_COMPLETE.
struct uci_ptr {
    enum uci_type target;
    enum {
        UCI_LOOKUP_DONE = (1 << 0),
        UCI_LOOKUP_COMPLETE = (1 << 1),
        UCI_LOOKUP_EXTENDED = (1 << 2),
    } flags;

    struct uci_package *p;
    struct uci_section *s;
    struct uci_option *o;
    struct uci_element *last;

    const char *package;
    const char *section;
    const char *option;
    const char *value;
};

struct uci_context *uci_alloc_context(void);
void uci_free_context(struct uci_context *ctx);
int uci_set_confdir(struct uci_context *ctx, const char *dir);

// Loads CONFDIR/name; UCI_ERR_NOTFOUND when the file is missing,
// UCI_ERR_PARSE for a malformed file, UCI_ERR_DUPLICATE when already loaded.
int uci_load(struct uci_context *ctx, const char *name, struct uci_package **package);
int uci_unload(struct uci_context *ctx, struct uci_package *p);

// Splits str ("package[.section[.option]][=value]") in place and looks it up,
// loading the package when needed. UCI_OK with UCI_LOOKUP_COMPLETE in
// ptr->flags when every named part exists; UCI_OK without it when the package
// exists but a section or option does not. extended allows "@type[index]".
int uci_lookup_ptr(struct uci_context *ctx, struct uci_ptr *ptr, char *str, bool extended);

struct uci_element *uci_lookup_list(struct uci_list *list, const char *name);
struct uci_section *uci_lookup_section(struct uci_context *ctx, struct uci_package *p,
                                       const char *name);
struct uci_option *uci_lookup_option(struct uci_context *ctx, struct uci_section *s,
                                     const char *name);
const char *uci_lookup_option_string(struct uci_context *ctx, struct uci_section *s,
                                     const char *name);

// "str: error text" on standard error; *dest gets a malloc'd copy.
void uci_perror(struct uci_context *ctx, const char *str);
void uci_get_errorstr(struct uci_context *ctx, char **dest, const char *str);

#ifndef container_of
#define container_of(ptr, type, member) ((type *)(((char *)(ptr)) - offsetof(type, member)))
#endif
#define list_to_element(ptr) container_of(ptr, struct uci_element, list)
#define uci_to_package(ptr) container_of(ptr, struct uci_package, e)
#define uci_to_section(ptr) container_of(ptr, struct uci_section, e)
#define uci_to_option(ptr) container_of(ptr, struct uci_option, e)

#define uci_foreach_element(_list, _ptr)                                \
    for (_ptr = list_to_element((_list)->next); &_ptr->list != (_list); \
         _ptr = list_to_element(_ptr->list.next))

#ifdef __cplusplus
}
#endif
