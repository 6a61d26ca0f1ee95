#include "oxStreamBuffers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

std::unique_ptr<oxStreamBuf> make(oxBufType_e type, const std::string& bytes, int size = -1)
{
    return std::unique_ptr<oxStreamBuf>(oxStreamBuf::createStreamBuf(
        type, bytes.data(), static_cast<int>(bytes.size()), size < 0 ? static_cast<int>(bytes.size()) : size, nullptr));
}

TEST(StreamBuf, CreateStreamBufSizeRules)
{
    struct Case { const char* what; oxBufType_e type; int len; int size; bool ok; };
    const Case cases[] = {
        {"empty payload", BUF_STREAM_H265, 0, 0, true},
        {"largest size accepted", BUF_STREAM_H265, 0, 5000000, true},
        {"one byte over the limit", BUF_STREAM_H265, 0, 5000001, false},
        {"len above size", BUF_STREAM_H264, 5, 4, false},
        {"raw type accepted", BUF_STREAM_RAW, 3, 8, true},
        {"plain stream type refused", BUF_STREAM, 3, 8, false},
        {"record type refused", BUF_RECORD36, 3, 8, false},
        {"negative length refused", BUF_STREAM_H265, -1, 8, false},
    };
    std::vector<char> src(16, 'x');
    for (const Case& c : cases) {
        std::unique_ptr<oxStreamBuf> b(oxStreamBuf::createStreamBuf(c.type, src.data(), c.len, c.size, nullptr));
        EXPECT_EQ(b != nullptr, c.ok) << c.what;
        if (b && c.ok) {
            EXPECT_EQ(b->tag, -1) << c.what;
            ASSERT_NE(b->streamPayload(), nullptr) << c.what;
            EXPECT_EQ(b->streamPayload()->len, c.len) << c.what;
            EXPECT_EQ(b->streamPayload()->size, c.size) << c.what;
            EXPECT_NE(b->streamPayload()->data, nullptr) << c.what;
        }
    }
}

// A read area lent as it is: same rules as a copy of it, len == size; the
// bytes are neither written nor freed by the buffer, and a deep copy owns its own.
TEST(StreamBuf, LendStreamBufRefersToTheAreaAndNeverFreesIt)
{
    struct Case { const char* what; oxBufType_e type; int len; bool ok; };
    const Case cases[] = {
        {"chunk lent", BUF_STREAM_H265, 1000, true},
        {"empty chunk", BUF_STREAM_H265, 0, true},
        {"over the limit", BUF_STREAM_H265, 5000001, false},
        {"plain stream type refused", BUF_STREAM, 10, false},
    };
    for (const Case& c : cases) {
        std::vector<unsigned char> area(static_cast<size_t>(c.len) + 4096);
        for (int i = 0; i < c.len; ++i)
            area[static_cast<size_t>(i)] = static_cast<unsigned char>(i * 7);
        auto keep = std::make_shared<int>(1);
        std::unique_ptr<oxStreamBuf> b(oxStreamBuf::lendStreamBuf(c.type, area.data(), c.len, keep, nullptr));
        EXPECT_EQ(b != nullptr, c.ok) << c.what;
        if (!b)
            continue;
        const oxStreambuf_t* p = b->streamPayload();
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->data, area.data()) << c.what;
        EXPECT_EQ(p->len, c.len) << c.what;
        EXPECT_EQ(p->size, c.len) << c.what;
        EXPECT_EQ(b->sharedData, keep) << c.what;
        EXPECT_FALSE(b->addStreamData("x", 1)) << c.what;
        std::unique_ptr<oxStreamBuf> copy(oxStreamBuf::copyStream(b.get()));
        b.reset(); // must not free the area (the sanitizer build sees it)
        ASSERT_NE(copy->streamPayload()->data, area.data()) << c.what;
        EXPECT_FALSE(copy->lent) << c.what;
        EXPECT_EQ(copy->sharedData, nullptr) << c.what;
        EXPECT_EQ(std::memcmp(copy->streamPayload()->data, area.data(), static_cast<size_t>(c.len)), 0) << c.what;
    }
}

TEST(StreamBuf, AddStreamDataFillsCapacityExactlyAndNoFurther)
{
    auto b = make(BUF_STREAM_H265, "ab", 5);
    ASSERT_TRUE(b);
    EXPECT_TRUE(b->addStreamData("cde", 3));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(b->streamPayload()->data), 5), "abcde");
    EXPECT_FALSE(b->addStreamData("f", 1));
    EXPECT_EQ(b->streamPayload()->len, 5);
    EXPECT_FALSE(b->addStreamData("f", -1));
}

TEST(StreamBuf, AddStreamDataRefusesRecordTypes)
{
    std::unique_ptr<oxStreamBuf> rec(oxStreamBuf::createEmpty(BUF_RECORD36, nullptr));
    ASSERT_TRUE(rec);
    EXPECT_FALSE(rec->addStreamData("x", 1));
    std::unique_ptr<oxStreamBuf> nodata(oxStreamBuf::createEmpty(BUF_STREAM_NODATA, nullptr));
    ASSERT_TRUE(nodata);
    EXPECT_FALSE(nodata->addStreamData("x", 1));
    EXPECT_EQ(oxStreamBuf::createEmpty(static_cast<oxBufType_e>(0x1234), nullptr), nullptr);
}

TEST(StreamBuf, CopySurvivesSourceAndOwnsItsBlock)
{
    auto src = make(BUF_STREAM_H264, "hello", 10);
    src->tag = 7;
    src->meta1 = 0x1122334455667788ull;
    std::unique_ptr<oxStreamBuf> copy(oxStreamBuf::copyStream(src.get()));
    ASSERT_TRUE(copy);
    EXPECT_NE(copy->streamPayload()->data, src->streamPayload()->data);
    src.reset();
    EXPECT_EQ(copy->tag, 7);
    EXPECT_EQ(copy->meta1, 0x1122334455667788ull);
    EXPECT_EQ(copy->type, BUF_STREAM_H264);
    EXPECT_EQ(copy->streamPayload()->size, 10);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(copy->streamPayload()->data), 5), "hello");
}

TEST(StreamBuf, NalClassification)
{
    struct Case { const char* what; oxBufType_e type; std::string bytes; int code; };
    const std::string sc("\x00\x00\x00\x01", 4);
    const Case cases[] = {
        {"h264 idr", BUF_STREAM_H264, sc + "\x65\x88", 1},
        {"h264 sps", BUF_STREAM_H264, sc + "\x67\x42", 2},
        {"h264 pps", BUF_STREAM_H264, sc + "\x68\x42", 4},
        {"h264 sei", BUF_STREAM_H264, sc + "\x06\x05", 6},
        {"h264 non-idr slice", BUF_STREAM_H264, sc + "\x41\x9a", 8},
        {"h265 vps", BUF_STREAM_H265, sc + std::string("\x40\x01", 2), 3},
        {"h265 sps", BUF_STREAM_H265, sc + std::string("\x42\x01", 2), 2},
        {"h265 pps", BUF_STREAM_H265, sc + std::string("\x44\x01", 2), 4},
        {"h265 idr w_radl", BUF_STREAM_H265, sc + std::string("\x26\x01", 2), 1},
        {"h265 idr n_lp", BUF_STREAM_H265, sc + std::string("\x28\x01", 2), 1},
        {"h265 prefix sei", BUF_STREAM_H265, sc + std::string("\x4e\x01", 2), 6},
        {"h265 suffix sei", BUF_STREAM_H265, sc + std::string("\x50\x01", 2), 6},
        {"h265 cra", BUF_STREAM_H265, sc + std::string("\x2a\x01", 2), 8},
        {"three-byte start code", BUF_STREAM_H265, std::string("\x00\x00\x01\x40\x01", 5), 8},
        {"shorter than five bytes", BUF_STREAM_H265, sc, 8},
        {"raw type with start code", BUF_STREAM_RAW, sc + "\x65", 0},
    };
    for (const Case& c : cases) {
        auto b = make(c.type, c.bytes);
        ASSERT_TRUE(b) << c.what;
        EXPECT_EQ(checkStreamNalType(b->streamPayload(), c.type), c.code) << c.what;
    }
}

} // namespace
