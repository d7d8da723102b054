// blob / blobmsg encoding, validation and JSON rendering of the host libubox.
#include <libubox/blobmsg_json.h>

#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>
#include <vector>

namespace {

std::vector<uint8_t> bytes(const blob_buf &b) {
    const uint8_t *p = (const uint8_t *)b.head;
    return std::vector<uint8_t>(p, p + blob_pad_len(b.head));
}

std::string json(blob_attr *attr, bool list = true, int indent = -1,
                 blobmsg_json_format_t cb = nullptr, void *priv = nullptr) {
    char *s = blobmsg_format_json_with_cb(attr, list, cb, priv, indent);
    if (!s) return "(null)";
    std::string r = s;
    free(s);
    return r;
}

struct buf {
    blob_buf b = {};
    buf() { blob_buf_init(&b, 0); }
    ~buf() { blob_buf_free(&b); }
};

TEST(BlobmsgEncoding, StringMemberBytes) {
    buf m;
    ASSERT_EQ(0, blobmsg_add_string(&m.b, "log_data", "hi"));
    const std::vector<uint8_t> want = {
        0x00, 0x00, 0x00, 0x18,                         // outer attribute, id 0, 24 bytes
        0x83, 0x00, 0x00, 0x13,                         // extended | string, 19 bytes
        0x00, 0x08,                                     // name length 8
        'l',  'o',  'g',  '_',  'd', 'a', 't', 'a', 0,  // name and NUL
        0x00,                                           // header padded to 12
        'h',  'i',  0x00,                               // value and NUL
        0x00,                                           // attribute padded to 20
    };
    EXPECT_EQ(want, bytes(m.b));
}

TEST(BlobmsgEncoding, IntegersAndNestingBytes) {
    buf m;
    blobmsg_add_u32(&m.b, "n", 0x01020304);
    void *t = blobmsg_open_table(&m.b, "t");
    blobmsg_add_u8(&m.b, "b", 1);
    blobmsg_close_table(&m.b, t);
    blobmsg_add_string(&m.b, "s", "x");
    const std::vector<uint8_t> want = {
        0x00, 0x00, 0x00, 0x30,                      // outer, 48 bytes
        0x85, 0x00, 0x00, 0x0c, 0x00, 0x01, 'n', 0,  // int32 "n", 12 bytes
        0x01, 0x02, 0x03, 0x04,                      // big-endian value
        0x82, 0x00, 0x00, 0x14, 0x00, 0x01, 't', 0,  // table "t", 20 bytes
        0x87, 0x00, 0x00, 0x09, 0x00, 0x01, 'b', 0,  //   int8 "b", 9 bytes
        0x01, 0x00, 0x00, 0x00,                      //   value, padding
        0x83, 0x00, 0x00, 0x0a, 0x00, 0x01, 's', 0,  // string "s", 10 bytes
        'x',  0x00, 0x00, 0x00,                      // value, NUL, padding
    };
    EXPECT_EQ(want, bytes(m.b));
}

TEST(BlobmsgEncoding, ReinitStartsEmptyAndLargeValuesSurvive) {
    buf m;
    blobmsg_add_string(&m.b, "old", "value");
    blob_buf_init(&m.b, 0);
    EXPECT_EQ(4u, blob_raw_len(m.b.head));
    // Several growth steps of the buffer; nested head offsets must survive them.
    std::string big(100000, 'a');
    for (size_t i = 0; i < big.size(); i++) big[i] = 'a' + i % 26;
    void *t = blobmsg_open_table(&m.b, "t");
    ASSERT_EQ(0, blobmsg_add_string(&m.b, "log_data", big.c_str()));
    blobmsg_close_table(&m.b, t);
    blobmsg_add_u32(&m.b, "after", 7);

    static const blobmsg_policy top[] = {
        {"t", BLOBMSG_TYPE_TABLE}, {"after", BLOBMSG_TYPE_INT32}, {"old", BLOBMSG_TYPE_UNSPEC}};
    blob_attr *tb[3];
    ASSERT_EQ(0, blobmsg_parse(top, 3, tb, blob_data(m.b.head), blob_len(m.b.head)));
    ASSERT_TRUE(tb[0] && tb[1]);
    EXPECT_EQ(nullptr, tb[2]);
    EXPECT_EQ(7u, blobmsg_get_u32(tb[1]));
    static const blobmsg_policy inner[] = {{"log_data", BLOBMSG_TYPE_STRING}};
    blob_attr *in[1];
    ASSERT_EQ(0, blobmsg_parse(inner, 1, in, blobmsg_data(tb[0]), blobmsg_data_len(tb[0])));
    ASSERT_NE(nullptr, in[0]);
    EXPECT_EQ(big, blobmsg_get_string(in[0]));
    EXPECT_EQ(big.size() + 1, blobmsg_data_len(in[0]));
}

TEST(BlobmsgParse, MatchesNameAndType) {
    buf m;
    blobmsg_add_u32(&m.b, "log_data", 5);  // wrong type: not taken for a string
    blobmsg_add_string(&m.b, "log_data", "first");
    blobmsg_add_string(&m.b, "log_data", "second");
    static const blobmsg_policy p[] = {{"log_data", BLOBMSG_TYPE_STRING},
                                       {"missing", BLOBMSG_TYPE_STRING}};
    blob_attr *tb[2];
    ASSERT_EQ(0, blobmsg_parse(p, 2, tb, blob_data(m.b.head), blob_len(m.b.head)));
    ASSERT_NE(nullptr, tb[0]);
    EXPECT_STREQ("first", blobmsg_get_string(tb[0]));
    EXPECT_EQ(nullptr, tb[1]);
}

TEST(BlobmsgParse, RefusesMalformedMembers) {
    static const blobmsg_policy p[] = {{"s", BLOBMSG_TYPE_STRING}};
    blob_attr *tb[1];
    {
        buf m;  // value without its NUL
        blobmsg_add_field(&m.b, BLOBMSG_TYPE_STRING, "s", "abcd", 4);
        EXPECT_LT(blobmsg_parse(p, 1, tb, blob_data(m.b.head), blob_len(m.b.head)), 0);
    }
    {
        buf m;  // member length running past the message
        blobmsg_add_string(&m.b, "s", "abc");
        blob_attr *a = (blob_attr *)blob_data(m.b.head);
        a->id_len = htobe32(be32toh(a->id_len) + 64);
        EXPECT_LT(blobmsg_parse(p, 1, tb, blob_data(m.b.head), blob_len(m.b.head)), 0);
        EXPECT_EQ(nullptr, tb[0]);
    }
    {
        buf m;  // name length pointing past the member
        blobmsg_add_string(&m.b, "s", "abc");
        blob_attr *a = (blob_attr *)blob_data(m.b.head);
        ((uint8_t *)blob_data(a))[1] = 40;
        EXPECT_LT(blobmsg_parse(p, 1, tb, blob_data(m.b.head), blob_len(m.b.head)), 0);
    }
}

TEST(BlobmsgCheck, DeepNestingIsRefused) {
    buf m;
    std::vector<void *> cookies;
    for (int i = 0; i < 40; i++) cookies.push_back(blobmsg_open_table(&m.b, "t"));
    for (auto it = cookies.rbegin(); it != cookies.rend(); ++it) blobmsg_close_table(&m.b, *it);
    blob_attr *outer = (blob_attr *)blob_data(m.b.head);
    EXPECT_FALSE(blobmsg_check_attr(outer, true));
    EXPECT_EQ("(null)", json(outer, false));

    buf ok;
    cookies.clear();
    for (int i = 0; i < 8; i++) cookies.push_back(blobmsg_open_table(&ok.b, "t"));
    for (auto it = cookies.rbegin(); it != cookies.rend(); ++it) blobmsg_close_table(&ok.b, *it);
    EXPECT_TRUE(blobmsg_check_attr((blob_attr *)blob_data(ok.b.head), true));
}

TEST(BlobmsgJson, CompactAndIndented) {
    buf m;
    blobmsg_add_string(&m.b, "result", "ok");
    blobmsg_add_u32(&m.b, "bytes", 5000);
    void *t = blobmsg_open_table(&m.b, "t");
    blobmsg_add_u8(&m.b, "b", 0);
    void *a = blobmsg_open_array(&m.b, "a");
    blobmsg_add_u16(&m.b, nullptr, (uint16_t)-2);
    blobmsg_add_u64(&m.b, nullptr, (uint64_t)-9000000000LL);
    blobmsg_close_array(&m.b, a);
    blobmsg_close_table(&m.b, t);

    EXPECT_EQ(R"({"result":"ok","bytes":5000,"t":{"b":false,"a":[-2,-9000000000]}})",
              json(m.b.head));
    // Level 0: members one tab in, nested ones one more, closing brace at column 0.
    EXPECT_EQ(
        "{\n"
        "\t\"result\": \"ok\",\n"
        "\t\"bytes\": 5000,\n"
        "\t\"t\": {\n"
        "\t\t\"b\": false,\n"
        "\t\t\"a\": [\n"
        "\t\t\t-2,\n"
        "\t\t\t-9000000000\n"
        "\t\t]\n"
        "\t}\n"
        "}",
        json(m.b.head, true, 0));
    // Not a list: the attribute's own value, without its name.
    blob_attr *tb[1];
    static const blobmsg_policy p[] = {{"t", BLOBMSG_TYPE_TABLE}};
    blobmsg_parse(p, 1, tb, blob_data(m.b.head), blob_len(m.b.head));
    EXPECT_EQ(R"({"b":false,"a":[-2,-9000000000]})", json(tb[0], false));

    buf empty;
    EXPECT_EQ("{}", json(empty.b.head));
}

TEST(BlobmsgJson, StringEscaping) {
    buf m;
    blobmsg_add_string(&m.b, "k\"ey", "q\" b\\ s/ n\n t\t r\r bs\b ff\f c\x01 utf8 \xc3\xa9");
    EXPECT_EQ(
        "{\"k\\\"ey\":\"q\\\" b\\\\ s\\/ n\\n t\\t r\\r bs\\b ff\\u000c c\\u0001 utf8 "
        "\xc3\xa9\"}",
        json(m.b.head));
}

TEST(BlobmsgJson, CustomFormatReplacesValues) {
    buf m;
    blobmsg_add_u32(&m.b, "n", 1);
    blobmsg_add_string(&m.b, "s", "kept");
    auto cb = [](void *priv, blob_attr *attr) -> const char * {
        ++*(int *)priv;
        return blobmsg_type(attr) == BLOBMSG_TYPE_INT32 ? "\"hidden\"" : nullptr;
    };
    int calls = 0;
    EXPECT_EQ(R"({"n":"hidden","s":"kept"})", json(m.b.head, true, -1, cb, &calls));
    EXPECT_EQ(2, calls);
}

}  // namespace
