// Host back end of the libuci subset declared in uci.h: a read-only parser
// of the uci file syntax and the lookups built on it.
//
// File syntax: statements end at a line feed, a ';' or a '#' that starts a
// comment. Words are bare, 'single quoted' (taken literally) or "double
// quoted" (a backslash takes the next character literally); adjacent parts
// join into one word and quoted parts may span lines. Commands:
//   package NAME                 (accepted and ignored: the file names it)
//   config TYPE ['NAME']         (a repeated NAME of the same TYPE merges)
//   option KEY 'VALUE'           (a later option replaces an earlier one)
//   list KEY 'VALUE'             (appends; turns an existing option into a list)
// Commands may be abbreviated to their first letter, as libuci allows.
#include "uci.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

struct uci_parse_context {
    const char *reason;
    int line;
    int byte;
};

namespace {

const char *const kErrStr[] = {
    "Success",   "Out of memory", "Invalid argument", "Entry not found",
    "I/O error", "Parse error",   "Duplicate entry",  "Unknown error",
};

void list_init(uci_list *l) {
    l->next = l->prev = l;
}

void list_add_tail(uci_list *head, uci_list *n) {
    n->prev = head->prev;
    n->next = head;
    head->prev->next = n;
    head->prev = n;
}

void list_del(uci_list *n) {
    n->prev->next = n->next;
    n->next->prev = n->prev;
    list_init(n);
}

bool name_char(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Section and option names.
bool valid_name(const char *s) {
    if (!*s) return false;
    for (; *s; s++)
        if (!name_char(*s)) return false;
    return true;
}

// Package names double as file names: no '/' or '.' can reach the path.
bool valid_package(const char *s) {
    if (!*s) return false;
    for (; *s; s++)
        if (!name_char(*s) && *s != '-') return false;
    return true;
}

// Section types: any printable character but blanks.
bool valid_type(const char *s) {
    if (!*s) return false;
    for (; *s; s++) {
        unsigned char c = *s;
        if (c < 33 || c > 126) return false;
    }
    return true;
}

void free_item(uci_element *e) {
    free(e->name);
    free(e);
}

void free_option(uci_option *o) {
    if (o->type == UCI_TYPE_LIST) {
        while (o->v.list.next != &o->v.list) {
            uci_element *e = list_to_element(o->v.list.next);
            list_del(&e->list);
            free_item(e);
        }
    } else {
        free(o->v.string);
    }
    free(o->e.name);
    free(o);
}

void free_section(uci_section *s) {
    while (s->options.next != &s->options) {
        uci_element *e = list_to_element(s->options.next);
        list_del(&e->list);
        free_option(uci_to_option(e));
    }
    free(s->type);
    free(s->e.name);
    free(s);
}

void free_package(uci_package *p) {
    while (p->sections.next != &p->sections) {
        uci_element *e = list_to_element(p->sections.next);
        list_del(&e->list);
        free_section(uci_to_section(e));
    }
    free(p->path);
    free(p->e.name);
    free(p);
}

int set_err(uci_context *ctx, int err) {
    ctx->err = err;
    return err;
}

void clear_pctx(uci_context *ctx) {
    free(ctx->pctx);
    ctx->pctx = nullptr;
}

// Thrown inside the parser only; uci_load turns it into UCI_ERR_PARSE.
struct ParseError {
    const char *reason;
};

class Parser {
   public:
    Parser(const std::string &text, uci_package *pkg) : buf_(text), pkg_(pkg) {}

    // Builds the package's sections; on failure fills where and returns false.
    bool run(uci_parse_context *where) {
        try {
            parse();
            return true;
        } catch (const ParseError &e) {
            where->reason = e.reason;
            where->line = line_;
            where->byte = static_cast<int>(pos_ - line_start_);
            return false;
        }
    }

   private:
    bool at_end() const { return pos_ >= buf_.size(); }
    char cur() const { return buf_[pos_]; }
    static bool blank(char c) {
        return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
    }

    void newline() {
        pos_++;
        line_++;
        line_start_ = pos_;
    }

    void skip_blanks() {
        while (!at_end() && blank(cur())) pos_++;
    }

    void skip_comment() {
        while (!at_end() && cur() != '\n') pos_++;
    }

    // Reads one character of a quoted or bare word, keeping line counts right.
    void take(std::string &out) {
        char c = cur();
        if (c == '\0') throw ParseError{"invalid character in file"};
        out += c;
        if (c == '\n')
            newline();
        else
            pos_++;
    }

    struct Mark {
        size_t pos, line_start;
        int line;
    };
    Mark mark() const { return Mark{pos_, line_start_, line_}; }

    // An unterminated quote is reported where it opened, not at the end.
    [[noreturn]] void fail_at(const Mark &m, const char *reason) {
        pos_ = m.pos;
        line_start_ = m.line_start;
        line_ = m.line;
        throw ParseError{reason};
    }

    // Backslash: a line break after it continues the word, any other
    // character is taken literally.
    void backslash(std::string &out, const Mark *quote, const char *unterminated) {
        pos_++;
        if (at_end()) {
            if (quote) fail_at(*quote, unterminated);
            return;
        }
        if (cur() == '\n') {
            newline();
            return;
        }
        take(out);
    }

    // Next word of the statement; false when the statement has ended.
    bool next_word(std::string &out) {
        out.clear();
        skip_blanks();
        if (at_end() || cur() == '\n' || cur() == '#' || cur() == ';') return false;
        while (!at_end()) {
            char c = cur();
            if (blank(c) || c == '\n' || c == '#' || c == ';') break;
            if (c == '\'') {
                Mark quote = mark();
                pos_++;
                while (true) {
                    if (at_end()) fail_at(quote, "unterminated '");
                    if (cur() == '\'') break;
                    take(out);
                }
                pos_++;
            } else if (c == '"') {
                Mark quote = mark();
                pos_++;
                while (true) {
                    if (at_end()) fail_at(quote, "unterminated \"");
                    if (cur() == '"') break;
                    if (cur() == '\\')
                        backslash(out, &quote, "unterminated \"");
                    else
                        take(out);
                }
                pos_++;
            } else if (c == '\\') {
                backslash(out, nullptr, nullptr);
            } else {
                take(out);
            }
        }
        return true;
    }

    std::string required_word() {
        std::string w;
        if (!next_word(w)) throw ParseError{"missing argument"};
        return w;
    }

    void end_of_statement() {
        std::string extra;
        if (next_word(extra)) throw ParseError{"too many arguments"};
    }

    static bool is_cmd(const std::string &w, const char *full) {
        return w.size() && (w == full || (w.size() == 1 && w[0] == full[0]));
    }

    void parse() {
        while (true) {
            skip_blanks();
            if (at_end()) return;
            char c = cur();
            if (c == '\n') {
                newline();
                continue;
            }
            if (c == '#') {
                skip_comment();
                continue;
            }
            if (c == ';') {
                pos_++;
                continue;
            }
            std::string cmd;
            next_word(cmd);
            if (is_cmd(cmd, "package")) {
                std::string name = required_word();
                if (!valid_package(name.c_str())) throw ParseError{"invalid package name"};
            } else if (is_cmd(cmd, "config")) {
                parse_config();
            } else if (is_cmd(cmd, "option")) {
                parse_option(false);
            } else if (is_cmd(cmd, "list")) {
                parse_option(true);
            } else {
                throw ParseError{"invalid command"};
            }
            end_of_statement();
        }
    }

    void parse_config() {
        std::string type = required_word();
        if (!valid_type(type.c_str())) throw ParseError{"invalid character in field"};
        std::string name;
        next_word(name);
        if (!name.empty() && !valid_name(name.c_str()))
            throw ParseError{"invalid character in name field"};

        if (!name.empty()) {
            if (uci_element *e = uci_lookup_list(&pkg_->sections, name.c_str())) {
                uci_section *s = uci_to_section(e);
                if (type != s->type)
                    throw ParseError{
                        "section of different type overwrites prior section with same name"};
                section_ = s;
                return;
            }
        }
        section_ = add_section(type, name);
    }

    uci_section *add_section(const std::string &type, std::string name) {
        bool anonymous = name.empty();
        if (anonymous) {
            // libuci names anonymous sections cfgNNHHHH; keep the form, unique.
            unsigned hash = 5381;
            for (char ch : type) hash = hash * 33 + static_cast<unsigned char>(ch);
            char auto_name[16];
            do {
                snprintf(auto_name, sizeof(auto_name), "cfg%02x%04x", pkg_->n_section & 0xff,
                         hash & 0xffff);
                hash++;
            } while (uci_lookup_list(&pkg_->sections, auto_name));
            name = auto_name;
        }
        auto *s = static_cast<uci_section *>(calloc(1, sizeof(uci_section)));
        if (!s) throw std::bad_alloc();
        s->e.type = UCI_TYPE_SECTION;
        list_init(&s->e.list);
        list_init(&s->options);
        s->package = pkg_;
        s->anonymous = anonymous;
        s->e.name = strdup(name.c_str());
        s->type = strdup(type.c_str());
        if (!s->e.name || !s->type) {
            free_section(s);
            throw std::bad_alloc();
        }
        list_add_tail(&pkg_->sections, &s->e.list);
        pkg_->n_section++;
        return s;
    }

    static uci_element *new_item(const std::string &value) {
        auto *e = static_cast<uci_element *>(calloc(1, sizeof(uci_element)));
        if (!e) throw std::bad_alloc();
        e->type = UCI_TYPE_ITEM;
        list_init(&e->list);
        e->name = strdup(value.c_str());
        if (!e->name) {
            free(e);
            throw std::bad_alloc();
        }
        return e;
    }

    void parse_option(bool is_list) {
        if (!section_) throw ParseError{"option/list command found before the first section"};
        std::string key = required_word();
        if (!valid_name(key.c_str())) throw ParseError{"invalid character in name field"};
        std::string value;
        next_word(value);

        uci_option *o = nullptr;
        if (uci_element *e = uci_lookup_list(&section_->options, key.c_str())) o = uci_to_option(e);

        if (!o) {
            o = static_cast<uci_option *>(calloc(1, sizeof(uci_option)));
            if (!o) throw std::bad_alloc();
            o->e.type = UCI_TYPE_OPTION;
            list_init(&o->e.list);
            o->section = section_;
            o->type = UCI_TYPE_STRING;
            o->e.name = strdup(key.c_str());
            if (!o->e.name) {
                free(o);
                throw std::bad_alloc();
            }
            list_add_tail(&section_->options, &o->e.list);
        }

        if (!is_list) {
            char *copy = strdup(value.c_str());
            if (!copy) throw std::bad_alloc();
            if (o->type == UCI_TYPE_LIST) {
                while (o->v.list.next != &o->v.list) {
                    uci_element *e = list_to_element(o->v.list.next);
                    list_del(&e->list);
                    free_item(e);
                }
            } else {
                free(o->v.string);
            }
            o->type = UCI_TYPE_STRING;
            o->v.string = copy;
            return;
        }

        uci_element *item = new_item(value);
        if (o->type == UCI_TYPE_STRING) {
            // An option given before as a single value becomes the list's head.
            uci_element *first = nullptr;
            if (o->v.string) {
                try {
                    first = new_item(o->v.string);
                } catch (...) {
                    free_item(item);
                    throw;
                }
                free(o->v.string);
            }
            o->type = UCI_TYPE_LIST;
            list_init(&o->v.list);
            if (first) list_add_tail(&o->v.list, &first->list);
        }
        list_add_tail(&o->v.list, &item->list);
    }

    const std::string &buf_;
    uci_package *pkg_;
    uci_section *section_ = nullptr;
    size_t pos_ = 0;
    size_t line_start_ = 0;
    int line_ = 1;
};

int read_file(const char *path, std::string &out) {
    FILE *fp = fopen(path, "re");
    if (!fp) return errno == ENOENT ? UCI_ERR_NOTFOUND : UCI_ERR_IO;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), fp)) > 0) out.append(chunk, n);
    bool failed = ferror(fp);
    fclose(fp);
    return failed ? UCI_ERR_IO : UCI_OK;
}

int load_package(uci_context *ctx, const char *name, uci_package **package) {
    std::string path = std::string(ctx->confdir) + "/" + name;
    std::string text;
    int err = read_file(path.c_str(), text);
    if (err != UCI_OK) return err;

    auto *p = static_cast<uci_package *>(calloc(1, sizeof(uci_package)));
    if (!p) return UCI_ERR_MEM;
    p->e.type = UCI_TYPE_PACKAGE;
    list_init(&p->e.list);
    list_init(&p->sections);
    p->ctx = ctx;
    p->e.name = strdup(name);
    p->path = strdup(path.c_str());
    if (!p->e.name || !p->path) {
        free_package(p);
        return UCI_ERR_MEM;
    }

    auto *where = static_cast<uci_parse_context *>(calloc(1, sizeof(uci_parse_context)));
    if (!where) {
        free_package(p);
        return UCI_ERR_MEM;
    }
    bool ok;
    try {
        ok = Parser(text, p).run(where);
    } catch (const std::bad_alloc &) {
        free(where);
        free_package(p);
        return UCI_ERR_MEM;
    }
    if (!ok) {
        ctx->pctx = where;
        free_package(p);
        return UCI_ERR_PARSE;
    }
    free(where);
    list_add_tail(&ctx->root, &p->e.list);
    *package = p;
    return UCI_OK;
}

// Splits "package[.section[.option]][=value]" in place.
int parse_ptr(uci_ptr *ptr, char *str) {
    memset(ptr, 0, sizeof(*ptr));
    if (char *eq = strchr(str, '=')) {
        *eq = '\0';
        ptr->value = eq + 1;
    }
    char *parts[4] = {};
    int n = 0;
    char *p = str;
    while (true) {
        if (n == 3) goto error;  // a fourth part
        parts[n++] = p;
        char *dot = strchr(p, '.');
        if (!dot) break;
        *dot = '\0';
        p = dot + 1;
    }
    ptr->package = parts[0];
    ptr->section = parts[1];
    ptr->option = parts[2];
    ptr->target = n == 1 ? UCI_TYPE_PACKAGE : n == 2 ? UCI_TYPE_SECTION : UCI_TYPE_OPTION;

    if (!valid_package(ptr->package)) goto error;
    if (ptr->section && !valid_name(ptr->section)) {
        if (ptr->section[0] != '@') goto error;
        ptr->flags = uci_ptr::UCI_LOOKUP_EXTENDED;
    }
    if (ptr->option && !valid_name(ptr->option)) goto error;
    return UCI_OK;

error:
    memset(ptr, 0, sizeof(*ptr));
    return UCI_ERR_PARSE;
}

// "@type[index]": the index-th section of that type in file order; a
// negative index counts from the end. Sets *found to null when out of range.
int lookup_ext_section(uci_ptr *ptr, uci_element **found) {
    *found = nullptr;
    std::string selector(ptr->section + 1);
    size_t open = selector.find('[');
    if (open == std::string::npos || open == 0 || selector.back() != ']') return UCI_ERR_INVAL;
    std::string type = selector.substr(0, open);
    std::string idx_text = selector.substr(open + 1, selector.size() - open - 2);
    if (idx_text.empty() || !valid_type(type.c_str())) return UCI_ERR_INVAL;
    char *end = nullptr;
    errno = 0;
    long idx = strtol(idx_text.c_str(), &end, 10);
    if (*end || errno) return UCI_ERR_INVAL;

    long count = 0;
    uci_element *e;
    uci_foreach_element(&ptr->p->sections, e) {
        if (type == uci_to_section(e)->type) count++;
    }
    if (idx < 0) idx += count;
    if (idx < 0 || idx >= count) return UCI_OK;
    uci_foreach_element(&ptr->p->sections, e) {
        if (type != uci_to_section(e)->type) continue;
        if (idx-- == 0) {
            *found = e;
            ptr->section = e->name;
            break;
        }
    }
    return UCI_OK;
}

}  // namespace

extern "C" {

uci_context *uci_alloc_context(void) {
    auto *ctx = static_cast<uci_context *>(calloc(1, sizeof(uci_context)));
    if (!ctx) return nullptr;
    list_init(&ctx->root);
    ctx->flags = static_cast<uci_flags>(UCI_FLAG_STRICT | UCI_FLAG_SAVED_DELTA);
    ctx->confdir = strdup(UCI_CONFDIR);
    ctx->savedir = strdup("/tmp/.uci");
    if (!ctx->confdir || !ctx->savedir) {
        uci_free_context(ctx);
        return nullptr;
    }
    return ctx;
}

void uci_free_context(uci_context *ctx) {
    if (!ctx) return;
    while (ctx->root.next != &ctx->root) {
        uci_element *e = list_to_element(ctx->root.next);
        list_del(&e->list);
        free_package(uci_to_package(e));
    }
    clear_pctx(ctx);
    free(ctx->confdir);
    free(ctx->savedir);
    free(ctx);
}

int uci_set_confdir(uci_context *ctx, const char *dir) {
    if (!ctx) return UCI_ERR_INVAL;
    ctx->func = __func__;
    if (!dir || !*dir) return set_err(ctx, UCI_ERR_INVAL);
    char *copy = strdup(dir);
    if (!copy) return set_err(ctx, UCI_ERR_MEM);
    free(ctx->confdir);
    ctx->confdir = copy;
    return set_err(ctx, UCI_OK);
}

int uci_load(uci_context *ctx, const char *name, uci_package **package) {
    if (!ctx) return UCI_ERR_INVAL;
    ctx->func = __func__;
    clear_pctx(ctx);
    if (package) *package = nullptr;
    if (!name || !valid_package(name)) return set_err(ctx, UCI_ERR_INVAL);
    if (uci_lookup_list(&ctx->root, name)) return set_err(ctx, UCI_ERR_DUPLICATE);
    uci_package *p = nullptr;
    int err;
    try {
        err = load_package(ctx, name, &p);
    } catch (const std::bad_alloc &) {
        err = UCI_ERR_MEM;
    }
    if (err == UCI_OK && package) *package = p;
    return set_err(ctx, err);
}

int uci_unload(uci_context *ctx, uci_package *p) {
    if (!ctx) return UCI_ERR_INVAL;
    ctx->func = __func__;
    if (!p) return set_err(ctx, UCI_ERR_INVAL);
    list_del(&p->e.list);
    free_package(p);
    return set_err(ctx, UCI_OK);
}

uci_element *uci_lookup_list(uci_list *list, const char *name) {
    uci_element *e;
    uci_foreach_element(list, e) {
        if (!strcmp(e->name, name)) return e;
    }
    return nullptr;
}

uci_section *uci_lookup_section(uci_context *, uci_package *p, const char *name) {
    if (!p || !name) return nullptr;
    uci_element *e = uci_lookup_list(&p->sections, name);
    return e ? uci_to_section(e) : nullptr;
}

uci_option *uci_lookup_option(uci_context *, uci_section *s, const char *name) {
    if (!s || !name) return nullptr;
    uci_element *e = uci_lookup_list(&s->options, name);
    return e ? uci_to_option(e) : nullptr;
}

const char *uci_lookup_option_string(uci_context *ctx, uci_section *s, const char *name) {
    uci_option *o = uci_lookup_option(ctx, s, name);
    if (!o || o->type != UCI_TYPE_STRING) return nullptr;
    return o->v.string;
}

int uci_lookup_ptr(uci_context *ctx, uci_ptr *ptr, char *str, bool extended) {
    if (!ctx) return UCI_ERR_INVAL;
    ctx->func = __func__;
    clear_pctx(ctx);
    if (!ptr) return set_err(ctx, UCI_ERR_INVAL);
    if (str) {
        int err = parse_ptr(ptr, str);
        if (err != UCI_OK) return set_err(ctx, err);
    }
    ptr->flags = static_cast<decltype(ptr->flags)>(ptr->flags | uci_ptr::UCI_LOOKUP_DONE);

    uci_element *e = nullptr;
    if (ptr->p) {
        e = &ptr->p->e;
    } else {
        if (!ptr->package) return set_err(ctx, UCI_ERR_INVAL);
        e = uci_lookup_list(&ctx->root, ptr->package);
    }
    if (!e) {
        int err = uci_load(ctx, ptr->package, &ptr->p);
        if (err != UCI_OK) return set_err(ctx, err);
        ptr->last = &ptr->p->e;
    } else {
        ptr->p = uci_to_package(e);
        ptr->last = e;
    }
    ctx->func = __func__;

    if (ptr->section || ptr->s) {
        if (ptr->s) {
            e = &ptr->s->e;
        } else if (ptr->flags & uci_ptr::UCI_LOOKUP_EXTENDED) {
            if (!extended) return set_err(ctx, UCI_ERR_INVAL);
            int err = lookup_ext_section(ptr, &e);
            if (err != UCI_OK) return set_err(ctx, err);
        } else {
            e = uci_lookup_list(&ptr->p->sections, ptr->section);
        }
        if (!e) return set_err(ctx, UCI_OK);
        ptr->last = e;
        ptr->s = uci_to_section(e);

        if (ptr->option) {
            e = uci_lookup_list(&ptr->s->options, ptr->option);
            if (!e) return set_err(ctx, UCI_OK);
            ptr->o = uci_to_option(e);
            ptr->last = e;
        }
    }
    ptr->flags = static_cast<decltype(ptr->flags)>(ptr->flags | uci_ptr::UCI_LOOKUP_COMPLETE);
    return set_err(ctx, UCI_OK);
}

void uci_get_errorstr(uci_context *ctx, char **dest, const char *str) {
    if (!ctx) return;
    int err = ctx->err;
    const char *text = (err >= 0 && err < UCI_ERR_LAST) ? kErrStr[err] : kErrStr[UCI_ERR_UNKNOWN];
    char info[160] = "";
    if (err == UCI_ERR_PARSE && ctx->pctx)
        snprintf(info, sizeof(info), " (%s) at line %d, byte %d",
                 ctx->pctx->reason ? ctx->pctx->reason : "unknown", ctx->pctx->line,
                 ctx->pctx->byte);
    char line[512];
    snprintf(line, sizeof(line), "%s%s%s%s", str ? str : "", str ? ": " : "", text, info);
    if (dest)
        *dest = strdup(line);
    else
        fprintf(stderr, "%s\n", line);
}

void uci_perror(uci_context *ctx, const char *str) {
    uci_get_errorstr(ctx, nullptr, str);
}

}  // extern "C"
