// The real oxnode relaying over SRT (oxdp) in a private network namespace,
// with srt-live-transmit as source (caller into UDP 8010 + 20*N) and as
// callers pulling from UDP 8020 + 20*N, next to TCP sources and clients of
// the same stream.
//
// libsrt may lose the first packets of a fresh connection at 20 ms latency,
// so every transfer starts with filler ('W' chunks) until every receiver has
// heard some, and the check is: the receiver's bytes are filler followed by
// exactly the payload.
#include "oxhttp.h"
#include "oxtest.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonObject>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t kChunk = 1316;

std::string randomBytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(rng());
    return s;
}

// True when got is filler ('W' bytes) around each payload in turn, exactly.
// Payloads never start with 'W' (see payloadBytes), which marks where they begin.
::testing::AssertionResult fillerAround(const std::string& got, const std::vector<std::string>& payloads)
{
    size_t pos = 0;
    for (size_t i = 0; i < payloads.size(); ++i) {
        const std::string& payload = payloads[i];
        pos = got.find_first_not_of('W', pos);
        if (pos == std::string::npos || got.size() - pos < payload.size())
            return ::testing::AssertionFailure() << "payload " << i << " incomplete (" << got.size() << " bytes)";
        if (got.compare(pos, payload.size(), payload) != 0) {
            size_t at = 0;
            while (at < payload.size() && got[pos + at] == payload[at])
                ++at;
            return ::testing::AssertionFailure() << "payload " << i << " differs at " << at << " of "
                                                 << payload.size() << " (" << got.size() << " bytes received)";
        }
        pos += payload.size();
    }
    if (got.find_first_not_of('W', pos) != std::string::npos)
        return ::testing::AssertionFailure() << "unexpected bytes after the payload";
    return ::testing::AssertionSuccess();
}

std::string payloadBytes(size_t n, unsigned seed)
{
    std::string s = randomBytes(n, seed);
    s[0] = 'P';
    return s;
}

double processCpuSeconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream rest(all.substr(all.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stol(field);
        if (i == 15)
            stime = std::stol(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}


std::string srtUrl(int port)
{
    return "srt://127.0.0.1:" + std::to_string(port) + "?mode=caller&latency=20";
}

// srt-live-transmit pulling from an oxdp output into its standard output.
class SrtSink
{
public:
    SrtSink(const oxt::TempDir& dir, const std::string& tag) : logDir(dir.file(tag)) { dir.mkdir(tag); }
    // Returns once the service has accepted the caller.
    ::testing::AssertionResult start(int port, oxt::OxNode& node)
    {
        const int before = node.process().countOccurrences("socket fd:");
        if (!proc.start({"srt-live-transmit", "-chunk:1316", srtUrl(port), "file://con"}, logDir, {}, logDir))
            return ::testing::AssertionFailure() << proc.error();
        if (!oxt::waitFor([&] { return node.process().countOccurrences("socket fd:") > before; }, 10000))
            return ::testing::AssertionFailure() << "sink was not accepted: " << proc.describe();
        return ::testing::AssertionSuccess();
    }
    std::string bytes() const { return proc.stdoutText(); }
    oxt::Process proc;
    std::string logDir;
};

// srt-live-transmit pushing what the test writes into a FIFO to an oxdp input.
class SrtSource
{
public:
    SrtSource(const oxt::TempDir& dir, const std::string& tag) : logDir(dir.file(tag)) { dir.mkdir(tag); }
    ~SrtSource() { close(); }
    // Returns once the service has accepted the caller.
    ::testing::AssertionResult start(int port, oxt::OxNode& node)
    {
        auto inputAccepts = [&] {
            return node.process().countOccurrences("oxdp tx new connection: ")
                - node.process().countOccurrences("socket fd:");
        };
        const int before = inputAccepts();
        const std::string fifo = logDir + "/in.fifo";
        if (::mkfifo(fifo.c_str(), 0600) != 0)
            return ::testing::AssertionFailure() << "mkfifo";
        // Held open for reading and writing, so that the child's open of the
        // read end does not block; closing it ends the source's input.
        fd = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return ::testing::AssertionFailure() << "open fifo";
        if (!proc.start({"srt-live-transmit", "-chunk:1316", "file://con", srtUrl(port)}, logDir, {}, logDir, fifo))
            return ::testing::AssertionFailure() << proc.error();
        if (!oxt::waitFor([&] { return inputAccepts() > before; }, 10000))
            return ::testing::AssertionFailure() << "source was not accepted: " << proc.describe();
        return ::testing::AssertionSuccess();
    }
    bool write(const std::string& bytes)
    {
        size_t off = 0;
        while (off < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.data() + off, bytes.size() - off);
            if (n <= 0)
                return false;
            off += static_cast<size_t>(n);
        }
        return true;
    }
    void close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    oxt::Process proc;
    std::string logDir;
    int fd = -1;
};

// Something that pushes bytes into a stream: an SRT source or a TCP client.
using Push = std::function<bool(const std::string&)>;

// Sends filler until every receiver has some, then the payload, paced at
// about 1 MB/s (the relay itself is much faster; pacing keeps the 20 ms
// latency window of srt-live-transmit's unpaced file input from being the
// thing under test).
::testing::AssertionResult pushWithWarmUp(const Push& push, const std::string& payload,
                                          const std::vector<std::function<size_t()>>& received)
{
    const std::string filler(kChunk, 'W');
    const bool warmed = oxt::waitFor([&] {
        if (!push(filler))
            return false;
        for (const auto& r : received)
            if (r() == 0)
                return false;
        return true;
    }, 10000, 10);
    if (!warmed)
        return ::testing::AssertionFailure() << "receivers heard nothing during the warm-up";
    for (size_t off = 0; off < payload.size(); off += 4 * kChunk) {
        if (!push(payload.substr(off, 4 * kChunk)))
            return ::testing::AssertionFailure() << "push failed at " << off;
        std::this_thread::sleep_for(std::chrono::milliseconds(5)); // pacing, not waiting
    }
    return ::testing::AssertionSuccess();
}

// Keeps pushing filler (srt-live-transmit flushes its file output only in
// whole blocks) until got() holds filler around the payloads.
::testing::AssertionResult arrives(const Push& push, const std::function<std::string()>& got,
                                   const std::vector<std::string>& payloads)
{
    const std::string filler(kChunk, 'W');
    if (oxt::waitFor([&] { return push(filler) && fillerAround(got(), payloads); }, 10000, 10))
        return ::testing::AssertionSuccess();
    return fillerAround(got(), payloads);
}

class SrtRelay : public ::testing::Test
{
protected:
    void start(const std::vector<int>& tcpPorts = {8010, 8020})
    {
        node.options().readyPorts = tcpPorts;
        ASSERT_TRUE(node.start());
    }
    // The SRT listeners are up once both have logged.
    void waitSrtReady(int n = 0)
    {
        for (int port : {8010 + 20 * n, 8020 + 20 * n})
            ASSERT_TRUE(node.process().waitForOutput("server is ready at port: " + std::to_string(port), 10000))
                << port;
    }
    std::unique_ptr<oxt::TcpClient> tcpClient(int port)
    {
        // Waits until the service has logged the connection, so that no
        // relayed byte can be missed by a client still connecting.
        const int before = node.process().countOccurrences(" connected!");
        auto c = std::make_unique<oxt::TcpClient>();
        EXPECT_TRUE(c->connect("127.0.0.1", port));
        EXPECT_TRUE(oxt::waitFor([&] { return node.process().countOccurrences(" connected!") > before; }));
        return c;
    }
    void TearDown() override { node.expectCleanExit(); }
    oxt::OxNode node;
    oxt::TempDir peers;
};

TEST_F(SrtRelay, SrtSourceReachesTwoSrtCallersAndATcpClientByteExact)
{
    start();
    waitSrtReady();
    SrtSink a(peers, "a"), b(peers, "b");
    ASSERT_TRUE(a.start(8020, node));
    ASSERT_TRUE(b.start(8020, node));
    ASSERT_TRUE(node.process().waitForOutput("socket fd:", 5000));
    auto tcp = tcpClient(8020);
    SrtSource src(peers, "src");
    ASSERT_TRUE(src.start(8010, node));
    std::string tcpGot;
    auto tcpReceived = [&] {
        tcpGot += tcp->recvSome(1);
        return tcpGot.size();
    };
    const std::string payload = payloadBytes(400 * kChunk, 11);
    ASSERT_TRUE(pushWithWarmUp([&](const std::string& s) { return src.write(s); }, payload,
                               {[&] { return a.bytes().size(); }, [&] { return b.bytes().size(); }, tcpReceived}));
    const Push push = [&](const std::string& s) { return src.write(s); };
    EXPECT_TRUE(arrives(push, [&] { return a.bytes(); }, {payload}));
    EXPECT_TRUE(arrives(push, [&] { return b.bytes(); }, {payload}));
    EXPECT_TRUE(arrives(push, [&] { tcpReceived(); return tcpGot; }, {payload}));
}

TEST_F(SrtRelay, TcpSourceReachesSrtCallersByteExact)
{
    start();
    waitSrtReady();
    SrtSink a(peers, "a"), b(peers, "b");
    ASSERT_TRUE(a.start(8020, node));
    ASSERT_TRUE(b.start(8020, node));
    auto source = tcpClient(8010);
    // TCP reads of any size: the output splits them into messages of at most 1316 bytes.
    const std::string payload = payloadBytes(300 * kChunk + 777, 12);
    ASSERT_TRUE(pushWithWarmUp([&](const std::string& s) { return source->sendAll(s); }, payload,
                               {[&] { return a.bytes().size(); }, [&] { return b.bytes().size(); }}));
    const Push push = [&](const std::string& s) { return source->sendAll(s); };
    EXPECT_TRUE(arrives(push, [&] { return a.bytes(); }, {payload}));
    EXPECT_TRUE(arrives(push, [&] { return b.bytes(); }, {payload}));
}

TEST_F(SrtRelay, StreamsZeroAndTwoListenOnTheirOwnUdpPorts)
{
    node.dir().writeFile("stream.json", "[{\"id\": 0, \"name\": \"a\"}, {\"id\": 2, \"name\": \"b\"}]");
    start({8010, 8020, 8050, 8060});
    waitSrtReady(0);
    waitSrtReady(2);
    SrtSink zero(peers, "zero"), two(peers, "two");
    ASSERT_TRUE(zero.start(8020, node));
    ASSERT_TRUE(two.start(8060, node));
    SrtSource src(peers, "src");
    ASSERT_TRUE(src.start(8050, node));
    const std::string payload = payloadBytes(50 * kChunk, 13);
    ASSERT_TRUE(pushWithWarmUp([&](const std::string& s) { return src.write(s); }, payload,
                               {[&] { return two.bytes().size(); }}));
    EXPECT_TRUE(arrives([&](const std::string& s) { return src.write(s); }, [&] { return two.bytes(); }, {payload}));
    EXPECT_EQ(zero.bytes(), "") << "stream 0 must not receive stream 2's data";
    // Stream 0's own SRT input still feeds stream 0.
    SrtSource src0(peers, "src0");
    ASSERT_TRUE(src0.start(8010, node));
    EXPECT_TRUE(oxt::waitFor([&] { return src0.write(std::string(kChunk, 'W')) && !zero.bytes().empty(); }, 10000, 10));
}

TEST_F(SrtRelay, HeldOutputPortIsRetriedOncePerSecondWithoutSpinningAndTheRestOfTheStreamWorks)
{
    const int held = oxt::holdUdpPort(8020);
    ASSERT_GE(held, 0);
    start();
    ASSERT_TRUE(node.process().waitForOutput("srt_bind: ", 10000));
    const double cpu0 = processCpuSeconds(node.process().pid());
    const auto t0 = std::chrono::steady_clock::now();
    const int first = node.process().countOccurrences("srt_bind: ");
    ASSERT_TRUE(oxt::waitFor([&] { return node.process().countOccurrences("srt_bind: ") >= first + 2; }, 10000));
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = processCpuSeconds(node.process().pid()) - cpu0;
    EXPECT_GE(wall, 1.5) << "two further attempts must be a second apart each";
    EXPECT_LT(cpu, 0.5 * wall) << "retrying must not spin a core (cpu " << cpu << " s in " << wall << " s)";

    // TCP in, TCP out, and the SRT input all still work.
    auto client = tcpClient(8020);
    auto tcpSource = tcpClient(8010);
    ASSERT_TRUE(tcpSource->sendAll("tcp-path"));
    EXPECT_EQ(client->recvExactly(8), "tcp-path");
    ASSERT_TRUE(node.process().waitForOutput("server is ready at port: 8010", 5000));
    SrtSource src(peers, "src");
    ASSERT_TRUE(src.start(8010, node));
    std::string got;
    EXPECT_TRUE(oxt::waitFor([&] {
        src.write(std::string(kChunk, 'W'));
        got += client->recvSome(1);
        return !got.empty();
    }, 10000, 10));

    // Once the port is free the output listens on it.
    ::close(held);
    ASSERT_TRUE(node.process().waitForOutput("server is ready at port: 8020", 5000));
    SrtSink sink(peers, "sink");
    ASSERT_TRUE(sink.start(8020, node));
    EXPECT_TRUE(oxt::waitFor([&] { return src.write(std::string(kChunk, 'W')) && !sink.bytes().empty(); }, 10000, 10));
}

TEST_F(SrtRelay, TwoCallersOneLeavesTheOtherKeepsReceivingByteExact)
{
    start();
    waitSrtReady();
    SrtSink stay(peers, "stay");
    auto leave = std::make_unique<SrtSink>(peers, "leave");
    ASSERT_TRUE(stay.start(8020, node));
    ASSERT_TRUE(leave->start(8020, node));
    SrtSource src(peers, "src");
    ASSERT_TRUE(src.start(8010, node));
    const std::string first = payloadBytes(100 * kChunk, 14);
    ASSERT_TRUE(pushWithWarmUp([&](const std::string& s) { return src.write(s); }, first,
                               {[&] { return stay.bytes().size(); }, [&] { return leave->bytes().size(); }}));
    const Push push = [&](const std::string& s) { return src.write(s); };
    ASSERT_TRUE(arrives(push, [&] { return leave->bytes(); }, {first}));
    ASSERT_TRUE(arrives(push, [&] { return stay.bytes(); }, {first}));
    leave->proc.kill();
    leave.reset();
    // The departure is noticed (the caller breaks) ...
    ASSERT_TRUE(node.process().waitForOutput("source disconnected. status=", 15000));
    // ... and the caller that stays gets everything after it, byte exact.
    const std::string second = payloadBytes(200 * kChunk, 15);
    ASSERT_TRUE(pushWithWarmUp(push, second, {[&] { return stay.bytes().size(); }}));
    EXPECT_TRUE(arrives(push, [&] { return stay.bytes(); }, {first, second}));
}

TEST_F(SrtRelay, CallerAndSourceDisconnectAndReconnect)
{
    start();
    waitSrtReady();
    for (int round = 0; round < 2; ++round) {
        SrtSink sink(peers, "sink" + std::to_string(round));
        ASSERT_TRUE(sink.start(8020, node)) << round;
        SrtSource src(peers, "src" + std::to_string(round));
        ASSERT_TRUE(src.start(8010, node)) << round;
        const std::string payload = payloadBytes(60 * kChunk, 20 + static_cast<unsigned>(round));
        ASSERT_TRUE(pushWithWarmUp([&](const std::string& s) { return src.write(s); }, payload,
                                   {[&] { return sink.bytes().size(); }}));
        EXPECT_TRUE(arrives([&](const std::string& s) { return src.write(s); }, [&] { return sink.bytes(); },
                            {payload}))
            << round;
        // Orderly departures this time (the other test breaks a caller).
        // The sink leaves in order; the source, blocked reading its input, is killed.
        sink.proc.terminate();
        src.proc.kill();
        // Both departures noticed before the next round connects again.
        ASSERT_TRUE(oxt::waitFor(
            [&] { return node.process().countOccurrences("source disconnected. status=") >= 2 * (round + 1); },
            15000))
            << round;
    }
}

TEST_F(SrtRelay, BasicProgramRelaysSrtToo)
{
    node.options().readyPorts = {8010, 8020};
    ASSERT_TRUE(node.start(OXNODE_BASIC_BIN));
    waitSrtReady();
    SrtSink sink(peers, "sink");
    ASSERT_TRUE(sink.start(8020, node));
    SrtSource src(peers, "src");
    ASSERT_TRUE(src.start(8010, node));
    const std::string payload = payloadBytes(50 * kChunk, 30);
    ASSERT_TRUE(pushWithWarmUp([&](const std::string& s) { return src.write(s); }, payload,
                               {[&] { return sink.bytes().size(); }}));
    EXPECT_TRUE(arrives([&](const std::string& s) { return src.write(s); }, [&] { return sink.bytes(); }, {payload}));
}

// A TCP source far faster than the SRT caller: the output's copy queue is
// bounded in bytes, drops its oldest copies, says so once a second, and the
// web API keeps answering.
TEST_F(SrtRelay, FullSpeedTcpSourceWithOneSrtCallerStaysBoundedAndTheApiAnswers)
{
    start({8001, 8010, 8020});
    waitSrtReady();
    SrtSink sink(peers, "sink");
    ASSERT_TRUE(sink.start(8020, node));
    auto source = tcpClient(8010);
    ASSERT_TRUE(oxt::waitFor([&] { return source->sendAll(std::string(kChunk, 'W')) && !sink.bytes().empty(); },
                             10000, 10));
    const QJsonObject login = oxt::apiPost(
        8001, {{"cmd", "login"}, {"user", "admin"}, {"passMd5", QString::fromStdString(oxt::md5Hex("73519046"))}});
    const QString token = login.value("token").toString();
    ASSERT_EQ(token.size(), 32);

    const pid_t pid = node.process().pid();
    const long baseKb = oxt::rssKb(pid);
    std::atomic<bool> pushing{true};
    std::thread pusher([&] {
        const std::string block(256 * 1024, 'X');
        while (pushing.load() && source->sendAll(block, 2000)) {
        }
    });
    long peakKb = baseKb;
    double slowest = 0;
    const auto t0 = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - t0 < std::chrono::seconds(4)) {
        peakKb = std::max(peakKb, oxt::rssKb(pid));
        const auto a = std::chrono::steady_clock::now();
        const QJsonObject r = oxt::apiPost(8001, {{"cmd", "getStreamList"}, {"token", token}}, "/api/post", 2000);
        slowest = std::max(slowest, std::chrono::duration<double>(std::chrono::steady_clock::now() - a).count());
        EXPECT_EQ(r.value("data").toArray().size(), 1);
    }
    pushing.store(false);
    pusher.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const int fullLines = node.process().countOccurrences("OXDP BUFF FULL");
    EXPECT_GE(fullLines, 1) << "the source must outrun the caller for this test to mean anything";
    EXPECT_LE(fullLines, static_cast<int>(seconds) + 2);
    EXPECT_LT(slowest, 1.0);
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer keeps freed blocks in quarantine: resident memory then
    // follows the churn, not what the service keeps.
    (void)peakKb;
#else
    EXPECT_LT(peakKb - baseKb, 64 * 1024) << "RSS " << baseKb << " kB before, " << peakKb << " kB peak";
#endif
}

} // namespace
