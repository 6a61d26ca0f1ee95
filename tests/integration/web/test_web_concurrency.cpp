// Several HTTP clients drive the stream registry at once while media flows
// through stream 0: the service stays consistent, the data is relayed intact,
// and the saved stream.json matches the last stream list.
#include "oxtest.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using StreamList = std::vector<std::pair<int, QString>>;

StreamList listOf(const QJsonArray& data)
{
    StreamList v;
    for (const QJsonValue& s : data)
        v.emplace_back(s.toObject().value("id").toInt(-1), s.toObject().value("name").toString());
    return v;
}

TEST(WebConcurrency, ClientsChangingStreamsWhileStreamZeroRelaysStayConsistent)
{
    oxt::OxNode node;
    node.options().readyPorts = {8001, 8010, 8020};
    ASSERT_TRUE(node.start());

    const QJsonObject login = oxt::apiPost(
        8001, {{"cmd", "login"}, {"user", "admin"}, {"passMd5", QString::fromStdString(oxt::md5Hex("73519046"))}});
    const QString token = login.value("token").toString();
    ASSERT_FALSE(token.isEmpty());

    oxt::TcpClient reader;
    ASSERT_TRUE(reader.connect("127.0.0.1", 8020));
    ASSERT_TRUE(node.process().waitForOutput(" connected!"));
    oxt::TcpClient source;
    ASSERT_TRUE(source.connect("127.0.0.1", 8010));

    std::atomic<bool> done{false};
    std::atomic<size_t> sent{0};
    std::atomic<size_t> received{0};
    // Paced like a live source: at most 1 MiB ahead of the reader, so that
    // the output's queue bound never drops the reader.
    std::thread pusher([&] {
        std::string chunk(4096, '\0');
        unsigned char c = 0;
        while (!done) {
            if (!oxt::waitFor([&] { return done || sent - received < 1024 * 1024; }, 10000, 1) || done)
                break;
            for (char& b : chunk)
                b = static_cast<char>(c++);
            if (!source.sendAll(chunk, 10000))
                break;
            sent += chunk.size();
        }
    });
    std::atomic<bool> inOrder{true};
    std::thread puller([&] {
        unsigned char expect = 0;
        for (;;) {
            const std::string got = reader.recvSome(3000);
            if (got.empty())
                break;
            for (char b : got) {
                if (static_cast<unsigned char>(b) != expect++)
                    inOrder = false;
            }
            received += got.size();
        }
    });

    constexpr int kClients = 4;
    constexpr int kRounds = 6;
    std::vector<std::thread> clients;
    std::atomic<int> badReplies{0};
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            oxt::HttpConnection http(8001);
            auto call = [&](QJsonObject req) {
                req.insert("token", token);
                return http.apiPost(req, "/api/post", 20000);
            };
            for (int round = 0; round < kRounds; ++round) {
                const QString name = QStringLiteral("c%1r%2").arg(c).arg(round);
                if (!call({{"cmd", "newStreamServer"}, {"data", QJsonObject{{"newName", name}}}}).isEmpty())
                    ++badReplies;
                int id = -1;
                for (const auto& s : listOf(call({{"cmd", "getStreamList"}}).value("data").toArray())) {
                    if (s.second == name)
                        id = s.first;
                }
                if (id < 1) {
                    ++badReplies;
                    continue;
                }
                call({{"cmd", "renameStreamServer"}, {"data", QJsonObject{{"id", id}, {"newName", name + "x"}}}});
                call({{"cmd", "renameStreamServer"}, {"data", QJsonObject{{"id", 0}, {"newName", name}}}});
                if (round % 2 == 0)
                    call({{"cmd", "deleteStreamServer"}, {"data", QJsonObject{{"streamID", id}}}});
            }
        });
    }
    for (std::thread& t : clients)
        t.join();
    EXPECT_EQ(badReplies.load(), 0);

    const StreamList final = listOf(
        oxt::apiPost(8001, {{"cmd", "getStreamList"}, {"token", token}}).value("data").toArray());
    // Stream 0 plus the half of the streams that were kept, each renamed once.
    ASSERT_EQ(final.size(), 1u + kClients * kRounds / 2);
    std::set<int> ids;
    for (const auto& s : final) {
        EXPECT_TRUE(ids.insert(s.first).second) << "duplicate stream ID " << s.first;
        if (s.first != 0) {
            EXPECT_TRUE(s.second.endsWith('x')) << s.second.toStdString();
        }
    }

    done = true;
    pusher.join();
    EXPECT_TRUE(oxt::waitFor([&] { return received.load() >= sent.load(); }, 20000))
        << received.load() << " of " << sent.load();
    source.close();
    reader.close();
    puller.join();
    EXPECT_TRUE(inOrder.load()) << "relayed bytes out of order or corrupted";
    EXPECT_GT(sent.load(), 0u);

    node.expectCleanExit();
    const QJsonArray saved = QJsonDocument::fromJson(QByteArray::fromStdString(node.dir().readFile("stream.json"))).array();
    EXPECT_EQ(listOf(saved), final);
}

} // namespace
