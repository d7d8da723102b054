// Configuration file, uci options, device MAC, session ids and time
// offsets. Runs inside tests/sandbox: /etc is private.
#include "util/utils.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

void put(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class UtilsTest : public ::testing::Test {
   protected:
    void SetUp() override {
        // These tests rewrite /etc/tarn.conf and /etc/config: never on the host.
        ASSERT_NE(getenv("TARN_SANDBOXED"), nullptr) << "run inside tests/sandbox";
        mkdir("/etc/config", 0755);
        TearDown();
    }
    void TearDown() override {
        unlink(TARN_CONF_FILE);
        unlink("/etc/config/network");
        unlink("/etc/config/media_server");
    }
};

// --- /etc/tarn.conf -------------------------------------------------------

TEST_F(UtilsTest, ConfFileLoad) {
    struct Case {
        const char *file;  // nullptr: no file
        int host_len;
        int ret;
        std::string host;  // host_len + 2 bytes after the call ('x' = untouched)
    } cases[] = {
        {nullptr, 10, -1, "xxxxxxxxxxxx"},
        {"STUN_HOST=[203.0.113.2]\r", 12, 0, std::string("203.0.113.2\0xx", 14)},
        {"STUN_HOST=[203.0.113.3]", 12, -1, std::string(14, 'x')},  // no line end: too long
        // The first brackets count, even before STUN_HOST.
        {"NOTE=[other]\nSTUN_HOST=[203.0.113.1]\n", 6, 0, std::string("other\0xx", 8)},
        // Exactly host_len characters fit; one more is refused, not cut.
        {"STUN_HOST=[0123456789]\n", 10, 0, std::string("0123456789xx", 12)},
        {"STUN_HOST=[0123456789]\n", 9, -1, std::string(11, 'x')},
        {"STUN_HOST=[ab]\n", 5, 0, std::string("ab\0\0\0xx", 7)},
    };
    for (const Case &c : cases) {
        if (c.file) put(TARN_CONF_FILE, c.file);
        char host[32];
        memset(host, 'x', sizeof(host));
        EXPECT_EQ(conf_file_load(host, c.host_len), c.ret) << c.file;
        EXPECT_EQ(std::string(host, c.host_len + 2), c.host) << c.file;
    }
}

TEST_F(UtilsTest, ConfFileSave) {
    // Started without standard input, tarn may get descriptor 0 for the file.
    int saved = dup(0);
    close(0);
    EXPECT_EQ(conf_file_save("203.0.113.9"), 0);
    dup2(saved, 0);
    close(saved);
    EXPECT_EQ(slurp(TARN_CONF_FILE), "STUN_HOST=[203.0.113.9]\n");
    // No temporary file, no change: the old file stays whole.
    ASSERT_EQ(mkdir(TARN_CONF_FILE ".tmp", 0700), 0);
    EXPECT_EQ(conf_file_save("203.0.113.10"), -1);
    rmdir(TARN_CONF_FILE ".tmp");
    EXPECT_EQ(slurp(TARN_CONF_FILE), "STUN_HOST=[203.0.113.9]\n");
}

// --- uci options ----------------------------------------------------------

TEST_F(UtilsTest, ReadUci) {
    put("/etc/config/network",
        "config interface 'wan'\n\toption ifname 'eth0.2'\n\tlist dns '1.1.1.1'\n"
        "config interface\n\toption ifname 'br-lan'\n"
        "config interface 'long'\n\toption ok '" +
            std::string(READ_UCI_VALUE_MAX, 'v') + "'\n\toption over '" +
            std::string(READ_UCI_VALUE_MAX + 1, 'v') + "'\n");
    struct Case {
        std::string path, value;  // value "": refused
    } cases[] = {
        {"network.wan.ifname", "eth0.2"},
        {"network.@interface[1].ifname", "br-lan"},
        // Too long for the documented buffer, a list, a section, missing: refused.
        {"network.long.ok", std::string(READ_UCI_VALUE_MAX, 'v')},
        {"network.long.over", ""},
        {"network.wan", ""},
        {"network.wan.dns", ""},
        {"network.wan." + std::string(250, 'x'), ""},
        {"network.wan.proto", ""},
    };
    for (const Case &c : cases) {
        char value[READ_UCI_VALUE_MAX + 2] = {0};
        EXPECT_EQ(readUCI(c.path.c_str(), value), c.value.empty() ? -1 : 0) << c.path;
        EXPECT_EQ(value, c.value) << c.path;
    }
    // The same output however often it fails (libuci's uci_perror grows a
    // static buffer by a line feed per call, past its end after 127).
    char value[READ_UCI_VALUE_MAX + 1];
    CaptureStderr();
    readUCI("network.wan.proto", value);
    const size_t once = GetCapturedStderr().size();
    ASSERT_GT(once, 0u) << "libuci's own line";
    CaptureStderr();
    for (int i = 0; i < 200; i++) readUCI("network.wan.proto", value);
    EXPECT_EQ(GetCapturedStderr().size(), 200 * once);
}

TEST_F(UtilsTest, StreamPort) {
    struct Case {
        const char *file;  // nullptr: no media_server package
        int port;
    } cases[] = {
        {"config server 'main'\n\toption port '9090'\n", 9090},
        {"config server 'main'\n\toption port '99999999999'\n", 8080},
        {"config server 'aux'\n\toption port '9090'\n", 8080},
        {nullptr, 8080},
    };
    for (const Case &c : cases) {
        if (c.file)
            put("/etc/config/media_server", c.file);
        else
            unlink("/etc/config/media_server");
        EXPECT_EQ(get_stream_port_from_config(), c.port) << (c.file ? c.file : "(none)");
    }
}

// --- device MAC and session ids -------------------------------------------

// A fake `uci` first on PATH (the sandbox's /run is private), printing what
// each case needs.
class MacTest : public UtilsTest {
   protected:
    void SetUp() override {
        UtilsTest::SetUp();
        mkdir(kDir, 0755);
        setenv("PATH", (std::string(kDir) + ":" + saved_path_).c_str(), 1);
    }
    void TearDown() override {
        setenv("PATH", saved_path_.c_str(), 1);
        UtilsTest::TearDown();
    }

    // The script answers only the exact command the daemon runs.
    void fake_uci(const std::string &output, int status = 0) {
        put(std::string(kDir) + "/out", output);
        put(std::string(kDir) + "/uci",
            "#!/bin/sh\n[ \"$#\" = 2 ] && [ \"$1\" = get ] && [ \"$2\" = network.wan.macaddr ] "
            "|| exit 3\n/bin/cat " +
                std::string(kDir) + "/out\nexit " + std::to_string(status) + "\n");
        chmod((std::string(kDir) + "/uci").c_str(), 0755);
    }

    std::string mac() {
        memset(dev_mac, 'z', sizeof(dev_mac));
        init_dev_mac();
        EXPECT_LT(strnlen(dev_mac, sizeof(dev_mac)), sizeof(dev_mac));
        return dev_mac;
    }

    static constexpr const char *kDir = "/run/fake-uci";
    const std::string saved_path_ = getenv("PATH");
};

TEST_F(MacTest, Normalisation) {
    struct Case {
        std::string printed;
        const char *mac;
        int status;
    } cases[] = {
        {"aa:bb:cc:0d:ee:ff\n", "aabbcc0deeff", 0},
        {":-:-\n\n", "1234567890AB", 0},
        {"", "1234567890AB", 1},
        {std::string(300, ':') + "ab\n", "1234567890AB", 0},
    };
    for (const Case &c : cases) {
        fake_uci(c.printed, c.status);
        EXPECT_EQ(mac(), c.mac) << c.printed;
    }
}

// "MAC-SECONDS-RANDOM" with 16 alphanumerics drawn afresh in every process:
// daemons forked from one state must still draw different ids.
TEST_F(MacTest, SessionIds) {
    fake_uci("aa:bb:cc:dd:ee:ff\n");
    ASSERT_EQ(mac(), "aabbccddeeff");
    char mine[64];
    const time_t before = time(nullptr);
    ASSERT_EQ(gen_session_id(mine, sizeof(mine)), 40);
    const time_t after = time(nullptr);
    std::string sid(mine);
    EXPECT_EQ(sid.substr(0, 13) + sid[23], "aabbccddeeff--");
    const long seconds = std::stol(sid.substr(13, 10));
    EXPECT_TRUE(seconds >= before && seconds <= after) << sid;
    for (char ch : sid.substr(24)) EXPECT_TRUE(isalnum(static_cast<unsigned char>(ch))) << sid;

    // The parent's next id and a forked child's first must differ.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        char s[64];
        int n = gen_session_id(s, sizeof(s));
        _exit(write(fds[1], s, static_cast<size_t>(n)) == n ? 0 : 1);
    }
    close(fds[1]);
    char child[64] = {0}, parent[64];
    ASSERT_EQ(read(fds[0], child, sizeof(child) - 1), 40);
    close(fds[0]);
    ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
    gen_session_id(parent, sizeof(parent));
    // 16 characters of 62: a repeated half is not likely.
    EXPECT_NE(std::string(child + 24, 8), std::string(parent + 24, 8)) << child << " " << parent;
    EXPECT_NE(std::string(child + 32), std::string(parent + 32)) << child << " " << parent;
}

// --- clocks ---------------------------------------------------------------

// Offsets from a reference: none for a null one, 0 ahead of the clock, and
// saturated rather than wrapped far in the past.
TEST(TimeOffsetTest, MillisecondsAndSeconds) {
    timeval now;
    gettimeofday(&now, nullptr);
    const timeval ago = {now.tv_sec - 2, now.tv_usec}, ahead = {now.tv_sec + 1, 0},
                  month = {now.tv_sec - 30 * 86400, 0};
    EXPECT_EQ(
        std::make_tuple(time_offset_ms(nullptr), time_offset_ms(&ahead), time_offset_ms(&month),
                        time_offset_sec(nullptr), time_offset_sec(&ahead)),
        std::make_tuple(-1, 0, INT_MAX, -1, 0));
    EXPECT_GE(time_offset_ms(&ago), 2000);
    EXPECT_LT(time_offset_ms(&ago), 2000 + 60000);
    EXPECT_GE(time_offset_sec(&ago), 2);
}

}  // namespace
