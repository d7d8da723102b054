// The cloud_log and web_media stand-ins: registration before the command
// returns, one recorded line per call, single instance, exit with the bus.
#include "bus_harness.h"

#include <libubox/blobmsg_json.h>
#include <libubus.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace bus_test;

namespace {

void json_cb(ubus_request *req, int, blob_attr *msg) {
    char *s = blobmsg_format_json(msg, true);
    *(std::string *)req->priv = s ? s : "(null)";
    free(s);
}

class Standin : public ::testing::Test {
   protected:
    temp_dir dir;
    std::string sock = dir.path + "/bus.sock";
    bus_daemon bus{sock};
    ubus_context *ctx = nullptr;

    void SetUp() override {
        become_subreaper();
        ASSERT_TRUE(bus.up());
        ctx = ubus_connect(sock.c_str());
        ASSERT_NE(nullptr, ctx);
    }
    void TearDown() override {
        ubus_free(ctx);
        bus.stop();
        // Stand-ins leave when the bus does.
        EXPECT_TRUE(reap_children());
    }
    std::string tool(const char *name) { return bin_dir() + "/" + name; }
    int invoke(const char *object, const char *method, blob_buf *b, std::string *reply) {
        uint32_t id;
        int ret = ubus_lookup_id(ctx, object, &id);
        if (ret) return ret;
        return ubus_invoke(ctx, id, method, b ? b->head : nullptr, reply ? json_cb : nullptr, reply,
                           5000);
    }
    int upload(const char *text, std::string *reply = nullptr) {
        blob_buf b = {};
        blob_buf_init(&b, 0);
        if (text) blobmsg_add_string(&b, "log_data", text);
        int ret = invoke("cloud_log", "upload_log", &b, reply);
        blob_buf_free(&b);
        return ret;
    }
};

TEST_F(Standin, CloudLogRecordsEachUploadAsOneLine) {
    std::string log = dir.path + "/cloud.log", pid = dir.path + "/cloud.pid";
    ASSERT_EQ(0, run({tool("cloud_log"), "-s", sock, "-o", log, "-p", pid}));
    // Registered before the command returned: no waiting here.
    uint32_t id;
    ASSERT_EQ(UBUS_STATUS_OK, ubus_lookup_id(ctx, "cloud_log", &id));
    pid_t p = atoi(read_file(pid).c_str());
    EXPECT_GT(p, 0);
    EXPECT_EQ(0, kill(p, 0));

    std::string reply;
    EXPECT_EQ(UBUS_STATUS_OK, upload("{\"type\":\"p2p\",\"n\":1}", &reply));
    EXPECT_EQ(R"({"result":"ok","bytes":20})", reply);
    EXPECT_EQ(UBUS_STATUS_OK, upload("two\nlines\r"));
    EXPECT_EQ(UBUS_STATUS_INVALID_ARGUMENT, upload(nullptr));
    EXPECT_EQ((std::vector<std::string>{R"({"type":"p2p","n":1})", "two\\nlines\\r"}),
              read_lines(log));
}

TEST_F(Standin, SecondCloudLogLeavesTheFirstInPlace) {
    std::string log = dir.path + "/cloud.log", pid = dir.path + "/cloud.pid";
    ASSERT_EQ(0, run({tool("cloud_log"), "-s", sock, "-o", log, "-p", pid}));
    std::string log2 = dir.path + "/cloud2.log", pid2 = dir.path + "/cloud2.pid";
    EXPECT_EQ(0, run({tool("cloud_log"), "-s", sock, "-o", log2, "-p", pid2}));
    EXPECT_NE(0, access(pid2.c_str(), F_OK));
    EXPECT_EQ(2u, children().size());  // the bus and the first stand-in
    EXPECT_EQ(UBUS_STATUS_OK, upload("still the first"));
    EXPECT_EQ(std::vector<std::string>{"still the first"}, read_lines(log));
    EXPECT_NE(0, access(log2.c_str(), F_OK));
}

TEST_F(Standin, WebMediaRecordsMessagesAsJson) {
    std::string log = dir.path + "/web.log";
    ASSERT_EQ(0, run({tool("web_media"), "-s", sock, "-o", log}));
    blob_buf b = {};
    blob_buf_init(&b, 0);
    EXPECT_EQ(UBUS_STATUS_OK, invoke("web_media", "video_share_info_update", &b, nullptr));
    blobmsg_add_string(&b, "share", "a\"b");
    blobmsg_add_u32(&b, "n", 3);
    EXPECT_EQ(UBUS_STATUS_OK, invoke("web_media", "video_share_info_update", &b, nullptr));
    EXPECT_EQ(UBUS_STATUS_METHOD_NOT_FOUND, invoke("web_media", "upload_log", &b, nullptr));
    blob_buf_free(&b);
    EXPECT_EQ((std::vector<std::string>{"{}", R"({"share":"a\"b","n":3})"}), read_lines(log));
}

TEST_F(Standin, FailsWithoutABusOrLogFile) {
    std::string out = dir.path + "/out";
    EXPECT_EQ(1, run({tool("cloud_log"), "-s", dir.path + "/none.sock"}, out));
    EXPECT_NE(std::string::npos, read_file(out).find("cannot connect"));
    EXPECT_EQ(1, run({tool("web_media"), "-s", sock, "-o", dir.path + "/no/such/dir"}, out));
    uint32_t id;
    EXPECT_EQ(UBUS_STATUS_NOT_FOUND, ubus_lookup_id(ctx, "web_media", &id));
}

}  // namespace
