// Host stand-in for OpenWrt's `uci` command: only `get`, which is what the
// daemon (the device MAC) and the lab scripts need.
#include <uci.h>

#include <cstdio>
#include <cstring>
#include <unistd.h>

static int usage() {
    fprintf(stderr,
            "Usage: uci [-c <confdir>] get <config>[.<section>[.<option>]]\n"
            "  -c <path>  set the search path for config files (default: " UCI_CONFDIR ")\n");
    return 1;
}

// Option values as `uci get` prints them: lists joined by single spaces.
static void print_value(const uci_option *o) {
    if (o->type == UCI_TYPE_STRING) {
        printf("%s\n", o->v.string);
        return;
    }
    const char *sep = "";
    uci_element *e;
    uci_foreach_element(&o->v.list, e) {
        printf("%s%s", sep, e->name);
        sep = " ";
    }
    printf("\n");
}

int main(int argc, char **argv) {
    const char *confdir = nullptr;
    int c;
    opterr = 0;
    while ((c = getopt(argc, argv, "+c:")) != -1) {
        if (c != 'c') return usage();
        confdir = optarg;
    }
    if (argc - optind != 2 || strcmp(argv[optind], "get") != 0) return usage();
    char *path = argv[optind + 1];
    if (strchr(path, '=')) return usage();  // a value belongs to `set`

    uci_context *ctx = uci_alloc_context();
    if (!ctx) {
        fprintf(stderr, "uci: Out of memory\n");
        return 1;
    }
    if (confdir && uci_set_confdir(ctx, confdir) != UCI_OK) {
        uci_perror(ctx, "uci");
        uci_free_context(ctx);
        return 1;
    }

    int rc = 0;
    uci_ptr ptr;
    if (uci_lookup_ptr(ctx, &ptr, path, true) != UCI_OK) {
        uci_perror(ctx, "uci");
        rc = 1;
    } else if (!(ptr.flags & uci_ptr::UCI_LOOKUP_COMPLETE)) {
        ctx->err = UCI_ERR_NOTFOUND;
        uci_perror(ctx, "uci");
        rc = 1;
    } else if (ptr.o) {
        print_value(ptr.o);
    } else if (ptr.s) {
        printf("%s\n", ptr.s->type);
    }
    uci_free_context(ctx);
    return rc;
}
