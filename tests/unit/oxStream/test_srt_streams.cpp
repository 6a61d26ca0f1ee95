// Real streams with SRT traffic inside the test process: deleting a stream
// while SRT data flows through it, and deleting and recreating one stream many
// times while two others keep relaying (libsrt is process-wide: one stream's
// end must never take the library away from the others), and many streams
// served by the one SRT poll thread of the process.
#include "test_srt_peer.h"

#include "oxStream.h"
#include "oxStreamType.h"
#include "srtCommon.h"
#include "srtPoller.h"
#include "sr_oxdp/sr_oxdp.h"
#include "st_oxdp/st_oxdp.h"

#include "oxtest.h"

#include <gtest/gtest.h>

#include <QJsonObject>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using srtt::SrtPeer;

int inPort(int n) { return 8010 + 20 * n; }
int outPort(int n) { return 8020 + 20 * n; }

// A started stream with an SRT source pushing numbered messages from a thread
// of its own and an SRT caller pulling from the output.
class FlowingStream
{
public:
    explicit FlowingStream(int id) : n(id)
    {
        stream = std::make_unique<oxStream>(nullptr, n, QJsonObject{{"name", "s" + QString::number(n)}});
        stream->start();
    }
    ~FlowingStream()
    {
        stopPushing();
        if (stream) {
            stream->stop();
            stream.reset();
        }
    }
    st_oxdp* output() const { return static_cast<st_oxdp*>(stream->outputs().value(1)); }
    sr_oxdp* input() const { return static_cast<sr_oxdp*>(stream->inputs().value(1)); }
    ::testing::AssertionResult connectAndPush()
    {
        if (!oxt::waitFor([&] { return output()->isListening() && input()->isListening(); }))
            return ::testing::AssertionFailure() << "stream " << n << " not listening";
        if (!sink.connect(outPort(n)))
            return ::testing::AssertionFailure() << "sink of " << n << " cannot connect";
        if (!oxt::waitFor([&] { return output()->clientCount() == 1; }))
            return ::testing::AssertionFailure() << "sink of " << n << " not accepted";
        if (!source.connect(inPort(n)))
            return ::testing::AssertionFailure() << "source of " << n << " cannot connect";
        pushing.store(true);
        pusher = std::thread([this] {
            // About 2.6 Mbit/s: steady traffic, far below what the relay carries.
            // The first byte names the stream, so that a sink can tell whose message it got.
            for (long i = 0; pushing.load(); ++i) {
                std::string m(1316, static_cast<char>('a' + i % 26));
                m[0] = tag();
                if (!source.send(m))
                    sendFailures.fetch_add(1);
                std::this_thread::sleep_for(std::chrono::milliseconds(4));
            }
        });
        return ::testing::AssertionSuccess();
    }
    void stopPushing()
    {
        pushing.store(false);
        if (pusher.joinable())
            pusher.join();
    }
    // Messages the sink receives within timeoutMs, up to want.
    int receive(int want, int timeoutMs)
    {
        int got = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got < want && std::chrono::steady_clock::now() < deadline) {
            if (auto m = sink.recv(200)) {
                EXPECT_EQ(m->size(), 1316u);
                EXPECT_EQ(m->front(), tag()) << "stream " << n << " got another stream's message";
                ++got;
            }
        }
        return got;
    }

    char tag() const { return static_cast<char>(n % 256); }

    int n;
    std::unique_ptr<oxStream> stream;
    SrtPeer source;
    SrtPeer sink;
    std::thread pusher;
    std::atomic<bool> pushing{false};
    std::atomic<int> sendFailures{0};
};

TEST(SrtStreams, EndpointsFollowThePortPlanAndNames)
{
    const int n = srtt::freeStreamId();
    ASSERT_GE(n, 0);
    oxStream s(nullptr, n, QJsonObject{{"name", "cam"}});
    s.start();
    // TCP first, then SRT (other transports may follow).
    ASSERT_GE(s.inputs().size(), 2);
    ASSERT_GE(s.outputs().size(), 2);
    const QJsonObject in = s.inputs().value(1)->getCfg();
    const QJsonObject out = s.outputs().value(1)->getCfg();
    EXPECT_EQ(in.value("type").toString(), QStringLiteral("sr_oxdp"));
    EXPECT_EQ(in.value("name").toString(), QStringLiteral("cam_oxdpRx"));
    EXPECT_EQ(in.value("id").toInt(), 2);
    EXPECT_EQ(in.value("url").toString(), QStringLiteral("oxdp://host.name.error:%1?latency=20").arg(inPort(n)));
    EXPECT_EQ(out.value("type").toString(), QStringLiteral("st_oxdp"));
    EXPECT_EQ(out.value("name").toString(), QStringLiteral("cam_tcpTx"));
    EXPECT_EQ(out.value("id").toInt(), 2);
    EXPECT_EQ(out.value("url").toString(), QStringLiteral("oxdp://host.name.error:%1?latency=20").arg(outPort(n)));
    EXPECT_EQ(s.inputs().value(0)->type, QStringLiteral("sr_tcp"));
    EXPECT_EQ(s.outputs().value(0)->type, QStringLiteral("st_tcp"));
    s.stop();
}

TEST(SrtStreams, StreamDeletedWhileSrtDataFlows)
{
    const int n = srtt::freeStreamId();
    ASSERT_GE(n, 0);
    FlowingStream f(n);
    ASSERT_TRUE(f.connectAndPush());
    ASSERT_GT(f.receive(20, 5000), 10);
    // No stop first: the destructor alone must quiesce both SRT endpoints
    // while the source keeps pushing.
    f.stream.reset();
    EXPECT_TRUE(oxt::waitFor([&] { return f.sink.broken(); }, 5000));
    EXPECT_TRUE(oxt::waitFor([&] { return f.source.broken(); }, 5000));
    f.stopPushing();
    EXPECT_EQ(oxSrt::openAttempts(), 0);
}

TEST(SrtStreams, OneStreamRecreatedFiftyTimesWhileTwoOthersKeepFlowing)
{
    const int a = srtt::freeStreamId();
    const int b = srtt::freeStreamId();
    const int c = srtt::freeStreamId();
    ASSERT_GE(std::min({a, b, c}), 0);
    FlowingStream fa(a), fb(b);
    ASSERT_TRUE(fa.connectAndPush());
    ASSERT_TRUE(fb.connectAndPush());
    ASSERT_GT(fa.receive(10, 5000), 5);
    ASSERT_GT(fb.receive(10, 5000), 5);
    for (int round = 0; round < 50; ++round) {
        auto churn = std::make_unique<FlowingStream>(c);
        ASSERT_TRUE(oxt::waitFor([&] { return churn->input()->isListening(); })) << round;
        ASSERT_TRUE(churn->source.connect(inPort(c))) << round;
        for (int i = 0; i < 5; ++i)
            churn->source.send(std::string(1316, 'c'));
        churn->stream->stop();
        churn.reset();
        // The two others are still relaying, every few rounds.
        if (round % 10 == 9) {
            EXPECT_GT(fa.receive(5, 3000), 0) << "stream " << a << " stopped flowing at round " << round;
            EXPECT_GT(fb.receive(5, 3000), 0) << "stream " << b << " stopped flowing at round " << round;
        }
    }
    EXPECT_GT(fa.receive(20, 3000), 10);
    EXPECT_GT(fb.receive(20, 3000), 10);
    // The listeners of the streams that stayed still accept new callers.
    SrtPeer late;
    ASSERT_TRUE(late.connect(outPort(a)));
    ASSERT_TRUE(oxt::waitFor([&] { return fa.output()->clientCount() == 2; }));
    EXPECT_TRUE(late.recv(3000).has_value());
    EXPECT_FALSE(fa.sink.broken());
    EXPECT_FALSE(fb.sink.broken());
    EXPECT_EQ(fa.sendFailures.load(), 0);
    EXPECT_EQ(fb.sendFailures.load(), 0);
    EXPECT_EQ(oxSrt::openAttempts(), 4) << "the two live streams' four SRT endpoints";
}

TEST(SrtStreams, EightStreamsOnThePollThreadEachRelayTheirOwnAndLeaveNothingInThePollSet)
{
    oxSrt::Poller& poller = oxSrt::Poller::instance();
    const size_t before = poller.registered();
    std::vector<std::unique_ptr<FlowingStream>> streams;
    for (int i = 0; i < 8; ++i) {
        const int n = srtt::freeStreamId();
        ASSERT_GE(n, 0);
        streams.push_back(std::make_unique<FlowingStream>(n));
        ASSERT_TRUE(streams.back()->connectAndPush());
    }
    for (auto& f : streams)
        EXPECT_GT(f->receive(20, 5000), 10) << "stream " << f->n;
    // Two listeners and two callers per stream.
    EXPECT_EQ(poller.registered(), before + 8 * 4);

    // A caller that leaves leaves the poll set; its stream's other caller and
    // the other streams carry on.
    streams[0]->sink.close();
    EXPECT_TRUE(oxt::waitFor([&] { return poller.registered() == before + 8 * 4 - 1; }, 5000));
    EXPECT_TRUE(oxt::waitFor([&] { return streams[0]->output()->clientCount() == 0; }, 5000));
    for (size_t i = 1; i < streams.size(); ++i)
        EXPECT_GT(streams[i]->receive(10, 5000), 5) << "stream " << streams[i]->n;

    streams.clear();
    EXPECT_EQ(poller.registered(), before);
    EXPECT_EQ(oxSrt::openAttempts(), 0);
}

} // namespace
