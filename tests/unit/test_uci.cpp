// The host uci reader and the `uci get` command built on it.
#include <uci.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

extern char **environ;

namespace {

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class UciTest : public ::testing::Test {
   protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tarn-uci-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ctx_ = uci_alloc_context();
        ASSERT_NE(ctx_, nullptr);
        ASSERT_EQ(uci_set_confdir(ctx_, dir_.c_str()), UCI_OK);
    }
    void TearDown() override {
        uci_free_context(ctx_);
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    void write(const std::string &name, const std::string &text) {
        std::ofstream out(dir_ + "/" + name, std::ios::binary);
        out << text;
    }

    // Looks path up on a fresh context; the option text, a list joined by
    // '|', or the section type; "" when the lookup is not complete.
    struct Result {
        int rc;
        bool complete;
        std::string text;
    };
    Result get(const std::string &path, bool extended = true) {
        uci_context *ctx = uci_alloc_context();
        uci_set_confdir(ctx, dir_.c_str());
        std::vector<char> buf(path.begin(), path.end());
        buf.push_back('\0');
        uci_ptr ptr;
        Result r{uci_lookup_ptr(ctx, &ptr, buf.data(), extended), false, ""};
        if (r.rc == UCI_OK && (ptr.flags & uci_ptr::UCI_LOOKUP_COMPLETE)) {
            r.complete = true;
            if (ptr.o && ptr.o->type == UCI_TYPE_STRING) {
                r.text = ptr.o->v.string;
            } else if (ptr.o) {
                uci_element *e;
                uci_foreach_element(&ptr.o->v.list, e) {
                    if (!r.text.empty()) r.text += "|";
                    r.text += e->name;
                }
            } else if (ptr.s) {
                r.text = ptr.s->type;
            }
        }
        uci_free_context(ctx);
        return r;
    }

    std::string parse_error(const std::string &name) {
        uci_package *p = nullptr;
        EXPECT_EQ(uci_load(ctx_, name.c_str(), &p), UCI_ERR_PARSE) << name;
        EXPECT_EQ(p, nullptr);
        char *msg = nullptr;
        uci_get_errorstr(ctx_, &msg, "t");
        std::string s = msg ? msg : "";
        free(msg);
        return s;
    }

    std::string dir_;
    uci_context *ctx_ = nullptr;
};

TEST_F(UciTest, WordForms) {
    write("n",
          "# leading comment\n"
          "\n"
          "package n\n"
          "config iface 'wan'\n"
          "\toption single 'a b # not a comment'\n"
          "\toption dbl \"x \\\"y\\\" \\\\z\"\n"
          "\toption bare eth0\n"
          "\toption joined 'a'\"b\"c\n"
          "\toption empty ''\n"
          "\toption novalue\n"
          "\toption trail value# comment right after\n"
          "\toption spaced   'v'   # comment\n"
          "\toption multi 'line1\nline2'\n"
          "\toption literal 'back\\slash'\n"
          "  o short 1; option semi 2\n"
          "\toption crlf 'v1'\r\n"
          "\toption crlfbare v2\r\n"
          "\toption cont one\\\ntwo\n");
    EXPECT_EQ(get("n.wan.single").text, "a b # not a comment");
    EXPECT_EQ(get("n.wan.dbl").text, "x \"y\" \\z");
    EXPECT_EQ(get("n.wan.bare").text, "eth0");
    EXPECT_EQ(get("n.wan.joined").text, "abc");
    EXPECT_TRUE(get("n.wan.empty").complete);
    EXPECT_EQ(get("n.wan.empty").text, "");
    EXPECT_EQ(get("n.wan.novalue").text, "");
    EXPECT_EQ(get("n.wan.trail").text, "value");
    EXPECT_EQ(get("n.wan.spaced").text, "v");
    EXPECT_EQ(get("n.wan.multi").text, "line1\nline2");
    EXPECT_EQ(get("n.wan.literal").text, "back\\slash");
    EXPECT_EQ(get("n.wan.short").text, "1");
    EXPECT_EQ(get("n.wan.semi").text, "2");
    EXPECT_EQ(get("n.wan.crlf").text, "v1");
    EXPECT_EQ(get("n.wan.crlfbare").text, "v2");
    EXPECT_EQ(get("n.wan.cont").text, "onetwo");
}

TEST_F(UciTest, ListsAndRepeatedOptions) {
    write("n",
          "config t 's'\n"
          "\tlist dns '8.8.8.8'\n"
          "\tlist dns 1.1.1.1\n"
          "\toption over 'first'\n"
          "\toption over 'second'\n"
          "\toption grow 'head'\n"
          "\tlist grow 'tail'\n"
          "\tlist flat 'x'\n"
          "\toption flat 'y'\n");
    EXPECT_EQ(get("n.s.dns").text, "8.8.8.8|1.1.1.1");
    EXPECT_EQ(get("n.s.over").text, "second");
    EXPECT_EQ(get("n.s.grow").text, "head|tail");
    EXPECT_EQ(get("n.s.flat").text, "y");

    uci_package *p = nullptr;
    ASSERT_EQ(uci_load(ctx_, "n", &p), UCI_OK);
    uci_section *s = uci_lookup_section(ctx_, p, "s");
    ASSERT_NE(s, nullptr);
    uci_option *o = uci_lookup_option(ctx_, s, "dns");
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(o->type, UCI_TYPE_LIST);
    EXPECT_EQ(uci_lookup_option_string(ctx_, s, "dns"), nullptr);
    EXPECT_STREQ(uci_lookup_option_string(ctx_, s, "over"), "second");
    EXPECT_EQ(uci_lookup_option(ctx_, s, "missing"), nullptr);
    EXPECT_EQ(uci_lookup_section(ctx_, p, "missing"), nullptr);
}

TEST_F(UciTest, NamedAnonymousAndIndexedSections) {
    write("network",
          "config interface 'loopback'\n"
          "\toption ifname 'lo'\n"
          "config interface\n"
          "\toption ifname 'eth0'\n"
          "config switch\n"
          "\toption name 'sw'\n"
          "config interface\n"
          "\toption ifname 'eth1'\n"
          "config interface 'loopback'\n"
          "\toption proto 'static'\n");
    // @type[N] counts named and anonymous sections of that type in file order.
    EXPECT_EQ(get("network.@interface[0].ifname").text, "lo");
    EXPECT_EQ(get("network.@interface[1].ifname").text, "eth0");
    EXPECT_EQ(get("network.@interface[2].ifname").text, "eth1");
    EXPECT_EQ(get("network.@interface[-1].ifname").text, "eth1");
    EXPECT_EQ(get("network.@interface[-3].ifname").text, "lo");
    EXPECT_EQ(get("network.@switch[0].name").text, "sw");
    EXPECT_EQ(get("network.@switch[0]").text, "switch");

    // A repeated name of the same type adds to the earlier section.
    EXPECT_EQ(get("network.loopback.proto").text, "static");
    EXPECT_EQ(get("network.loopback.ifname").text, "lo");

    Result out = get("network.@interface[3].ifname");
    EXPECT_EQ(out.rc, UCI_OK);
    EXPECT_FALSE(out.complete);
    EXPECT_FALSE(get("network.@interface[-4]").complete);
    EXPECT_FALSE(get("network.@bridge[0]").complete);

    EXPECT_EQ(get("network.@interface[0].ifname", false).rc, UCI_ERR_INVAL);
    for (const char *bad : {"network.@interface", "network.@interface[x]", "network.@[0]",
                            "network.@interface[0]x", "network.@interface[]"})
        EXPECT_EQ(get(bad).rc, UCI_ERR_INVAL) << bad;

    // Anonymous sections get generated names, distinct from each other.
    uci_package *p = nullptr;
    ASSERT_EQ(uci_load(ctx_, "network", &p), UCI_OK);
    std::vector<std::string> names;
    uci_element *e;
    uci_foreach_element(&p->sections, e) {
        uci_section *s = uci_to_section(e);
        EXPECT_EQ(s->anonymous, std::string(e->name) != "loopback");
        EXPECT_EQ(s->package, p);
        names.push_back(e->name);
    }
    ASSERT_EQ(names.size(), 4u);
    EXPECT_NE(names[1], names[3]);
    EXPECT_EQ(get("network." + names[3] + ".ifname").text, "eth1");
}

TEST_F(UciTest, MissingPackageSectionOption) {
    write("network", "config interface 'wan'\n\toption ifname 'eth0'\n");

    EXPECT_EQ(get("nosuch.wan.ifname").rc, UCI_ERR_NOTFOUND);

    uci_ptr ptr;
    char sec[] = "network.lan.ifname";
    ASSERT_EQ(uci_lookup_ptr(ctx_, &ptr, sec, true), UCI_OK);
    EXPECT_TRUE(ptr.flags & uci_ptr::UCI_LOOKUP_DONE);
    EXPECT_FALSE(ptr.flags & uci_ptr::UCI_LOOKUP_COMPLETE);
    ASSERT_NE(ptr.p, nullptr);
    EXPECT_EQ(ptr.s, nullptr);
    EXPECT_EQ(ptr.last, &ptr.p->e);

    // The package stays loaded in the context and is reused.
    char opt[] = "network.wan.proto";
    ASSERT_EQ(uci_lookup_ptr(ctx_, &ptr, opt, true), UCI_OK);
    EXPECT_FALSE(ptr.flags & uci_ptr::UCI_LOOKUP_COMPLETE);
    ASSERT_NE(ptr.s, nullptr);
    EXPECT_EQ(ptr.o, nullptr);
    EXPECT_EQ(ptr.last, &ptr.s->e);
    EXPECT_STREQ(ptr.package, "network");
    EXPECT_STREQ(ptr.section, "wan");
    EXPECT_STREQ(ptr.option, "proto");

    char full[] = "network.wan.ifname=ignored";
    ASSERT_EQ(uci_lookup_ptr(ctx_, &ptr, full, true), UCI_OK);
    EXPECT_TRUE(ptr.flags & uci_ptr::UCI_LOOKUP_COMPLETE);
    EXPECT_EQ(ptr.target, UCI_TYPE_OPTION);
    EXPECT_EQ(ptr.last, &ptr.o->e);
    EXPECT_STREQ(ptr.o->v.string, "eth0");
    EXPECT_STREQ(ptr.value, "ignored");

    uci_package *again = nullptr;
    EXPECT_EQ(uci_load(ctx_, "network", &again), UCI_ERR_DUPLICATE);
    EXPECT_EQ(uci_unload(ctx_, ptr.p), UCI_OK);
    EXPECT_EQ(uci_load(ctx_, "network", &again), UCI_OK);
    ASSERT_NE(again, nullptr);
    EXPECT_STREQ(again->e.name, "network");
}

TEST_F(UciTest, BadPathsAndPackageNames) {
    write("network", "config interface 'wan'\n");
    for (const char *bad : {"", ".wan", "network..x", "network.wan.", "network.wan.a.b",
                            "network.w-n", "network.wan.a-b", "net/work.wan"})
        EXPECT_EQ(get(bad).rc, UCI_ERR_PARSE) << bad;

    uci_package *p = reinterpret_cast<uci_package *>(&p);
    for (const char *bad : {"../network", "net.work", "", "/etc/passwd"}) {
        EXPECT_EQ(uci_load(ctx_, bad, &p), UCI_ERR_INVAL) << bad;
        EXPECT_EQ(p, nullptr);
    }
    ASSERT_EQ(mkdir((dir_ + "/adir").c_str(), 0755), 0);
    EXPECT_EQ(uci_load(ctx_, "adir", &p), UCI_ERR_IO);
    EXPECT_EQ(uci_set_confdir(ctx_, nullptr), UCI_ERR_INVAL);
    EXPECT_EQ(uci_load(nullptr, "network", &p), UCI_ERR_INVAL);
}

TEST_F(UciTest, MalformedFilesAreParseErrors) {
    struct Case {
        std::string text;
        const char *detail;
    } cases[] = {
        {"config t 's'\n\tbogus x 'y'\n", "(invalid command) at line 2"},
        {"option x 'y'\n", "(option/list command found before the first section) at line 1"},
        {"config t 's'\n\toption x 'never closed\n\n", "(unterminated ') at line 2, byte 10"},
        {"config t 's'\n\toption x \"open\n", "(unterminated \") at line 2"},
        {"config t 's'\n\toption x \"ends in \\", "(unterminated \") at line 2"},
        {"config t 's' extra\n", "(too many arguments) at line 1"},
        {"config t 's'\n\toption x 'y' 'z'\n", "(too many arguments) at line 2"},
        {"config\n", "(missing argument) at line 1"},
        {"config t 's'\n\toption\n", "(missing argument) at line 2"},
        {"config t 'bad name'\n", "(invalid character in name field) at line 1"},
        {"config t 's'\n\toption 'a.b' 'y'\n", "(invalid character in name field) at line 2"},
        {"config t 's'\nconfig u 's'\n", "(section of different type overwrites prior"},
        {"package\n", "(missing argument) at line 1"},
        {"options x y\n", "(invalid command)"},
        {std::string("config t 's'\n\toption x 'a\0b'\n", 29), "(invalid character in file)"},
    };
    int i = 0;
    for (const Case &c : cases) {
        std::string name = "bad" + std::to_string(i++);
        write(name, c.text);
        std::string msg = parse_error(name);
        EXPECT_NE(msg.find(std::string("t: Parse error ") + c.detail), std::string::npos)
            << name << ": " << msg;
    }
    // Nothing of a failed file stays loaded; the context is still usable.
    EXPECT_EQ(ctx_->root.next, &ctx_->root);
    write("good", "config t 's'\n\toption x 'y'\n");
    uci_package *p = nullptr;
    EXPECT_EQ(uci_load(ctx_, "good", &p), UCI_OK);
}

// Random and mutated bytes must give a clean result, never a crash or a leak.
TEST_F(UciTest, GarbageNeverCrashes) {
    const std::string seed =
        "package n\nconfig interface 'wan'\n\toption ifname \"eth0\"\n\tlist dns '1.1.1.1'\n"
        "config switch\n\toption x y # c\n";
    const char alphabet[] = "'\"\\#; \t\r\n\0abc.@[]-=";
    std::mt19937 rng(1234);
    for (int round = 0; round < 2000; round++) {
        std::string text = seed;
        int edits = 1 + static_cast<int>(rng() % 6);
        for (int k = 0; k < edits; k++) {
            size_t at = rng() % (text.size() + 1);
            char ch = alphabet[rng() % (sizeof(alphabet) - 1)];
            if (rng() % 2 && at < text.size())
                text[at] = ch;
            else
                text.insert(at, 1, ch);
        }
        if (round % 10 == 0) {
            text.clear();
            for (int k = 0; k < 200; k++) text += static_cast<char>(rng() % 256);
        }
        write("g", text);
        Result r = get("g.@interface[0].ifname");
        ASSERT_TRUE(r.rc == UCI_OK || r.rc == UCI_ERR_PARSE) << r.rc << " for\n" << text;
    }
}

// Parse details belong to the parse error they came with, not a later one.
TEST_F(UciTest, ErrorTexts) {
    write("bad", "bogus\n");
    uci_package *p = nullptr;
    EXPECT_EQ(uci_load(ctx_, "bad", &p), UCI_ERR_PARSE);
    uci_ptr ptr;
    char badpath[] = "network..x";
    EXPECT_EQ(uci_lookup_ptr(ctx_, &ptr, badpath, true), UCI_ERR_PARSE);
    char *msg = nullptr;
    uci_get_errorstr(ctx_, &msg, "uci");
    EXPECT_STREQ(msg, "uci: Parse error");
    free(msg);

    ctx_->err = 99;
    testing::internal::CaptureStderr();
    uci_perror(ctx_, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unknown error\n");
}

// The `uci` command sits next to the test programs in the build tree.
class UciToolTest : public UciTest {
   protected:
    struct Run {
        int status;
        std::string out, err;
    };
    Run run(std::vector<std::string> args) {
        char self[4096];
        ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
        if (n <= 0) return {-1, "", ""};
        self[n] = '\0';
        std::string tool = std::string(self);
        tool = tool.substr(0, tool.rfind('/')) + "/uci";
        if (access(tool.c_str(), X_OK) != 0) {
            ADD_FAILURE() << tool << " missing: build the uci target";
            return {-1, "", ""};
        }
        std::string out = dir_ + "/.out", err = dir_ + "/.err";
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        args.insert(args.begin(), tool);
        std::vector<char *> argv;
        for (auto &a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        pid_t pid;
        int rc = posix_spawn(&pid, tool.c_str(), &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0) return {-1, "", ""};
        int status = 0;
        waitpid(pid, &status, 0);
        Run r{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out), slurp(err)};
        unlink(out.c_str());
        unlink(err.c_str());
        return r;
    }
};

TEST_F(UciToolTest, Get) {
    write("network",
          "config interface 'wan'\n\toption macaddr 'aa:bb:cc:dd:ee:ff'\n"
          "\tlist dns '1.1.1.1'\n\tlist dns '8.8.8.8'\n");
    Run r = run({"-c", dir_, "get", "network.wan.macaddr"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "aa:bb:cc:dd:ee:ff\n");
    EXPECT_EQ(r.err, "");

    r = run({"-c", dir_, "get", "network.@interface[0].dns"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "1.1.1.1 8.8.8.8\n");

    r = run({"-c", dir_, "get", "network.wan"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "interface\n");

    for (const char *missing : {"network.wan.ifname", "network.lan.ifname", "nosuch.a.b"}) {
        r = run({"-c", dir_, "get", missing});
        EXPECT_EQ(r.status, 1) << missing;
        EXPECT_EQ(r.out, "") << missing;
        EXPECT_EQ(r.err, "uci: Entry not found\n") << missing;
    }

    write("broken", "config x\n\toption 'unterminated\n");
    r = run({"-c", dir_, "get", "broken.@x[0].a"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("uci: Parse error (unterminated ')", 0), 0u) << r.err;
}

TEST_F(UciToolTest, DefaultConfdirAndUsage) {
    std::ofstream("/etc/config/network") << "config interface 'wan'\n\toption ifname 'eth9'\n";
    Run r = run({"get", "network.wan.ifname"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "eth9\n");
    unlink("/etc/config/network");

    for (const auto &args :
         std::vector<std::vector<std::string>>{{},
                                               {"get"},
                                               {"set", "network.wan.ifname=x"},
                                               {"get", "a.b.c", "extra"},
                                               {"-x", "get", "a.b.c"},
                                               {"-c"},
                                               {"get", "network.wan.ifname=x"}}) {
        r = run(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("Usage: uci", 0), 0u) << r.err;
    }
}

}  // namespace
