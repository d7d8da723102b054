// The share-information notice: one empty "video_share_info_update" call to
// web_media over a connection of its own, made by the bus reporter.
#include "session/session_share.h"
#include "stats/ubus_api.h"

#include "bus_harness.h"

#include <gtest/gtest.h>

#include <string>

using namespace bus_test;

namespace {

const char *const kWebMediaLog = "/var/log/web_media.log";

class ShareInfo : public ::testing::Test {
   protected:
    temp_dir dir;

    void SetUp() override {
        become_subreaper();
        unlink(kWebMediaLog);
    }
    void TearDown() override {
        ubus_deinit();
        EXPECT_TRUE(reap_children());
    }
};

TEST_F(ShareInfo, NotifiesWebMediaOnce) {
    bus_daemon bus;
    ASSERT_TRUE(bus.up());
    ASSERT_EQ(0, run({bin_dir() + "/web_media"}));
    stdout_capture out(dir.path);
    reload_share_info();
    ASSERT_TRUE(wait_until([] { return !read_lines(kWebMediaLog).empty(); }));
    EXPECT_EQ(std::vector<std::string>{"{}"}, read_lines(kWebMediaLog));
    std::string text = out.text();
    EXPECT_EQ(1u, count(text, "(reload_share_info) start to notify web_media. \n"));
    EXPECT_EQ(1u, count(text, "\n"));
}

TEST_F(ShareInfo, WebMediaAbsentOrNoBus) {
    stdout_capture out(dir.path);
    reload_share_info();
    ASSERT_TRUE(wait_until([&] { return count(out.text(), "connect to ubusd failed!"); }));
    EXPECT_EQ(1u, count(out.text(), "(reload_share_info) connect to ubusd failed!\n"));

    bus_daemon bus;
    ASSERT_TRUE(bus.up());
    reload_share_info();
    ASSERT_TRUE(wait_until([&] { return count(out.text(), "lookup id web_media failed"); }));
    std::string text = out.text();
    EXPECT_EQ(1u, count(text, "(reload_share_info) ubus lookup id web_media failed.\n"));
    EXPECT_EQ(0u, count(text, "start to notify"));
    EXPECT_NE(0, access(kWebMediaLog, F_OK));
}

}  // namespace
