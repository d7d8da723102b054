// NAT-type worker: what the queue refuses, its bound while the worker is
// busy, oldest-first order, and when callbacks are (not) made. Requests use
// server names with port 80, which fail at once without any traffic, so a
// run costs nothing and its code is -1.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "stdout_capture.h"
#include "stun/stun_async.h"

namespace {

// Callback records, shared between the test and the worker thread.
struct Calls {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<int> order;  // argument tags in call order
    std::vector<int> codes;
    bool entered = false;   // the blocking callback runs
    bool released = false;  // the test lets it return

    bool waitFor(size_t n) {
        std::unique_lock<std::mutex> lk(mu);
        return cv.wait_for(lk, std::chrono::seconds(30), [&] { return order.size() >= n; });
    }
};

Calls *calls;

struct Tag {
    int id;
};

void record(int code, void *arg) {
    std::lock_guard<std::mutex> g(calls->mu);
    calls->order.push_back(static_cast<Tag *>(arg)->id);
    calls->codes.push_back(code);
    calls->cv.notify_all();
}

// Holds the worker until the test releases it.
void block(int code, void *arg) {
    std::unique_lock<std::mutex> lk(calls->mu);
    calls->entered = true;
    calls->order.push_back(static_cast<Tag *>(arg)->id);
    calls->codes.push_back(code);
    calls->cv.notify_all();
    calls->cv.wait(lk, [] { return calls->released; });
}

class StunAsync : public testing::Test {
   protected:
    void SetUp() override { calls = &calls_; }
    void TearDown() override { calls = nullptr; }
    Calls calls_;
};

TEST_F(StunAsync, StartsOnceAndRefusesBadRequests) {
    Tag tag{1};
    // The first request starts the worker; a later start is refused.
    EXPECT_EQ(STUN_get_nat_type_async("first:80", 0, 60, record, &tag), 0);
    EXPECT_EQ(STUN_init_gnt_async(), -1);
    EXPECT_EQ(STUN_init_async(), -1);
    ASSERT_TRUE(calls_.waitFor(1));
    EXPECT_EQ(calls_.codes[0], -1);

    const std::string name127 = std::string(124, 'n') + ":80";
    const std::string name128 = std::string(125, 'n') + ":80";
    StdoutCapture out;
    EXPECT_EQ(STUN_get_nat_type_async(nullptr, 0, 60, record, &tag), -1);
    EXPECT_EQ(STUN_get_nat_type_async("", 0, 60, record, &tag), -1);
    EXPECT_EQ(STUN_get_nat_type_async(name128.c_str(), 0, 60, record, &tag), -1);
    EXPECT_EQ(STUN_get_nat_type_async("x:80", 0, 60, record, nullptr), -1);
    EXPECT_EQ(STUN_get_nat_type_async(name127.c_str(), 0, 60, record, &tag), 0);
    ASSERT_TRUE(calls_.waitFor(2));
    ASSERT_TRUE(out.sync());
    // A null name is refused before anything is logged; the others are named.
    EXPECT_EQ(out.count("request [] for NAT type"), 1);
    EXPECT_EQ(out.count("request [" + name128 + "] for NAT type"), 1);
    EXPECT_EQ(out.count("request [x:80] for NAT type"), 1);
    EXPECT_EQ(out.count("(STUN_gnt_task_enqueue) request ["), 4);
    EXPECT_EQ(out.count("send cond signal"), 1);
}

TEST_F(StunAsync, NineteenWaitWhileBusyOldestFirst) {
    Tag holder{100};
    ASSERT_EQ(STUN_get_nat_type_async("hold:80", 0, 60, block, &holder), 0);
    {
        std::unique_lock<std::mutex> lk(calls_.mu);
        ASSERT_TRUE(
            calls_.cv.wait_for(lk, std::chrono::seconds(30), [&] { return calls_.entered; }));
    }
    // The worker is inside a callback and the ring is empty.
    Tag tags[20];
    for (int i = 0; i < 19; i++) {
        tags[i].id = i;
        const std::string name = "q" + std::to_string(i) + ":80";
        EXPECT_EQ(STUN_get_nat_type_async(name.c_str(), 0, 60, record, &tags[i]), 0) << i;
    }
    tags[19].id = 19;
    EXPECT_EQ(STUN_get_nat_type_async("q19:80", 0, 60, record, &tags[19]), -1);
    {
        std::lock_guard<std::mutex> g(calls_.mu);
        calls_.released = true;
        calls_.cv.notify_all();
    }
    ASSERT_TRUE(calls_.waitFor(20));
    std::vector<int> want = {100};
    for (int i = 0; i < 19; i++) want.push_back(i);
    EXPECT_EQ(calls_.order, want);

    // Room again once the worker has drained the ring.
    EXPECT_EQ(STUN_get_nat_type_async("again:80", 0, 60, record, &tags[19]), 0);
    ASSERT_TRUE(calls_.waitFor(21));
    EXPECT_EQ(calls_.order.back(), 19);
}

TEST_F(StunAsync, NoCallbackAfterTheDeadlineOrWithoutOne) {
    Tag late{1}, none{2}, marker{3};
    StdoutCapture out;
    // Time-out 0: the run happens, the answer is dropped.
    ASSERT_EQ(STUN_get_nat_type_async("late:80", 0, 0, record, &late), 0);
    // No callback but an argument: accepted and run.
    ASSERT_EQ(STUN_get_nat_type_async("none:80", 0, 60, nullptr, &none), 0);
    ASSERT_EQ(STUN_get_nat_type_async("marker:80", 0, 60, record, &marker), 0);
    // Oldest first: once the marker is called back, the others are done.
    ASSERT_TRUE(calls_.waitFor(1));
    EXPECT_EQ(calls_.order, std::vector<int>{3});
    ASSERT_TRUE(out.sync());
    // The marker's own run may still be logging its end.
    EXPECT_GE(out.count("gnt thread wakes, now get nat type"), 3);
    EXPECT_GE(out.count("finish getting nat type"), 2);
}

}  // namespace
