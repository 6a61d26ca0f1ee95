// Protected streams against the real oxnode in a private network namespace:
// SRT passphrases per direction (srt-live-transmit as caller), address
// allow-lists on the TCP, SRT and oxlat endpoints (lo holds all of
// 127.0.0.0/8: strangers connect from 127.0.0.2, only 127.0.0.1 is allowed),
// the settings across a restart, and the login back-off.
#include "oxtest.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t kChunk = 1316;
const char* const kPublish = "publish-passphrase-1";
const char* const kRead = "read-passphrase-22";
const std::string kDigest = oxt::md5Hex("73519046");

std::string compact(const QJsonObject& o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

bool onPath(const std::string& tool)
{
    return oxt::runCommand({"sh", "-c", "command -v " + tool}, 5000).exitCode == 0;
}

std::string srtCaller(int port, const std::string& extra = {})
{
    return "srt://127.0.0.1:" + std::to_string(port) + "?mode=caller&latency=20" + extra;
}

// The payload never starts with 'W', the filler byte.
std::string payloadBytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(rng());
    s[0] = 'P';
    return s;
}

// got is filler, the payload, filler: exactly.
bool fillerAroundPayload(const std::string& got, const std::string& payload)
{
    const size_t pos = got.find_first_not_of('W');
    return pos != std::string::npos && got.compare(pos, payload.size(), payload) == 0
        && got.find_first_not_of('W', pos + payload.size()) == std::string::npos;
}

// A bare KCP segment header of conversation conv (24 bytes, no data).
std::string kcpHeader(uint32_t conv)
{
    std::string h(24, '\0');
    std::memcpy(&h[0], &conv, 4);
    h[4] = 84; // IKCP_CMD_WINS
    return h;
}

class StreamAccess : public ::testing::Test
{
protected:
    void login()
    {
        const QJsonObject r = oxt::apiPost(8001, {{"cmd", "login"}, {"user", "admin"}, {"passMd5", QString::fromStdString(kDigest)}});
        token = r.value("token").toString();
        ASSERT_FALSE(token.isEmpty()) << compact(r);
    }
    QJsonObject call(QJsonObject request)
    {
        request.insert("token", token);
        return oxt::apiPost(8001, request, "/api/post", 10000);
    }
    QJsonObject setAccess(const QJsonObject& data, int id = 0)
    {
        return call({{"cmd", "setStreamAccess"}, {"id", id}, {"data", data}});
    }
    std::unique_ptr<oxt::TcpClient> tcpClient(int port, const std::string& from = {})
    {
        const int before = node.process().countOccurrences(" connected!");
        auto c = std::make_unique<oxt::TcpClient>();
        c->setLocalAddress(from);
        EXPECT_TRUE(c->connect("127.0.0.1", port));
        if (from.empty()) {
            EXPECT_TRUE(oxt::waitFor([&] { return node.process().countOccurrences(" connected!") > before; }, 10000));
        }
        return c;
    }
    bool logged(const std::string& text, int timeoutMs = 10000)
    {
        return node.process().waitForOutput(text, timeoutMs);
    }
    void TearDown() override { node.expectCleanExit(); }

    oxt::OxNode node;
    oxt::TempDir peers;
    QString token;
};

const QJsonObject kOk{{"cmd", "setStreamAccess"}, {"msg", "success"}, {"result", "success"}};

// A source that publishes with the right passphrase reaches a TCP viewer and
// an SRT viewer with the right read passphrase byte-exact; callers without
// a passphrase or with a wrong one are refused at the handshake and logged.
TEST_F(StreamAccess, SrtCallersNeedTheRightPassphrasePerDirection)
{
    if (!onPath("srt-live-transmit"))
        GTEST_SKIP() << "srt-live-transmit is not installed";
    ASSERT_TRUE(node.start());
    login();
    ASSERT_TRUE(logged("server is ready at port: 8020"));
    EXPECT_EQ(setAccess({{"publishPassphrase", kPublish}, {"readPassphrase", kRead}}), kOk);

    auto viewer = tcpClient(8020);
    peers.mkdir("sink");
    oxt::Process sink;
    ASSERT_TRUE(sink.start({"srt-live-transmit", "-chunk:1316", srtCaller(8020, std::string("&passphrase=") + kRead),
                            "file://con"}, peers.file("sink")));
    ASSERT_TRUE(oxt::waitFor([&] { return node.process().countOccurrences("socket fd:") == 1; }, 10000))
        << sink.describe();

    // The source reads UDP datagrams that the test sends.
    peers.mkdir("src");
    oxt::Process src;
    ASSERT_TRUE(src.start({"srt-live-transmit", "-chunk:1316", "udp://127.0.0.1:9000",
                           srtCaller(8010, std::string("&passphrase=") + kPublish)}, peers.file("src")));
    oxt::UdpSocket feed;
    ASSERT_TRUE(feed.bind(0, "127.0.0.1"));

    const struct { const char* tag; int port; std::string extra; } refused[] = {
        {"none", 8020, ""},
        {"wrong", 8020, "&passphrase=wrong-passphrase"},
        {"wrongpub", 8010, "&passphrase=wrong-passphrase"},
    };
    std::vector<std::unique_ptr<oxt::Process>> strangers;
    for (const auto& r : refused) {
        peers.mkdir(r.tag);
        strangers.push_back(std::make_unique<oxt::Process>());
        const bool output = r.port == 8020;
        ASSERT_TRUE(strangers.back()->start({"srt-live-transmit", "-chunk:1316",
                                             output ? srtCaller(r.port, r.extra) : "udp://127.0.0.1:9001",
                                             output ? "file://con" : srtCaller(r.port, r.extra)},
                                            peers.file(r.tag)));
    }
    for (int port : {8010, 8020})
        EXPECT_TRUE(logged("oxdp port " + std::to_string(port)
                           + ": refused 127.0.0.1: encrypted handshake failed (passphrase missing or wrong)", 20000))
            << port;

    std::string atViewer;
    auto drain = [&] {
        const std::string more = viewer->recvSome(1);
        atViewer += more;
    };
    const std::string filler(kChunk, 'W');
    ASSERT_TRUE(oxt::waitFor([&] {
        feed.sendTo("127.0.0.1", 9000, filler);
        drain();
        return !atViewer.empty() && !sink.stdoutText().empty();
    }, 15000, 10)) << src.describe() << sink.describe();
    const std::string payload = payloadBytes(300 * kChunk, 5);
    for (size_t off = 0; off < payload.size(); off += kChunk) {
        ASSERT_TRUE(feed.sendTo("127.0.0.1", 9000, payload.substr(off, kChunk)));
        drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(1)); // pacing, not waiting
    }
    EXPECT_TRUE(oxt::waitFor([&] {
        feed.sendTo("127.0.0.1", 9000, filler);
        drain();
        return fillerAroundPayload(atViewer, payload) && fillerAroundPayload(sink.stdoutText(), payload);
    }, 15000, 10)) << atViewer.size() << " " << sink.stdoutText().size();
    // Only the sink and the source with the right passphrases were ever
    // accepted. A line may be held back by the log budget when the refusals
    // and libsrt's own lines fill a second, but never one too many is written.
    EXPECT_LE(node.process().countOccurrences("oxdp tx new connection: "), 2);
}

// ffmpeg pulling H.265 from the SRT output with the read passphrase: every
// frame a TCP source pushes reaches it.
TEST_F(StreamAccess, FfmpegWithTheReadPassphraseReceivesEveryFrame)
{
    if (!onPath("ffmpeg") || !onPath("ffprobe"))
        GTEST_SKIP() << "ffmpeg is not installed";
    peers.mkdir("ff");
    const std::string in = peers.file("in.ts"), out = peers.file("ff/out.ts");
    const oxt::CommandResult enc = oxt::runCommand(
        {"ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=25",
         "-frames:v", "150", "-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=error", "-f",
         "mpegts", in}, 60000);
    ASSERT_EQ(enc.exitCode, 0) << enc.out;
    node.dir().writeFile("stream.json", std::string(R"([{"id": 0, "name": "h265", "access": {"readPassphrase": ")")
                                            + kRead + "\"}}]");
    ASSERT_TRUE(node.start());
    ASSERT_TRUE(logged("server is ready at port: 8020"));
    oxt::Process ff;
    // A latency far above the listener's 20 ms: the caller's wins, so no
    // packet is dropped as too late on a loaded machine.
    ASSERT_TRUE(ff.start({"ffmpeg", "-hide_banner", "-loglevel", "error", "-probesize", "32768", "-i",
                          std::string("srt://127.0.0.1:8020?mode=caller&latency=200000&passphrase=") + kRead, "-c",
                          "copy", "-flush_packets", "1", "-f", "mpegts", out},
                         peers.file("ff")));
    ASSERT_TRUE(logged("socket fd:")) << ff.describe();
    auto source = tcpClient(8010);
    const std::string ts = oxt::readWholeFile(in);
    for (size_t off = 0; off < ts.size(); off += 7 * 188) {
        ASSERT_TRUE(source->sendAll(ts.substr(off, 7 * 188)));
        std::this_thread::sleep_for(std::chrono::milliseconds(1)); // pacing, not waiting
    }
    // Null packets (PID 0x1fff) after the file keep data flowing; demuxers skip them.
    std::string nulls;
    for (int i = 0; i < 7; ++i)
        nulls += std::string("\x47\x1f\xff\x10", 4) + std::string(184, '\xff');
    auto countFrames = [&] {
        const std::string n = oxt::runCommand({"ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
                                               "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0", out},
                                              20000).out;
        return std::atoi(n.c_str());
    };
    // ffmpeg holds the last frame until its input ends: once everything
    // before it has arrived (and a few polls more, so that the nulls behind
    // it are in flight too), a new read passphrase closes the caller, which
    // ends ffmpeg's input.
    int frames = 0, pollsSince = 0;
    EXPECT_TRUE(oxt::waitFor([&] {
        source->sendAll(nulls);
        frames = countFrames();
        pollsSince = frames >= 148 ? pollsSince + 1 : 0;
        return pollsSince >= 5;
    }, 30000, 100)) << "frames: " << frames << ff.describe();
    login();
    EXPECT_EQ(setAccess({{"readPassphrase", "another-passphrase"}}), kOk);
    EXPECT_TRUE(oxt::waitFor([&] { return !ff.running(); }, 15000)) << ff.describe();
    EXPECT_EQ(countFrames(), 150);
}

// Connections from outside the allow-list are closed at accept (TCP) or
// refused in the listen callback (SRT); one that was open when the list was
// set is closed at once; an allowed source and viewer still relay.
TEST_F(StreamAccess, TcpAndSrtPeersOutsideTheAllowListAreRefused)
{
    ASSERT_TRUE(node.start());
    login();
    const bool srtTool = onPath("srt-live-transmit");
    auto early = tcpClient(8020, "127.0.0.2");
    ASSERT_TRUE(logged("127.0.0.2:" + std::to_string(early->localPort()) + " connected!"));
    peers.mkdir("srt");
    oxt::Process srt;
    if (srtTool) {
        ASSERT_TRUE(logged("server is ready at port: 8020"));
        ASSERT_TRUE(srt.start({"srt-live-transmit", srtCaller(8020, "&adapter=127.0.0.2"), "file://con"},
                              peers.file("srt")));
        ASSERT_TRUE(logged("socket fd:"));
    }
    EXPECT_EQ(setAccess({{"inputAllow", QJsonArray{"127.0.0.1"}}, {"outputAllow", QJsonArray{"127.0.0.1"}}}), kOk);
    EXPECT_TRUE(early->waitClosed(10000));
    // The SRT caller that was in is closed too; should it call again, the
    // listen callback refuses it.
    if (srtTool) {
        EXPECT_TRUE(oxt::waitFor([&] {
            return !srt.running() || node.process().countOccurrences("oxdp port 8020: refused 127.0.0.2") > 0;
        }, 15000)) << srt.describe();
    }

    for (int port : {8010, 8020}) {
        auto stranger = tcpClient(port, "127.0.0.2");
        EXPECT_TRUE(stranger->waitClosed(10000)) << port;
        EXPECT_TRUE(logged("oxtcp port " + std::to_string(port) + ": refused 127.0.0.2: address not in the allow-list"));
    }
    if (srtTool) {
        srt.kill();
        peers.mkdir("srt2");
        oxt::Process again;
        ASSERT_TRUE(again.start({"srt-live-transmit", srtCaller(8020, "&adapter=127.0.0.2"), "file://con"},
                                peers.file("srt2")));
        EXPECT_TRUE(logged("oxdp port 8020: refused 127.0.0.2: address not in the allow-list"));
        EXPECT_EQ(node.process().countOccurrences("socket fd:"), 1);
    }

    auto viewer = tcpClient(8020);
    auto source = tcpClient(8010);
    const std::string payload = payloadBytes(100000, 9);
    ASSERT_TRUE(source->sendAll(payload));
    EXPECT_EQ(viewer->recvExactly(payload.size(), 10000), payload);
}

// A KCP stranger's datagrams never reach the session: neither the input's
// conversation nor the output's reply address can be taken over.
TEST_F(StreamAccess, OxlatDatagramsFromOutsideTheAllowListNeverTouchTheSession)
{
    node.dir().writeFile("stream.json", R"([{"id": 0, "name": "lat", "access":
        {"inputAllow": ["127.0.0.1"], "outputAllow": ["127.0.0.1"]}}])");
    ASSERT_TRUE(node.start());
    oxt::UdpSocket stranger, friendly;
    ASSERT_TRUE(stranger.bind(0, "127.0.0.2"));
    ASSERT_TRUE(friendly.bind(0, "127.0.0.1"));
    const std::string foreign = kcpHeader(0x77);

    // Far more than the eleven datagrams that would have the session adopt
    // the stranger's conversation; the session binds about a second after start.
    int sent = 0;
    ASSERT_TRUE(oxt::waitFor([&] {
        stranger.sendTo("127.0.0.1", 8011, foreign);
        ++sent;
        return node.process().countOccurrences("oxlat port 8011: refused 127.0.0.2") > 0;
    }, 10000, 20));
    for (int i = 0; i < 20; ++i)
        stranger.sendTo("127.0.0.1", 8011, foreign);
    // One datagram from the allowed address does reach the session.
    friendly.sendTo("127.0.0.1", 8011, foreign);
    ASSERT_TRUE(logged("CONV 出错"));
    EXPECT_EQ(node.process().countOccurrences("CONV 出错"), 1);

    // Output: the allowed peer knocks first, the stranger last; without the
    // list the replies would follow the latest datagram to the stranger.
    ASSERT_TRUE(oxt::waitFor([&] {
        friendly.sendTo("127.0.0.1", 8021, kcpHeader(0));
        return node.process().countOccurrences("CONV 出错") > 1;
    }, 10000, 50));
    stranger.sendTo("127.0.0.1", 8021, kcpHeader(0));
    ASSERT_TRUE(logged("oxlat port 8021: refused 127.0.0.2"));
    auto source = tcpClient(8010);
    bool gotData = false;
    ASSERT_TRUE(oxt::waitFor([&] {
        source->sendAll(std::string(1000, 'x'));
        const auto d = friendly.recvFrom(50);
        gotData = d && d->data.size() > 24;
        return gotData;
    }, 10000, 1));
    EXPECT_FALSE(stranger.recvFrom(200)) << "the stranger received a datagram";
}

// Settings are refused as a whole when invalid, shown without passphrases,
// saved to stream.json (mode 0600) and in force after a restart.
TEST_F(StreamAccess, SettingsAreValidatedShownWithoutPassphrasesAndSurviveARestart)
{
    ASSERT_TRUE(node.start());
    login();
    EXPECT_EQ(setAccess({{"publishPassphrase", kPublish}, {"inputAllow", QJsonArray{"10.0.0.0/8"}}}), kOk);
    const struct { QJsonObject request; const char* msg; } refused[] = {
        {{{"cmd", "setStreamAccess"}, {"id", 0}, {"data", QJsonObject{{"readPassphrase", "123456789"}, {"outputAllow", QJsonArray{"127.0.0.1"}}}}},
         "readPassphrase must be 10 to 79 characters long; nothing changed"},
        {{{"cmd", "setStreamAccess"}, {"id", 0}, {"data", QJsonObject{{"readPassphrase", QString(80, 'x')}}}},
         "readPassphrase must be 10 to 79 characters long; nothing changed"},
        {{{"cmd", "setStreamAccess"}, {"id", 0}, {"data", QJsonObject{{"inputAllow", "127.0.0.1"}}}},
         "inputAllow is not a list; nothing changed"},
        {{{"cmd", "setStreamAccess"}, {"id", 0}, {"data", QJsonObject{{"outputAllow", QJsonArray{"127.0.0.300"}}}}},
         "outputAllow entry \"127.0.0.300\" is not an IPv4 address or range; nothing changed"},
        {{{"cmd", "setStreamAccess"}, {"id", 7}, {"data", QJsonObject{}}}, "no stream with id 7"},
        {{{"cmd", "setStreamAccess"}, {"id", 0}}, "data is not an object"},
    };
    for (const auto& r : refused) {
        const QJsonObject reply = call(r.request);
        EXPECT_EQ(reply.value("result").toString(), "failed") << compact(r.request);
        EXPECT_EQ(reply.value("msg").toString().toStdString(), r.msg);
    }
    const QJsonObject shown{{"inputAllow", QJsonArray{"10.0.0.0/8"}}, {"outputAllow", QJsonArray{}},
                            {"publishPassphraseSet", true}, {"readPassphraseSet", false}};
    const QJsonObject list = call({{"cmd", "getStreamList"}});
    EXPECT_EQ(list.value("data").toArray().at(0).toObject().value("access").toObject(), shown);
    EXPECT_EQ(compact(list).find(kPublish), std::string::npos);

    ASSERT_TRUE(oxt::waitFor([&] { return node.dir().readFile("stream.json").find(kPublish) != std::string::npos; }, 10000));
    struct stat st {};
    ASSERT_EQ(::stat(node.dir().file("stream.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const std::string saved = node.dir().readFile("stream.json");
    const std::string cfg = node.dir().readFile("appcfg.json");
    node.expectCleanExit();

    oxt::OxNode again;
    again.dir().writeFile("stream.json", saved);
    again.dir().writeFile("appcfg.json", cfg);
    ASSERT_TRUE(again.start());
    login();
    EXPECT_EQ(call({{"cmd", "getStreamList"}}).value("data").toArray().at(0).toObject().value("access").toObject(), shown);
    auto stranger = std::make_unique<oxt::TcpClient>();
    ASSERT_TRUE(stranger->connect("127.0.0.1", 8010));
    EXPECT_TRUE(stranger->waitClosed(10000)); // 127.0.0.1 is not in 10.0.0.0/8
    again.expectCleanExit();
}

// The default credentials are named at start; five failed logins within a
// minute make even the right one wait, with the usual refusal.
TEST_F(StreamAccess, DefaultCredentialsWarnAndFailedLoginsBackOff)
{
    ASSERT_TRUE(node.start());
    EXPECT_TRUE(logged("the web password is still the default one"));
    EXPECT_TRUE(logged("the node token is still the default one"));
    const QJsonObject refusedLogin{{"cmd", "logout"}, {"msg", "Token Error!"}, {"results", "failed"}};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(oxt::apiPost(8001, {{"cmd", "login"}, {"user", "admin"}, {"passMd5", "wrong"}}), refusedLogin);
    EXPECT_EQ(oxt::apiPost(8001, {{"cmd", "login"}, {"user", "admin"}, {"passMd5", QString::fromStdString(kDigest)}}),
              refusedLogin);
    EXPECT_TRUE(logged("5 failed web logins from 127.0.0.1: its logins wait 30 s"));
}

} // namespace
