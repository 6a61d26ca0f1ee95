// Local device discovery against the real oxnode with "localDevCfg" on (the
// default): the probe datagram, status and property reports by multicast,
// web commands leaving as datagrams, administrative commands refused on the
// unauthenticated road, and one dispatch per datagram with several interfaces.
#include "node_sim.h"

#include <gtest/gtest.h>

#include <chrono>

using nodesim::Node;
using nodesim::Web;
using nodesim::isOnline;

namespace {

constexpr int kServicePort = 5533;
constexpr int kDevicePort = 5532;
const char* kGroup = "224.2.2.2";

class NodesMulticast : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(device.bind(kDevicePort));
        ASSERT_TRUE(device.joinMulticast(kGroup));
        ASSERT_TRUE(sender.bind(0));
        ASSERT_TRUE(sender.joinMulticast(kGroup));
    }
    void startService()
    {
        oxd.options().readyPorts = {8000};
        ASSERT_TRUE(oxd.start());
        ASSERT_TRUE(web.login()) << oxd.process().describe();
        ASSERT_TRUE(oxd.process().waitForOutput("Device Discovery Service -> Bind NIC:"));
    }
    void TearDown() override { oxd.expectCleanExit(); }
    bool toService(const std::string& bytes) { return sender.sendTo(kGroup, kServicePort, bytes); }
    // The next datagram to the devices' port whose "cmd" is cmd.
    std::optional<QJsonObject> deviceReceives(const QString& cmd, int timeoutMs = 5000)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            auto d = device.recvFrom(100);
            if (!d)
                continue;
            QJsonObject o = nodesim::parse(d->data);
            if (o.value("cmd").toString() == cmd)
                return o;
        }
        return std::nullopt;
    }

    oxt::OxNode oxd;
    Web web;
    oxt::UdpSocket device; // a device listening on 5532
    oxt::UdpSocket sender; // a device reporting to 5533
};

TEST_F(NodesMulticast, ProbeGoesToTheGroupOnceASecond)
{
    startService();
    auto first = device.recvFrom(2500);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->data, "{\"cmd\":\"discovery\",\"sn\":\"0\",\"token\":\"\"}");
    // Three periods: a late tick is made up by the next one, so the sum
    // stays near 3 s on a loaded machine too.
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i) {
        auto next = device.recvFrom(2500);
        ASSERT_TRUE(next);
        EXPECT_EQ(next->data, first->data);
    }
    const double periods = nodesim::secondsSince(t0);
    EXPECT_GT(periods, 1.9);
    EXPECT_LT(periods, 5.0);
}

TEST_F(NodesMulticast, StatusAndPropertyReportsByDatagramFillTheNode)
{
    startService();
    ASSERT_TRUE(toService(R"({"cmd":"nodeStatus","id":4,"sn":"dev-m1","server":"s","data":{"alias":"lan","network":{"mainIP":"1.2.3.4"}}})"));
    ASSERT_TRUE(web.waitNode("dev-m1", [](const QJsonObject& s) { return s.value("alias") == "lan"; }));
    const QJsonObject st = web.node("dev-m1");
    EXPECT_TRUE(isOnline(st));
    EXPECT_EQ(st.value("id").toInt(), 4);
    EXPECT_EQ(st.value("mainIp").toString(), "1.2.3.4");

    const QJsonObject query{{"cmd", "getCompProperty"},
                            {"sn", "dev-m1"},
                            {"data", QJsonObject{{"compName", "enc"}, {"propName", "gop"}}}};
    EXPECT_EQ(web.post(query), QJsonObject());
    auto asked = deviceReceives("getCompProperty");
    ASSERT_TRUE(asked);
    EXPECT_EQ(*asked, query); // without the web token
    ASSERT_TRUE(toService(R"({"cmd":"compProperty","sn":"dev-m1","data":{"compName":"enc","propName":"gop","value":50}})"));
    const QJsonObject value{{"compName", "enc"}, {"propName", "gop"}, {"value", 50}};
    EXPECT_TRUE(oxt::waitFor([&] { return web.post(query) == value; }, 5000, 50));
}

TEST_F(NodesMulticast, WebCommandLeavesAsADatagramEvenForANodeOnTcp)
{
    startService();
    Node n("dev-m2");
    ASSERT_TRUE(n.login());
    EXPECT_EQ(web.post({{"cmd", "setBitrate"}, {"sn", "dev-m2"}, {"value", 8}}), QJsonObject());
    auto out = deviceReceives("setBitrate");
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, (QJsonObject{{"cmd", "setBitrate"}, {"sn", "dev-m2"}, {"value", 8}}));
    // Nothing on the TCP connection, and no per-node discovery frame either.
    EXPECT_FALSE(n.recv(1500, false));
}

TEST_F(NodesMulticast, AdministrativeDatagramsAreRefusedAndChangeNothing)
{
    startService();
    const QJsonObject settings = web.post({{"cmd", "getSystemSet"}});
    const QJsonObject streams = web.post({{"cmd", "getStreamList"}});
    const std::string digest = oxt::md5Hex("73519046");
    for (const std::string& d :
         {std::string(R"({"cmd":"setSystemSet","data":{"serverIP":"6.6.6.6","webPort":8080,"localDevCfg":false}})"),
          R"({"cmd":"setWebPassword","old":")" + digest + R"(","new":"pwned"})",
          std::string(R"({"cmd":"newStreamServer","data":{"newName":"evil"}})"),
          std::string(R"({"cmd":"deleteStreamServer","data":{"streamID":0}})"),
          std::string(R"({"cmd":"renameStreamServer","data":{"id":0,"newName":"evil"}})")})
        ASSERT_TRUE(toService(d));
    // A status report after them marks the end of the batch.
    ASSERT_TRUE(toService(R"({"cmd":"nodeStatus","id":1,"sn":"dev-m3"})"));
    ASSERT_TRUE(web.waitNode("dev-m3", isOnline));
    // One line for the sender's burst (the rest are counted in the next one).
    EXPECT_EQ(oxd.process().countOccurrences("refused \"setSystemSet\" from a local device"), 1)
        << oxt::tail(oxd.process().stderrText());
    EXPECT_EQ(web.post({{"cmd", "getSystemSet"}}), settings);
    QJsonObject streamsNow = web.post({{"cmd", "getStreamList"}});
    ASSERT_EQ(streamsNow.value("data").toArray().size(), streams.value("data").toArray().size());
    EXPECT_EQ(streamsNow.value("data").toArray()[0].toObject().value("name"),
              streams.value("data").toArray()[0].toObject().value("name"));
    EXPECT_TRUE(web.login()) << "the web password changed";
}

// With three multicast interfaces (lo and a veth pair) the service has three
// sockets on 5533; a datagram arriving on lo is still handled once.
TEST_F(NodesMulticast, EachDatagramIsDispatchedOnceWithSeveralInterfaces)
{
    for (const std::vector<std::string>& cmd :
         {std::vector<std::string>{"ip", "link", "add", "oxva", "type", "veth", "peer", "name", "oxvb"},
          std::vector<std::string>{"ip", "addr", "add", "198.18.0.1/24", "dev", "oxva"},
          std::vector<std::string>{"ip", "link", "set", "oxva", "up"},
          std::vector<std::string>{"ip", "link", "set", "oxvb", "up"}}) {
        const oxt::CommandResult r = oxt::runCommand(cmd);
        if (r.exitCode != 0)
            GTEST_SKIP() << "cannot add a veth pair: " << r.out;
    }
    startService();
    ASSERT_TRUE(oxd.process().waitForOutput("Bind NIC: oxvb"));
    EXPECT_EQ(oxd.process().countOccurrences("Device Discovery Service -> Bind NIC:"), 3);
    ASSERT_TRUE(toService("this is not json"));
    ASSERT_TRUE(toService(R"({"cmd":"nodeStatus","id":1,"sn":"dev-m4"})"));
    ASSERT_TRUE(web.waitNode("dev-m4", isOnline));
    ASSERT_TRUE(toService(R"({"cmd":"nodeStatus","id":1,"sn":"dev-m5"})"));
    ASSERT_TRUE(web.waitNode("dev-m5", isOnline));
    EXPECT_EQ(oxd.process().countOccurrences("error socket data: this is not json"), 1);
    EXPECT_EQ(oxd.process().countOccurrences("New node in 1 dev-m4"), 1);
}

} // namespace
