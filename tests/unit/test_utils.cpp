// Configuration file, uci options, device MAC, session ids, interface
// addresses and time offsets. Runs inside tests/sandbox: /etc is private.
#include "util/utils.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void put(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

bool contains(const std::string &hay, const std::string &needle) {
    return hay.find(needle) != std::string::npos;
}

class UtilsTest : public ::testing::Test {
   protected:
    void SetUp() override {
        // These tests rewrite /etc/tarn.conf and /etc/config: never on the host.
        ASSERT_NE(getenv("TARN_SANDBOXED"), nullptr) << "run inside tests/sandbox";
        unlink(TARN_CONF_FILE);
        mkdir("/etc/config", 0755);
        for (const char *p : {"network", "media_server"})
            unlink((std::string("/etc/config/") + p).c_str());
    }
    void TearDown() override {
        unlink(TARN_CONF_FILE);
        for (const char *p : {"network", "media_server"})
            unlink((std::string("/etc/config/") + p).c_str());
    }
};

// --- /etc/tarn.conf -------------------------------------------------------

using ConfFileTest = UtilsTest;

TEST_F(ConfFileTest, LineBreaksDecide) {
    char host[129];
    memset(host, 'x', sizeof(host));
    CaptureStdout();
    EXPECT_EQ(conf_file_load(host, 128), -1);  // no file: quiet
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(host[0], 'x');

    put(TARN_CONF_FILE, "STUN_HOST=[203.0.113.1]\n");
    EXPECT_EQ(conf_file_load(host, 128), 0);
    EXPECT_STREQ(host, "203.0.113.1");

    put(TARN_CONF_FILE, "STUN_HOST=[203.0.113.2]\r");
    EXPECT_EQ(conf_file_load(host, 128), 0);
    EXPECT_STREQ(host, "203.0.113.2");

    memset(host, 'x', sizeof(host));
    put(TARN_CONF_FILE, "STUN_HOST=[203.0.113.3]");
    CaptureStdout();
    EXPECT_EQ(conf_file_load(host, 128), -1);
    std::string log = GetCapturedStdout();
    EXPECT_TRUE(contains(log, "(conf_file_load) conf line in /etc/tarn.conf too long\n")) << log;
    EXPECT_EQ(host[0], 'x');

    put(TARN_CONF_FILE, "");
    EXPECT_EQ(conf_file_load(host, 128), -1);
    put(TARN_CONF_FILE, "OTHER=1\n");
    EXPECT_EQ(conf_file_load(host, 128), -1);
}

TEST_F(ConfFileTest, Brackets) {
    char host[64];
    // The first brackets of the block count, even before STUN_HOST.
    put(TARN_CONF_FILE, "NOTE=[other]\nSTUN_HOST=[203.0.113.1]\n");
    EXPECT_EQ(conf_file_load(host, 63), 0);
    EXPECT_STREQ(host, "other");

    // Nothing between the brackets is a found, empty value.
    memset(host, 'x', sizeof(host));
    put(TARN_CONF_FILE, "STUN_HOST=[]\n");
    EXPECT_EQ(conf_file_load(host, 63), 0);
    EXPECT_EQ(std::string(host, 63), std::string(63, '\0'));

    memset(host, 'x', sizeof(host));
    for (const char *text : {"STUN_HOST=]203.0.113.1[\n", "STUN_HOST=203.0.113.1]\n",
                             "STUN_HOST=[203.0.113.1\n", "STUN_HOST 203.0.113.1\n"}) {
        put(TARN_CONF_FILE, text);
        EXPECT_EQ(conf_file_load(host, 63), -1) << text;
        EXPECT_EQ(host[0], 'x') << text;
    }
}

TEST_F(ConfFileTest, BlocksOfOneKilobyte) {
    char host[64];
    // Key in the second block, after 1024 bytes of other lines.
    std::string filler;
    while (filler.size() < 1024) filler += "# padding line\n";
    filler.resize(1023);
    filler += "\n";
    put(TARN_CONF_FILE, filler + "STUN_HOST=[203.0.113.9]\n");
    EXPECT_EQ(conf_file_load(host, 63), 0);
    EXPECT_STREQ(host, "203.0.113.9");

    // A whole block without a line break ends the search.
    put(TARN_CONF_FILE, std::string(1024, 'a') + "\nSTUN_HOST=[203.0.113.9]\n");
    CaptureStdout();
    EXPECT_EQ(conf_file_load(host, 63), -1);
    EXPECT_TRUE(contains(GetCapturedStdout(), "too long"));
}

TEST_F(ConfFileTest, ValueLengthAgainstHostLen) {
    put(TARN_CONF_FILE, "STUN_HOST=[0123456789]\n");
    // Exactly host_len characters fit; the byte after is not touched.
    char host[16];
    memset(host, 'x', sizeof(host));
    host[10] = '\0';
    EXPECT_EQ(conf_file_load(host, 10), 0);
    EXPECT_EQ(std::string(host, 12), std::string("0123456789\0x", 12));

    // One more character is refused, not cut.
    memset(host, 'x', sizeof(host));
    CaptureStdout();
    EXPECT_EQ(conf_file_load(host, 9), -1);
    EXPECT_TRUE(contains(GetCapturedStdout(), "(conf_file_load) buffer length is too short\n"));
    EXPECT_EQ(std::string(host, sizeof(host)), std::string(sizeof(host), 'x'));

    // The zero fill covers host_len bytes and no more.
    put(TARN_CONF_FILE, "STUN_HOST=[ab]\n");
    memset(host, 'x', sizeof(host));
    EXPECT_EQ(conf_file_load(host, 12), 0);
    EXPECT_EQ(std::string(host, 16), std::string("ab\0\0\0\0\0\0\0\0\0\0xxxx", 16));
}

TEST_F(ConfFileTest, SaveWritesOneLine) {
    mode_t old = umask(022);
    EXPECT_EQ(conf_file_save("203.0.113.1"), 0);
    umask(old);
    EXPECT_EQ(slurp(TARN_CONF_FILE), "STUN_HOST=[203.0.113.1]\n");
    struct stat st;
    ASSERT_EQ(stat(TARN_CONF_FILE, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    char host[129] = {0};
    EXPECT_EQ(conf_file_load(host, 128), 0);
    EXPECT_STREQ(host, "203.0.113.1");

    // Rewritten anew: a shorter value leaves nothing of the longer one.
    EXPECT_EQ(conf_file_save("1.2.3.4"), 0);
    EXPECT_EQ(slurp(TARN_CONF_FILE), "STUN_HOST=[1.2.3.4]\n");

    // Empty text: success, file untouched.
    EXPECT_EQ(conf_file_save(""), 0);
    EXPECT_EQ(slurp(TARN_CONF_FILE), "STUN_HOST=[1.2.3.4]\n");

    // The line is cut to 1023 characters, which leaves no line feed.
    std::string huge(2000, 'h');
    EXPECT_EQ(conf_file_save(huge.c_str()), 0);
    std::string saved = slurp(TARN_CONF_FILE);
    EXPECT_EQ(saved.size(), 1023u);
    EXPECT_EQ(saved.substr(0, 11), "STUN_HOST=[");

    ASSERT_EQ(unlink(TARN_CONF_FILE), 0);
    ASSERT_EQ(mkdir(TARN_CONF_FILE, 0755), 0);
    EXPECT_EQ(conf_file_save("1.2.3.4"), -1);
    ASSERT_EQ(rmdir(TARN_CONF_FILE), 0);
}

TEST(UtilsDeathTest, LengthAsserts) {
    char buf[8];
    // The assert line goes to standard output; route it where the matcher looks.
    for (int len : {0, -1})
        EXPECT_EXIT(
            {
                dup2(STDERR_FILENO, STDOUT_FILENO);
                conf_file_load(buf, len);
            },
            testing::ExitedWithCode(1),
            "^assert failed:host_len > 0,buffer length should not be negative\n$");
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            gen_session_id(buf, 0);
        },
        testing::ExitedWithCode(1),
        "^assert failed:buf_len > 0,buffer length should not be negative\n$");
}

// --- uci options ----------------------------------------------------------

using UciOptionTest = UtilsTest;

TEST_F(UciOptionTest, ReadUci) {
    put("/etc/config/network",
        "config interface 'wan'\n\toption ifname 'eth0.2'\n\tlist dns '1.1.1.1'\n"
        "config interface\n\toption ifname 'br-lan'\n"
        "config interface 'long'\n\toption ok '" +
            std::string(READ_UCI_VALUE_MAX, 'v') + "'\n\toption over '" +
            std::string(READ_UCI_VALUE_MAX + 1, 'v') + "'\n");

    char value[READ_UCI_VALUE_MAX + 2];
    memset(value, 0, sizeof(value));
    CaptureStdout();
    EXPECT_EQ(readUCI("network.wan.ifname", value), 0);
    EXPECT_TRUE(contains(GetCapturedStdout(), "(readUCI) uci file read, value is eth0.2\n"));
    EXPECT_STREQ(value, "eth0.2");

    memset(value, 0, sizeof(value));
    EXPECT_EQ(readUCI("network.@interface[1].ifname", value), 0);
    EXPECT_STREQ(value, "br-lan");

    memset(value, 0, sizeof(value));
    EXPECT_EQ(readUCI("network.long.ok", value), 0);
    EXPECT_EQ(std::string(value), std::string(READ_UCI_VALUE_MAX, 'v'));

    // Too long for the documented buffer, a list, or a section: refused.
    for (const char *path : {"network.long.over", "network.wan.dns", "network.wan"}) {
        memset(value, 0, sizeof(value));
        EXPECT_EQ(readUCI(path, value), -1) << path;
        EXPECT_EQ(value[0], '\0') << path;
    }

    std::string long_path = "network.wan." + std::string(250, 'x');
    EXPECT_EQ(readUCI(long_path.c_str(), value), -1);
}

TEST_F(UciOptionTest, ReadUciMissing) {
    put("/etc/config/network", "config interface 'wan'\n\toption proto 'dhcp'\n");
    char value[READ_UCI_VALUE_MAX + 1] = {0};

    for (const char *path : {"network.wan.ifname", "network.lan.ifname"}) {
        CaptureStdout();
        CaptureStderr();
        EXPECT_EQ(readUCI(path, value), -1);
        EXPECT_EQ(GetCapturedStderr(), "do not find the option: Entry not found\n");
        EXPECT_TRUE(
            contains(GetCapturedStdout(), "(readUCI) readUCI: do not find the UCI option\n"));
    }
    // The same one line however often it fails (libuci's uci_perror grows a
    // static buffer by a line feed per call, past its end after 127).
    CaptureStdout();
    CaptureStderr();
    for (int i = 0; i < 200; i++) readUCI("network.wan.ifname", value);
    GetCapturedStdout();
    std::string err = GetCapturedStderr();
    EXPECT_EQ(err.size(), 200 * strlen("do not find the option: Entry not found\n"));

    unlink("/etc/config/network");
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(readUCI("network.wan.ifname", value), -1);
    EXPECT_EQ(GetCapturedStderr(), "read UCI file error: Entry not found\n");
    EXPECT_TRUE(contains(GetCapturedStdout(), "(readUCI) read UCI error\n"));

    put("/etc/config/network", "config interface 'wan'\n\toption ifname 'eth0\n");
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(readUCI("network.wan.ifname", value), -1);
    EXPECT_TRUE(
        contains(GetCapturedStderr(), "read UCI file error: Parse error (EOF with unterminated '"));
    EXPECT_TRUE(contains(GetCapturedStdout(), "read UCI error"));
    EXPECT_EQ(value[0], '\0');
}

TEST_F(UciOptionTest, StreamPort) {
    struct Case {
        const char *file;  // nullptr: no media_server package
        int port;
        const char *log;
    } cases[] = {
        {"config server 'main'\n\toption port '9090'\n", 9090,
         "reading stream port succeeded, port: 9090\n"},
        {"config server 'main'\n\toption port '  8554abc'\n", 8554,
         "reading stream port succeeded, port: 8554\n"},
        {"config server 'main'\n\toption port '-5'\n", -5,
         "reading stream port succeeded, port: -5\n"},
        {"config server 'main'\n\toption port '70000'\n", 70000,
         "reading stream port succeeded, port: 70000\n"},
        {"config server 'main'\n\toption port 'abc'\n", 8080,
         "option media_server.main.port is invalid\n"},
        {"config server 'main'\n\toption port '0'\n", 8080,
         "option media_server.main.port is invalid\n"},
        {"config server 'main'\n\toption port '99999999999'\n", 8080,
         "option media_server.main.port is invalid\n"},
        {"config server 'main'\n\toption host 'x'\n", 8080,
         "option media_server.main.port not found\n"},
        {"config server 'main'\n\tlist port '9090'\n", 8080,
         "option media_server.main.port not found\n"},
        {"config server 'aux'\n\toption port '9090'\n", 8080,
         "Section media_server.main not found\n"},
        {"config server 'main'\n\toption port '9090\n", 8080, "Load package media_server failed\n"},
        {nullptr, 8080, "Load package media_server failed\n"},
    };
    for (const Case &c : cases) {
        if (c.file)
            put("/etc/config/media_server", c.file);
        else
            unlink("/etc/config/media_server");
        CaptureStdout();
        CaptureStderr();
        EXPECT_EQ(get_stream_port_from_config(), c.port) << (c.file ? c.file : "(none)");
        std::string err = GetCapturedStderr();
        std::string out = GetCapturedStdout();
        EXPECT_TRUE(contains(out, std::string("(get_stream_port_from_config) ") + c.log)) << out;
        bool fallback = c.port == 8080;
        EXPECT_EQ(contains(err, "Reading stream port from config failed. Use default port: 8080\n"),
                  fallback)
            << err;
    }
}

// --- device MAC -----------------------------------------------------------

// A fake `uci` first on PATH, printing what each case needs.
class MacTest : public UtilsTest {
   protected:
    void SetUp() override {
        UtilsTest::SetUp();
        char tmpl[] = "/tmp/tarn-mac-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        const char *path = getenv("PATH");
        saved_path_ = path ? path : "";
        setenv("PATH", dir_.c_str(), 1);
    }
    void TearDown() override {
        setenv("PATH", saved_path_.c_str(), 1);
        unlink((dir_ + "/uci").c_str());
        unlink((dir_ + "/out").c_str());
        rmdir(dir_.c_str());
        UtilsTest::TearDown();
    }

    // The script answers only the exact command the daemon runs.
    void fake_uci(const std::string &output, int status = 0) {
        put(dir_ + "/out", output);
        std::string script =
            "#!/bin/sh\n"
            "[ \"$#\" = 2 ] && [ \"$1\" = get ] && [ \"$2\" = network.wan.macaddr ] "
            "|| exit 3\n"
            "/bin/cat '" +
            dir_ + "/out'\nexit " + std::to_string(status) + "\n";
        put(dir_ + "/uci", script);
        chmod((dir_ + "/uci").c_str(), 0755);
    }

    std::string mac(std::string *log = nullptr) {
        memset(dev_mac, 'z', sizeof(dev_mac));
        CaptureStdout();
        CaptureStderr();
        EXPECT_EQ(init_dev_mac(), 0);
        GetCapturedStderr();
        std::string out = GetCapturedStdout();
        if (log) *log = out;
        EXPECT_EQ(strnlen(dev_mac, sizeof(dev_mac)), strlen(dev_mac));
        return dev_mac;
    }

    std::string dir_, saved_path_;
};

TEST_F(MacTest, Normalisation) {
    struct Case {
        std::string printed;
        const char *mac;
        bool not_found_line;
        int status = 0;
    } cases[] = {
        {"aa:bb:cc:0d:ee:ff\n", "aabbcc0deeff", false},
        {"AA-BB-CC-DD-EE-FF\n", "AABBCCDDEEFF", false},
        {"aabbccddeeff", "aabbccddeeff", false},
        {"00:11:22:33:44:55:66:77:88:99\n", "0011223344556677", false},
        {"aa bb\r\n", "aa bb\r", false},
        {":-:-\n\n", "1234567890AB", false},
        {"", "1234567890AB", true, 1},
        {std::string(300, ':') + "ab\n", "1234567890AB", false},
    };
    for (const Case &c : cases) {
        fake_uci(c.printed, c.status);
        std::string log;
        EXPECT_EQ(mac(&log), c.mac) << c.printed;
        EXPECT_EQ(contains(log, "(init_dev_mac) can not found mac\n"), c.not_found_line)
            << c.printed;
    }
}

// OpenWrt's `uci` command from the build tree, over /etc/config/network.
TEST_F(MacTest, ThroughUciCommand) {
    // TARN_BIN: the tools' directory (the host build's in a cross build).
    const char *tools = getenv("TARN_BIN");
    ASSERT_NE(tools, nullptr) << "run it under CTest";
    const std::string bin(tools);
    ASSERT_EQ(access((bin + "/uci").c_str(), X_OK), 0) << "configure the build";
    setenv("PATH", bin.c_str(), 1);

    put("/etc/config/network", "config interface 'wan'\n\toption macaddr '02:42:AC:11:00:02'\n");
    EXPECT_EQ(mac(), "0242AC110002");
    unlink("/etc/config/network");
    EXPECT_EQ(mac(), "1234567890AB");
}

// No MAC in uci: the WAN device's own address (tests/daemon covers both
// layouts); none at all, or an all-zero one (lo), leaves the default.
TEST_F(MacTest, WanDeviceAddressWhenUciHasNone) {
    struct Case {
        const char *network, *mac;
    } cases[] = {
        {"config interface 'wan'\n\toption device 'lo'\n", "1234567890AB"},
        {"config interface 'wan'\n\toption device 'nosuch0'\n", "1234567890AB"},
        {"config interface 'wan'\n\toption device 'wan9'\n", "0242ac110009"},
    };
    ASSERT_EQ(system("/sbin/ip link add wan9 address 02:42:ac:11:00:09 type veth peer name wan9p"),
              0);
    for (const Case &c : cases) {
        put("/etc/config/network", c.network);
        fake_uci("", 1);
        EXPECT_EQ(mac(), c.mac) << c.network;
    }
    // The older option wins over the current one.
    put("/etc/config/network",
        "config interface 'wan'\n\toption ifname 'eth1'\n\toption device 'wan9'\n");
    char dev[READ_UCI_VALUE_MAX + 1] = {0};
    CaptureStdout();
    int found = read_wan_ifname(dev);
    GetCapturedStdout();
    EXPECT_EQ(found, 0);
    EXPECT_STREQ(dev, "eth1");
    (void)!system("/sbin/ip link del wan9");
}

// --- session ids ----------------------------------------------------------

// "MAC-SECONDS-RANDOM": the seconds field, or -1 when the shape is wrong.
long sid_seconds(const std::string &sid, const std::string &mac) {
    auto all = [&](size_t from, size_t n, int (*cls)(int)) {
        for (size_t i = from; i < from + n; i++)
            if (!cls(static_cast<unsigned char>(sid[i]))) return false;
        return true;
    };
    size_t m = mac.size();
    if (sid.size() != m + 28 || sid.compare(0, m, mac) != 0 || sid[m] != '-' ||
        sid[m + 11] != '-' || !all(m + 1, 10, isdigit) || !all(m + 12, 16, isalnum))
        return -1;
    return std::stol(sid.substr(m + 1, 10));
}

TEST_F(MacTest, SessionIdShape) {
    fake_uci("aa:bb:cc:dd:ee:ff\n");
    ASSERT_EQ(mac(), "aabbccddeeff");

    char a[64], b[64];
    long ta = -1, tb = -2;
    // Two ids in the same second; retry if a second boundary fell between.
    for (int attempt = 0; attempt < 5 && ta != tb; attempt++) {
        time_t before = time(nullptr);
        EXPECT_EQ(gen_session_id(a, sizeof(a)), 40);
        EXPECT_EQ(gen_session_id(b, sizeof(b)), 40);
        time_t after = time(nullptr);
        ta = sid_seconds(a, "aabbccddeeff");
        tb = sid_seconds(b, "aabbccddeeff");
        ASSERT_GE(ta, before) << a;
        ASSERT_LE(ta, after) << a;
        ASSERT_NE(tb, -1) << b;
    }
    ASSERT_EQ(ta, tb);
    EXPECT_EQ(std::string(a, 24), std::string(b, 24));
    EXPECT_NE(std::string(a + 24), std::string(b + 24));
    EXPECT_EQ(std::string(a + 40, a + 64), std::string(24, '\0'));

    // A short buffer gets a cut, terminated id and its length.
    char small[21];
    memset(small, 'x', sizeof(small));
    EXPECT_EQ(gen_session_id(small, 20), 19);
    EXPECT_EQ(strlen(small), 19u);
    EXPECT_EQ(std::string(small, 13), "aabbccddeeff-");
    EXPECT_EQ(small[20], 'x');
}

// Two daemons started in the same instant, or forked from one state, share
// every clock and every seed a PRNG could take: their ids must still differ.
TEST_F(MacTest, ForkedProcessesDrawUnrelatedIds) {
    fake_uci("aa:bb:cc:dd:ee:ff\n");
    char mine[64];
    gen_session_id(mine, sizeof(mine));
    srand(1);
    std::string ids[2];
    for (std::string &id : ids) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            char sid[64];
            int n = gen_session_id(sid, sizeof(sid));
            _exit(write(fds[1], sid, static_cast<size_t>(n)) == n ? 0 : 1);
        }
        close(fds[1]);
        char buf[64] = {0};
        ASSERT_EQ(read(fds[0], buf, sizeof(buf) - 1), 40);
        close(fds[0]);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        id = buf;
    }
    // 16 characters of 62: a repeated character position is likely, a
    // repeated half is not.
    EXPECT_NE(ids[0].substr(24, 8), ids[1].substr(24, 8)) << ids[0] << " " << ids[1];
    EXPECT_NE(ids[0].substr(32), ids[1].substr(32)) << ids[0] << " " << ids[1];
    EXPECT_NE(ids[0].substr(24), std::string(mine + 24));
}

// --- addresses ------------------------------------------------------------

TEST(AddressTest, LocalIp) {
    struct sockaddr_in sin;
    memset(&sin, 0xff, sizeof(sin));
    CaptureStdout();
    ASSERT_EQ(get_local_ip("lo", &sin), 0);
    EXPECT_TRUE(contains(GetCapturedStdout(), "(get_local_ip) got local address 127.0.0.1\n"));
    EXPECT_EQ(sin.sin_family, AF_INET);
    EXPECT_EQ(sin.sin_port, 0);
    EXPECT_EQ(ntohl(sin.sin_addr.s_addr), INADDR_LOOPBACK);

    CaptureStderr();
    EXPECT_EQ(get_local_ip("nosuch0", &sin), -1);
    EXPECT_TRUE(contains(GetCapturedStderr(), "ioctl: "));
    // An over-long name is cut to fit the request record, not overflowed.
    CaptureStderr();
    EXPECT_EQ(get_local_ip("lo_and_then_more_than_15", &sin), -1);
    GetCapturedStderr();
    EXPECT_EQ(get_local_ip(nullptr, &sin), -1);
    EXPECT_EQ(get_local_ip("lo", nullptr), -1);
}

TEST(AddressTest, IpToStr) {
    EXPECT_STREQ(ip_to_str(0x7f000001), "127.0.0.1");
    EXPECT_STREQ(ip_to_str(0xcb007102), "203.0.113.2");
    EXPECT_STREQ(ip_to_str(0), "0.0.0.0");
}

// --- time offsets ---------------------------------------------------------

long long elapsed_ms(const timeval &from) {
    timeval now;
    gettimeofday(&now, nullptr);
    return (now.tv_sec - from.tv_sec) * 1000LL + (now.tv_usec - from.tv_usec) / 1000;
}

TEST(TimeOffsetTest, Milliseconds) {
    EXPECT_EQ(time_offset_ms(nullptr), -1);

    timeval ref;
    gettimeofday(&ref, nullptr);
    ref.tv_sec -= 1;
    if (ref.tv_usec >= 500000) {
        ref.tv_usec -= 500000;
    } else {
        ref.tv_sec -= 1;
        ref.tv_usec += 500000;
    }
    int got = time_offset_ms(&ref);
    EXPECT_GE(got, 1500);
    EXPECT_LE(got, elapsed_ms(ref) + 1);

    // A reference ahead of the clock gives 0, however little ahead.
    timeval future;
    gettimeofday(&future, nullptr);
    future.tv_sec += 3600;
    EXPECT_EQ(time_offset_ms(&future), 0);
    gettimeofday(&future, nullptr);
    future.tv_sec += 1;
    future.tv_usec = 0;
    EXPECT_EQ(time_offset_ms(&future), 0);

    // Far in the past: saturates instead of wrapping negative.
    timeval epoch = {0, 0};
    EXPECT_EQ(time_offset_ms(&epoch), INT_MAX);
    timeval days = ref;
    days.tv_sec -= 30 * 86400;
    EXPECT_EQ(time_offset_ms(&days), INT_MAX);
    days.tv_sec += 10 * 86400;  // 20 days: still fits
    EXPECT_GE(time_offset_ms(&days), 20 * 86400 * 1000);
}

TEST(TimeOffsetTest, Seconds) {
    EXPECT_EQ(time_offset_sec(nullptr), -1);
    timeval ref;
    gettimeofday(&ref, nullptr);
    long long start = ref.tv_sec;
    ref.tv_sec -= 2;
    int got = time_offset_sec(&ref);
    EXPECT_GE(got, 2);
    EXPECT_LE(got, time(nullptr) - start + 2);
    ref.tv_sec += 3600;
    EXPECT_EQ(time_offset_sec(&ref), 0);
    timeval epoch = {0, 0};
    EXPECT_GE(time_offset_sec(&epoch), static_cast<int>(start));
}

}  // namespace
