// The JSON API of the real oxnode over raw HTTP connections: every row of the
// access-control table and every command of the command table, pinned to the
// exact reply bytes, plus the lenient reading of missing and mistyped keys.
#include "oxtest.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string kDigest = oxt::md5Hex("73519046");

// The fixed reply block, written out here independently of the service.
std::string block(const std::string& json)
{
    return "HTTP/1.1 200 OK\n"
           "Content-Type: application/javascript\n"
           "Access-Control-Allow-Origin: *\n"
           "Access-Control-Allow-Methods: *\n"
           "Access-Control-Allow-Headers: X-Requested-With,Content-Type,x-access-token,token,id\n"
           "Access-Control-Request-Headers: Origin, X-Requested-With, content-Type, Accept, Authorization\n"
           "Content-Length: "
        + std::to_string(json.size()) + "\nCache-Control: no-cache\n\n" + json + "\n";
}

std::string compact(const QJsonObject& o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

const std::string kTokenError = "{\"cmd\":\"logout\",\"msg\":\"Token Error!\",\"result\":\"failed\"}";
const std::string kLoginRefused = "{\"cmd\":\"logout\",\"msg\":\"Token Error!\",\"results\":\"failed\"}";
const std::string kTimeout = "{\"cmd\":\"logout\",\"msg\":\"Timeout! please retry!\",\"results\":\"failed\"}";
const std::string kPasswordError = "{\"msg\":\"password error\xEF\xBC\x81\",\"results\":\"failed\"}";
const std::string kPasswordOk = "{\"msg\":\"success\",\"results\":\"success\"}";

class WebApi : public ::testing::Test
{
protected:
    void start() { ASSERT_TRUE(node.start()); }
    void TearDown() override { node.expectCleanExit(); }

    // Every byte of the reply to one POST of body on the shared connection.
    std::string raw(const std::string& body, const std::string& path = "/api/post")
    {
        oxt::HttpResponse r = http.request("POST", path, body, {}, 10000, true);
        EXPECT_TRUE(r.ok) << r.error << "\n" << r.raw;
        return r.raw;
    }
    std::string raw(const QJsonObject& request) { return raw(compact(request)); }
    QJsonObject call(QJsonObject request, bool withToken = true)
    {
        if (withToken)
            request.insert("token", token);
        return http.apiPost(request, "/api/post", 10000);
    }
    QString login(const std::string& digest = kDigest)
    {
        const QJsonObject r = call({{"cmd", "login"}, {"user", "admin"}, {"passMd5", QString::fromStdString(digest)}}, false);
        EXPECT_EQ(r.value("result").toString(), QStringLiteral("success")) << compact(r);
        return r.value("token").toString();
    }
    void startAndLogin()
    {
        start();
        token = login();
        ASSERT_FALSE(token.isEmpty());
    }
    std::vector<std::pair<int, QString>> streams()
    {
        std::vector<std::pair<int, QString>> v;
        for (const QJsonValue& s : call({{"cmd", "getStreamList"}}).value("data").toArray())
            v.emplace_back(s.toObject().value("id").toInt(-1), s.toObject().value("name").toString());
        return v;
    }

    oxt::OxNode node;
    oxt::HttpConnection http{8001};
    QString token;
};

// --- access control ---------------------------------------------------------

TEST_F(WebApi, LoginAcceptedAnswersSetTokenWithRandomHexToken)
{
    start();
    const std::string reply = raw(QJsonObject{{"cmd", "login"}, {"user", "admin"}, {"passMd5", QString::fromStdString(kDigest)}});
    const QRegularExpression re(QStringLiteral("\"token\":\"([0-9a-f]{32})\""));
    const QRegularExpressionMatch m = re.match(QString::fromStdString(reply));
    ASSERT_TRUE(m.hasMatch()) << reply;
    EXPECT_EQ(reply, block("{\"cmd\":\"setToken\",\"msg\":\"Login success!\",\"result\":\"success\",\"token\":\""
                           + m.captured(1).toStdString() + "\"}"));
}

TEST_F(WebApi, AccessControlRowsAnswerExactBytes)
{
    startAndLogin();
    const std::string t = token.toStdString();
    const std::pair<const char*, std::pair<std::string, std::string>> rows[] = {
        {"login with upper-case digest refused",
         {"{\"cmd\":\"login\",\"user\":\"admin\",\"passMd5\":\"" + QString::fromStdString(kDigest).toUpper().toStdString() + "\"}",
          kLoginRefused}},
        {"login with wrong user refused", {"{\"cmd\":\"login\",\"user\":\"Admin\",\"passMd5\":\"" + kDigest + "\"}", kLoginRefused}},
        {"login without digest refused", {"{\"cmd\":\"login\",\"user\":\"admin\"}", kLoginRefused}},
        {"login with plain password refused", {"{\"cmd\":\"login\",\"user\":\"admin\",\"passMd5\":\"73519046\"}", kLoginRefused}},
        {"command without token", {"{\"cmd\":\"getStreamList\"}", kTokenError}},
        {"command with empty token", {"{\"cmd\":\"getStreamList\",\"token\":\"\"}", kTokenError}},
        {"login differing in case is no login", {"{\"cmd\":\"Login\",\"user\":\"admin\",\"passMd5\":\"" + kDigest + "\"}", kTokenError}},
        {"no cmd, no token", {"{}", kTokenError}},
        {"token of another type reads as empty", {"{\"cmd\":\"getStreamList\",\"token\":5}", kTokenError}},
        {"unknown token", {"{\"cmd\":\"getStreamList\",\"token\":\"0123456789abcdef0123456789abcdef\"}", kTimeout}},
        {"login carrying a stale token", {"{\"cmd\":\"login\",\"user\":\"admin\",\"passMd5\":\"" + kDigest + "\",\"token\":\"x\"}", kTimeout}},
        {"token differing in case", {"{\"cmd\":\"getStreamList\",\"token\":\"" + token.toUpper().toStdString() + "\"}", kTimeout}},
        {"valid token, login falls through to {}", {"{\"cmd\":\"login\",\"token\":\"" + t + "\"}", "{}"}},
        {"valid token, no cmd", {"{\"token\":\"" + t + "\"}", "{}"}},
    };
    for (const auto& row : rows)
        EXPECT_EQ(raw(row.second.first), block(row.second.second)) << row.first;
}

TEST_F(WebApi, TwoLoginsInOneSecondGetDifferentValidTokens)
{
    start();
    const QString a = login();
    const QString b = login();
    EXPECT_NE(a, b);
    for (const QString& t : {a, b}) {
        const QJsonObject r = call({{"cmd", "getSystemSet"}, {"token", t}}, false);
        EXPECT_EQ(r.value("cmd").toString(), QStringLiteral("systemSet")) << t.toStdString();
    }
}

TEST_F(WebApi, PasswordChangeEndsSessionsAndNeedsTheNewDigest)
{
    startAndLogin();
    const std::string t = token.toStdString();
    EXPECT_EQ(raw("{\"cmd\":\"setWebPassword\",\"old\":\"" + oxt::md5Hex("wrong") + "\",\"new\":\"x\",\"token\":\"" + t + "\"}"),
              block(kPasswordError));
    const std::string next = oxt::md5Hex("next-password");
    EXPECT_EQ(raw("{\"cmd\":\"setWebPassword\",\"old\":\"" + kDigest + "\",\"new\":\"" + next + "\",\"token\":\"" + t + "\"}"),
              block(kPasswordOk));
    EXPECT_EQ(raw("{\"cmd\":\"getStreamList\",\"token\":\"" + t + "\"}"), block(kTimeout));
    EXPECT_EQ(raw("{\"cmd\":\"login\",\"user\":\"admin\",\"passMd5\":\"" + kDigest + "\"}"), block(kLoginRefused));
    token = login(next);
    EXPECT_FALSE(token.isEmpty());
    EXPECT_TRUE(oxt::waitFor([&] {
        return node.dir().readFile("appcfg.json").find("\"password\": \"" + next + "\"") != std::string::npos;
    }, 5000)) << node.dir().readFile("appcfg.json");
}

TEST_F(WebApi, EmptyNewPasswordIsAcceptedAndLoginNeedsItsDigest)
{
    startAndLogin();
    EXPECT_EQ(compact(call({{"cmd", "setWebPassword"}, {"old", QString::fromStdString(kDigest)}, {"new", ""}})), kPasswordOk);
    EXPECT_EQ(raw("{\"cmd\":\"login\",\"user\":\"admin\",\"passMd5\":\"\"}"), block(kLoginRefused));
    token = login(oxt::md5Hex(""));
    EXPECT_FALSE(token.isEmpty());
}

TEST_F(WebApi, ConfiguredThirtyTwoCharacterPasswordIsTheDigestItself)
{
    const std::string pass = "ABCDEFabcdef0123456789xyzXYZ++--";
    ASSERT_EQ(pass.size(), 32u);
    node.dir().writeFile("appcfg.json", "{\"password\": \"" + pass + "\"}");
    start();
    EXPECT_EQ(raw("{\"cmd\":\"login\",\"user\":\"admin\",\"passMd5\":\"" + oxt::md5Hex(pass) + "\"}"), block(kLoginRefused));
    EXPECT_FALSE(login(pass).isEmpty());
}

// --- command table ----------------------------------------------------------

TEST_F(WebApi, ReadOnlyCommandsAnswerExactBytes)
{
    startAndLogin();
    const std::string t = ",\"token\":\"" + token.toStdString() + "\"}";
    const std::pair<std::string, std::string> rows[] = {
        {"{\"cmd\":\"getNodeList\"" + t, "{\"cmd\":\"nodeList\",\"data\":[],\"msg\":\"success\"}"},
        {"{\"cmd\":\"getNodeInfo\",\"sn\":\"NOPE12345\"" + t, "{\"cmd\":\"nodeInfo\",\"data\":{},\"msg\":\"not find devices\"}"},
        {"{\"cmd\":\"getNodeInfo\"" + t, "{\"cmd\":\"nodeInfo\",\"data\":{},\"msg\":\"not find devices\"}"},
        {"{\"cmd\":\"getSystemSet\"" + t,
         "{\"cmd\":\"systemSet\",\"data\":{\"localDevCfg\":true,\"nicName\":\"\",\"serverIP\":\"\",\"username\":\"admin\",\"webPort\":8001}}"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(raw(row.first), block(row.second)) << row.first;
}

TEST_F(WebApi, GetStreamListHasExactlyCmdAndData)
{
    startAndLogin();
    const std::string reply = raw("{\"cmd\":\"getStreamList\",\"token\":\"" + token.toStdString() + "\"}");
    const size_t bodyAt = reply.find("\n\n");
    ASSERT_NE(bodyAt, std::string::npos);
    const std::string json = reply.substr(bodyAt + 2, reply.size() - bodyAt - 3);
    EXPECT_EQ(reply, block(json));
    const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(json)).object();
    EXPECT_EQ(o.keys(), (QStringList{"cmd", "data"}));
    EXPECT_EQ(o.value("cmd").toString(), QStringLiteral("streamList"));
    ASSERT_EQ(o.value("data").toArray().size(), 1);
    EXPECT_EQ(o.value("data").toArray().at(0).toObject().value("id").toInt(-1), 0);
}

TEST_F(WebApi, CommandsThatChangeStateAnswerEmptyObject)
{
    startAndLogin();
    const std::string t = ",\"token\":\"" + token.toStdString() + "\"}";
    const std::string rows[] = {
        "{\"cmd\":\"nodeStatus\",\"id\":3,\"sn\":\"SN0000001\"" + t,
        "{\"cmd\":\"setSystemSet\",\"data\":{\"serverIP\":\"10.0.0.9\",\"webPort\":8001,\"localDevCfg\":true}" + t,
        "{\"cmd\":\"renameStreamServer\",\"data\":{\"id\":0,\"newName\":\"cam\"}" + t,
        "{\"cmd\":\"newStreamServer\",\"data\":{\"newName\":\"second\"}" + t,
        "{\"cmd\":\"deleteStreamServer\",\"data\":{\"streamID\":1}" + t,
        "{\"cmd\":\"noSuchCommand\"" + t,
        "{\"cmd\":\"noSuchCommand\",\"sn\":\"UNKNOWN1234\"" + t,
        "{\"cmd\":\"GetStreamList\"" + t,
        "{\"cmd\":\"NODESTATUS\",\"sn\":\"SN0000002\"" + t,
        "{\"cmd\":5" + t,
    };
    for (const std::string& row : rows)
        EXPECT_EQ(raw(row), block("{}")) << row;
}

TEST_F(WebApi, NewStreamGetsLowestFreeIdAndIsListedAtOnce)
{
    node.dir().writeFile("stream.json", "[{\"id\": 0, \"name\": \"a\"}, {\"id\": 2, \"name\": \"c\"}]");
    startAndLogin();
    EXPECT_EQ(compact(call({{"cmd", "newStreamServer"}, {"data", QJsonObject{{"newName", "b"}}}})), "{}");
    EXPECT_EQ(streams(), (std::vector<std::pair<int, QString>>{{0, "a"}, {2, "c"}, {1, "b"}}));
    EXPECT_EQ(compact(call({{"cmd", "newStreamServer"}, {"data", QJsonObject{{"newName", "d"}}}})), "{}");
    EXPECT_EQ(streams().back(), (std::pair<int, QString>{3, "d"}));
}

TEST_F(WebApi, DeleteNeedsStreamIdKeyNotId)
{
    node.dir().writeFile("stream.json", "[{\"id\": 0, \"name\": \"a\"}, {\"id\": 1, \"name\": \"b\"}]");
    startAndLogin();
    EXPECT_EQ(compact(call({{"cmd", "deleteStreamServer"}, {"data", QJsonObject{{"id", 1}}}})), "{}");
    EXPECT_EQ(streams().size(), 2u);
    EXPECT_EQ(compact(call({{"cmd", "deleteStreamServer"}, {"data", QJsonObject{{"streamID", 1}}}})), "{}");
    EXPECT_EQ(streams(), (std::vector<std::pair<int, QString>>{{0, "a"}}));
    EXPECT_TRUE(oxt::waitFor([&] { return node.dir().readFile("stream.json").find("\"b\"") == std::string::npos; }));
}

TEST_F(WebApi, RenameWithoutIdRenamesStreamZero)
{
    node.dir().writeFile("stream.json", "[{\"id\": 0, \"name\": \"a\"}, {\"id\": 1, \"name\": \"b\"}]");
    startAndLogin();
    EXPECT_EQ(compact(call({{"cmd", "renameStreamServer"}, {"data", QJsonObject{{"newName", "renamed"}}}})), "{}");
    EXPECT_EQ(streams(), (std::vector<std::pair<int, QString>>{{0, "renamed"}, {1, "b"}}));
    EXPECT_TRUE(oxt::waitFor([&] { return node.dir().readFile("stream.json").find("\"renamed\"") != std::string::npos; }));
}

TEST_F(WebApi, SettingsCommandAppliesOnlyValidSettings)
{
    startAndLogin();
    struct Row { const char* what; QJsonValue data; bool applied; };
    const Row rows[] = {
        {"no data", QJsonValue(QJsonValue::Undefined), false},
        {"data of another type", QJsonValue("10.0.0.1"), false},
        {"empty data", QJsonObject(), false},
        {"port below range", QJsonObject{{"serverIP", "10.0.0.1"}, {"webPort", 79}}, false},
        {"port above range", QJsonObject{{"serverIP", "10.0.0.1"}, {"webPort", 65531}}, false},
        {"port as text", QJsonObject{{"serverIP", "10.0.0.1"}, {"webPort", "8080"}}, false},
        {"address missing", QJsonObject{{"webPort", 8080}}, false},
        {"address of another type", QJsonObject{{"serverIP", 10}, {"webPort", 8080}}, false},
        {"node port", QJsonObject{{"serverIP", "10.0.0.1"}, {"webPort", 8000}}, false},
        {"first stream port", QJsonObject{{"serverIP", "10.0.0.1"}, {"webPort", 8010}}, false},
        {"stream port inside the plan", QJsonObject{{"serverIP", "10.0.0.1"}, {"webPort", 9000}}, false},
        {"last stream port", QJsonObject{{"serverIP", "10.0.0.1"}, {"webPort", 10021}}, false},
        {"below the stream ports", QJsonObject{{"serverIP", "10.0.0.4"}, {"webPort", 8009}}, true},
        {"above the stream ports", QJsonObject{{"serverIP", "10.0.0.5"}, {"webPort", 10022}}, true},
        {"valid, flag missing reads false", QJsonObject{{"serverIP", "10.0.0.2"}, {"webPort", 80}}, true},
        {"flag of another type reads false", QJsonObject{{"serverIP", "10.0.0.3"}, {"webPort", 81}, {"localDevCfg", "true"}}, true},
    };
    QJsonObject expected{{"localDevCfg", true}, {"nicName", ""}, {"serverIP", ""}, {"username", "admin"}, {"webPort", 8001}};
    for (const Row& row : rows) {
        QJsonObject req{{"cmd", "setSystemSet"}};
        if (!row.data.isUndefined())
            req.insert("data", row.data);
        EXPECT_EQ(compact(call(req)), "{}") << row.what;
        if (row.applied) {
            expected["serverIP"] = row.data.toObject().value("serverIP");
            expected["webPort"] = row.data.toObject().value("webPort");
            expected["localDevCfg"] = false;
        }
        EXPECT_EQ(call({{"cmd", "getSystemSet"}}).value("data").toObject(), expected) << row.what;
    }
    EXPECT_TRUE(oxt::waitFor([&] {
        const std::string cfg = node.dir().readFile("appcfg.json");
        return cfg.find("\"serverIP\": \"10.0.0.3\"") != std::string::npos && cfg.find("\"webPort\": 81\n") != std::string::npos;
    })) << node.dir().readFile("appcfg.json");
}

// Every key of every command missing or of another JSON type reads as empty,
// 0, false or an empty object; the replies stay the documented ones.
TEST_F(WebApi, MissingOrMistypedKeysAreReadLeniently)
{
    node.dir().writeFile("stream.json", "[{\"id\": 0, \"name\": \"a\"}, {\"id\": 1, \"name\": \"b\"}]");
    startAndLogin();
    const std::string notFound = "{\"cmd\":\"nodeInfo\",\"data\":{},\"msg\":\"not find devices\"}";
    struct Row { const char* what; QJsonObject request; std::string reply; };
    const Row rows[] = {
        {"getNodeInfo sn number", {{"cmd", "getNodeInfo"}, {"sn", 12345}}, notFound},
        {"getNodeInfo sn object", {{"cmd", "getNodeInfo"}, {"sn", QJsonObject{}}}, notFound},
        {"nodeStatus sn missing", {{"cmd", "nodeStatus"}, {"id", 1}}, "{}"},
        {"nodeStatus sn number", {{"cmd", "nodeStatus"}, {"sn", 1234567}}, "{}"},
        {"nodeStatus id text", {{"cmd", "nodeStatus"}, {"id", "7"}, {"sn", "SN0000009"}}, "{}"},
        {"setWebPassword old missing", {{"cmd", "setWebPassword"}, {"new", "x"}}, kPasswordError},
        {"setWebPassword old number", {{"cmd", "setWebPassword"}, {"old", 73519046}, {"new", "x"}}, kPasswordError},
        {"renameStreamServer data missing", {{"cmd", "renameStreamServer"}}, "{}"},
        {"renameStreamServer data array", {{"cmd", "renameStreamServer"}, {"data", QJsonArray{1}}}, "{}"},
        {"renameStreamServer newName number", {{"cmd", "renameStreamServer"}, {"data", QJsonObject{{"id", 1}, {"newName", 5}}}}, "{}"},
        {"renameStreamServer newName missing", {{"cmd", "renameStreamServer"}, {"data", QJsonObject{{"id", 1}}}}, "{}"},
        {"newStreamServer data missing", {{"cmd", "newStreamServer"}}, "{}"},
        {"newStreamServer data text", {{"cmd", "newStreamServer"}, {"data", "x"}}, "{}"},
        {"newStreamServer newName missing", {{"cmd", "newStreamServer"}, {"data", QJsonObject{{"name", "x"}}}}, "{}"},
        {"newStreamServer newName number", {{"cmd", "newStreamServer"}, {"data", QJsonObject{{"newName", 5}}}}, "{}"},
        {"deleteStreamServer data missing", {{"cmd", "deleteStreamServer"}}, "{}"},
        {"deleteStreamServer streamID text", {{"cmd", "deleteStreamServer"}, {"data", QJsonObject{{"streamID", "1"}}}}, "{}"},
        {"deleteStreamServer streamID null", {{"cmd", "deleteStreamServer"}, {"data", QJsonObject{{"streamID", QJsonValue()}}}}, "{}"},
        {"getStreamList extra keys ignored", {{"cmd", "getSystemSet"}, {"data", 5}},
         "{\"cmd\":\"systemSet\",\"data\":{\"localDevCfg\":true,\"nicName\":\"\",\"serverIP\":\"\",\"username\":\"admin\",\"webPort\":8001}}"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(compact(call(row.request)), row.reply) << row.what;
    // Nothing was created, deleted or renamed by any of them.
    EXPECT_EQ(streams(), (std::vector<std::pair<int, QString>>{{0, "a"}, {1, "b"}}));
    // A stream ID of another type reads as 0: the rename lands on stream 0.
    EXPECT_EQ(compact(call({{"cmd", "renameStreamServer"}, {"data", QJsonObject{{"id", "1"}, {"newName", "zero"}}}})), "{}");
    EXPECT_EQ(streams(), (std::vector<std::pair<int, QString>>{{0, "zero"}, {1, "b"}}));
    // "new" of another type reads as empty: the password becomes the empty one.
    EXPECT_EQ(compact(call({{"cmd", "setWebPassword"}, {"old", QString::fromStdString(kDigest)}, {"new", 5}})), kPasswordOk);
    EXPECT_FALSE(login(oxt::md5Hex("")).isEmpty());
}

} // namespace
