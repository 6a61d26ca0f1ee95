// The oxdp endpoints on their own, against SRT callers written with libsrt in
// the test: status objects, port checks, srtReady, message splitting, the
// bounded queue, paced retries on a port held elsewhere.
//
// Unit tests share the host's network namespace: every test takes ports that
// it has just found free.
#include "test_srt_peer.h"

#include "oxStream.h"
#include "oxStreamBuffers.h"
#include "srtCommon.h"
#include "sr_oxdp/sr_oxdp.h"
#include "st_oxdp/st_oxdp.h"

#include "oxtest.h"

#include <gtest/gtest.h>

#include <QJsonObject>
#include <QStringList>

#include <dirent.h>
#include <time.h>

#include <chrono>
#include <initializer_list>
#include <optional>
#include <thread>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

using srtt::SrtPeer;

// An oxStream whose only endpoints are one sr_oxdp on `port` and an output
// that records every byte it is lent.
struct RecordingOutput : oxStreamType {
    RecordingOutput() { type = QStringLiteral("recorder"); }
    void start() override {}
    void stop() override {}
    QJsonObject getCfg() override { return {}; }
    QJsonObject getStatus() override { return {}; }
    void putBufIn(oxStreamBuf* buf) override
    {
        const oxStreambuf_t* p = buf->streamPayload();
        std::lock_guard<std::mutex> lock(mutex);
        chunks.emplace_back(reinterpret_cast<char*>(p->data), static_cast<size_t>(p->len));
    }
    std::string bytes()
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::string all;
        for (const auto& c : chunks)
            all += c;
        return all;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex);
        chunks.clear();
    }
    size_t count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return chunks.size();
    }
    std::mutex mutex;
    std::vector<std::string> chunks;
};

class InputStream : public oxStream
{
public:
    explicit InputStream(int port_) : oxStream(nullptr, 0, QJsonObject{{"name", "in"}}), port(port_) {}
    sr_oxdp* input() const { return static_cast<sr_oxdp*>(inList.value(0)); }
    RecordingOutput* output() const { return static_cast<RecordingOutput*>(outList.value(0)); }

protected:
    void createEndpoints() override
    {
        auto* in = new sr_oxdp(2, QJsonObject{{"name", "in_oxdpRx"}, {"port", port}});
        in->stream = this;
        inList.append(in);
        auto* out = new RecordingOutput;
        out->stream = this;
        outList.append(out);
    }

private:
    int port;
};

QStringList sortedKeys(const QJsonObject& o)
{
    QStringList k = o.keys();
    k.sort();
    return k;
}

oxStreamBuf* bufferOf(const std::string& bytes)
{
    return oxStreamBuf::createStreamBuf(BUF_STREAM_H265, bytes.data(), static_cast<int>(bytes.size()),
                                        static_cast<int>(bytes.size()), nullptr);
}

// Lends one buffer to an output the way the stream does.
void offer(oxStreamType& out, const std::string& bytes)
{
    std::unique_ptr<oxStreamBuf> b(bufferOf(bytes));
    out.putBufIn(b.get());
}

int openDescriptors()
{
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}

double processCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// ---------------------------------------------------------------------------
// Configuration and status objects

struct KeyCase {
    const char* name;
    bool output;
};

class OxdpKeys : public ::testing::TestWithParam<KeyCase>
{
};

std::unique_ptr<oxStreamType> makeEndpoint(bool output, QJsonObject cfg)
{
    if (output)
        return std::make_unique<st_oxdp>(2, cfg);
    return std::make_unique<sr_oxdp>(2, cfg);
}

TEST_P(OxdpKeys, CfgAndStatusCarryTheSpecifiedKeysAndZeroStatisticsBeforeTraffic)
{
    const int port = srtt::freeUdpPort();
    oxStream owner(nullptr, 0, QJsonObject());
    auto ep = makeEndpoint(GetParam().output, QJsonObject{{"name", "cam_x"}, {"port", port}});
    ep->stream = &owner;
    EXPECT_EQ(ep->getCfg().value("url").toString(), QString());
    ep->start();
    const QJsonObject cfg = ep->getCfg();
    EXPECT_EQ(sortedKeys(cfg), (QStringList{"id", "name", "type", "url"}));
    EXPECT_EQ(cfg.value("id").toInt(), 2);
    EXPECT_EQ(cfg.value("type").toString(), QString::fromLatin1(GetParam().name));
    EXPECT_EQ(cfg.value("name").toString(), QStringLiteral("cam_x"));
    EXPECT_EQ(cfg.value("url").toString(), QStringLiteral("oxdp://host.name.error:%1?latency=20").arg(port));
    const QJsonObject st = ep->getStatus();
    EXPECT_EQ(sortedKeys(st),
              (QStringList{"band", "banduse", "id", "name", "pktDrop", "pktLoss", "rtt", "srtReady", "type", "url"}));
    for (const char* k : {"rtt", "pktLoss", "pktDrop", "band", "banduse"})
        EXPECT_EQ(st.value(k).toDouble(), 0.0) << k;
    EXPECT_FALSE(st.value("srtReady").toBool());
    EXPECT_TRUE(st.value("pktLoss").isDouble());
}

INSTANTIATE_TEST_SUITE_P(BothEndpoints, OxdpKeys,
                         ::testing::Values(KeyCase{"sr_oxdp", false}, KeyCase{"st_oxdp", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Port check

struct PortCase {
    const char* name;
    bool output;
    int port;          // 0: no "port" key
    bool listens;
};

class OxdpPortCheck : public ::testing::TestWithParam<PortCase>
{
};

TEST_P(OxdpPortCheck, PortsBelowHundredAreRefusedWithTheSpecifiedText)
{
    const PortCase& c = GetParam();
    QJsonObject cfg{{"name", "p"}};
    if (c.port != 0)
        cfg.insert("port", c.port);
    oxStream owner(nullptr, 0, QJsonObject());
    auto ep = makeEndpoint(c.output, cfg);
    ep->stream = &owner;
    ::testing::internal::CaptureStdout();
    ep->start();
    const std::string out = ::testing::internal::GetCapturedStdout();
    const int shown = c.port == 0 ? -1 : c.port;
    EXPECT_EQ(ep->getCfg().value("url").toString(),
              QStringLiteral("oxdp://host.name.error:%1?latency=20").arg(shown));
    const std::string refusal = "监听端口不正确:" + std::to_string(shown) + " \n";
    auto listening = [&] {
        return c.output ? static_cast<st_oxdp*>(ep.get())->isListening()
                        : static_cast<sr_oxdp*>(ep.get())->isListening();
    };
    if (c.listens) {
        EXPECT_EQ(out.find(refusal), std::string::npos) << out;
        EXPECT_TRUE(oxt::waitFor(listening, 5000)) << "port " << c.port << " must be accepted";
    } else {
        EXPECT_NE(out.find(refusal), std::string::npos) << out;
        EXPECT_NE(out.find("\33[31m"), std::string::npos) << "level 100 prints red";
        EXPECT_FALSE(listening());
        EXPECT_EQ(ep->getStatus().value("srtReady").toBool(), false);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ports, OxdpPortCheck,
    ::testing::Values(PortCase{"input99", false, 99, false}, PortCase{"output99", true, 99, false},
                      PortCase{"inputAbsent", false, 0, false}, PortCase{"outputAbsent", true, 0, false},
                      PortCase{"input100", false, 100, true}, PortCase{"output100", true, 100, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OxdpLifecycle, SecondStartAfterStopLeavesTheEndpointStoppedAndRebuildsTheUrl)
{
    const int port = srtt::freeUdpPort();
    oxStream owner(nullptr, 0, QJsonObject());
    st_oxdp out(2, QJsonObject{{"port", port}});
    out.stream = &owner;
    out.start();
    ASSERT_TRUE(oxt::waitFor([&] { return out.isListening(); }));
    out.stop();
    ASSERT_TRUE(oxt::waitFor([&] { return !out.isListening(); }));
    out.url.clear();
    out.start();
    EXPECT_FALSE(out.getCfg().value("url").toString().isEmpty());
    const int attempts = out.attemptCount();
    SrtPeer caller;
    EXPECT_FALSE(caller.connect(port, 600)) << "a stopped output must not listen again";
    EXPECT_EQ(out.attemptCount(), attempts);
}

// ---------------------------------------------------------------------------
// Port held by another program

class OxdpPortInUse : public ::testing::TestWithParam<bool>
{
};

TEST_P(OxdpPortInUse, FailedAttemptsArePacedReleaseEverythingAndRecoverWhenThePortFrees)
{
    srtt::LogCollector log;
    const int port = srtt::freeUdpPort();
    const int held = oxt::holdUdpPort(port);
    ASSERT_GE(held, 0);
    oxStream owner(nullptr, 0, QJsonObject());
    auto ep = makeEndpoint(GetParam(), QJsonObject{{"port", port}});
    ep->stream = &owner;
    auto attempts = [&] {
        return GetParam() ? static_cast<st_oxdp*>(ep.get())->attemptCount()
                          : static_cast<sr_oxdp*>(ep.get())->attemptCount();
    };
    ep->start();
    ASSERT_TRUE(oxt::waitFor([&] { return attempts() >= 2; }, 5000));
    const int fdsAfterSecond = openDescriptors();
    const double cpu0 = processCpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(oxt::waitFor([&] { return attempts() >= 4; }, 6000));
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = processCpuSeconds() - cpu0;
    EXPECT_GE(wall, 1.5) << "two more attempts must take two retry pauses";
    EXPECT_LT(cpu, 0.5 * wall) << "retrying must not spin a core";
    EXPECT_GE(log.count("srt_bind: "), 2);
    // The count above moves as an attempt begins, so the attempt just seen
    // may still be closing down, its socket still open.
    EXPECT_TRUE(oxt::waitFor([] { return oxSrt::openAttempts() == 0; }, 1000))
        << "failed attempts must not stay counted";
    EXPECT_TRUE(oxt::waitFor([&] { return openDescriptors() <= fdsAfterSecond; }, 1000))
        << "a failed attempt must release its socket";
    ::close(held);
    SrtPeer caller;
    EXPECT_TRUE(caller.connect(port, 5000)) << "the endpoint listens once the port is free";
}

INSTANTIATE_TEST_SUITE_P(BothEndpoints, OxdpPortInUse, ::testing::Values(false, true),
                         [](const auto& info) { return std::string(info.param ? "output" : "input"); });

// ---------------------------------------------------------------------------
// sr_oxdp

TEST(SrOxdp, EveryMessageFromEveryCallerReachesTheStreamAndSrtReadyFollowsTheCallers)
{
    const int port = srtt::freeUdpPort();
    InputStream s(port);
    s.start();
    sr_oxdp* in = s.input();
    ASSERT_TRUE(oxt::waitFor([&] { return in->isListening(); }));
    EXPECT_FALSE(in->getStatus().value("srtReady").toBool());
    SrtPeer a, b;
    ASSERT_TRUE(a.connect(port));
    ASSERT_TRUE(b.connect(port));
    EXPECT_FALSE(in->getStatus().value("srtReady").toBool()) << "false until a caller's first event";
    // The first messages of a fresh connection may be lost inside libsrt:
    // probe each caller until the stream hears it.
    for (SrtPeer* p : {&a, &b}) {
        const size_t before = s.output()->count();
        ASSERT_TRUE(oxt::waitFor([&] { return p->send("p") && oxt::waitFor([&] { return s.output()->count() > before; }, 20, 1); }, 5000, 0));
    }
    EXPECT_TRUE(in->getStatus().value("srtReady").toBool());
    ASSERT_TRUE(oxt::waitFor([&] {
        const size_t n = s.output()->count();
        return !oxt::waitFor([&] { return s.output()->count() != n; }, 100, 5);
    }));
    s.output()->clear();
    ASSERT_TRUE(a.send("from-a;"));
    ASSERT_TRUE(oxt::waitFor([&] { return s.output()->count() == 1; }));
    ASSERT_TRUE(b.send(std::string(1316, 'b')));
    ASSERT_TRUE(oxt::waitFor([&] { return s.output()->count() == 2; }));
    EXPECT_EQ(s.output()->chunks[1].size(), 1316u);
    // One caller leaves: not ready until the other delivers again.
    a.close();
    ASSERT_TRUE(oxt::waitFor([&] { return !in->getStatus().value("srtReady").toBool(); }));
    ASSERT_TRUE(b.send("again"));
    ASSERT_TRUE(oxt::waitFor([&] { return s.output()->count() == 3; }));
    EXPECT_TRUE(in->getStatus().value("srtReady").toBool());
    EXPECT_EQ(s.output()->bytes(), "from-a;" + std::string(1316, 'b') + "again");
    // A caller that left can come back.
    SrtPeer again;
    ASSERT_TRUE(again.connect(port));
    ASSERT_TRUE(oxt::waitFor([&] { return again.send("back") && oxt::waitFor([&] { return s.output()->count() > 3; }, 20, 1); }, 5000, 0));
}

TEST(SrOxdp, StatisticsAreRefreshedAfterATickWhileMessagesFlow)
{
    const int port = srtt::freeUdpPort();
    InputStream s(port);
    s.start();
    ASSERT_TRUE(oxt::waitFor([&] { return s.input()->isListening(); }));
    SrtPeer a;
    ASSERT_TRUE(a.connect(port));
    s.input()->heartTimerSlots();
    ASSERT_TRUE(oxt::waitFor([&] {
        a.send(std::string(1000, 'x'));
        return s.input()->getStatus().value("banduse").toDouble() > 0.0;
    }, 5000, 20));
}

TEST(SrOxdp, StopClosesTheListenerWithinAPollPeriodAndCallersAreDropped)
{
    const int port = srtt::freeUdpPort();
    InputStream s(port);
    s.start();
    ASSERT_TRUE(oxt::waitFor([&] { return s.input()->isListening(); }));
    SrtPeer a;
    ASSERT_TRUE(a.connect(port));
    ASSERT_TRUE(a.send("x"));
    ASSERT_TRUE(oxt::waitFor([&] { return s.output()->count() == 1; }));
    s.stop();
    EXPECT_TRUE(oxt::waitFor([&] { return !s.input()->isListening(); }, 1000));
    EXPECT_TRUE(oxt::waitFor([&] { return a.broken(); }, 5000)) << "the source's socket is closed at stop";
    // stop() only asks; the attempt winds down on its own thread.
    EXPECT_TRUE(oxt::waitFor([] { return oxSrt::openAttempts() == 0; }, 1000));
}

// ---------------------------------------------------------------------------
// st_oxdp

class StOxdpTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        port = srtt::freeUdpPort();
        out = std::make_unique<st_oxdp>(2, QJsonObject{{"name", "o_tcpTx"}, {"port", port}});
        out->stream = &owner;
        out->start();
        ASSERT_TRUE(oxt::waitFor([&] { return out->isListening(); }));
    }
    bool ready() { return out->getStatus().value("srtReady").toBool(); }
    // libsrt may lose the very first messages of a fresh connection at 20 ms
    // latency (nothing follows them to reveal the loss in time). Offer probes
    // until every caller hears one, then a marker, and read each up to it.
    // Until then the caller's side may also miss the shutdown of a close.
    void settle(std::initializer_list<SrtPeer*> peers, st_oxdp* ep = nullptr)
    {
        st_oxdp& to = ep ? *ep : *out;
        for (SrtPeer* p : peers) {
            ASSERT_TRUE(oxt::waitFor([&] {
                offer(to, "probe");
                auto m = p->recv(20);
                return m && *m == "probe";
            }, 5000, 0));
        }
        offer(to, "sync");
        for (SrtPeer* p : peers) {
            std::optional<std::string> m;
            do
                m = p->recv(3000);
            while (m && *m != "sync");
            ASSERT_TRUE(m.has_value());
        }
    }
    void connect(SrtPeer& p)
    {
        const int before = out->clientCount();
        ASSERT_TRUE(p.connect(port));
        ASSERT_TRUE(oxt::waitFor([&] { return out->clientCount() == before + 1; }));
    }
    oxStream owner{nullptr, 0, QJsonObject()};
    int port = 0;
    std::unique_ptr<st_oxdp> out;
};

TEST_F(StOxdpTest, WithoutCallersBuffersAreDiscardedSilently)
{
    ::testing::internal::CaptureStdout();
    for (int i = 0; i < 3000; ++i)
        offer(*out, "nobody");
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out->queuedCount(), 0);
    EXPECT_EQ(printed, "");
    EXPECT_FALSE(ready());
}

struct SplitCase {
    int length;
    std::vector<int> messages;
};

class StOxdpSplit : public StOxdpTest, public ::testing::WithParamInterface<SplitCase>
{
};

TEST_P(StOxdpSplit, BuffersGoOutInMessagesOfAtMost1316Bytes)
{
    SrtPeer a;
    connect(a);
    ASSERT_TRUE(ready());
    settle({&a});
    std::string payload(static_cast<size_t>(GetParam().length), '\0');
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>(i * 7 + 1);
    offer(*out, payload);
    offer(*out, "end");
    std::vector<int> sizes;
    std::string got;
    for (;;) {
        auto m = a.recv(3000);
        ASSERT_TRUE(m.has_value());
        if (*m == "end")
            break;
        sizes.push_back(static_cast<int>(m->size()));
        got += *m;
    }
    EXPECT_EQ(sizes, GetParam().messages);
    EXPECT_TRUE(got == payload);
}

INSTANTIATE_TEST_SUITE_P(Sizes, StOxdpSplit,
                         ::testing::Values(SplitCase{1316, {1316}}, SplitCase{1317, {1316, 1}},
                                           SplitCase{2632, {1316, 1316}}, SplitCase{1, {1}},
                                           SplitCase{4000, {1316, 1316, 1316, 52}}),
                         [](const auto& info) { return std::to_string(info.param.length); });

TEST_F(StOxdpTest, TwoCallersBothReceiveAndOneLeavingKeepsTheOtherServed)
{
    SrtPeer a, b;
    connect(a);
    connect(b);
    settle({&a, &b});
    offer(*out, "both");
    EXPECT_EQ(a.recv(3000).value_or(""), "both");
    EXPECT_EQ(b.recv(3000).value_or(""), "both");
    a.close();
    ASSERT_TRUE(oxt::waitFor([&] { return out->clientCount() == 1; }));
    // The break of one caller does not stop queueing for the one that stays.
    EXPECT_TRUE(ready());
    offer(*out, "only-b");
    EXPECT_EQ(b.recv(3000).value_or(""), "only-b");
    b.close();
    ASSERT_TRUE(oxt::waitFor([&] { return !ready(); }));
    EXPECT_EQ(out->clientCount(), 0);
    // A caller that comes back is served again.
    SrtPeer c;
    connect(c);
    EXPECT_TRUE(ready());
    settle({&c});
    offer(*out, "back");
    EXPECT_EQ(c.recv(3000).value_or(""), "back");
}

TEST_F(StOxdpTest, FullQueueDropsTheOldestCopyOncePerInsertion)
{
    SrtPeer a;
    connect(a);
    settle({&a});
    out->holdSender(true);
    // Whatever the sender took before the hold is no longer in the queue.
    ASSERT_TRUE(oxt::waitFor([&] { return out->queuedCount() == 0; }));
    ::testing::internal::CaptureStdout();
    for (int i = 1; i <= st_oxdp::kQueueLimit; ++i)
        offer(*out, "#" + std::to_string(i));
    const std::string quiet = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(quiet, "");
    EXPECT_EQ(out->queuedCount(), 2000);
    ::testing::internal::CaptureStdout();
    offer(*out, "#2001");
    offer(*out, "#2002");
    const std::string full = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out->queuedCount(), 2000);
    EXPECT_EQ(out->droppedCount(), 2);
    size_t lines = 0;
    for (size_t at = full.find("OXDP BUFF FULL\n"); at != std::string::npos; at = full.find("OXDP BUFF FULL\n", at + 1))
        ++lines;
    // One line a second, whatever the number of drops.
    EXPECT_EQ(lines, 1u) << full;
    out->holdSender(false);
    EXPECT_EQ(a.recv(3000).value_or(""), "#3") << "the two oldest copies were dropped";
}

TEST_F(StOxdpTest, QueueIsBoundedInBytesTooDroppingTheOldest)
{
    SrtPeer a;
    connect(a);
    settle({&a});
    out->holdSender(true);
    ASSERT_TRUE(oxt::waitFor([&] { return out->queuedCount() == 0; }));
    constexpr int kCopy = 256 * 1024;
    constexpr int kFit = static_cast<int>(st_oxdp::kQueueByteLimit / kCopy);
    ::testing::internal::CaptureStdout();
    for (int i = 0; i < kFit + 10; ++i)
        offer(*out, std::string(kCopy, static_cast<char>('a' + i % 26)));
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out->queuedCount(), kFit);
    EXPECT_LE(out->queuedBytes(), st_oxdp::kQueueByteLimit);
    EXPECT_EQ(out->droppedCount(), 10);
    EXPECT_EQ(printed.find("OXDP BUFF FULL"), printed.rfind("OXDP BUFF FULL")) << "one line for ten drops";
    out->holdSender(false);
}

TEST_F(StOxdpTest, StatisticsAreRefreshedAfterATickWhileSending)
{
    SrtPeer a;
    connect(a);
    out->heartTimerSlots();
    ASSERT_TRUE(oxt::waitFor([&] {
        offer(*out, std::string(1316, 's'));
        return out->getStatus().value("banduse").toDouble() > 0.0;
    }, 5000, 20));
}

TEST_F(StOxdpTest, StopAndDestructionCloseTheCallers)
{
    SrtPeer a, b;
    connect(a);
    settle({&a});
    out->stop();
    EXPECT_TRUE(oxt::waitFor([&] { return a.broken(); }, 5000)) << "stop closes the callers";
    EXPECT_TRUE(oxt::waitFor([&] { return !out->isListening(); }, 1000));
    EXPECT_FALSE(ready());

    const int port2 = srtt::freeUdpPort();
    auto other = std::make_unique<st_oxdp>(2, QJsonObject{{"port", port2}});
    other->stream = &owner;
    other->start();
    ASSERT_TRUE(oxt::waitFor([&] { return other->isListening(); }));
    ASSERT_TRUE(b.connect(port2));
    ASSERT_TRUE(oxt::waitFor([&] { return other->clientCount() == 1; }));
    settle({&b}, other.get());
    offer(*other, "queued-at-destruction");
    other.reset();
    EXPECT_TRUE(oxt::waitFor([&] { return b.broken(); }, 5000)) << "destruction closes the callers";
    EXPECT_EQ(oxSrt::openAttempts(), 0);
}

TEST_F(StOxdpTest, DataSentByACallerIsDiscardedWithoutSpinning)
{
    SrtPeer a;
    connect(a);
    settle({&a});
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(a.send("unwanted"));
    const double cpu0 = processCpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    // Still served normally afterwards.
    offer(*out, "still-served");
    EXPECT_EQ(a.recv(3000).value_or(""), "still-served");
    ASSERT_TRUE(oxt::waitFor([&] {
        return std::chrono::steady_clock::now() - t0 > std::chrono::milliseconds(500);
    }, 2000, 50));
    EXPECT_LT(processCpuSeconds() - cpu0, 0.4);
}

} // namespace
