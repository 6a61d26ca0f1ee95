// Stream names have a bound (256 characters) at every command that sets one
// and at load; /metrics of 100 streams with names that long, read four times
// at once by readers that take their time, costs little memory.
#include "node_sim.h"
#include "oxtest.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr long kMiB = 1024; // in the KiB of /proc

// "é" is one character of two UTF-8 bytes: the bound counts characters.
QString nameOf(int chars, QChar c = QChar(0xE9))
{
    return QString(chars, c);
}

std::string streamFile(int streams, const QString& name)
{
    QJsonArray list;
    for (int i = 0; i < streams; ++i)
        list.append(QJsonObject{{"id", i}, {"name", name}});
    return QJsonDocument(list).toJson().toStdString();
}

QJsonObject streamById(nodesim::Web& web, int id)
{
    for (const QJsonValue s : web.post({{"cmd", "getStreamList"}}).value("data").toArray()) {
        if (s.toObject().value("id").toInt() == id)
            return s.toObject();
    }
    return {};
}

TEST(StreamNames, LongerThan256CharactersAreRefusedByCommandsAndCutAtLoad)
{
    oxt::OxNode node;
    ASSERT_TRUE(node.dir().writeFile("appcfg.json", "{\"localDevCfg\": false}"));
    ASSERT_TRUE(node.dir().writeFile("stream.json", streamFile(1, nameOf(300))));
    ASSERT_TRUE(node.start());
    nodesim::Web web;
    ASSERT_TRUE(web.login());
    EXPECT_TRUE(node.process().waitForOutput("stream 0: its name in stream.json has 300 characters, cut to 256"));
    EXPECT_EQ(streamById(web, 0).value("name").toString(), nameOf(256));

    const QString why = "stream name too long: 257 characters (at most 256)";
    const QJsonObject created = web.post({{"cmd", "newStreamServer"}, {"data", QJsonObject{{"newName", nameOf(257)}}}});
    EXPECT_EQ(created, (QJsonObject{{"cmd", "newStreamServer"}, {"results", "failed"}, {"msg", why}}));
    const QJsonObject renamed =
        web.post({{"cmd", "renameStreamServer"}, {"data", QJsonObject{{"id", 0}, {"newName", nameOf(257, 'n')}}}});
    EXPECT_EQ(renamed, (QJsonObject{{"cmd", "renameStreamServer"}, {"results", "failed"}, {"msg", why}}));

    // At the bound both work as before, with their empty replies.
    EXPECT_EQ(web.post({{"cmd", "renameStreamServer"}, {"data", QJsonObject{{"id", 0}, {"newName", nameOf(256, 'r')}}}}),
              QJsonObject());
    EXPECT_EQ(web.post({{"cmd", "newStreamServer"}, {"data", QJsonObject{{"newName", nameOf(256, 'c')}}}}),
              QJsonObject());
    EXPECT_TRUE(oxt::waitFor([&] { return streamById(web, 1).value("name").toString() == nameOf(256, 'c'); }, 5000));
    EXPECT_EQ(streamById(web, 0).value("name").toString(), nameOf(256, 'r'));
    EXPECT_EQ(web.post({{"cmd", "getStreamList"}}).value("data").toArray().size(), 2);
    node.expectCleanExit();
}

long peakKb(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// Reads one reply: its status, and its whole body when it is a 200.
int readReply(oxt::TcpClient& c)
{
    const std::string head = c.recvUntil("\r\n\r\n", 15000);
    if (head.rfind("HTTP/1.1 ", 0) != 0)
        return -1;
    const int status = std::atoi(head.c_str() + 9);
    const size_t at = head.find("Content-Length: ");
    if (at == std::string::npos)
        return -2;
    const size_t length = std::stoul(head.substr(at + 16));
    const std::string body = c.recvExactly(length, 15000);
    return body.size() == length ? status : -3;
}

TEST(MetricsMemory, FourSlowReadingsAtOnceOf100StreamsCostUnder16MiB)
{
    oxt::OxNode node({{"QT_LOGGING_RULES", "oxnode.*.debug=false"}});
    ASSERT_TRUE(node.dir().writeFile("appcfg.json", "{\"localDevCfg\": false}"));
    // The longest names allowed, with characters the label escape doubles.
    ASSERT_TRUE(node.dir().writeFile("stream.json", streamFile(100, QString(128, '"') + QString(128, '\\'))));
    node.options().startTimeoutMs = 30000;
    ASSERT_TRUE(node.start());
    const pid_t pid = node.process().pid();
    ASSERT_EQ(oxt::httpRequest(8001, "GET", "/metrics", {}, {}, 15000).status, 200); // the first one warms up

    const long before = oxt::rssKb(pid);
    std::ofstream(std::string("/proc/") + std::to_string(pid) + "/clear_refs") << "5"; // peak := now
    std::vector<std::unique_ptr<oxt::TcpClient>> readers;
    for (int i = 0; i < 4; ++i) {
        readers.push_back(std::make_unique<oxt::TcpClient>());
        readers.back()->setRecvBuffer(4096); // reads slowly: the reply waits in the service
        ASSERT_TRUE(readers.back()->connect("127.0.0.1", 8001));
    }
    for (auto& r : readers)
        ASSERT_TRUE(r->sendAll("GET /metrics HTTP/1.1\r\nHost: oxnode\r\n\r\n"));
    int served = 0, busy = 0;
    for (auto& r : readers) {
        const int status = readReply(*r);
        EXPECT_TRUE(status == 200 || status == 503) << status;
        served += status == 200;
        busy += status == 503;
    }
    EXPECT_GE(served, 1);
    EXPECT_LE(served, 4);
    const long peak = peakKb(pid);
    readers.clear();
    if (oxt::kMeasureRss) {
        EXPECT_LT(peak - before, 16 * kMiB) << "RSS " << before << " -> peak " << peak << " KiB, " << served
                                            << " served, " << busy << " busy";
        EXPECT_TRUE(oxt::waitFor([&] { return oxt::rssKb(pid) - before < 16 * kMiB; }, 5000, 50))
            << "RSS " << before << " -> " << oxt::rssKb(pid) << " KiB after the readings";
    }
    // Answered again once the readings are done.
    EXPECT_EQ(oxt::httpRequest(8001, "GET", "/metrics", {}, {}, 15000).status, 200);
    std::printf("metrics: 4 readings at once, RSS before %ld KiB, peak %ld KiB, after %ld KiB; %d served, %d busy\n",
                before, peak, oxt::rssKb(pid), served, busy);
    node.expectCleanExit();
}

} // namespace
