// Streams that pull from another relay: an origin in the test's own network
// namespace, edges in namespaces of their own joined to it by veth pairs
// (origin 198.18.1.1 - 198.18.1.2 edge 198.18.2.1 - 198.18.2.2 edge of edge,
// routed through the edge, so the test reaches every instance). Bytes go into
// the origin's TCP input and are read at the last edge's outputs.
//
// Links of SRT may lose the first packets of a fresh connection, so every
// transfer starts with filler ('W') until every receiver has heard some; the
// check is filler, then exactly the payload, then filler.
#include "oxhttp.h"
#include "oxnetns.h"
#include "oxtest.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>

namespace {

constexpr size_t kChunk = 1316;
const char* const kOrigin = "198.18.1.1";
const char* const kEdge = "198.18.1.2";
const char* const kEdgeOut = "198.18.2.1";
const char* const kEdge2 = "198.18.2.2";

std::string payloadBytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(rng());
    s[0] = 'P'; // never filler: marks where the payload begins
    return s;
}

::testing::AssertionResult fillerAround(const std::string& got, const std::string& payload)
{
    const size_t pos = got.find_first_not_of('W');
    if (pos == std::string::npos || got.size() - pos < payload.size())
        return ::testing::AssertionFailure() << "payload incomplete (" << got.size() << " bytes)";
    if (got.compare(pos, payload.size(), payload) != 0)
        return ::testing::AssertionFailure() << "payload differs (" << got.size() << " bytes received)";
    if (got.find_first_not_of('W', pos + payload.size()) != std::string::npos)
        return ::testing::AssertionFailure() << "unexpected bytes after the payload";
    return ::testing::AssertionSuccess();
}

QString login(const std::string& host)
{
    oxt::HttpConnection c(8001, host);
    return c.apiPost({{"cmd", "login"}, {"user", "admin"}, {"passMd5", QString::fromStdString(oxt::md5Hex("73519046"))}})
        .value("token")
        .toString();
}

QJsonObject command(const std::string& host, QJsonObject cmd)
{
    const QString token = login(host);
    cmd.insert("token", token);
    oxt::HttpConnection c(8001, host);
    return c.apiPost(cmd);
}

QJsonObject setPull(const std::string& host, const QString& url)
{
    return command(host, {{"cmd", "setStreamPull"}, {"id", 0}, {"url", url}});
}

// The pull input of stream 0 in "getStreamList", or an empty object.
QJsonObject pullStatus(const std::string& host)
{
    const QJsonObject r = command(host, {{"cmd", "getStreamList"}});
    for (const QJsonValue in : r.value("data").toArray().at(0).toObject().value("inList").toArray()) {
        if (in.toObject().value("type").toString() == "sr_pull")
            return in.toObject();
    }
    return {};
}

bool pullConnected(const std::string& host)
{
    return pullStatus(host).value("state").toString() == "connected";
}

class PullCascade : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(edgeNs.ok()) << edgeNs.error();
        ASSERT_TRUE(edge2Ns.ok()) << edge2Ns.error();
        std::string err;
        ASSERT_TRUE(oxt::joinVeth(nullptr, kOrigin, &edgeNs, kEdge, "po", &err)) << err;
        ASSERT_TRUE(oxt::joinVeth(&edgeNs, kEdgeOut, &edge2Ns, kEdge2, "pe", &err)) << err;
        ASSERT_TRUE(edgeNs.run({"sysctl", "-qw", "net.ipv4.ip_forward=1"}, &err)) << err;
        ASSERT_TRUE(oxt::ipIn(nullptr, {"route", "add", "198.18.2.0/24", "via", kEdge}, &err)) << err;
        ASSERT_TRUE(oxt::ipIn(&edge2Ns, {"route", "add", "default", "via", kEdgeOut}, &err)) << err;
        for (auto* n : {&origin, &edge, &edge2})
            n->options().readyPorts = {8001, 8010, 8020};
        edge.options().launcher = edgeNs.wrap({});
        edge.options().netnsPid = edgeNs.pid();
        edge2.options().launcher = edge2Ns.wrap({});
        edge2.options().netnsPid = edge2Ns.pid();
    }
    void TearDown() override
    {
        for (auto* n : {&edge2, &edge, &origin}) {
            if (n->process().pid() > 0)
                n->expectCleanExit();
        }
        // The namespaces go away by themselves, but not at once: the test's
        // own end must not be left behind for the next case in this process.
        oxt::ipIn(nullptr, {"link", "del", "poa"});
    }

    // A TCP client of host:port, once the service there has logged it.
    std::unique_ptr<oxt::TcpClient> tcpClient(oxt::OxNode& node, const std::string& host, int port)
    {
        const int before = node.process().countOccurrences(" connected!");
        auto c = std::make_unique<oxt::TcpClient>();
        EXPECT_TRUE(c->connect(host, port));
        EXPECT_TRUE(oxt::waitFor([&] { return node.process().countOccurrences(" connected!") > before; }, 10000));
        return c;
    }

    // Filler into the origin until every receiver has some, the payload
    // paced at about 1 MB/s, then filler until each holds all of it.
    void relay(oxt::TcpClient& source, const std::string& payload,
               const std::vector<std::function<std::string()>>& received)
    {
        const std::string filler(kChunk, 'W');
        ASSERT_TRUE(oxt::waitFor([&] {
            if (!source.sendAll(filler))
                return false;
            for (const auto& r : received)
                if (r().empty())
                    return false;
            return true;
        }, 15000, 10)) << "receivers heard nothing during the warm-up: "
                       << QJsonDocument(pullStatus(kEdge)).toJson().toStdString()
                       << QJsonDocument(pullStatus(kEdge2)).toJson().toStdString();
        for (size_t off = 0; off < payload.size(); off += 4 * kChunk) {
            ASSERT_TRUE(source.sendAll(payload.substr(off, 4 * kChunk)));
            std::this_thread::sleep_for(std::chrono::milliseconds(5)); // pacing, not waiting
        }
        for (size_t i = 0; i < received.size(); ++i) {
            oxt::waitFor([&] { return source.sendAll(filler) && fillerAround(received[i](), payload); }, 15000, 10);
            EXPECT_TRUE(fillerAround(received[i](), payload)) << "receiver " << i;
        }
    }

    oxt::Netns edgeNs, edge2Ns;
    oxt::OxNode origin, edge, edge2;
    oxt::TempDir peers;
};

// origin -TCP-> edge -SRT-> edge of edge, read there over TCP and SRT.
TEST_F(PullCascade, OriginBytesArriveByteExactAtTheLastEdgesTcpAndSrtOutputs)
{
    ASSERT_TRUE(origin.start());
    ASSERT_TRUE(edge.start());
    ASSERT_TRUE(edge2.start());
    EXPECT_EQ(setPull(kEdge, QString("oxtcp://%1:8020").arg(kOrigin)).value("results").toString(), "success");
    EXPECT_EQ(setPull(kEdge2, QString("oxdp://%1:8020?latency=40").arg(kEdgeOut)).value("results").toString(),
              "success");
    ASSERT_TRUE(oxt::waitFor([] { return pullConnected(kEdge) && pullConnected(kEdge2); }, 15000, 100));

    auto viewer = tcpClient(edge2, kEdge2, 8020);
    peers.mkdir("srt");
    oxt::Process srtViewer;
    ASSERT_TRUE(srtViewer.start({"srt-live-transmit", "-chunk:1316",
                                 std::string("srt://") + kEdge2 + ":8020?mode=caller&latency=40", "file://con"},
                                peers.file("srt"), {}, peers.file("srt")));
    ASSERT_TRUE(edge2.process().waitForOutput("socket fd:", 10000)) << srtViewer.describe();
    auto source = tcpClient(origin, "127.0.0.1", 8010);
    std::string tcpGot;
    const std::string payload = payloadBytes(400 * 1024, 17);
    relay(*source, payload,
          {[&] {
               tcpGot += viewer->recvSome(5);
               return tcpGot;
           },
           [&] { return srtViewer.stdoutText(); }});
    const QJsonObject st = pullStatus(kEdge2);
    EXPECT_GE(st.value("bytesReceived").toDouble(), double(payload.size()));
    EXPECT_TRUE(st.contains("rtt") && st.contains("pktLoss") && st.contains("banduse")) << st.keys().join(",").toStdString();
}

TEST_F(PullCascade, EdgeReconnectsAfterTheOriginRestartsAndItsViewersStay)
{
    ASSERT_TRUE(origin.start());
    ASSERT_TRUE(edge.start());
    EXPECT_EQ(setPull(kEdge, QString("oxtcp://%1:8020").arg(kOrigin)).value("results").toString(), "success");
    ASSERT_TRUE(oxt::waitFor([] { return pullConnected(kEdge); }, 15000, 100));
    auto viewer = tcpClient(edge, kEdge, 8020);

    ASSERT_EQ(origin.stop(), 0);
    ASSERT_TRUE(edge.process().waitForOutput("pull source oxtcp://198.18.1.1:8020 lost", 10000));
    ASSERT_TRUE(origin.start());
    // Back-off: at most 1 + 2 + 4 + 8 s before it tries again, plus the tries.
    ASSERT_TRUE(oxt::waitFor([] { return pullConnected(kEdge); }, 25000, 100));
    EXPECT_TRUE(edge.process().waitForOutput("pull source oxtcp://198.18.1.1:8020 connected again", 5000));
    EXPECT_GE(pullStatus(kEdge).value("reconnects").toInt(), 1);
    EXPECT_EQ(edge.process().countOccurrences("pull source oxtcp://198.18.1.1:8020 lost"), 1)
        << "only the first failure of a run is logged";

    auto source = tcpClient(origin, "127.0.0.1", 8010);
    std::string got;
    const std::string payload = payloadBytes(64 * 1024, 5);
    relay(*source, payload, {[&] {
              got += viewer->recvSome(5);
              return got;
          }});
    EXPECT_FALSE(viewer->peerClosed());
}

// An oxnode origin whose SRT output is protected: the edge pulls with the
// read passphrase; one with a wrong passphrase is refused at the handshake.
TEST_F(PullCascade, ProtectedOriginOutputIsPulledWithItsReadPassphrase)
{
    ASSERT_TRUE(origin.start());
    ASSERT_TRUE(edge.start());
    const QJsonObject set = command("127.0.0.1", {{"cmd", "setStreamAccess"}, {"id", 0},
                                                  {"data", QJsonObject{{"readPassphrase", "origin-read-secret"}}}});
    ASSERT_EQ(set.value("result").toString(), "success") << QJsonDocument(set).toJson().toStdString();
    EXPECT_EQ(setPull(kEdge, QString("oxdp://%1:8020?passphrase=not-the-secret").arg(kOrigin))
                  .value("results").toString(), "success");
    ASSERT_TRUE(origin.process().waitForOutput("encrypted handshake failed", 20000));
    EXPECT_FALSE(pullConnected(kEdge));

    EXPECT_EQ(setPull(kEdge, QString("oxdp://%1:8020?latency=40&passphrase=origin-read-secret").arg(kOrigin))
                  .value("results").toString(), "success");
    ASSERT_TRUE(oxt::waitFor([] { return pullConnected(kEdge); }, 20000, 100));
    auto viewer = tcpClient(edge, kEdge, 8020);
    auto source = tcpClient(origin, "127.0.0.1", 8010);
    std::string got;
    relay(*source, payloadBytes(128 * 1024, 23), {[&] {
              got += viewer->recvSome(5);
              return got;
          }});
}

// Any SRT listener can be an origin: srt-live-transmit with a passphrase,
// fed through a FIFO. The right passphrase relays; a wrong one keeps waiting.
TEST_F(PullCascade, PassphraseOfAnSrtListenerOrigin)
{
    ASSERT_TRUE(edge.start());
    peers.mkdir("src");
    const std::string fifo = peers.file("src/in.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Held open for reading and writing, so the child's open never blocks.
    const int fd = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    oxt::Process listener;
    ASSERT_TRUE(listener.start({"srt-live-transmit", "-chunk:1316", "file://con",
                                "srt://:9000?mode=listener&latency=40&passphrase=0123456789secret"},
                               peers.file("src"), {}, peers.file("src"), fifo));
    EXPECT_EQ(setPull(kEdge, QString("oxdp://%1:9000?passphrase=wrong-passphrase").arg(kOrigin))
                  .value("results").toString(), "success");
    ASSERT_TRUE(edge.process().waitForOutput("pull source oxdp://198.18.1.1:9000?passphrase=***: Incorrect passphrase", 15000));
    EXPECT_NE(pullStatus(kEdge).value("state").toString(), "connected");
    EXPECT_EQ(edge.process().countOccurrences("wrong-passphrase"), 0) << "a passphrase is never logged";

    EXPECT_EQ(setPull(kEdge, QString("oxdp://%1:9000?passphrase=0123456789secret&latency=40").arg(kOrigin))
                  .value("results").toString(), "success");
    ASSERT_TRUE(oxt::waitFor([] { return pullConnected(kEdge); }, 20000, 100));
    auto viewer = tcpClient(edge, kEdge, 8020);
    std::string got;
    const std::string filler(kChunk, 'W');
    auto push = [&](const std::string& b) { return ::write(fd, b.data(), b.size()) == ssize_t(b.size()); };
    ASSERT_TRUE(oxt::waitFor([&] { got += viewer->recvSome(5); return push(filler) && !got.empty(); }, 10000, 10));
    const std::string payload = payloadBytes(64 * 1024, 9);
    for (size_t off = 0; off < payload.size(); off += kChunk) {
        ASSERT_TRUE(push(payload.substr(off, kChunk)));
        std::this_thread::sleep_for(std::chrono::milliseconds(2)); // pacing, not waiting
    }
    oxt::waitFor([&] { got += viewer->recvSome(5); return push(filler) && fillerAround(got, payload); }, 10000, 10);
    EXPECT_TRUE(fillerAround(got, payload));
    ::close(fd);
}

// Real media through origin and edge: ffprobe counts every frame at the edge.
TEST_F(PullCascade, H265FromFfmpegThroughOriginAndEdgeKeepsEveryFrame)
{
    constexpr int kFrames = 200;
    peers.mkdir("media");
    const std::string in = peers.file("media/in.h265"), out = peers.file("media/out.h265");
    const oxt::CommandResult enc = oxt::runCommand(
        {"ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=25",
         "-frames:v", std::to_string(kFrames), "-c:v", "libx265", "-x265-params", "log-level=error", "-f", "hevc", in},
        60000);
    ASSERT_EQ(enc.exitCode, 0) << enc.out;
    const std::string media = oxt::readWholeFile(in);
    ASSERT_FALSE(media.empty());

    ASSERT_TRUE(origin.start());
    ASSERT_TRUE(edge.start());
    EXPECT_EQ(setPull(kEdge, QString("oxtcp://%1:8020").arg(kOrigin)).value("results").toString(), "success");
    ASSERT_TRUE(oxt::waitFor([] { return pullConnected(kEdge); }, 15000, 100));
    auto viewer = tcpClient(edge, kEdge, 8020);
    auto source = tcpClient(origin, "127.0.0.1", 8010);
    for (size_t off = 0; off < media.size(); off += 4 * kChunk) {
        ASSERT_TRUE(source->sendAll(media.substr(off, 4 * kChunk)));
        std::this_thread::sleep_for(std::chrono::milliseconds(2)); // pacing, not waiting
    }
    const std::string got = viewer->recvExactly(media.size(), 15000);
    ASSERT_EQ(got.size(), media.size());
    EXPECT_TRUE(got == media);
    ASSERT_TRUE(peers.writeFile("media/out.h265", got));
    const oxt::CommandResult probe =
        oxt::runCommand({"ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                         "stream=nb_read_frames", "-of", "csv=p=0", "-f", "hevc", out},
                        30000);
    ASSERT_EQ(probe.exitCode, 0) << probe.out;
    EXPECT_EQ(std::atoi(probe.out.c_str()), kFrames) << probe.out;
}

// Two instances whose streams 0 pull from each other over SRT: the second
// pull carries the first one's chain, and the origin's output refuses it.
TEST_F(PullCascade, SrtPullsBetweenTwoInstancesThatWouldLoopAreRefused)
{
    origin.options().env = {{"QT_LOGGING_RULES", "oxnode.pull.debug=true"}};
    ASSERT_TRUE(origin.start());
    ASSERT_TRUE(edge.start());
    EXPECT_EQ(setPull(kEdge, QString("oxdp://%1:8020").arg(kOrigin)).value("results").toString(), "success");
    ASSERT_TRUE(oxt::waitFor([] { return pullConnected(kEdge); }, 15000, 100));
    EXPECT_EQ(setPull(kOrigin, QString("oxdp://%1:8020").arg(kEdge)).value("results").toString(), "success");
    const std::string refused = "pull source oxdp://198.18.1.2:8020: refused: a loop";
    ASSERT_TRUE(origin.process().waitForOutput(refused, 15000)) << origin.process().describe();
    // Retried with its back-off and refused again; the edge says so once.
    ASSERT_TRUE(oxt::waitFor([&] { return origin.process().countOccurrences("attempt failed: refused: a loop") >= 2; },
                             15000, 100));
    EXPECT_EQ(edge.process().countOccurrences("refused: loop, its chain already holds this stream"), 1);
    EXPECT_NE(pullStatus(kOrigin).value("state").toString(), "connected");
    EXPECT_TRUE(pullConnected(kEdge)) << "the pull that closes no loop stays";
}

// getStreamClients lists the pull connection like any publisher.
TEST_F(PullCascade, PullConnectionIsListedAmongTheStreamsClients)
{
    ASSERT_TRUE(origin.start());
    ASSERT_TRUE(edge.start());
    const qint64 since = QDateTime::currentMSecsSinceEpoch();
    EXPECT_EQ(setPull(kEdge, QString("oxtcp://%1:8020").arg(kOrigin)).value("results").toString(), "success");
    ASSERT_TRUE(oxt::waitFor([] { return pullConnected(kEdge); }, 15000, 100));
    auto source = tcpClient(origin, "127.0.0.1", 8010);
    ASSERT_TRUE(source->sendAll(std::string(5000, 'p')));
    QJsonObject client;
    ASSERT_TRUE(oxt::waitFor([&] {
        const QJsonObject r = command(kEdge, {{"cmd", "getStreamClients"}, {"id", 0}});
        for (const QJsonValue ep : r.value("data").toObject().value("inList").toArray()) {
            if (ep.toObject().value("type").toString() == "sr_pull" && !ep.toObject().value("clients").toArray().isEmpty())
                client = ep.toObject().value("clients").toArray().at(0).toObject();
        }
        return client.value("bytesReceived").toDouble() >= 5000;
    }, 10000, 100)) << QJsonDocument(client).toJson().toStdString();
    EXPECT_EQ(client.value("address").toString(), kOrigin);
    EXPECT_EQ(client.value("port").toInt(), 8020);
    EXPECT_GE(client.value("since").toDouble(), double(since - 1000));
}

// Streams of one instance that would feed one another through local pulls.
TEST(PullLocalLoop, APullFedByItsOwnStreamThroughLocalPullsIsRefused)
{
    oxt::OxNode node;
    ASSERT_TRUE(node.dir().writeFile("appcfg.json", "{\"localDevCfg\": false, \"serverIP\": \"relay.example\"}"));
    ASSERT_TRUE(node.dir().writeFile("stream.json", R"([{"id": 0, "name": "a"}, {"id": 1, "name": "b"},
                                                        {"id": 2, "name": "c"}])"));
    ASSERT_TRUE(node.start());
    auto set = [](int id, const char* url) {
        return command("127.0.0.1", {{"cmd", "setStreamPull"}, {"id", id}, {"url", url}});
    };
    EXPECT_EQ(set(0, "oxtcp://127.0.0.1:8040").value("results").toString(), "success"); // 0 <- 1
    EXPECT_EQ(set(1, "oxdp://relay.example:8060").value("results").toString(), "success"); // 1 <- 2
    struct Case { int id; const char* url; };
    const Case loops[] = {
        {1, "oxtcp://127.0.0.1:8020"},     // 1 <- 0 <- 1
        {2, "oxtcp://127.0.0.5:8020"},     // 2 <- 0 <- 1 <- 2
        {2, "oxdp://RELAY.example:8021"},  // the configured server address
        {2, "oxtcp://localhost:8040"},
    };
    for (const Case& c : loops) {
        const QJsonObject r = set(c.id, c.url);
        EXPECT_EQ(r.value("results").toString(), "failed") << c.url;
        EXPECT_TRUE(r.value("msg").toString().startsWith("loop:")) << c.url << ": " << r.value("msg").toString().toStdString();
    }
    EXPECT_EQ(set(2, "oxtcp://127.0.0.1:8010").value("results").toString(), "success") << "an input feeds nothing";
    node.expectCleanExit();
}

// One instance is enough for the command's answers and the file.
class PullSetting : public ::testing::TestWithParam<const char*>
{
};

TEST_P(PullSetting, RefusalsSayWhyAndTheSettingSurvivesARestart)
{
    oxt::OxNode node;
    ASSERT_TRUE(node.start(GetParam()));
    struct Case { const char* url; const char* msg; };
    const Case refused[] = {
        {"oxdp//127.0.0.9:8020", "url does not parse"},
        {"rtmp://127.0.0.9:8020", "unknown scheme: rtmp"},
        {"oxtcp://127.0.0.9:70000", "port out of range: 70000"},
        {"oxdp://127.0.0.1:8020", "loop: 127.0.0.1:8020 is this stream's own output on this machine"},
        {"oxtcp://localhost:8020", "loop:"},
        {"oxtcp://\x1b\x07" "evil:9000", "url does not parse: bad host"},
    };
    for (const Case& c : refused) {
        const QJsonObject r = setPull("127.0.0.1", c.url);
        EXPECT_EQ(r.value("results").toString(), "failed") << c.url;
        EXPECT_TRUE(r.value("msg").toString().startsWith(c.msg)) << c.url << " -> " << r.value("msg").toString().toStdString();
    }
    EXPECT_EQ(node.process().stderrText().find('\x07'), std::string::npos) << "a URL's text is escaped in the log";
    EXPECT_EQ(command("127.0.0.1", {{"cmd", "setStreamPull"}, {"id", 7}, {"url", "oxtcp://198.18.9.9:8020"}})
                  .value("msg")
                  .toString(),
              "no stream with this id");

    const QString url = "oxdp://198.18.9.9:8020?latency=50&passphrase=0123456789ab";
    EXPECT_EQ(setPull("127.0.0.1", url).value("results").toString(), "success");
    ASSERT_TRUE(oxt::waitFor([&] { return node.dir().readFile("stream.json").find("pullUrl") != std::string::npos; },
                             5000));
    ASSERT_EQ(node.stop(), 0);
    ASSERT_TRUE(node.start(GetParam()));
    // Kept in the file, never shown.
    EXPECT_NE(node.dir().readFile("stream.json").find("0123456789ab"), std::string::npos);
    const QString shown = "oxdp://198.18.9.9:8020?latency=50&passphrase=***";
    const QJsonObject s = command("127.0.0.1", {{"cmd", "getStreamList"}}).value("data").toArray().at(0).toObject();
    EXPECT_EQ(s.value("pullUrl").toString(), shown);
    EXPECT_EQ(s.value("inList").toArray().last().toObject().value("url").toString(), shown);

    EXPECT_EQ(setPull("127.0.0.1", "").value("results").toString(), "success");
    ASSERT_TRUE(oxt::waitFor([&] { return node.dir().readFile("stream.json").find("pull") == std::string::npos; },
                             5000));
    node.expectCleanExit();
}

INSTANTIATE_TEST_SUITE_P(BothPrograms, PullSetting, ::testing::Values(OXNODE_BIN, OXNODE_BASIC_BIN),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param) == OXNODE_BIN ? "oxnode" : "oxnode_basic";
                         });

} // namespace
