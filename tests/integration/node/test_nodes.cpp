// Node sessions against the real oxnode with "localDevCfg" false: login and
// "setToken", refusals, session tokens, rebinding, status over the web API,
// forwarding, the property cache, the per-node discovery frame, the frame
// bound, a peer vanishing mid-frame, liveness and the login deadline.
#include "node_sim.h"

#include <gtest/gtest.h>

#include <QRegularExpression>

#include <sys/resource.h>

#include <chrono>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

using nodesim::Node;
using nodesim::Web;
using nodesim::isOnline;

namespace {

class NodesTcp : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(oxd.dir().writeFile("appcfg.json", "{\"localDevCfg\": false}"));
        oxd.options().readyPorts = {8000};
        ASSERT_TRUE(oxd.start());
        ASSERT_TRUE(web.login()) << oxd.process().describe();
    }
    void TearDown() override { oxd.expectCleanExit(); }
    oxt::OxNode oxd;
    Web web;
};

TEST_F(NodesTcp, LoginAnswersSetTokenAndTheNodeIsListedOnline)
{
    Node n("node-01", 3);
    ASSERT_TRUE(n.connect());
    ASSERT_TRUE(n.send(n.loginFrame()));
    auto reply = n.recv();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->value("cmd").toString(), "setToken");
    EXPECT_EQ(reply->value("results").toString(), "success");
    EXPECT_EQ(reply->value("msg").toString(), "success!");
    const QJsonObject data = reply->value("data").toObject();
    EXPECT_TRUE(QRegularExpression("^[0-9a-f]{32}$").match(data.value("token").toString()).hasMatch());
    EXPECT_EQ(data.value("id").toInt(), 3);
    EXPECT_EQ(data.value("sn").toString(), "node-01");

    const QJsonObject st = web.node("node-01");
    EXPECT_TRUE(isOnline(st));
    EXPECT_EQ(st.value("id").toInt(), 3);
    EXPECT_EQ(st.value("modeList").toArray(), QJsonArray());
    EXPECT_EQ(st.value("alias").toString(), "");
    const QJsonObject list = web.post({{"cmd", "getNodeList"}});
    EXPECT_EQ(list.value("cmd").toString(), "nodeList");
    ASSERT_EQ(list.value("data").toArray().size(), 1);
}

TEST_F(NodesTcp, ReLoginOnTheSameConnectionIssuesAFreshTokenAndStaysBound)
{
    Node n("node-02");
    ASSERT_TRUE(n.login());
    const std::string first = n.session();
    ASSERT_TRUE(n.login()); // same second: a time-derived token would repeat
    EXPECT_NE(n.session(), first);
    // The old token no longer counts, the new one does.
    ASSERT_TRUE(n.keepAlive());
    ASSERT_TRUE(n.send(QJsonObject{{"cmd", "keepAlive"}, {"sessionToken", QString::fromStdString(first)}}));
    auto reply = n.recv();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->value("cmd").toString(), "logout");
    EXPECT_TRUE(n.tcp().waitClosed());
}

struct RefusalCase {
    const char* name;
    QJsonObject first;
    const char* msg;
    bool nodeCreated;
};

class FirstFrameRefused : public NodesTcp, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(FirstFrameRefused, AnswersLogoutAndCloses)
{
    Node n("unused");
    ASSERT_TRUE(n.connect());
    ASSERT_TRUE(n.send(GetParam().first));
    auto reply = n.recv();
    ASSERT_TRUE(reply) << oxt::tail(oxd.process().stderrText());
    EXPECT_EQ(*reply, (QJsonObject{{"cmd", "logout"}, {"results", "failed"}, {"msg", GetParam().msg}}));
    EXPECT_TRUE(n.tcp().waitClosed());
    const QString sn = GetParam().first.value("sn").toString();
    const QJsonObject st = web.node(sn.toStdString());
    EXPECT_EQ(!st.isEmpty(), GetParam().nodeCreated);
    if (!st.isEmpty()) {
        EXPECT_FALSE(isOnline(st));
    }
}

const QString kGoodToken = QString::fromStdString(nodesim::kNodeTokenMd5);

INSTANTIATE_TEST_SUITE_P(
    Table, FirstFrameRefused,
    ::testing::Values(
        RefusalCase{"WrongNodeToken", {{"cmd", "nodeLogin"}, {"token", "0123"}, {"sn", "node-10"}, {"id", 1}},
                    "token error!", false},
        RefusalCase{"MissingNodeToken", {{"cmd", "nodeLogin"}, {"sn", "node-11"}, {"id", 1}}, "token error!", false},
        RefusalCase{"SerialOfFourChars", {{"cmd", "nodeLogin"}, {"token", kGoodToken}, {"sn", "abcd"}, {"id", 1}},
                    "Failed to login!", false},
        RefusalCase{"SerialOfSeventeenChars",
                    {{"cmd", "nodeLogin"}, {"token", kGoodToken}, {"sn", "abcdefghijklmnopq"}, {"id", 1}},
                    "Failed to login!", false},
        RefusalCase{"NegativeIdForNewSerial",
                    {{"cmd", "nodeLogin"}, {"token", kGoodToken}, {"sn", "node-12"}, {"id", -1}}, "Failed to login!",
                    false},
        RefusalCase{"RightTokenButNotALogin",
                    {{"cmd", "keepAlive"}, {"token", kGoodToken}, {"sn", "node-13"}, {"id", 1}}, "token error!", true}),
    [](const ::testing::TestParamInfo<RefusalCase>& i) { return std::string(i.param.name); });

TEST_F(NodesTcp, SixteenCharSerialLogsIn)
{
    Node n("abcdefghijklmnop");
    EXPECT_TRUE(n.login());
}

TEST_F(NodesTcp, NegativeIdForAKnownSerialLogsInWithThatId)
{
    {
        Node n("node-20", 5);
        ASSERT_TRUE(n.login());
    }
    Node again("node-20", -1);
    ASSERT_TRUE(again.login());
    EXPECT_TRUE(web.waitNode("node-20", [](const QJsonObject& s) { return s.value("id").toInt() == -1 && isOnline(s); }));
}

TEST_F(NodesTcp, FramesThatAreNotObjectsAreSkippedAndTheConnectionStays)
{
    Node n("node-21", 2);
    ASSERT_TRUE(n.connect());
    // Not JSON, an array, an empty frame, a frame split byte by byte.
    ASSERT_TRUE(n.sendRaw(std::string("not json\0[1,2]\0\0", 17)));
    const std::string login = nodesim::compact(n.loginFrame()) + std::string(1, '\0');
    for (char c : login)
        ASSERT_TRUE(n.sendRaw(std::string(1, c)));
    auto reply = n.recv();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->value("cmd").toString(), "setToken");
}

TEST_F(NodesTcp, WrongSessionTokenLogsOutAndTheNodeGoesOffline)
{
    Node n("node-22");
    ASSERT_TRUE(n.login());
    ASSERT_TRUE(n.send(QJsonObject{{"cmd", "keepAlive"}, {"sessionToken", "00000000000000000000000000000000"}}));
    auto reply = n.recv();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, (QJsonObject{{"cmd", "logout"}, {"results", "failed"}, {"msg", "token error!"}}));
    EXPECT_TRUE(n.tcp().waitClosed());
    EXPECT_FALSE(isOnline(web.node("node-22")));
}

TEST_F(NodesTcp, SecondConnectionTakesTheSerialOverAndTheFirstIsClosedSilently)
{
    Node first("node-23");
    ASSERT_TRUE(first.login());
    Node second("node-23");
    ASSERT_TRUE(second.login());
    EXPECT_TRUE(first.tcp().waitClosed());
    EXPECT_EQ(first.tcp().pending().find("logout"), std::string::npos) << first.tcp().pending();
    EXPECT_TRUE(isOnline(web.node("node-23")));
    ASSERT_TRUE(second.keepAlive());
    ASSERT_TRUE(second.status(QJsonObject{{"alias", "second"}}));
    EXPECT_TRUE(web.waitNode("node-23", [](const QJsonObject& s) { return s.value("alias") == "second"; }));
    EXPECT_TRUE(isOnline(web.node("node-23")));
}

TEST_F(NodesTcp, RefusedLoginFromAnotherConnectionLeavesTheSessionAlone)
{
    Node owner("node-24");
    ASSERT_TRUE(owner.login());
    Node intruder("node-24");
    ASSERT_TRUE(intruder.connect());
    ASSERT_TRUE(intruder.send(intruder.loginFrame("ffffffffffffffffffffffffffffffff")));
    auto reply = intruder.recv();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->value("msg").toString(), "token error!");
    EXPECT_TRUE(intruder.tcp().waitClosed());
    // An unauthenticated peer must not knock the live session offline.
    EXPECT_TRUE(isOnline(web.node("node-24")));
    ASSERT_TRUE(owner.status(QJsonObject{{"alias", "still here"}}));
    EXPECT_TRUE(web.waitNode("node-24", [](const QJsonObject& s) { return s.value("alias") == "still here"; }));
    EXPECT_FALSE(owner.recv(200)) << "the owner's session was disturbed";
}

TEST_F(NodesTcp, StatusReportsShowInNodeInfoAndNodeList)
{
    Node n("node-25", 7);
    ASSERT_TRUE(n.login());
    ASSERT_TRUE(n.send(n.withSession(nodesim::parse(R"({"cmd":"nodeStatus","server":"srv","loginToServer":true,
        "data":{"workMode":"enc","modeList":"enc,,dec","temperature":45,"runtime":12,"version":"2.0",
        "alias":"roof","pipelist":[{"p":1}],"network":{"mainIP":"10.1.2.3"}}})"))));
    ASSERT_TRUE(web.waitNode("node-25", [](const QJsonObject& s) { return s.value("alias") == "roof"; }));
    const QJsonObject st = web.node("node-25");
    EXPECT_EQ(st.value("mainIp").toString(), "10.1.2.3");
    EXPECT_EQ(st.value("network").toObject().value("mainIP").toString(), "10.1.2.3");
    EXPECT_EQ(st.value("modeList").toArray(), (QJsonArray{"enc", "", "dec"}));
    EXPECT_EQ(st.value("temperature").toInt(), 45);
    EXPECT_EQ(st.value("runtime").toInt(), 12);
    EXPECT_EQ(st.value("server").toString(), "srv");
    EXPECT_TRUE(st.value("loginToServer").toBool());
    EXPECT_EQ(st.value("id").toInt(), 7);
    // A report of the wrong types resets every field, and the node stays online.
    ASSERT_TRUE(n.send(n.withSession(nodesim::parse(R"({"cmd":"nodeStatus","server":1,"loginToServer":"x",
        "data":{"workMode":2,"modeList":[1],"temperature":"hot","alias":false,"network":[]}})"))));
    ASSERT_TRUE(web.waitNode("node-25", [](const QJsonObject& s) { return s.value("alias") == "Not Set"; }));
    const QJsonObject reset = web.node("node-25");
    EXPECT_EQ(reset.value("mainIp").toString(), "");
    EXPECT_EQ(reset.value("temperature").toInt(), 0);
    EXPECT_EQ(reset.value("modeList").toArray(), (QJsonArray{""}));
    EXPECT_FALSE(reset.value("loginToServer").toBool());
    EXPECT_TRUE(isOnline(reset));
    const QJsonArray list = web.post({{"cmd", "getNodeList"}}).value("data").toArray();
    ASSERT_EQ(list.size(), 1);
    EXPECT_EQ(list[0].toObject(), reset);
}

TEST_F(NodesTcp, WebCommandIsForwardedOverTcpWithoutTheWebToken)
{
    Node n("node-26");
    ASSERT_TRUE(n.login());
    EXPECT_EQ(web.post({{"cmd", "reboot"}, {"sn", "node-26"}, {"delay", 3}}), QJsonObject());
    auto fwd = n.recv();
    ASSERT_TRUE(fwd);
    EXPECT_EQ(*fwd, (QJsonObject{{"cmd", "reboot"}, {"sn", "node-26"}, {"delay", 3}}));
    // Unknown serial: nothing forwarded, empty reply.
    EXPECT_EQ(web.post({{"cmd", "reboot"}, {"sn", "nobody"}}), QJsonObject());
}

TEST_F(NodesTcp, GetCompPropertyAnswersFromTheCacheAndAsksTheNode)
{
    Node n("node-27");
    ASSERT_TRUE(n.login());
    const QJsonObject query{{"cmd", "getCompProperty"},
                            {"sn", "node-27"},
                            {"data", QJsonObject{{"compName", "enc"}, {"propName", "bitrate"}}}};
    EXPECT_EQ(web.post(query), QJsonObject());
    auto asked = n.recv();
    ASSERT_TRUE(asked);
    EXPECT_EQ(*asked, query);
    const QJsonObject value{{"compName", "enc"}, {"propName", "bitrate"}, {"value", 4000}};
    ASSERT_TRUE(n.send(n.withSession({{"cmd", "compProperty"}, {"data", value}})));
    EXPECT_TRUE(oxt::waitFor([&] { return web.post(query) == value; }, 5000, 50));
}

TEST_F(NodesTcp, EveryBoundNodeGetsADiscoveryFrameEachSecond)
{
    Node n("node-28");
    ASSERT_TRUE(n.login());
    // Three periods from the first frame: a late tick is made up by the
    // next one, so the sum stays near 3 s on a loaded machine as well,
    // while a period of 2 s (or of half a second) falls outside.
    std::chrono::steady_clock::time_point first;
    for (int i = 0; i < 4; ++i) {
        auto d = n.recv(2500, false);
        ASSERT_TRUE(d);
        if (i == 0)
            first = std::chrono::steady_clock::now();
        EXPECT_EQ(*d, (QJsonObject{{"cmd", "discovery"}, {"sn", "node-28"}}));
        ASSERT_TRUE(n.keepAlive());
    }
    EXPECT_GT(nodesim::secondsSince(first), 1.9);
    EXPECT_LT(nodesim::secondsSince(first), 5.0);
}

TEST_F(NodesTcp, PeerVanishingMidFrameTakesTheNodeOfflineAndServiceGoesOn)
{
    {
        Node n("node-29");
        ASSERT_TRUE(n.login());
        ASSERT_TRUE(n.sendRaw("{\"cmd\":\"nodeStatus\",\"sessionToken\":\""));
    }
    EXPECT_TRUE(web.waitNode("node-29", [](const QJsonObject& s) { return !s.isEmpty() && !isOnline(s); }));
    Node again("node-29");
    EXPECT_TRUE(again.login());
    EXPECT_TRUE(isOnline(web.node("node-29")));
}

TEST_F(NodesTcp, FloodWithoutZeroIsClosedAtTheBoundWhileOtherNodesAreServed)
{
    Node good("node-30");
    ASSERT_TRUE(good.login());
    // A frame just under the bound still works.
    const QString bigAlias(1000 * 1000, QChar('a'));
    ASSERT_TRUE(good.status(QJsonObject{{"alias", bigAlias}}));
    ASSERT_TRUE(web.waitNode("node-30", [&](const QJsonObject& s) { return s.value("alias").toString().size() == bigAlias.size(); }, 10000));

    oxt::TcpClient flood;
    ASSERT_TRUE(flood.connect("127.0.0.1", 8000));
    const std::string chunk(64 * 1024, 'x');
    size_t sent = 0;
    while (sent <= 1024 * 1024 + chunk.size() && flood.sendAll(chunk, 2000)) {
        sent += chunk.size();
        ASSERT_TRUE(good.keepAlive());
    }
    EXPECT_TRUE(flood.waitClosed(5000));
    EXPECT_TRUE(oxd.process().waitForOutput("without a frame end, closing"));
    ASSERT_TRUE(good.status(QJsonObject{{"alias", "after"}}));
    EXPECT_TRUE(web.waitNode("node-30", [](const QJsonObject& s) { return s.value("alias") == "after" && isOnline(s); }));
}

// The slow one: keep-alives every 2 s hold the node online well past the
// login deadline and the time-out, while a connection that never logs in is
// closed at the deadline; after the last keep-alive the sweep logs the node
// out between 6 and 7 seconds later.
TEST_F(NodesTcp, KeepAliveHoldsTheNodeAndSilenceLogsItOutAfterSixToSevenSeconds)
{
    Node n("node-31");
    ASSERT_TRUE(n.login());
    oxt::TcpClient idle;
    ASSERT_TRUE(idle.connect("127.0.0.1", 8000));
    const auto idleSince = std::chrono::steady_clock::now();
    bool idleClosed = false;
    double idleClosedAt = 0;
    auto last = std::chrono::steady_clock::now();
    const auto start = last;
    // Runs until the idle one is closed, and at least as long as a silent node would last.
    while (nodesim::secondsSince(start) < 16 && !(idleClosed && nodesim::secondsSince(start) >= 8)) {
        if (nodesim::secondsSince(last) >= 2) {
            ASSERT_TRUE(n.keepAlive());
            last = std::chrono::steady_clock::now();
        }
        auto frame = n.recv(100);
        ASSERT_FALSE(frame) << nodesim::compact(*frame); // no logout while alive
        if (!idleClosed && idle.waitClosed(1)) {
            idleClosed = true;
            idleClosedAt = nodesim::secondsSince(idleSince);
        }
    }
    EXPECT_TRUE(idleClosed);
    EXPECT_GE(idleClosedAt, 9.5);
    EXPECT_LE(idleClosedAt, 14.0); // a late heart tick on a loaded machine
    EXPECT_TRUE(isOnline(web.node("node-31")));

    ASSERT_TRUE(n.keepAlive());
    last = std::chrono::steady_clock::now();
    auto logout = n.recv(12000);
    const double after = nodesim::secondsSince(last);
    ASSERT_TRUE(logout);
    EXPECT_EQ(logout->value("cmd").toString(), "logout");
    EXPECT_GE(after, 5.9);
    EXPECT_LE(after, 9.5);
    EXPECT_TRUE(n.tcp().waitClosed());
    EXPECT_FALSE(isOnline(web.node("node-31")));
}

int openDescriptors(pid_t pid)
{
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
        ++n;
    return n;
}

// The node server runs out of descriptors (its limit is lowered to a few
// above what it holds), pauses accepting, and takes logins again once
// descriptors are free.
TEST_F(NodesTcp, AcceptingResumesAfterDescriptorsRunOut)
{
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer runtime itself needs descriptors (it probes memory
    // through a pipe) and reports false errors once they are gone.
    GTEST_SKIP() << "not meaningful under the sanitizers";
#endif
    const pid_t pid = oxd.process().pid();
    const int inUse = openDescriptors(pid);
    const rlimit low{static_cast<rlim_t>(inUse + 6), static_cast<rlim_t>(inUse + 6)};
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &low, nullptr), 0);
    // More than the free descriptors and fewer than the listen backlog (50):
    // every connect completes in the kernel whether or not it is accepted.
    std::vector<std::unique_ptr<oxt::TcpClient>> crowd;
    for (int i = 0; i < 24; ++i) {
        auto c = std::make_unique<oxt::TcpClient>();
        if (c->connect("127.0.0.1", 8000, 2000))
            crowd.push_back(std::move(c));
    }
    const bool paused = oxd.process().waitForOutput("node port accept error", 10000);
    // One connection for the whole wait, queued behind the crowd: a login
    // retried on fresh connections would leave each failed attempt's
    // connection in the backlog ahead of the next one, which under load can
    // keep it from ever reaching the front.
    Node n("node-40");
    const bool sent = n.connect() && n.send(n.loginFrame());
    crowd.clear();
    const std::optional<QJsonObject> reply = sent ? n.recv(20000) : std::nullopt;
    const rlimit normal{4096, 4096};
    prlimit(pid, RLIMIT_NOFILE, &normal, nullptr);
    ASSERT_TRUE(paused) << "descriptors at start " << inUse << ", now " << openDescriptors(pid)
                        << oxd.process().describe();
    ASSERT_TRUE(sent);
    ASSERT_TRUE(reply) << oxd.process().describe();
    EXPECT_EQ(reply->value("cmd").toString(), "setToken");
}

TEST_F(NodesTcp, NodeListPagesAndFiltersAndTheSummaryCountsTheFleet)
{
    constexpr int kNodes = 30;
    std::vector<std::unique_ptr<Node>> fleet;
    for (int i = 0; i < kNodes; ++i) {
        char sn[16];
        std::snprintf(sn, sizeof sn, "node-%02d", i);
        fleet.push_back(std::make_unique<Node>(sn, i));
        ASSERT_TRUE(fleet.back()->login());
        ASSERT_TRUE(fleet.back()->status({{"alias", QString(i % 2 ? "Encoder %1" : "cam %1").arg(i)},
                                          {"workMode", i % 3 ? "enc" : "dec"},
                                          {"version", i < 20 ? "1.0" : "2.0"},
                                          {"temperature", (i * 7) % 31}}));
    }
    ASSERT_TRUE(web.waitNode("node-29", [](const QJsonObject& s) { return s.value("version") == "2.0"; }));
    for (int i = 0; i < 5; ++i)
        fleet[static_cast<size_t>(i * 6)]->tcp().close();  // node-00, -06, ... go offline
    ASSERT_TRUE(web.waitNode("node-24", [](const QJsonObject& s) { return !isOnline(s); }));
    for (auto& n : fleet)
        n->keepAlive();

    const QJsonObject whole = web.post({{"cmd", "getNodeList"}});
    EXPECT_FALSE(whole.contains("total")) << "the list without page keys answers as it always did";
    const QJsonArray all = whole.value("data").toArray();
    ASSERT_EQ(all.size(), kNodes);

    struct Page {
        QJsonObject keys;
        std::function<bool(const QJsonObject&)> wanted;  // of the whole list, in its order
        int offset, limit;
    };
    const auto any = [](const QJsonObject&) { return true; };
    const std::vector<Page> pages = {
        {{{"offset", 10}, {"limit", 5}}, any, 10, 5},
        {{{"offset", 28}}, any, 28, 1000},
        {{{"online", false}}, [](const QJsonObject& s) { return !isOnline(s); }, 0, 1000},
        {{{"match", "ENCODER 1"}, {"limit", 3}},
         [](const QJsonObject& s) { return s.value("alias").toString().startsWith("Encoder 1"); }, 0, 3},
        {{{"match", "de-2"}}, [](const QJsonObject& s) { return s.value("sn").toString().startsWith("node-2"); }, 0, 1000},
        {{{"workMode", "dec"}, {"online", true}, {"offset", 2}},
         [](const QJsonObject& s) { return s.value("workMode") == "dec" && isOnline(s); }, 2, 1000},
    };
    for (const Page& p : pages) {
        QJsonObject request = p.keys;
        request.insert("cmd", "getNodeList");
        const QJsonObject r = web.post(request);
        QJsonArray expected;
        int total = 0;
        for (const QJsonValue& v : all) {
            if (!p.wanted(v.toObject()))
                continue;
            if (total >= p.offset && total - p.offset < p.limit)
                expected.append(v);
            ++total;
        }
        EXPECT_EQ(r.value("msg").toString(), "success") << nodesim::compact(p.keys);
        EXPECT_EQ(r.value("total").toInt(), total) << nodesim::compact(p.keys);
        EXPECT_EQ(r.value("data").toArray(), expected) << nodesim::compact(p.keys);
    }
    for (const QJsonObject& bad : {QJsonObject{{"limit", 0}}, QJsonObject{{"limit", 1001}}, QJsonObject{{"offset", -1}},
                                   QJsonObject{{"offset", "1"}}, QJsonObject{{"limit", 2.5}},
                                   QJsonObject{{"online", "yes"}}, QJsonObject{{"match", 5}},
                                   QJsonObject{{"workMode", QString(300, 'x')}}}) {
        QJsonObject request = bad;
        request.insert("cmd", "getNodeList");
        const QJsonObject r = web.post(request);
        EXPECT_EQ(r.value("results").toString(), "failed") << nodesim::compact(bad);
        EXPECT_FALSE(r.value("msg").toString().isEmpty()) << nodesim::compact(bad);
        EXPECT_FALSE(r.contains("data")) << nodesim::compact(bad);
    }

    const QJsonObject summary = web.post({{"cmd", "getNodeSummary"}});
    EXPECT_EQ(summary.value("cmd").toString(), "nodeSummary");
    EXPECT_EQ(summary.value("msg").toString(), "success");
    const QJsonObject data = summary.value("data").toObject();
    EXPECT_EQ(data.value("online").toInt(), 25);
    EXPECT_EQ(data.value("offline").toInt(), 5);
    EXPECT_EQ(data.value("byWorkMode").toObject(), (QJsonObject{{"dec", 10}, {"enc", 20}}));
    EXPECT_EQ(data.value("byVersion").toObject(), (QJsonObject{{"1.0", 20}, {"2.0", 10}}));
    QJsonArray hottest;
    std::vector<QJsonObject> byHeat;
    for (const QJsonValue& v : all)
        byHeat.push_back(v.toObject());
    std::stable_sort(byHeat.begin(), byHeat.end(), [](const QJsonObject& a, const QJsonObject& b) {
        return a.value("temperature").toInt() > b.value("temperature").toInt();
    });
    for (size_t i = 0; i < 10; ++i)
        hottest.append(byHeat[i]);
    EXPECT_EQ(data.value("hottest").toArray(), hottest);
}

} // namespace
