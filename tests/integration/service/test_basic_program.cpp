// What oxnode-basic does differently from oxnode, each case run against both
// programs from the same code: four endpoints per stream (no oxlat),
// configuration objects instead of live status, SRT URLs with latency=35,
// no per-buffer send line on the TCP output.
#include "node_sim.h"
#include "oxtest.h"

#include <QJsonArray>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <string>

#include <unistd.h>

namespace {

struct Program {
    const char* name;
    const char* bin;
    bool basic;
};

class Programs : public ::testing::TestWithParam<Program>
{
protected:
    void SetUp() override
    {
        node.dir().writeFile("appcfg.json", "{\"localDevCfg\": false, \"serverIP\": \"192.0.2.1\"}");
        ASSERT_TRUE(node.start(GetParam().bin));
        const QJsonObject r = api({{"cmd", "login"}, {"user", "admin"}, {"passMd5", QString::fromStdString(oxt::md5Hex("73519046"))}});
        token = r.value("token").toString();
        ASSERT_EQ(token.size(), 32);
    }
    void TearDown() override { node.expectCleanExit(); }

    QJsonObject api(QJsonObject request)
    {
        if (!token.isEmpty())
            request.insert("token", token);
        return http.apiPost(request, "/api/post", 10000);
    }
    QJsonArray streamList() { return api({{"cmd", "getStreamList"}}).value("data").toArray(); }

    oxt::OxNode node;
    oxt::HttpConnection http{8001};
    QString token;
};

QStringList types(const QJsonArray& endpoints)
{
    QStringList t;
    for (const QJsonValue& v : endpoints)
        t << v.toObject().value("type").toString();
    return t;
}

TEST_P(Programs, EndpointSetAndPortPlan)
{
    const QJsonObject s = streamList().at(0).toObject();
    if (GetParam().basic) {
        EXPECT_EQ(types(s.value("inList").toArray()), (QStringList{"sr_tcp", "sr_oxdp"}));
        EXPECT_EQ(types(s.value("outList").toArray()), (QStringList{"st_tcp", "st_oxdp"}));
        // Nothing listens for oxlat.
        const int held = oxt::holdUdpPort(8011);
        EXPECT_GE(held, 0);
        const int held2 = oxt::holdUdpPort(8021);
        EXPECT_GE(held2, 0);
        ::close(held);
        ::close(held2);
    } else {
        EXPECT_EQ(types(s.value("inList").toArray()), (QStringList{"sr_tcp", "sr_oxdp", "sr_lat"}));
        EXPECT_EQ(types(s.value("outList").toArray()), (QStringList{"st_tcp", "st_oxdp", "st_lat"}));
    }
}

TEST_P(Programs, StreamListReportsStatusOrConfiguration)
{
    const QJsonObject s = streamList().at(0).toObject();
    const QJsonObject tcpIn = s.value("inList").toArray().at(0).toObject();
    const QJsonObject srtIn = s.value("inList").toArray().at(1).toObject();
    const QJsonObject srtOut = s.value("outList").toArray().at(1).toObject();
    EXPECT_EQ(tcpIn.value("url").toString(), QStringLiteral("oxtcp://192.0.2.1:8010"));
    if (GetParam().basic) {
        EXPECT_FALSE(tcpIn.contains("linkStatus"));
        EXPECT_FALSE(srtIn.contains("srtReady"));
        EXPECT_FALSE(srtOut.contains("rtt"));
        EXPECT_EQ(srtIn.value("url").toString(), QStringLiteral("oxdp://192.0.2.1:8010?latency=35"));
        EXPECT_EQ(srtOut.value("url").toString(), QStringLiteral("oxdp://192.0.2.1:8020?latency=35"));
    } else {
        EXPECT_TRUE(tcpIn.contains("linkStatus"));
        EXPECT_TRUE(srtIn.contains("srtReady"));
        EXPECT_TRUE(srtOut.contains("rtt"));
        EXPECT_EQ(srtIn.value("url").toString(), QStringLiteral("oxdp://192.0.2.1:8010?latency=20"));
    }
}

TEST_P(Programs, CreatedStreamIsListedRightAfterTheReplyAndDeletedLikewise)
{
    EXPECT_TRUE(api({{"cmd", "newStreamServer"}, {"data", QJsonObject{{"newName", "cam"}}}}).isEmpty());
    const QJsonArray after = streamList();
    ASSERT_EQ(after.size(), 2);
    EXPECT_EQ(after.at(1).toObject().value("id").toInt(), 1);
    EXPECT_TRUE(oxt::waitTcpPort(8040, 5000));
    EXPECT_TRUE(api({{"cmd", "deleteStreamServer"}, {"data", QJsonObject{{"streamID", 1}}}}).isEmpty());
    EXPECT_EQ(streamList().size(), 1);
    EXPECT_TRUE(oxt::waitFor([] { return !oxt::tcpPortInUse(8040); }, 5000));
}

TEST_P(Programs, TcpOutputSendLinePresentOnlyInTheFullProgram)
{
    oxt::TcpClient client;
    ASSERT_TRUE(client.connect("127.0.0.1", 8020));
    ASSERT_TRUE(oxt::waitFor([&] {
        return node.process().countOccurrences("127.0.0.1:" + std::to_string(client.localPort()) + " connected!") > 0;
    }));
    oxt::TcpClient source;
    ASSERT_TRUE(source.connect("127.0.0.1", 8010));
    ASSERT_TRUE(source.sendAll("basic"));
    EXPECT_EQ(client.recvExactly(5), "basic");
    const bool line = node.process().waitForOutput("8020 tcp send 5", GetParam().basic ? 300 : 5000);
    EXPECT_EQ(line, !GetParam().basic);
}

TEST_P(Programs, LaterLoginChangesTheNodeNumberOnlyInTheFullProgram)
{
    nodesim::Node first("SN-BASIC-1", 3);
    ASSERT_TRUE(first.login());
    first.tcp().close();
    nodesim::Node again("SN-BASIC-1", 9);
    ASSERT_TRUE(again.login());
    const QJsonObject info = api({{"cmd", "getNodeInfo"}, {"sn", "SN-BASIC-1"}}).value("data").toObject();
    EXPECT_EQ(info.value("id").toInt(), GetParam().basic ? 3 : 9);
}

INSTANTIATE_TEST_SUITE_P(Both, Programs,
                         ::testing::Values(Program{"oxnode", OXNODE_BIN, false},
                                           Program{"oxnode_basic", OXNODE_BASIC_BIN, true}),
                         [](const ::testing::TestParamInfo<Program>& info) { return std::string(info.param.name); });

} // namespace
