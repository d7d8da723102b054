// The host bus end to end: libubus client calls through a private tarn-ubusd.
#include "bus_harness.h"
#include "platform/ubus_proto.h"

#include <libubox/blobmsg_json.h>
#include <libubus.h>

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace bus_test;

namespace {

struct owner;

// ubus_object first, so a handler's object pointer leads back to its owner.
struct owned_object {
    ubus_object obj;
    owner *self;
};

int echo_cb(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *,
            blob_attr *msg) {
    static const blobmsg_policy p[] = {{"text", BLOBMSG_TYPE_STRING}};
    blob_attr *tb[1];
    blobmsg_parse(p, 1, tb, blob_data(msg), blob_len(msg));
    if (!tb[0]) return UBUS_STATUS_INVALID_ARGUMENT;
    blob_buf b = {};
    blob_buf_init(&b, 0);
    blobmsg_add_string(&b, "echo", blobmsg_get_string(tb[0]));
    ubus_send_reply(ctx, req, b.head);
    blob_buf_init(&b, 0);
    blobmsg_add_u32(&b, "part", 2);
    ubus_send_reply(ctx, req, b.head);
    blob_buf_free(&b);
    return UBUS_STATUS_OK;
}

int deny_cb(ubus_context *, ubus_object *, ubus_request_data *, const char *, blob_attr *) {
    return UBUS_STATUS_PERMISSION_DENIED;
}

const ubus_method kMethods[] = {UBUS_METHOD_NOARG("echo", echo_cb),
                                UBUS_METHOD_NOARG("deny", deny_cb)};

void lost_cb(ubus_context *ctx) {
    ctx->sock.eof = true;
}

// A client owning objects. Served by a thread of its own when asked to; an
// unserved owner never reads what the bus sends it.
struct owner {
    ubus_context *ctx = nullptr;
    std::vector<std::unique_ptr<owned_object>> objs;
    std::thread th;
    int stop_pipe[2] = {-1, -1};

    explicit owner(const std::string &sock) {
        ctx = ubus_connect(sock.c_str());
        if (ctx) ctx->connection_lost = lost_cb;
    }
    int add(const char *name) {
        auto o = std::make_unique<owned_object>();
        o->obj.name = name;
        o->obj.methods = kMethods;
        o->obj.n_methods = 2;
        o->self = this;
        int ret = ubus_add_object(ctx, &o->obj);
        objs.push_back(std::move(o));
        return ret;
    }
    void serve() {
        if (pipe(stop_pipe) != 0) return;
        th = std::thread([this] {
            while (!ctx->sock.eof) {
                pollfd p[2] = {{ctx->sock.fd, POLLIN, 0}, {stop_pipe[0], POLLIN, 0}};
                if (poll(p, 2, -1) < 0 || p[1].revents) break;
                if (p[0].revents) ubus_handle_event(ctx);
            }
        });
    }
    void close_now() {
        if (th.joinable()) {
            (void)!write(stop_pipe[1], "x", 1);
            th.join();
        }
        for (int fd : stop_pipe)
            if (fd >= 0) close(fd);
        stop_pipe[0] = stop_pipe[1] = -1;
        ubus_free(ctx);
        ctx = nullptr;
    }
    ~owner() { close_now(); }
};

struct replies {
    std::vector<std::string> json;
};

void collect_cb(ubus_request *req, int type, blob_attr *msg) {
    EXPECT_EQ(UBUS_MSG_DATA, type);
    char *s = blobmsg_format_json(msg, true);
    ((replies *)req->priv)->json.push_back(s ? s : "(null)");
    free(s);
}

int call(ubus_context *ctx, uint32_t id, const char *method, const char *text, replies *r,
         int timeout = 5000) {
    blob_buf b = {};
    blob_buf_init(&b, 0);
    if (text) blobmsg_add_string(&b, "text", text);
    int ret = ubus_invoke(ctx, id, method, b.head, r ? collect_cb : nullptr, r, timeout);
    blob_buf_free(&b);
    return ret;
}

uint32_t lookup(ubus_context *ctx, const char *name) {
    uint32_t id = 0;
    return ubus_lookup_id(ctx, name, &id) == UBUS_STATUS_OK ? id : 0;
}

// A socket speaking raw frames, past the greeting.
int raw_client(const std::string &sock) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sun = {};
    sun.sun_family = AF_UNIX;
    snprintf(sun.sun_path, sizeof(sun.sun_path), "%s", sock.c_str());
    if (connect(fd, (sockaddr *)&sun, sizeof(sun)) != 0) {
        close(fd);
        return -1;
    }
    uint8_t hello[BUS_HDR_LEN + 8];
    if (recv(fd, hello, sizeof(hello), MSG_WAITALL) != (ssize_t)sizeof(hello)) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string frame(uint8_t type, uint32_t seq, const blob_buf &b) {
    uint8_t hdr[BUS_HDR_LEN];
    uint32_t len = blob_len(b.head);
    bus_hdr_encode(hdr, type, seq, len);
    return std::string((char *)hdr, BUS_HDR_LEN) + std::string((char *)blob_data(b.head), len);
}

bool send_str(int fd, const std::string &s) {
    return send(fd, s.data(), s.size(), MSG_NOSIGNAL) == (ssize_t)s.size();
}

// True when the bus closes the connection (after whatever it still had queued).
bool dropped(int fd) {
    return wait_until([fd] {
        char buf[4096];
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) return false;
        ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
        return n == 0 || (n < 0 && errno == ECONNRESET);
    });
}

class Bus : public ::testing::Test {
   protected:
    temp_dir dir;
    std::string sock = dir.path + "/bus.sock";
    bus_daemon bus{sock};
    ubus_context *caller = nullptr;

    void SetUp() override {
        ASSERT_TRUE(bus.up());
        caller = ubus_connect(sock.c_str());
        ASSERT_NE(nullptr, caller);
    }
    void TearDown() override { ubus_free(caller); }
};

TEST_F(Bus, LookupInvokeAndReplies) {
    owner o(sock);
    ASSERT_EQ(UBUS_STATUS_OK, o.add("test.echo"));
    o.serve();
    uint32_t id = lookup(caller, "test.echo");
    ASSERT_NE(0u, id);
    EXPECT_EQ(0u, lookup(caller, "test.missing"));

    replies r;
    EXPECT_EQ(UBUS_STATUS_OK, call(caller, id, "echo", "hello \"bus\"", &r));
    EXPECT_EQ((std::vector<std::string>{R"({"echo":"hello \"bus\""})", R"({"part":2})"}), r.json);

    r.json.clear();
    EXPECT_EQ(UBUS_STATUS_PERMISSION_DENIED, call(caller, id, "deny", nullptr, &r));
    EXPECT_EQ(UBUS_STATUS_INVALID_ARGUMENT, call(caller, id, "echo", nullptr, &r));
    EXPECT_EQ(UBUS_STATUS_METHOD_NOT_FOUND, call(caller, id, "nothing", nullptr, &r));
    EXPECT_EQ(UBUS_STATUS_NOT_FOUND, call(caller, id + 1000, "echo", "x", &r));
    EXPECT_TRUE(r.json.empty());

    // Near the size limit the message travels whole; past it the call is
    // refused before it reaches the bus, and the connection stays usable.
    std::string big(UBUS_MAX_MSGLEN - 64, 'x');
    for (size_t i = 0; i < big.size(); i += 7) big[i] = 'a' + i % 26;
    EXPECT_EQ(UBUS_STATUS_OK, call(caller, id, "echo", big.c_str(), &r, 20000));
    ASSERT_EQ(2u, r.json.size());
    EXPECT_EQ("{\"echo\":\"" + big + "\"}", r.json[0]);
    std::string huge(UBUS_MAX_MSGLEN + 1, 'y');
    EXPECT_EQ(UBUS_STATUS_INVALID_ARGUMENT, call(caller, id, "echo", huge.c_str(), nullptr));
    EXPECT_EQ(UBUS_STATUS_OK, call(caller, id, "echo", "again", nullptr));
}

TEST_F(Bus, ObjectNamesAreUniqueAndRemovable) {
    owner a(sock), b(sock);
    ASSERT_EQ(UBUS_STATUS_OK, a.add("test.one"));
    EXPECT_NE(UBUS_STATUS_OK, b.add("test.one"));
    uint32_t id = lookup(caller, "test.one");
    EXPECT_EQ(a.objs[0]->obj.id, id);
    EXPECT_EQ(UBUS_STATUS_OK, ubus_remove_object(a.ctx, &a.objs[0]->obj));
    EXPECT_EQ(0u, lookup(caller, "test.one"));
    EXPECT_EQ(UBUS_STATUS_OK, b.add("test.one"));
    EXPECT_NE(id, lookup(caller, "test.one"));
}

TEST_F(Bus, SilentOwnerTimesOutAndVanishingOwnerFailsTheCall) {
    owner o(sock);  // never served: calls reach it but are not answered
    ASSERT_EQ(UBUS_STATUS_OK, o.add("test.silent"));
    uint32_t id = lookup(caller, "test.silent");
    ASSERT_NE(0u, id);
    replies r;
    EXPECT_EQ(UBUS_STATUS_TIMEOUT, call(caller, id, "echo", "x", &r, 150));
    EXPECT_TRUE(r.json.empty());
    // The abandoned call leaves the connection in order.
    EXPECT_EQ(id, lookup(caller, "test.silent"));

    // A call in progress when its owner disconnects ends at once, not at its time-out.
    std::atomic<int> status{-1};
    std::thread t([&] { status = call(caller, id, "echo", "y", nullptr, 60000); });
    // Read the owner's socket ourselves until the second call has reached it.
    std::string got;
    auto invokes = [&] {
        int n = 0;
        bus_hdr h;
        for (size_t off = 0; off + BUS_HDR_LEN <= got.size(); off += BUS_HDR_LEN + h.len) {
            if (bus_hdr_decode((const uint8_t *)got.data() + off, &h) < 0) return -1;
            if (off + BUS_HDR_LEN + h.len > got.size()) break;
            n += h.type == BUS_MSG_INVOKE;
        }
        return n;
    };
    bool arrived = wait_until([&] {
        char buf[4096];
        ssize_t n = recv(o.ctx->sock.fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (n > 0) got.append(buf, n);
        return invokes() == 2;
    });
    EXPECT_TRUE(arrived);
    o.close_now();
    t.join();
    EXPECT_EQ(UBUS_STATUS_NO_DATA, status.load());
}

TEST_F(Bus, ObjectsGoAwayWithTheirClient) {
    owner o(sock);
    ASSERT_EQ(UBUS_STATUS_OK, o.add("test.a"));
    ASSERT_EQ(UBUS_STATUS_OK, o.add("test.b"));
    ASSERT_NE(0u, lookup(caller, "test.a"));
    ASSERT_NE(0u, lookup(caller, "test.b"));
    o.close_now();
    EXPECT_TRUE(
        wait_until([&] { return lookup(caller, "test.a") == 0 && lookup(caller, "test.b") == 0; }));
    owner again(sock);
    EXPECT_EQ(UBUS_STATUS_OK, again.add("test.a"));
}

TEST_F(Bus, MalformedClientsAreDroppedAlone) {
    owner good(sock);
    ASSERT_EQ(UBUS_STATUS_OK, good.add("test.echo"));
    good.serve();
    uint32_t id = lookup(caller, "test.echo");
    ASSERT_NE(0u, id);

    std::vector<std::pair<const char *, std::string>> bad;
    bad.push_back({"not a frame", "GET / HTTP/1.0\r\n\r\n"});
    {
        uint8_t h[BUS_HDR_LEN];
        bus_hdr_encode(h, BUS_MSG_LOOKUP, 1, 4);
        h[2] = BUS_VERSION + 1;
        bad.push_back({"other version", std::string((char *)h, sizeof(h)) + "abcd"});
        bus_hdr_encode(h, BUS_MSG_LOOKUP, 1, 16u << 20);
        bad.push_back({"oversized", std::string((char *)h, sizeof(h))});
        bus_hdr_encode(h, BUS_MSG_LAST, 1, 0);
        bad.push_back({"unknown type", std::string((char *)h, sizeof(h))});
    }
    blob_buf b = {};
    blob_buf_init(&b, 0);
    blob_put(&b, BUS_ATTR_OBJPATH, "abc", 3);
    bad.push_back({"path without NUL", frame(BUS_MSG_LOOKUP, 1, b)});
    blob_buf_init(&b, 0);
    blob_put_u32(&b, BUS_ATTR_OBJID, id);
    bad.push_back({"invoke without method", frame(BUS_MSG_INVOKE, 1, b)});
    blob_buf_init(&b, 0);
    blob_put_u32(&b, BUS_ATTR_OBJID, id);
    blob_put_string(&b, BUS_ATTR_METHOD, "echo");
    void *d = blob_nest_start(&b, BUS_ATTR_DATA);
    blob_put_string(&b, 1, "not a blobmsg member");
    blob_nest_end(&b, d);
    bad.push_back({"raw attribute in message", frame(BUS_MSG_INVOKE, 1, b)});
    blob_buf_init(&b, 0);
    blob_put_u32(&b, BUS_ATTR_PEER, 1);
    bad.push_back({"greeting from a client", frame(BUS_MSG_HELLO, 1, b)});
    blob_buf_init(&b, 0);
    blob_put_string(&b, BUS_ATTR_OBJPATH, "x");
    std::string f = frame(BUS_MSG_LOOKUP, 1, b);
    f[BUS_HDR_LEN + 3] = 2;  // attribute shorter than its own header
    bad.push_back({"short attribute", f});
    blob_buf_free(&b);

    for (auto &[what, bytes] : bad) {
        SCOPED_TRACE(what);
        int fd = raw_client(sock);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(send_str(fd, bytes));
        EXPECT_TRUE(dropped(fd));
        close(fd);
        replies r;
        EXPECT_EQ(UBUS_STATUS_OK, call(caller, id, "echo", what, &r));
        ASSERT_EQ(2u, r.json.size());
        EXPECT_EQ(std::string("{\"echo\":\"") + what + "\"}", r.json[0]);
    }

    // A dropped client's objects are gone with it.
    owner bad_owner(sock);
    ASSERT_EQ(UBUS_STATUS_OK, bad_owner.add("test.bad"));
    ASSERT_NE(0u, lookup(caller, "test.bad"));
    ASSERT_TRUE(send_str(bad_owner.ctx->sock.fd, "garbage garbage"));
    EXPECT_TRUE(wait_until([&] { return lookup(caller, "test.bad") == 0; }));
    EXPECT_EQ(id, lookup(caller, "test.echo"));
}

TEST_F(Bus, StalledAndFloodingClientsDoNotBlockOthers) {
    owner good(sock);
    ASSERT_EQ(UBUS_STATUS_OK, good.add("test.echo"));
    good.serve();
    uint32_t id = lookup(caller, "test.echo");

    // Half a header, then nothing: the bus must not wait for the rest.
    int stalled = raw_client(sock);
    ASSERT_GE(stalled, 0);
    ASSERT_TRUE(send_str(stalled, std::string("\x74\x62\x01", 3)));
    EXPECT_EQ(UBUS_STATUS_OK, call(caller, id, "echo", "while stalled", nullptr));

    // Requests without ever reading the answers: the bus gives up on the
    // client once its answers pile up, and the sends start failing.
    int flood = raw_client(sock);
    ASSERT_GE(flood, 0);
    blob_buf b = {};
    blob_buf_init(&b, 0);
    blob_put_string(&b, BUS_ATTR_OBJPATH, "test.echo");
    std::string one = frame(BUS_MSG_LOOKUP, 7, b), batch;
    blob_buf_free(&b);
    for (int i = 0; i < 2048; i++) batch += one;
    bool refused = false;
    for (int i = 0; i < 4000 && !refused; i++) refused = !send_str(flood, batch);
    EXPECT_TRUE(refused);
    EXPECT_EQ(UBUS_STATUS_OK, call(caller, id, "echo", "after the flood", nullptr));
    close(flood);
    close(stalled);
}

}  // namespace
