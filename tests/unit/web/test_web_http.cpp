// The web server's wire pieces without any socket: where a request path may
// lead in "web", which bodies become requests, and the exact API reply bytes.
#include "web/webHttp.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

#include <string>

namespace {

struct PathCase {
    const char* behaviour;
    std::string raw;
    std::string expected;  // empty: refused
};

class StaticPathResolver : public ::testing::TestWithParam<PathCase>
{
};

TEST_P(StaticPathResolver, MapsOrRefuses)
{
    EXPECT_EQ(resolveStaticPath(GetParam().raw, "web"), GetParam().expected) << GetParam().raw;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, StaticPathResolver,
    ::testing::Values(
        PathCase{"RootMeansIndexHtml", "/", "web/index.html"},
        PathCase{"PlainFile", "/index.html", "web/index.html"},
        PathCase{"NestedFile", "/css/app.css", "web/css/app.css"},
        PathCase{"EscapedSpaceDecoded", "/a%20b.html", "web/a b.html"},
        PathCase{"EscapedUtf8Decoded", "/%E4%B8%AD.html", "web/\xE4\xB8\xAD.html"},
        PathCase{"ThreeDotsIsAName", "/...", "web/..."},
        PathCase{"AbsoluteLookingPathStaysInside", "/etc/passwd", "web/etc/passwd"},
        PathCase{"BackslashIsNoSeparator", "/%5c..%5cappcfg.json", "web/\\..\\appcfg.json"},
        PathCase{"DotDotRefused", "/../appcfg.json", ""},
        PathCase{"EncodedDotDotRefused", "/%2e%2e/stream.json", ""},
        PathCase{"UpperCaseEncodedDotDotRefused", "/%2E%2E/stream.json", ""},
        PathCase{"EncodedSlashDotDotRefused", "/%2f..%2fappcfg.json", ""},
        PathCase{"DotDotBehindEncodedSlashRefused", "/..%2f..%2fappcfg.json", ""},
        PathCase{"DotDotInsideRefused", "/a/../../appcfg.json", ""},
        PathCase{"DotDotAfterNameRefused", "/a/..", ""},
        PathCase{"SingleDotRefused", "/a/./b", ""},
        PathCase{"DoubleSlashRefused", "//etc/passwd", ""},
        PathCase{"TrailingSlashMeansIndexHtml", "/api/get/", "web/api/get/index.html"},
        PathCase{"DoubledTrailingSlashRefused", "/api/get//", ""},
        PathCase{"TrailingSlashAfterDotDotRefused", "/api/../", ""},
        PathCase{"ThousandSlashesRefused", std::string(1000, '/'), ""},
        PathCase{"NoLeadingSlashRefused", "etc/passwd", ""},
        PathCase{"EmptyRefused", "", ""},
        PathCase{"EncodedNulRefused", "/index.html%00.png", ""},
        PathCase{"RawNulRefused", std::string("/index.html\0.png", 16), ""},
        PathCase{"BadEscapeRefused", "/bad%zz", ""},
        PathCase{"TruncatedEscapeRefused", "/bad%2", ""},
        PathCase{"LonePercentRefused", "/bad%", ""},
        PathCase{"OverlongRefused", "/" + std::string(3000, 'a'), ""}),
    [](const ::testing::TestParamInfo<PathCase>& info) { return std::string(info.param.behaviour); });

TEST(StaticPathResolverRoot, ResultAlwaysStartsWithTheRoot)
{
    EXPECT_EQ(resolveStaticPath("/x.js", "/srv/site"), "/srv/site/x.js");
}

struct BodyCase {
    const char* behaviour;
    QByteArray body;
    bool accepted;
    QJsonObject request;
};

TEST(ApiRequestBody, BodiesBecomeRequestsOrFailures)
{
    const BodyCase cases[] = {
        {"empty body fails", "", false, {}},
        {"not JSON fails", "cmd=login", false, {}},
        {"cut-off JSON fails", "{\"cmd\":", false, {}},
        {"string fails", "\"login\"", false, {}},
        {"number fails", "5", false, {}},
        {"garbage after object fails", "{}x", false, {}},
        {"object is the request", "{\"cmd\":\"login\",\"user\":\"admin\"}", true,
         {{"cmd", "login"}, {"user", "admin"}}},
        {"surrounding white space is fine", " \n{\"cmd\":\"x\"}\n", true, {{"cmd", "x"}}},
        {"array is an empty request", "[{\"cmd\":\"login\"}]", true, {}},
        {"empty array is an empty request", "[]", true, {}},
    };
    for (const BodyCase& c : cases) {
        const std::optional<QJsonObject> r = apiRequestFromBody(c.body);
        EXPECT_EQ(r.has_value(), c.accepted) << c.behaviour;
        if (r && c.accepted) {
            EXPECT_EQ(*r, c.request) << c.behaviour;
        }
    }
}

QByteArray paddedObject(int totalBytes)
{
    const QByteArray head = "{\"cmd\":\"x\",\"pad\":\"";
    const QByteArray tail = "\"}";
    return head + QByteArray(totalBytes - head.size() - tail.size(), 'a') + tail;
}

TEST(ApiRequestBody, OneMebibyteIsParsedOneByteMoreIsNot)
{
    const QByteArray atLimit = paddedObject(1024 * 1024);
    ASSERT_EQ(atLimit.size(), 1024 * 1024);
    const std::optional<QJsonObject> ok = apiRequestFromBody(atLimit);
    ASSERT_TRUE(ok.has_value());
    EXPECT_EQ(ok->value("cmd").toString(), QStringLiteral("x"));
    EXPECT_FALSE(apiRequestFromBody(paddedObject(1024 * 1024 + 1)).has_value());
}

const std::string kHead =
    "HTTP/1.1 200 OK\n"
    "Content-Type: application/javascript\n"
    "Access-Control-Allow-Origin: *\n"
    "Access-Control-Allow-Methods: *\n"
    "Access-Control-Allow-Headers: X-Requested-With,Content-Type,x-access-token,token,id\n"
    "Access-Control-Request-Headers: Origin, X-Requested-With, content-Type, Accept, Authorization\n";

TEST(ApiResponseBlock, FailReplyExactBytes)
{
    EXPECT_EQ(apiResponseBlock(apiFailReply()).toStdString(),
              kHead + "Content-Length: 14\nCache-Control: no-cache\n\n{\"cmd\":\"fail\"}\n");
}

TEST(ApiResponseBlock, EmptyObjectExactBytes)
{
    EXPECT_EQ(apiResponseBlock(QJsonObject()).toStdString(),
              kHead + "Content-Length: 2\nCache-Control: no-cache\n\n{}\n");
}

TEST(ApiResponseBlock, LengthCountsUtf8BytesOfTheCompactText)
{
    const QJsonObject reply{{"results", "failed"}, {"msg", QStringLiteral("password error！")}};
    const std::string json = "{\"msg\":\"password error\xEF\xBC\x81\",\"results\":\"failed\"}";
    ASSERT_EQ(json.size(), 46u);
    EXPECT_EQ(apiResponseBlock(reply).toStdString(),
              kHead + "Content-Length: 46\nCache-Control: no-cache\n\n" + json + "\n");
}

TEST(ApiResponseBlock, NoCarriageReturnAnywhere)
{
    const QByteArray block = apiResponseBlock(QJsonObject{{"data", QJsonArray{1, 2}}});
    EXPECT_FALSE(block.contains('\r'));
    EXPECT_TRUE(block.endsWith("[1,2]}\n"));
}

} // namespace
