// The reporter's end: once stopped it stays stopped. A late report (the NAT
// worker's, after main has stopped the reporter) must not start a new reporter
// thread that outlives exit. The sandbox has no bus, so nothing here waits.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "bus/ubus_api.h"

namespace {

// Ids of the process's threads. A joined thread may stay listed a moment, so
// the test compares sets: a thread started later has an id not seen before.
std::set<long> thread_ids() {
    std::set<long> ids;
    DIR *dir = opendir("/proc/self/task");
    if (!dir) return ids;
    while (struct dirent *e = readdir(dir)) {
        if (e->d_name[0] != '.') ids.insert(strtol(e->d_name, nullptr, 10));
    }
    closedir(dir);
    return ids;
}

void notice() {}

TEST(UbusApi, NothingStartsTheReporterAgainOnceStopped) {
    const std::set<long> before = thread_ids();
    ASSERT_GE(ubus_object_start(), 0);
    send_log_to_cloud_log("{\"type\":\"p2p\"}");
    const std::set<long> running = thread_ids();
    ASSERT_GT(running.size(), before.size()) << "no reporter thread";

    ubus_deinit();
    // Each way in, after the stop: none starts a thread or a call pipe.
    send_log_to_cloud_log("{\"type\":\"discoverNatType\"}");
    ubus_post_notice(notice);
    ubus_object_reply(0, "{}");
    EXPECT_EQ(ubus_object_start(), -1);
    for (long id : thread_ids()) EXPECT_EQ(running.count(id), 1u) << "thread " << id << " is new";
    ubus_deinit();  // again, as the exit handler does
}

}  // namespace
