// Node records without sockets: status reports and the status object, the
// component property cache, the node factory's bounds, the classification of
// frames on a logged-in connection, and the dispatcher's multicast road
// (oxServices::udpRev fed with datagram bytes directly).
#include "node/nodeListQuery.h"
#include "node/oxNode.h"
#include "node/oxNodeState.h"
#include "service/oxServices.h"
#include "oxStream.h"
#include "oxtest.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

QJsonObject obj(const char* json)
{
    return QJsonDocument::fromJson(QByteArray(json)).object();
}

QJsonArray strings(std::initializer_list<const char*> l)
{
    QJsonArray a;
    for (const char* s : l)
        a.append(QString::fromUtf8(s));
    return a;
}

struct StatusCase {
    const char* name;
    const char* report;
    QJsonObject expected; // keys of the status object that this case pins
};

class StatusReport : public ::testing::TestWithParam<StatusCase> {};

TEST_P(StatusReport, SetsEveryFieldOrItsDefault)
{
    oxNodeState st;
    st.sn = "node1";
    // Earlier values must never survive a report that leaves a key out.
    ASSERT_TRUE(st.applyStatus(obj(R"({"cmd":"nodeStatus","server":"old","loginToServer":true,
        "data":{"workMode":"w","modeList":"a,b","temperature":9,"runtime":9,"version":"v","alias":"al",
                "pipelist":[1],"network":{"mainIP":"9.9.9.9"}}})")));
    ASSERT_TRUE(st.applyStatus(obj(GetParam().report)));
    const QJsonObject s = st.statusObject(true);
    for (auto it = GetParam().expected.begin(); it != GetParam().expected.end(); ++it)
        EXPECT_EQ(s.value(it.key()), it.value()) << qPrintable(it.key());
}

const QJsonObject kAllDefaults{
    {"server", ""},   {"loginToServer", false}, {"workMode", ""},     {"modeList", strings({""})},
    {"temperature", 0}, {"runtime", 0},         {"version", ""},      {"alias", "Not Set"},
    {"pipelist", QJsonArray()}, {"network", QJsonObject()}, {"mainIp", ""}};

INSTANTIATE_TEST_SUITE_P(
    Table, StatusReport,
    ::testing::Values(
        StatusCase{"FullReport",
                   R"({"cmd":"nodeStatus","server":"srv","loginToServer":true,"data":{"workMode":"enc",
                      "modeList":"enc,dec","temperature":41,"runtime":3600,"version":"1.2","alias":"cam",
                      "pipelist":[{"p":1}],"network":{"mainIP":"10.0.0.5","mask":"x"}}})",
                   QJsonObject{{"server", "srv"}, {"loginToServer", true}, {"workMode", "enc"},
                               {"modeList", strings({"enc", "dec"})}, {"temperature", 41}, {"runtime", 3600},
                               {"version", "1.2"}, {"alias", "cam"}, {"pipelist", QJsonArray{QJsonObject{{"p", 1}}}},
                               {"network", QJsonObject{{"mainIP", "10.0.0.5"}, {"mask", "x"}}},
                               {"mainIp", "10.0.0.5"}}},
        StatusCase{"EveryKeyMissing", R"({"cmd":"nodeStatus"})", kAllDefaults},
        StatusCase{"DataNotAnObject", R"({"cmd":"nodeStatus","data":[1,2]})", kAllDefaults},
        StatusCase{"EveryKeyOfTheWrongType",
                   R"({"cmd":"nodeStatus","server":5,"loginToServer":"yes","data":{"workMode":1,"modeList":["a"],
                      "temperature":"41","runtime":true,"version":{},"alias":7,"pipelist":{"a":1},
                      "network":"10.0.0.1"}})",
                   kAllDefaults},
        StatusCase{"NumbersOutOfIntRangeOrFractionalReadAsZero",
                   R"({"cmd":"nodeStatus","data":{"temperature":1e300,"runtime":2.5}})",
                   QJsonObject{{"temperature", 0}, {"runtime", 0}}},
        StatusCase{"NegativeNumbersAreKept", R"({"cmd":"nodeStatus","data":{"temperature":-12}})",
                   QJsonObject{{"temperature", -12}}},
        StatusCase{"MainIpNotAStringIsEmptyButNetworkIsKept",
                   R"({"cmd":"nodeStatus","data":{"network":{"mainIP":3}}})",
                   QJsonObject{{"mainIp", ""}, {"network", QJsonObject{{"mainIP", 3}}}}},
        StatusCase{"ModeListDoubleCommaKeepsEmptyPart", R"({"cmd":"nodeStatus","data":{"modeList":"a,,b"}})",
                   QJsonObject{{"modeList", strings({"a", "", "b"})}}},
        StatusCase{"ModeListWithoutCommaIsOneString", R"({"cmd":"nodeStatus","data":{"modeList":"single"}})",
                   QJsonObject{{"modeList", strings({"single"})}}},
        StatusCase{"ModeListEmptyIsOneEmptyString", R"({"cmd":"nodeStatus","data":{"modeList":""}})",
                   QJsonObject{{"modeList", strings({""})}}},
        StatusCase{"ModeListTrailingComma", R"({"cmd":"nodeStatus","data":{"modeList":"a,"}})",
                   QJsonObject{{"modeList", strings({"a", ""})}}},
        StatusCase{"EmptyAliasIsKept", R"({"cmd":"nodeStatus","data":{"alias":""}})", QJsonObject{{"alias", ""}}},
        StatusCase{"IdAndSnInReportAreIgnored", R"({"cmd":"nodeStatus","id":77,"sn":"other"})",
                   QJsonObject{{"id", 0}, {"sn", "node1"}}}),
    [](const ::testing::TestParamInfo<StatusCase>& i) { return std::string(i.param.name); });

// The last report is kept in a compact form: rendered back, it is the
// object read straight from the report, down to the bytes of its JSON.
TEST(StatusObject, RenderedAsReadStraightFromTheReport)
{
    const char* reports[] = {
        R"({"cmd":"nodeStatus","server":"srv","loginToServer":true,"data":{"workMode":"enc","modeList":"enc,,dec",
            "temperature":41,"runtime":3600,"version":"1.2","alias":"cam","pipelist":[{"id":0,"state":"run"},2.5,
            null,[1e300,-1]],"network":{"mainIP":"10.0.0.5","mask":"255.0.0.0","v6":{"a":[true]}}}})",
        R"({"cmd":"nodeStatus","server":"\u00e9\u4e2d\ud83d\ude00","data":{"version":"x\u0000y","workMode":"\ud800",
            "modeList":"\udc00,a","network":{"mainIP":"\u0000"},"pipelist":["\ud800"]}})",
        R"({"cmd":"nodeStatus","data":{"modeList":"","pipelist":[],"network":{}}})",
    };
    for (const char* report : reports) {
        const QJsonObject r = obj(report);
        ASSERT_FALSE(r.isEmpty()) << report;
        const QJsonObject d = r.value("data").toObject();
        const QJsonObject network = d.value("network").toObject();
        const QJsonObject expected{
            {"id", 3}, {"sn", "node3"}, {"alias", d.value("alias").toString("Not Set")},
            {"version", d.value("version").toString()}, {"server", r.value("server").toString()},
            {"mainIp", network.value("mainIP").toString()}, {"workMode", d.value("workMode").toString()},
            {"modeList", QJsonArray::fromStringList(d.value("modeList").toString().split(','))},
            {"temperature", d.value("temperature").toInt()}, {"runtime", d.value("runtime").toInt()},
            {"loginToServer", r.value("loginToServer").toBool()}, {"online", true},
            {"pipelist", d.value("pipelist").toArray()}, {"network", network}};
        oxNodeState st;
        st.id = 3;
        st.sn = "node3";
        ASSERT_TRUE(st.applyStatus(r));
        const QJsonObject s = st.statusObject(true);
        EXPECT_EQ(s, expected) << report;
        EXPECT_EQ(QJsonDocument(s).toJson(QJsonDocument::Compact), QJsonDocument(expected).toJson(QJsonDocument::Compact))
            << report;
    }
}

TEST(StatusObject, FreshNodeHasExactlyTheDocumentedKeysAndDefaults)
{
    oxNodeState st;
    st.id = 4;
    st.sn = "abcde";
    const QJsonObject s = st.statusObject(false);
    EXPECT_EQ(s, (QJsonObject{{"id", 4}, {"sn", "abcde"}, {"alias", ""}, {"version", ""}, {"server", ""},
                              {"mainIp", ""}, {"workMode", ""}, {"modeList", QJsonArray()}, {"temperature", 0},
                              {"runtime", 0}, {"loginToServer", false}, {"online", false},
                              {"pipelist", QJsonArray()}, {"network", QJsonObject()}}));
}

TEST(StatusObject, OtherCommandsAreNotStatusReports)
{
    oxNodeState st;
    EXPECT_FALSE(st.applyStatus(obj(R"({"cmd":"NodeStatus","data":{"alias":"x"}})")));
    EXPECT_FALSE(st.applyStatus(obj(R"({"data":{"alias":"x"}})")));
    EXPECT_EQ(st.alias, "");
}

QJsonObject prop(const char* comp, const char* name, int value)
{
    return QJsonObject{{"compName", comp}, {"propName", name}, {"value", value}};
}

TEST(PropertyCache, NewerReportReplacesAndMovesToTheEnd)
{
    oxNodeState st;
    st.compPropertyInfo(prop("enc", "bitrate", 1));
    st.compPropertyInfo(prop("enc", "bitrate", 2));
    st.compPropertyInfo(prop("enc", "gop", 3));
    ASSERT_EQ(st.compList.size(), 1);
    ASSERT_EQ(st.compList[0].propList.size(), 2);
    EXPECT_EQ(st.compList[0].propList[0], prop("enc", "bitrate", 2));
    EXPECT_EQ(st.compList[0].propList[1], prop("enc", "gop", 3));
    st.compPropertyInfo(prop("enc", "bitrate", 4));
    EXPECT_EQ(st.compList[0].propList[0], prop("enc", "gop", 3));
    EXPECT_EQ(st.compList[0].propList[1], prop("enc", "bitrate", 4));
}

TEST(PropertyCache, LookupByComponentAndProperty)
{
    oxNodeState st;
    EXPECT_EQ(st.getCompProperties("enc", "bitrate"), QJsonObject());
    st.compPropertyInfo(prop("enc", "bitrate", 1));
    st.compPropertyInfo(prop("dec", "bitrate", 2));
    EXPECT_EQ(st.getCompProperties("enc", "bitrate"), prop("enc", "bitrate", 1));
    EXPECT_EQ(st.getCompProperties("dec", "bitrate"), prop("dec", "bitrate", 2));
    EXPECT_EQ(st.getCompProperties("dec", "gop"), QJsonObject());
    EXPECT_EQ(st.getCompProperties("Enc", "bitrate"), QJsonObject());
    EXPECT_EQ(st.compList.size(), 2);
}

TEST(PropertyCache, NonStringNamesShareTheEmptyKeyAndNeverPileUp)
{
    oxNodeState st;
    st.compPropertyInfo(QJsonObject{{"compName", "enc"}, {"propName", 5}, {"value", 1}});
    st.compPropertyInfo(QJsonObject{{"compName", "enc"}, {"propName", 6}, {"value", 2}});
    ASSERT_EQ(st.compList.size(), 1);
    EXPECT_EQ(st.compList[0].propList.size(), 1);
    EXPECT_EQ(st.getCompProperties("enc", "").value("value").toInt(), 2);
    st.compPropertyInfo(QJsonObject{});
    EXPECT_EQ(st.compList.size(), 2);
    EXPECT_EQ(st.compList[1].compName, "");
}

TEST(PropertyCache, BoundsRefuseNewNamesButStillReplaceKnownOnes)
{
    oxNodeState st;
    for (int i = 0; i < kMaxCachedComponents; ++i)
        ASSERT_TRUE(st.compPropertyInfo(prop(qPrintable(QString("c%1").arg(i)), "p", i)));
    EXPECT_FALSE(st.compPropertyInfo(prop("one-too-many", "p", 0)));
    EXPECT_EQ(st.compList.size(), kMaxCachedComponents);
    for (int i = 1; i < kMaxCachedProperties; ++i)
        ASSERT_TRUE(st.compPropertyInfo(prop("c0", qPrintable(QString("p%1").arg(i)), i)));
    EXPECT_FALSE(st.compPropertyInfo(prop("c0", "extra", 0)));
    EXPECT_TRUE(st.compPropertyInfo(prop("c0", "p", 99)));
    EXPECT_EQ(st.compList[0].propList.size(), kMaxCachedProperties);
    EXPECT_EQ(st.getCompProperties("c0", "p").value("value").toInt(), 99);
}

QJsonObject padded(const char* comp, const char* name, int valueBytes)
{
    return QJsonObject{{"compName", comp}, {"propName", name}, {"value", QString(valueBytes, QChar('v'))}};
}

TEST(PropertyCache, NodeByteBoundRefusesGrowthButTakesAReplacementThatFits)
{
    oxNodeState st;
    const int half = static_cast<int>(kMaxPropertyBytesPerNode / 2);
    ASSERT_TRUE(st.compPropertyInfo(padded("enc", "a", half)));
    EXPECT_FALSE(st.compPropertyInfo(padded("enc", "b", half)));
    EXPECT_EQ(st.getCompProperties("enc", "b"), QJsonObject());
    EXPECT_TRUE(st.compPropertyInfo(padded("enc", "a", half - 10)));
    EXPECT_TRUE(st.compPropertyInfo(padded("dec", "b", 1000)));
    EXPECT_EQ(st.getCompProperties("enc", "a"), padded("enc", "a", half - 10));
    EXPECT_LE(st.propertyBytes(), kMaxPropertyBytesPerNode);
}

TEST(PropertyCache, NodesShareOneByteBudgetAndGiveTheirShareBack)
{
    auto budget = std::make_shared<oxPropertyBudget>();
    budget->limit = 3000;
    auto first = std::make_unique<oxNodeState>();
    first->propertyBudget = budget;
    oxNodeState second;
    second.propertyBudget = budget;
    ASSERT_TRUE(first->compPropertyInfo(padded("enc", "x", 2000)));
    EXPECT_FALSE(second.compPropertyInfo(padded("enc", "x", 2000)));
    first.reset();
    EXPECT_EQ(budget->used, 0);
    EXPECT_TRUE(second.compPropertyInfo(padded("enc", "x", 2000)));
    EXPECT_EQ(budget->used, second.propertyBytes());
}

struct BoundCase {
    const char* name;
    const char* frame;
    const char* token;
    BoundMessage expected;
};

class BoundClassification : public ::testing::TestWithParam<BoundCase> {};

TEST_P(BoundClassification, RoutesByCommandAfterTheSessionToken)
{
    EXPECT_EQ(classifyBoundMessage(obj(GetParam().frame), QByteArray(GetParam().token)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BoundClassification,
    ::testing::Values(
        BoundCase{"LoginNeedsNoSessionToken", R"({"cmd":"nodeLogin"})", "t1", BoundMessage::Login},
        BoundCase{"KeepAlive", R"({"cmd":"keepAlive","sessionToken":"t1"})", "t1", BoundMessage::KeepAlive},
        BoundCase{"Status", R"({"cmd":"nodeStatus","sessionToken":"t1"})", "t1", BoundMessage::Status},
        BoundCase{"OtherIsACommand", R"({"cmd":"whatever","sessionToken":"t1"})", "t1", BoundMessage::Command},
        BoundCase{"NoCmdIsACommand", R"({"sessionToken":"t1"})", "t1", BoundMessage::Command},
        BoundCase{"WrongToken", R"({"cmd":"keepAlive","sessionToken":"t2"})", "t1", BoundMessage::BadSession},
        BoundCase{"TokenPrefix", R"({"cmd":"keepAlive","sessionToken":"t"})", "t1", BoundMessage::BadSession},
        BoundCase{"WideCharNeverMatchesItsLowByte", R"({"cmd":"keepAlive","sessionToken":"t\u0131"})", "t1",
                  BoundMessage::BadSession},
        BoundCase{"TokenNotAString", R"({"cmd":"keepAlive","sessionToken":1})", "1", BoundMessage::BadSession},
        BoundCase{"MissingTokenNeverMatchesAnEmptyOne", R"({"cmd":"keepAlive"})", "", BoundMessage::BadSession}),
    [](const ::testing::TestParamInfo<BoundCase>& i) { return std::string(i.param.name); });

// Everything below needs the service object: it owns the nodes.
class NodeService : public ::testing::Test
{
protected:
    void SetUp() override
    {
        previous = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(dir.path())));
        services = std::make_unique<oxServices>();
    }
    void TearDown() override
    {
        services.reset();
        QDir::setCurrent(previous);
    }
    void datagram(const std::string& bytes)
    {
        oxServices::udpRev(const_cast<char*>(bytes.data()), static_cast<int>(bytes.size()), services.get());
    }
    QJsonObject statusOf(const char* sn) { return services->getNodeInfo(sn); }

    oxt::TempDir dir;
    QString previous;
    std::unique_ptr<oxServices> services;
};

struct FactoryCase {
    const char* name;
    int id;
    QString sn;
    bool accepted;
};

class NodeFactory : public NodeService, public ::testing::WithParamInterface<FactoryCase> {};

TEST_P(NodeFactory, AcceptsFiveToSixteenCharactersAndNonNegativeIds)
{
    std::unique_ptr<oxNode> n(oxNode::createNew(GetParam().id, GetParam().sn, services.get()));
    EXPECT_EQ(n != nullptr, GetParam().accepted);
    if (n) {
        EXPECT_EQ(n->id, GetParam().id);
        EXPECT_EQ(n->sn, GetParam().sn);
        EXPECT_EQ(n->services, services.get());
        EXPECT_FALSE(n->online);
        EXPECT_EQ(n->heardAtMs, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, NodeFactory,
    ::testing::Values(FactoryCase{"FourCharsRefused", 1, "abcd", false},
                      FactoryCase{"FiveCharsAccepted", 1, "abcde", true},
                      FactoryCase{"SixteenCharsAccepted", 1, "abcdefghijklmnop", true},
                      FactoryCase{"SeventeenCharsRefused", 1, "abcdefghijklmnopq", false},
                      FactoryCase{"EmptyRefused", 1, "", false},
                      FactoryCase{"NegativeIdRefused", -1, "abcde", false},
                      FactoryCase{"ZeroIdAccepted", 0, "abcde", true},
                      // Length counts UTF-16 code units: two emoji are four.
                      FactoryCase{"FourCodeUnitsRefused", 1, QString::fromUtf8("\xF0\x9F\x98\x80\xF0\x9F\x98\x80"), false}),
    [](const ::testing::TestParamInfo<FactoryCase>& i) { return std::string(i.param.name); });

TEST_F(NodeService, MulticastStatusCreatesNodeOnceAndKeepsItsId)
{
    datagram(R"({"cmd":"nodeStatus","id":3,"sn":"dev-01","data":{"alias":"a"}})");
    ASSERT_EQ(services->nodes.size(), 1);
    EXPECT_EQ(statusOf("dev-01").value("id").toInt(), 3);
    EXPECT_TRUE(statusOf("dev-01").value("online").toBool());
    datagram(R"({"cmd":"nodeStatus","id":8,"sn":"dev-01","data":{"alias":"b"}})");
    ASSERT_EQ(services->nodes.size(), 1);
    EXPECT_EQ(statusOf("dev-01").value("id").toInt(), 3);
    EXPECT_EQ(statusOf("dev-01").value("alias").toString(), "b");
}

TEST_F(NodeService, MalformedDatagramsAreIgnoredAndTheNextIsHandled)
{
    for (const std::string& bad : {std::string("not json"), std::string(), std::string("{\"cmd\":"),
                                  std::string("[{\"cmd\":\"nodeStatus\",\"sn\":\"dev-02\"}]"),
                                  std::string("{\"cmd\":\"nodeStatus\",\"sn\":\"dev\0-02\"}", 30),
                                  std::string("\x1b[31m\xff\xfe")})
        datagram(bad);
    EXPECT_TRUE(services->nodes.isEmpty());
    datagram(R"({"cmd":"nodeStatus","id":1,"sn":"dev-02"})");
    EXPECT_EQ(services->nodes.size(), 1);
    oxServices::udpRev(nullptr, 5, services.get());
    oxServices::udpRev(const_cast<char*>("{}"), 2, nullptr);
}

TEST_F(NodeService, RefusedSerialsAndIdsCreateNothing)
{
    datagram(R"({"cmd":"nodeStatus","id":1,"sn":"abcd"})");
    datagram(R"({"cmd":"nodeStatus","id":1,"sn":"abcdefghijklmnopq"})");
    datagram(R"({"cmd":"nodeStatus","id":-1,"sn":"abcde"})");
    datagram(R"({"cmd":"nodeStatus","id":1,"sn":12345})");
    EXPECT_TRUE(services->nodes.isEmpty());
    EXPECT_EQ(services->parserJson(obj(R"({"cmd":"getNodeInfo","sn":"abcde"})")),
              (QJsonObject{{"cmd", "nodeInfo"}, {"msg", "not find devices"}, {"data", QJsonObject()}}));
}

struct RefusedCase {
    const char* name;
    const char* datagram;
};

class MulticastRefusal : public NodeService, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(MulticastRefusal, AdministrativeCommandsChangeNothing)
{
    const QJsonObject cfgBefore = services->oxServiceCfg();
    const QString passBefore = services->password;
    const int streamsBefore = services->streams.size();
    const QString nameBefore = services->streams.isEmpty() ? QString() : services->streams[0]->streamName;
    datagram(GetParam().datagram);
    QCoreApplication::processEvents(); // a queued stream command would run here
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(services->oxServiceCfg(), cfgBefore);
    EXPECT_EQ(services->password, passBefore);
    EXPECT_EQ(services->streams.size(), streamsBefore);
    if (!services->streams.isEmpty()) {
        EXPECT_EQ(services->streams[0]->streamName, nameBefore);
    }
    EXPECT_FALSE(services->needSave);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MulticastRefusal,
    ::testing::Values(
        RefusedCase{"SetSystemSet",
                    R"({"cmd":"setSystemSet","data":{"serverIP":"1.2.3.4","webPort":9000,"localDevCfg":false}})"},
        RefusedCase{"SetWebPassword",
                    R"({"cmd":"setWebPassword","old":"e9b1c2a9a4b4b7c0e4ea3f7f7c5b0a0b","new":"x"})"},
        RefusedCase{"NewStreamServer", R"({"cmd":"newStreamServer","data":{"newName":"evil"}})"},
        RefusedCase{"DeleteStreamServer", R"({"cmd":"deleteStreamServer","data":{"streamID":0}})"},
        RefusedCase{"RenameStreamServer", R"({"cmd":"renameStreamServer","data":{"id":0,"newName":"evil"}})"}),
    [](const ::testing::TestParamInfo<RefusedCase>& i) { return std::string(i.param.name); });

TEST_F(NodeService, WrongOldPasswordRefusedEvenWithTheRealDigestByMulticast)
{
    // With the right old digest too: the multicast road is unauthenticated.
    const std::string d = std::string(R"({"cmd":"setWebPassword","old":")") + services->passMd5.toStdString() +
                          R"(","new":"pwned"})";
    datagram(d);
    EXPECT_EQ(services->password, "73519046");
}

TEST_F(NodeService, GetCompPropertyAnswersFromTheCacheFilledByCompProperty)
{
    datagram(R"({"cmd":"nodeStatus","id":1,"sn":"dev-03"})");
    const QJsonObject query = obj(R"({"cmd":"getCompProperty","sn":"dev-03","data":{"compName":"enc","propName":"br"}})");
    EXPECT_EQ(services->parserJson(query), QJsonObject());
    datagram(R"({"cmd":"compProperty","sn":"dev-03","data":{"compName":"enc","propName":"br","value":5}})");
    EXPECT_EQ(services->parserJson(query), obj(R"({"compName":"enc","propName":"br","value":5})"));
    // Unknown serial or none: nothing.
    EXPECT_EQ(services->parserJson(obj(R"({"cmd":"getCompProperty","sn":"nope1"})")), QJsonObject());
    EXPECT_EQ(services->parserJson(obj(R"({"cmd":"getCompProperty"})")), QJsonObject());
}

TEST_F(NodeService, LivenessSweepLogsOutAfterMoreThanFiveWholeSeconds)
{
    datagram(R"({"cmd":"nodeStatus","id":1,"sn":"dev-04","loginToServer":true})");
    datagram(R"({"cmd":"nodeStatus","id":2,"sn":"dev-05","loginToServer":true})");
    oxNode* fresh = services->findNode("dev-04");
    oxNode* stale = services->findNode("dev-05");
    ASSERT_TRUE(fresh && stale);
    oxNode* never = oxNode::createNew(3, "dev-06", services.get());
    services->addNode(never);
    never->online = true; // only liveness matters here
    services->liveness.heard(stale, oxNode::monotonicMs() - 6000);
    services->liveness.heard(fresh, oxNode::monotonicMs() - 5000);
    services->upNodeOnlineStatus();
    EXPECT_TRUE(fresh->online);
    EXPECT_TRUE(fresh->loginToServer);
    EXPECT_FALSE(stale->online);
    EXPECT_FALSE(stale->loginToServer);
    EXPECT_TRUE(never->online);
}

TEST_F(NodeService, DatagramNodesAreCappedByDroppingTheLongestSilent)
{
    // Silent the longest of all, but logged in over TCP once: it stays.
    oxNode* tcp = oxNode::createNew(1, "tcp-node", services.get());
    tcp->sessionToken = "t";
    services->addNode(tcp);
    auto status = [](const QString& sn) {
        return QString(R"({"cmd":"nodeStatus","id":1,"sn":"%1"})").arg(sn).toStdString();
    };
    for (int i = 0; i < kMaxDatagramNodes; ++i)
        datagram(status(QString("dev-%1").arg(i, 5, 10, QChar('0'))));
    ASSERT_EQ(services->nodes.size(), kMaxDatagramNodes + 1);
    services->findNode("dev-00007")->heardAtMs = 1;
    datagram(status("dev-new01"));
    EXPECT_EQ(services->nodes.size(), kMaxDatagramNodes + 1);
    EXPECT_EQ(services->findNode("dev-00007"), nullptr);
    EXPECT_NE(services->findNode("tcp-node"), nullptr);
    EXPECT_NE(services->findNode("dev-new01"), nullptr);
    // A report for a known node creates nothing and drops nothing.
    datagram(status("dev-00008"));
    EXPECT_EQ(services->nodes.size(), kMaxDatagramNodes + 1);
}

TEST_F(NodeService, NodeListIsInCreationOrder)
{
    datagram(R"({"cmd":"nodeStatus","id":1,"sn":"dev-b1"})");
    datagram(R"({"cmd":"nodeStatus","id":2,"sn":"dev-a2"})");
    const QJsonObject reply = services->parserJson(obj(R"({"cmd":"getNodeList"})"));
    EXPECT_EQ(reply.value("cmd").toString(), "nodeList");
    EXPECT_EQ(reply.value("msg").toString(), "success");
    const QJsonArray list = reply.value("data").toArray();
    ASSERT_EQ(list.size(), 2);
    EXPECT_EQ(list[0].toObject().value("sn").toString(), "dev-b1");
    EXPECT_EQ(list[1].toObject().value("sn").toString(), "dev-a2");
}

} // namespace

// The packaged unit leaves descriptors for the whole fleet beside the streams.
TEST(FleetBounds, UnitDescriptorLimitCoversTheFleetAndTheStreams)
{
    QFile unit(QStringLiteral(OXNODE_SOURCE_DIR "/packaging/oxnode.service"));
    ASSERT_TRUE(unit.open(QIODevice::ReadOnly));
    long limit = 0;
    for (const QByteArray& line : unit.readAll().split('\n'))
        if (line.startsWith("LimitNOFILE="))
            limit = line.mid(12).toLong();
    EXPECT_GE(limit, kServiceDescriptors);
    EXPECT_GE(kMaxNodeConnections, kFleetNodes + kMaxPendingLogins);
}

// The whole list written node by node is byte for byte the reply object serialised.
TEST(NodeListText, SameBytesAsTheReplyObject)
{
    oxServices services;
    for (int i = 0; i < 3; ++i) {
        oxNode* n = oxNode::createNew(i, QStringLiteral("node-%1").arg(i), &services);
        ASSERT_NE(n, nullptr);
        n->applyStatus(QJsonObject{{"cmd", "nodeStatus"},
                                   {"data", QJsonObject{{"alias", QString::fromUtf8("\"ä\\\n\u00e9")},
                                                        {"temperature", 40 + i},
                                                        {"pipelist", QJsonArray{1, "x"}}}}});
        services.addNode(n);
    }
    const QJsonObject reply{{"cmd", "nodeList"}, {"msg", "success"}, {"data", services.getNodelist()}};
    EXPECT_EQ(nodeListText(services.nodes), QJsonDocument(reply).toJson(QJsonDocument::Compact));
    EXPECT_EQ(nodeListText({}), QByteArray(R"({"cmd":"nodeList","data":[],"msg":"success"})"));
}
