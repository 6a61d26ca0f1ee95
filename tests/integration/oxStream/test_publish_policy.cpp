// Publish policies with real publishers: ffmpeg pushes an H.265 MPEG-TS
// (key frame every second, parameter sets repeated at each) in real time into
// the TCP input and over SRT into the SRT input of stream 0; a TCP viewer
// records what it gets and when. An edge following origins on instances of
// their own. Plus the command's refusals and the policy across a restart, in
// both programs.
#include "oxnetns.h"
#include "oxtest.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kPkt = 188;
constexpr int kVideoPid = 0x100;  // ffmpeg's first elementary stream
constexpr int kSecondPid = 0x300; // the second publisher's, where they differ
// lossMs of the failover cases: long enough that a publisher stalled on a
// loaded machine is not taken for a lost one.
constexpr int kLossMs = 1000;

std::string compact(const QJsonObject& o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

bool onPath(const std::string& tool)
{
    return oxt::runCommand({"sh", "-c", "command -v " + tool}, 5000).exitCode == 0;
}

int pidOf(const std::string& b, size_t at)
{
    return ((static_cast<uint8_t>(b[at + 1]) & 0x1f) << 8) | static_cast<uint8_t>(b[at + 2]);
}

// A TCP viewer on a thread of its own: every byte, and when each read came.
class Recorder
{
public:
    explicit Recorder(int port)
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        if (connected)
            worker = std::thread([this] { loop(); });
    }
    ~Recorder()
    {
        stop.store(true);
        if (worker.joinable())
            worker.join();
        ::close(fd);
    }
    std::string bytes()
    {
        std::lock_guard<std::mutex> g(lock);
        return data;
    }
    size_t size()
    {
        std::lock_guard<std::mutex> g(lock);
        return data.size();
    }
    // The longest time without a byte between two reads, the later one after since.
    int64_t longestGapMs(Clock::time_point since)
    {
        std::lock_guard<std::mutex> g(lock);
        int64_t longest = 0;
        for (size_t i = 1; i < reads.size(); ++i) {
            if (reads[i] > since)
                longest = std::max<int64_t>(
                    longest, std::chrono::duration_cast<std::chrono::milliseconds>(reads[i] - reads[i - 1]).count());
        }
        return longest;
    }
    bool connected = false;

private:
    void loop()
    {
        std::vector<char> buf(256 * 1024);
        while (!stop.load()) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
            if (n <= 0)
                return;
            std::lock_guard<std::mutex> g(lock);
            data.append(buf.data(), static_cast<size_t>(n));
            reads.push_back(Clock::now());
        }
    }
    int fd = -1;
    std::atomic<bool> stop{false};
    std::thread worker;
    std::mutex lock;
    std::string data;
    std::vector<Clock::time_point> reads;
};

class PublishPolicy : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!onPath("ffmpeg"))
            GTEST_SKIP() << "ffmpeg is not installed";
        // Ten seconds of H.265 at 50 frames a second (a switch waits for the
        // new publisher's next write: at most a frame), an IDR frame each second (closed GOPs: a
        // splice cannot start at an open GOP's CRA) with its VPS/SPS/PPS, as
        // live encoders for switching send it; published in a loop at its own pace.
        const oxt::CommandResult enc = oxt::runCommand(
            {"ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=50",
             "-frames:v", "500", "-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
             "log-level=error:keyint=50:min-keyint=50:no-open-gop=1:repeat-headers=1", "-f", "mpegts", source()},
            120000);
        ASSERT_EQ(enc.exitCode, 0) << enc.out;
        fileBytes = oxt::readWholeFile(source()).size();
    }
    void TearDown() override
    {
        if (started)
            node.expectCleanExit();
    }
    std::string source() { return peers.file("source.ts"); }
    void start()
    {
        ASSERT_TRUE(node.start());
        started = true;
        ASSERT_TRUE(node.process().waitForOutput("server is ready at port: 8010", 10000)) << node.process().describe();
        const QJsonObject r = oxt::apiPost(8001, {{"cmd", "login"}, {"user", "admin"},
                                                  {"passMd5", QString::fromStdString(oxt::md5Hex("73519046"))}});
        token = r.value("token").toString();
        ASSERT_FALSE(token.isEmpty()) << compact(r);
    }
    QJsonObject call(QJsonObject request)
    {
        request.insert("token", token);
        return oxt::apiPost(8001, request, "/api/post", 10000);
    }
    QJsonObject publishState()
    {
        const QJsonArray list = call({{"cmd", "getStreamList"}}).value("data").toArray();
        return list.isEmpty() ? QJsonObject() : list.at(0).toObject().value("publishState").toObject();
    }
    bool activeIs(const char* input, const char* reason = nullptr)
    {
        const QJsonObject s = publishState();
        return s.value("active").toObject().value("input").toString() == input
            && (!reason || s.value("lastSwitch").toObject().value("reason").toString() == reason);
    }
    // ffmpeg sending the file in a loop in real time; extra: muxer options.
    bool publish(oxt::Process& p, const std::string& url, const std::string& dir, std::vector<std::string> extra = {})
    {
        peers.mkdir(dir);
        std::vector<std::string> argv{"ffmpeg", "-hide_banner", "-loglevel", "error", "-re", "-stream_loop", "-1",
                                      "-i", source(), "-c", "copy", "-flush_packets", "1"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.insert(argv.end(), {"-f", "mpegts", url});
        return p.start(argv, peers.file(dir));
    }
    std::unique_ptr<Recorder> viewer()
    {
        const int before = node.process().countOccurrences(" connected!");
        auto v = std::make_unique<Recorder>(8020);
        EXPECT_TRUE(v->connected);
        EXPECT_TRUE(oxt::waitFor([&] { return node.process().countOccurrences(" connected!") > before; }, 10000));
        return v;
    }
    // Every 188 bytes start with a sync byte; the recording is cut before its
    // last video packet that starts a frame (the frame may be incomplete),
    // written to a file and decoded: what ffmpeg says at level error. The
    // two publishers' clocks differ, so time steps back at a switch: frames
    // go out at a constant rate (-fps_mode cfr), so that the null muxer
    // does not complain of it; every frame is still decoded.
    std::string checkAndDecode(std::string rec, std::string* why)
    {
        rec.resize(rec.size() - rec.size() % kPkt);
        size_t lastStart = 0;
        for (size_t at = 0; at < rec.size(); at += kPkt) {
            if (static_cast<uint8_t>(rec[at]) != 0x47) {
                *why = "no sync byte at " + std::to_string(at);
                return {};
            }
            if ((rec[at + 1] & 0x40) && pidOf(rec, at) == kVideoPid)
                lastStart = at;
        }
        rec.resize(lastStart);
        peers.writeFile("rec.ts", rec);
        const oxt::CommandResult dec =
            oxt::runCommand({"ffmpeg", "-hide_banner", "-v", "error", "-i", peers.file("rec.ts"), "-fps_mode", "cfr", "-f", "null", "-"}, 120000);
        if (dec.exitCode != 0)
            *why = "ffmpeg ended with " + std::to_string(dec.exitCode);
        return dec.out;
    }

    oxt::OxNode node;
    oxt::TempDir peers;
    QString token;
    bool started = false;
    size_t fileBytes = 0; // ten seconds of the source
};

const char* const kSrtInput = "srt://127.0.0.1:8010?mode=caller&latency=200000&pkt_size=1316";

// "single": the first publisher keeps the stream; the second one's bytes
// (its own PID and service name) never reach the viewer, whose recording
// decodes without an error.
TEST_F(PublishPolicy, SingleRelaysOnlyTheFirstPublisher)
{
    node.dir().writeFile("stream.json", R"([{"id": 0, "name": "live", "publish": {"mode": "single", "lossMs": 3000}}])");
    start();
    auto v = viewer();
    oxt::Process first, second;
    ASSERT_TRUE(publish(first, "tcp://127.0.0.1:8010", "first", {"-metadata", "service_name=firstPublisher"}));
    ASSERT_TRUE(oxt::waitFor([&] { return activeIs("sr_tcp") && v->size() > fileBytes / 10; }, 30000))
        << compact(publishState()) << first.describe();
    ASSERT_TRUE(publish(second, kSrtInput, "second",
                        {"-mpegts_start_pid", std::to_string(kSecondPid), "-metadata", "service_name=secondPublisher"}));
    // Three seconds of the second publisher dropped, key frames included.
    EXPECT_TRUE(oxt::waitFor([&] { return publishState().value("droppedBytes").toDouble() > fileBytes * 0.3; }, 30000, 100))
        << compact(publishState()) << second.describe();
    const QJsonObject s = publishState();
    const std::string metrics = oxt::httpRequest(8001, "GET", "/metrics").body;
    const std::string rec = v->bytes();
    first.kill();
    second.kill();

    EXPECT_EQ(s.value("switches").toInt(), 1) << compact(s);
    EXPECT_EQ(s.value("lastSwitch").toObject().value("reason").toString(), "first");
    EXPECT_NE(metrics.find("oxnode_stream_publisher_switches_total{stream=\"0\",name=\"live\"} 1\n"), std::string::npos)
        << metrics;
    EXPECT_NE(metrics.find("oxnode_stream_publisher_dropped_bytes_total{stream=\"0\",name=\"live\"} "), std::string::npos);
    EXPECT_EQ(rec.find("secondPublisher"), std::string::npos);
    EXPECT_NE(rec.find("firstPublisher"), std::string::npos);
    for (size_t at = 0; at + kPkt <= rec.size(); at += kPkt)
        ASSERT_NE(pidOf(rec, at), kSecondPid) << "at " << at;
    std::string why;
    EXPECT_EQ(checkAndDecode(rec, &why), "");
    EXPECT_EQ(why, "");
}

// "failover": the TCP primary is killed, the SRT backup (connected all along,
// its bytes dropped) comes in at once at its kept key frame; a restarted
// primary takes the stream back after returnMs. The viewer's recording
// decodes without an error across both switches.
TEST_F(PublishPolicy, FailoverToTheBackupAndBack)
{
    node.dir().writeFile("stream.json", R"([{"id": 0, "name": "live"}])");
    start();
    const QJsonObject set = call({{"cmd", "setStreamPublish"}, {"id", 0},
                                  {"data", QJsonObject{{"mode", "failover"}, {"priority", QJsonArray{"sr_tcp", "sr_oxdp"}}, {"lossMs", kLossMs}}}});
    ASSERT_EQ(set.value("results").toString(), "success") << compact(set);
    auto v = viewer();
    oxt::Process primary, backup, again;
    ASSERT_TRUE(publish(primary, "tcp://127.0.0.1:8010", "primary"));
    ASSERT_TRUE(oxt::waitFor([&] { return activeIs("sr_tcp"); }, 30000)) << compact(publishState());
    ASSERT_TRUE(publish(backup, kSrtInput, "backup"));
    // Two seconds of the backup seen (so a key frame is kept) before the primary dies.
    ASSERT_TRUE(oxt::waitFor([&] { return publishState().value("droppedBytes").toDouble() > fileBytes * 0.2; }, 30000, 100))
        << compact(publishState()) << backup.describe();
    const Clock::time_point killed = Clock::now();
    primary.kill();
    ASSERT_TRUE(oxt::waitFor([&] { return activeIs("sr_oxdp", "loss"); }, 10000)) << compact(publishState());
    const size_t atSwitch = v->size();
    ASSERT_TRUE(oxt::waitFor([&] { return v->size() > atSwitch + fileBytes / 10; }, 30000));
    const int64_t gap = v->longestGapMs(killed - std::chrono::milliseconds(200));
    RecordProperty("gapMs", static_cast<int>(gap));
    EXPECT_LE(gap, kLossMs + 100);

    const int64_t restartedMs = QDateTime::currentMSecsSinceEpoch();
    ASSERT_TRUE(publish(again, "tcp://127.0.0.1:8010", "again"));
    ASSERT_TRUE(oxt::waitFor([&] { return activeIs("sr_tcp", "return"); }, 30000)) << compact(publishState());
    const QString when = publishState().value("lastSwitch").toObject().value("time").toString();
    EXPECT_GE(QDateTime::fromString(when, Qt::ISODateWithMs).toMSecsSinceEpoch() - restartedMs, 3000) << when.toStdString();
    const size_t atReturn = v->size();
    ASSERT_TRUE(oxt::waitFor([&] { return v->size() > atReturn + fileBytes / 10; }, 30000));
    const QJsonObject s = publishState();
    const std::string rec = v->bytes();
    again.kill();
    backup.kill();

    EXPECT_EQ(s.value("switches").toInt(), 3) << compact(s);
    std::string why;
    EXPECT_EQ(checkAndDecode(rec, &why), "");
    EXPECT_EQ(why, "");
}

// An edge following two origins: stream 0 pulls stream 1's output first and
// stream 2's as its backup (both origins on this instance, each fed by its
// own ffmpeg). The first origin's feed dies while its output, and so the
// pull, stays connected: after lossMs of silence the backup pull, connected
// and dropped all along, takes over at once, from its kept key frame.
TEST_F(PublishPolicy, EdgeFollowsTheBackupOriginWhenTheFirstFallsSilent)
{
    node.dir().writeFile("stream.json", R"([{"id": 0, "name": "edge", "pullUrl": "oxtcp://127.0.0.1:8040",
        "pullBackupUrl": "oxtcp://127.0.0.1:8060", "publish": {"mode": "failover", "priority": ["sr_pull"], "lossMs": 1000}},
        {"id": 1, "name": "originA"}, {"id": 2, "name": "originB"}])");
    start();
    auto v = viewer();
    oxt::Process feedA, feedB;
    ASSERT_TRUE(publish(feedA, "tcp://127.0.0.1:8030", "a"));
    ASSERT_TRUE(oxt::waitFor([&] {
        return activeIs("sr_pull") && publishState().value("active").toObject().value("address").toString().endsWith(":8040");
    }, 30000)) << compact(publishState());
    ASSERT_TRUE(publish(feedB, "tcp://127.0.0.1:8050", "b"));
    ASSERT_TRUE(oxt::waitFor([&] { return publishState().value("droppedBytes").toDouble() > fileBytes * 0.2; }, 30000, 100))
        << compact(publishState());
    const Clock::time_point killed = Clock::now();
    feedA.kill();
    ASSERT_TRUE(oxt::waitFor([&] {
        const QJsonObject s = publishState();
        return activeIs("sr_pull", "loss") && s.value("active").toObject().value("address").toString().endsWith(":8060");
    }, 10000)) << compact(publishState());
    const size_t atSwitch = v->size();
    ASSERT_TRUE(oxt::waitFor([&] { return v->size() > atSwitch + fileBytes / 10; }, 30000));
    const QJsonObject s = publishState();
    const std::string rec = v->bytes();
    const int64_t gap = v->longestGapMs(killed - std::chrono::milliseconds(200));
    RecordProperty("gapMs", static_cast<int>(gap));
    EXPECT_LE(gap, kLossMs + 100);
    EXPECT_EQ(s.value("switches").toInt(), 2) << compact(s);
    feedB.kill();
    std::string why;
    EXPECT_EQ(checkAndDecode(rec, &why), "");
    EXPECT_EQ(why, "");
}

// Origins on instances of their own: A (198.18.1.2) and B (198.18.3.2), each
// in its namespace, joined by a veth pair to the test's, where the edge runs.
// Each origin gets its own ffmpeg feed into its TCP input; the edge's stream 0
// pulls A's output first and B's as its backup.
class OriginFailover : public PublishPolicy
{
protected:
    void SetUp() override
    {
        PublishPolicy::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ASSERT_TRUE(aNs.ok()) << aNs.error();
        ASSERT_TRUE(bNs.ok()) << bNs.error();
        std::string err;
        ASSERT_TRUE(oxt::joinVeth(nullptr, "198.18.1.1", &aNs, kOriginA, "fa", &err)) << err;
        ASSERT_TRUE(oxt::joinVeth(nullptr, "198.18.3.1", &bNs, kOriginB, "fb", &err)) << err;
        for (auto [origin, ns] : {std::pair{&originA, &aNs}, std::pair{&originB, &bNs}}) {
            origin->options().readyPorts = {8001, 8010, 8020};
            origin->options().launcher = ns->wrap({});
            origin->options().netnsPid = ns->pid();
        }
    }
    void TearDown() override
    {
        if (originB.process().pid() > 0)
            originB.expectCleanExit();
        PublishPolicy::TearDown();
        // The test's ends of the pairs, not left for a next case in this process.
        oxt::ipIn(nullptr, {"link", "del", "faa"});
        oxt::ipIn(nullptr, {"link", "del", "fba"});
    }
    QString activeAddress() { return publishState().value("active").toObject().value("address").toString(); }
    // Video frames ffprobe reads in a file of the recording (quiet: a part
    // cut at the switch may begin within a frame; the whole is decoded apart).
    int framesIn(const std::string& rel)
    {
        const oxt::CommandResult probe =
            oxt::runCommand({"ffprobe", "-v", "quiet", "-count_frames", "-select_streams", "v:0", "-show_entries",
                             "stream=nb_read_frames", "-of", "csv=p=0", peers.file(rel)},
                            120000);
        EXPECT_EQ(probe.exitCode, 0) << probe.out;
        return std::atoi(probe.out.c_str());
    }

    static constexpr const char* kOriginA = "198.18.1.2";
    static constexpr const char* kOriginB = "198.18.3.2";
    oxt::Netns aNs, bNs;
    oxt::OxNode originA, originB;
};

// Origin A's process is killed: its pull closes, and the backup pull from
// origin B, connected and dropped all along, takes over at once from its
// kept key frame. The viewer's recording holds frames of both origins and
// decodes without an error.
TEST_F(OriginFailover, EdgeViewersKeepReceivingWhenTheFirstOriginIsKilled)
{
    ASSERT_TRUE(originA.start());
    ASSERT_TRUE(originB.start());
    oxt::Process feedA, feedB;
    ASSERT_TRUE(publish(feedA, std::string("tcp://") + kOriginA + ":8010", "a", {"-metadata", "service_name=originA"}));
    start();
    // Policy and viewer before the pull: the recording starts at the first key frame relayed.
    const QJsonObject set = call({{"cmd", "setStreamPublish"}, {"id", 0},
                                  {"data", QJsonObject{{"mode", "failover"}, {"priority", QJsonArray{"sr_pull"}}, {"lossMs", kLossMs}}}});
    ASSERT_EQ(set.value("results").toString(), "success") << compact(set);
    auto v = viewer();
    const QJsonObject pull = call({{"cmd", "setStreamPull"}, {"id", 0}, {"url", QString("oxtcp://%1:8020").arg(kOriginA)},
                                   {"backupUrl", QString("oxtcp://%1:8020").arg(kOriginB)}});
    ASSERT_EQ(pull.value("results").toString(), "success") << compact(pull);
    ASSERT_TRUE(oxt::waitFor([&] { return activeIs("sr_pull") && activeAddress().startsWith(kOriginA); }, 30000))
        << compact(publishState()) << feedA.describe();
    // B's feed only now: A is first for certain.
    ASSERT_TRUE(publish(feedB, std::string("tcp://") + kOriginB + ":8010", "b", {"-metadata", "service_name=originB"}));
    // Two seconds of B seen (so a key frame is kept) and one of A relayed.
    ASSERT_TRUE(oxt::waitFor([&] {
        return publishState().value("droppedBytes").toDouble() > fileBytes * 0.2 && v->size() > fileBytes / 10;
    }, 30000, 100)) << compact(publishState()) << feedB.describe();

    const Clock::time_point killed = Clock::now();
    originA.process().kill();
    ASSERT_TRUE(oxt::waitFor([&] { return activeIs("sr_pull", "loss") && activeAddress().startsWith(kOriginB); }, 10000))
        << compact(publishState());
    const size_t atSwitch = v->size();
    ASSERT_TRUE(oxt::waitFor([&] { return v->size() > atSwitch + fileBytes / 10; }, 30000));
    const int64_t gap = v->longestGapMs(killed - std::chrono::milliseconds(200));
    const QJsonObject s = publishState();
    std::string rec = v->bytes();
    feedB.kill();
    feedA.kill();

    RecordProperty("gapMs", static_cast<int>(gap));
    // At most lossMs of silence, and the hops across two instances on a
    // loaded machine.
    EXPECT_LE(gap, kLossMs + 300) << "bytes at the switch: " << atSwitch;
    EXPECT_EQ(s.value("switches").toInt(), 2) << compact(s);
    EXPECT_NE(rec.find("originA"), std::string::npos);
    EXPECT_NE(rec.find("originB", atSwitch), std::string::npos);
    std::string why;
    EXPECT_EQ(checkAndDecode(rec, &why), "");
    EXPECT_EQ(why, "");
    // Frames on both sides of the switch: all of them, and those from it on.
    rec = peers.readFile("rec.ts");
    ASSERT_GT(rec.size(), atSwitch);
    ASSERT_TRUE(peers.writeFile("after.ts", rec.substr(atSwitch - atSwitch % kPkt)));
    const int all = framesIn("rec.ts"), after = framesIn("after.ts");
    RecordProperty("framesAfterSwitch", after);
    EXPECT_GT(after, 0);
    EXPECT_GT(all - after, 0);
}

} // namespace

namespace {

struct Program {
    const char* name;
    const char* bin;
};

class PublishPolicySetting : public ::testing::TestWithParam<Program> {};

// Invalid values are refused with a reason and change nothing; a valid
// policy is saved with its stream only, shown in the list, and back after a
// restart, like a backup pull source; the other stream's entry keeps its old form.
TEST_P(PublishPolicySetting, RefusedOrSavedAndRestored)
{
    oxt::OxNode node;
    node.dir().writeFile("stream.json", R"([{"id": 0, "name": "a"}, {"id": 1, "name": "b"}])");
    ASSERT_TRUE(node.start(GetParam().bin));
    QString token;
    auto call = [&](QJsonObject request) {
        if (token.isEmpty())
            token = oxt::apiPost(8001, {{"cmd", "login"}, {"user", "admin"},
                                        {"passMd5", QString::fromStdString(oxt::md5Hex("73519046"))}})
                        .value("token")
                        .toString();
        request.insert("token", token);
        return oxt::apiPost(8001, request, "/api/post", 10000);
    };
    auto list = [&] { return call({{"cmd", "getStreamList"}}); };
    const std::string before = compact(list());

    struct Bad {
        QJsonValue id;
        QJsonValue data;
        const char* msg;
    };
    const Bad bad[] = {
        {7, QJsonObject{{"mode", "single"}}, "no stream with this id"},
        {1, QJsonValue("single"), "data must be an object"},
        {1, QJsonObject{{"mode", "one"}}, "mode must be"},
        {1, QJsonObject{{"mode", "single"}, {"priority", QJsonArray{"sr_tcp", "sr_tcp"}}}, "listed twice"},
        {1, QJsonObject{{"mode", "single"}, {"lossMs", 5}}, "lossMs must be"},
        {1, QJsonObject{{"returnMs", 1.5}}, "returnMs must be"},
        {1, QJsonObject{{"atKeyframe", "yes"}}, "atKeyframe must be"},
    };
    for (const Bad& b : bad) {
        const QJsonObject r = call({{"cmd", "setStreamPublish"}, {"id", b.id}, {"data", b.data}});
        EXPECT_EQ(r.value("results").toString(), "failed") << compact(r);
        EXPECT_NE(r.value("msg").toString().toStdString().find(b.msg), std::string::npos) << compact(r);
    }
    EXPECT_EQ(compact(list()), before);

    const QJsonObject badBackup = call({{"cmd", "setStreamPull"}, {"id", 1}, {"url", "oxtcp://192.0.2.1:8020"},
                                        {"backupUrl", "ftp://192.0.2.2:8020"}});
    EXPECT_EQ(badBackup.value("results").toString(), "failed") << compact(badBackup);
    EXPECT_TRUE(badBackup.value("msg").toString().startsWith("backupUrl: ")) << compact(badBackup);
    EXPECT_EQ(compact(list()), before);
    const QJsonObject pulls = call({{"cmd", "setStreamPull"}, {"id", 1}, {"url", "oxtcp://192.0.2.1:8020"},
                                    {"backupUrl", "oxdp://192.0.2.2:8020?passphrase=backup-secret-1"}});
    EXPECT_EQ(pulls.value("results").toString(), "success") << compact(pulls);

    const QJsonObject ok = call({{"cmd", "setStreamPublish"}, {"id", 1},
                                 {"data", QJsonObject{{"mode", "failover"}, {"lossMs", 800}}}});
    EXPECT_EQ(compact(ok), R"({"cmd":"setStreamPublish","msg":"success","results":"success"})");
    ASSERT_TRUE(oxt::waitFor([&] { return node.dir().readFile("stream.json").find("\"lossMs\": 800") != std::string::npos; }, 10000));
    EXPECT_EQ(node.stop(), 0);
    ASSERT_TRUE(node.start(GetParam().bin));
    token.clear();
    const QJsonArray streams = list().value("data").toArray();
    ASSERT_EQ(streams.size(), 2);
    EXPECT_FALSE(streams.at(0).toObject().contains("publish"));
    EXPECT_FALSE(streams.at(0).toObject().contains("publishState"));
    EXPECT_EQ(compact(streams.at(1).toObject().value("publish").toObject()),
              R"({"atKeyframe":true,"lossMs":800,"mode":"failover","priority":["sr_tcp","sr_oxdp","sr_lat","sr_pull"],"returnMs":3000})");
    EXPECT_EQ(compact(streams.at(1).toObject().value("publishState").toObject()), R"({"droppedBytes":0,"switches":0})");
    // The backup pull came back too, shown like the first, its passphrase hidden.
    const QJsonObject b = streams.at(1).toObject();
    EXPECT_EQ(b.value("pullBackupUrl").toString(), "oxdp://192.0.2.2:8020?passphrase=***") << compact(b);
    bool listed = false;
    for (const QJsonValue& in : b.value("inList").toArray())
        listed = listed || (in.toObject().value("id").toInt() == 4 && in.toObject().value("name").toString() == "b_pullBackupRx");
    EXPECT_TRUE(listed) << compact(b);
    node.expectCleanExit();
}

INSTANTIATE_TEST_SUITE_P(Programs, PublishPolicySetting,
                         ::testing::Values(Program{"oxnode", OXNODE_BIN}, Program{"oxnode_basic", OXNODE_BASIC_BIN}),
                         [](const ::testing::TestParamInfo<Program>& i) { return std::string(i.param.name); });

} // namespace
