// The reporter's end: once stopped it stays stopped. A late report (the NAT
// worker's, after main has stopped the reporter) must not start a new reporter
// thread that outlives exit. The sandbox has no bus, so nothing here waits.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "bus/ubus_api.h"

namespace {

int thread_count() {
    int n = 0;
    DIR *dir = opendir("/proc/self/task");
    if (!dir) return -1;
    while (struct dirent *e = readdir(dir)) {
        if (e->d_name[0] != '.') n++;
    }
    closedir(dir);
    return n;
}

// Whether the count comes to n within 5 s: a joined thread can linger in
// /proc for a moment (under qemu-user, a while).
bool thread_count_settles_at(int n) {
    for (int i = 0; i < 500; i++) {
        if (thread_count() == n) return true;
        usleep(10000);
    }
    return false;
}

void notice() {}

TEST(UbusApi, NothingStartsTheReporterAgainOnceStopped) {
    ASSERT_GE(ubus_object_start(), 0);
    send_log_to_cloud_log("{\"type\":\"p2p\"}");
    // Counted with the reporter running: a sanitizer may add a thread of its
    // own with the first one.
    int before = thread_count() - 1;

    ubus_deinit();
    EXPECT_TRUE(thread_count_settles_at(before)) << thread_count() << " threads";
    // Each way in, after the stop: none starts a thread or a call pipe.
    send_log_to_cloud_log("{\"type\":\"discoverNatType\"}");
    ubus_post_notice(notice);
    ubus_object_reply(0, "{}");
    EXPECT_EQ(ubus_object_start(), -1);
    EXPECT_TRUE(thread_count_settles_at(before)) << thread_count() << " threads";
    ubus_deinit();  // again, as the exit handler does
}

}  // namespace
