// Fan-out, byte counting and teardown of one stream, with fake endpoints.
#include "oxStream.h"
#include "oxStreamBuffers.h"
#include "oxStreamType.h"

#include <gtest/gtest.h>

#include <QJsonArray>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// Output that records what it was lent; counts live instances so the tests
// can tell when the stream destroyed it.
struct FakeOutput : oxStreamType {
    explicit FakeOutput(std::string tag_, std::vector<std::string>* log_, std::atomic<int>* alive_)
        : tag(std::move(tag_)), log(log_), alive(alive_)
    {
        type = QStringLiteral("fake_out");
        alive->fetch_add(1);
    }
    ~FakeOutput() override
    {
        destroyed.store(true);
        alive->fetch_sub(1);
    }
    void start() override { started = true; }
    void stop() override { stopped = true; }
    QJsonObject getCfg() override { return QJsonObject{{"type", type}}; }
    QJsonObject getStatus() override { return QJsonObject{{"type", type}, {"linkStatus", true}}; }
    void putBufIn(oxStreamBuf* buf) override
    {
        // A fan-out must never reach a destroyed output.
        EXPECT_FALSE(destroyed.load());
        inside.fetch_add(1);
        const oxStreambuf_t* p = buf->streamPayload();
        if (slowUs)
            std::this_thread::sleep_for(std::chrono::microseconds(slowUs));
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (log)
                log->push_back(tag + ":" + std::string(reinterpret_cast<char*>(p->data), static_cast<size_t>(p->len)));
        }
        bytes.fetch_add(p->len);
        inside.fetch_sub(1);
    }
    std::string tag;
    std::vector<std::string>* log;
    std::atomic<int>* alive;
    std::mutex mutex;
    std::atomic<bool> destroyed{false};
    std::atomic<int> inside{0};
    std::atomic<long> bytes{0};
    int slowUs = 0;
    bool started = false;
    bool stopped = false;
};

struct FakeInput : oxStreamType {
    FakeInput() { type = QStringLiteral("fake_in"); }
    void start() override {}
    void stop() override {}
    QJsonObject getCfg() override { return QJsonObject{{"type", type}}; }
    QJsonObject getStatus() override { return getCfg(); }
    void push(const std::string& bytes)
    {
        revCB(reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data())), static_cast<int>(bytes.size()), this);
    }
};

class FakeStream : public oxStream
{
public:
    FakeStream(int outputs, std::vector<std::string>* log, std::atomic<int>* alive)
        : oxStream(nullptr, 5, QJsonObject{{"name", "cam"}}), nOutputs(outputs), log_(log), alive_(alive)
    {
    }
    FakeInput* input() const { return static_cast<FakeInput*>(inList.value(0)); }
    FakeOutput* output(int i) const { return static_cast<FakeOutput*>(outList.value(i)); }

protected:
    void createEndpoints() override
    {
        auto* in = new FakeInput;
        in->stream = this;
        inList.append(in);
        for (int i = 0; i < nOutputs; ++i) {
            auto* out = new FakeOutput("o" + std::to_string(i), log_, alive_);
            out->stream = this;
            outList.append(out);
        }
    }

private:
    int nOutputs;
    std::vector<std::string>* log_;
    std::atomic<int>* alive_;
};

TEST(Stream, ConfigurationBeforeStart)
{
    oxStream s(nullptr, 2, QJsonObject());
    const QJsonObject cfg = s.getCfg();
    EXPECT_EQ(cfg.value("name").toString(), QStringLiteral("Not Set"));
    EXPECT_EQ(cfg.value("id").toInt(), 2);
    EXPECT_EQ(cfg.value("type").toString(), QStringLiteral("ctrl_stream"));
    EXPECT_EQ(cfg.value("bitRate").toInt(), 0);
    EXPECT_TRUE(cfg.value("inList").toArray().isEmpty());
    EXPECT_TRUE(cfg.value("outList").toArray().isEmpty());
    EXPECT_EQ(s.getHostName(), QStringLiteral("host.name.error"));
    EXPECT_EQ(cfg.keys(), (QStringList{"bitRate", "id", "inList", "name", "outList", "type"}));
}

TEST(Stream, FanOutReachesEveryOutputInOrderOnlyWhileRunning)
{
    std::vector<std::string> log;
    std::atomic<int> alive{0};
    FakeStream s(3, &log, &alive);
    s.workCmd(QJsonObject{{"cmd", "Start"}}); // case matters
    EXPECT_FALSE(s.isRunning());
    s.start();
    ASSERT_TRUE(s.isRunning());
    EXPECT_TRUE(s.output(0)->started);
    s.input()->push("abc");
    EXPECT_EQ(log, (std::vector<std::string>{"o0:abc", "o1:abc", "o2:abc"}));
    s.stop();
    EXPECT_TRUE(s.output(2)->stopped);
    s.input()->push("late");
    EXPECT_EQ(log.size(), 3u);
}

TEST(Stream, SecondStartIsRefused)
{
    std::atomic<int> alive{0};
    FakeStream s(2, nullptr, &alive);
    s.start();
    s.start();
    EXPECT_EQ(alive.load(), 2);
    EXPECT_EQ(s.outputs().size(), 2);
}

TEST(Stream, BitRateCountsBytesPerTickWhileRunning)
{
    std::atomic<int> alive{0};
    FakeStream s(1, nullptr, &alive);
    s.start();
    for (int tick = 0; tick < 3; ++tick) {
        s.input()->push(std::string(600, 'x'));
        s.input()->push(std::string(400, 'y'));
        s.heartTimerSlots();
        EXPECT_EQ(s.currentBitRate(), 1000) << tick;
        EXPECT_EQ(s.getStatus().value("bitRate").toInt(), 1000);
    }
    s.stop();
    s.input()->push(std::string(500, 'z'));
    s.heartTimerSlots();
    EXPECT_EQ(s.currentBitRate(), 0);
}

TEST(Stream, NullBufferAndOversizeChunkAreIgnored)
{
    std::atomic<int> alive{0};
    FakeStream s(1, nullptr, &alive);
    s.start();
    s.putStream(nullptr);
    std::string big(5000001, 'x');
    s.input()->push(big);
    s.heartTimerSlots();
    EXPECT_EQ(s.currentBitRate(), 0);
    EXPECT_EQ(s.output(0)->bytes.load(), 0);
}

TEST(Stream, DeletionWaitsForFanOutsInProgress)
{
    std::atomic<int> alive{0};
    auto* s = new FakeStream(3, nullptr, &alive);
    s->start();
    for (int i = 0; i < 3; ++i)
        s->output(i)->slowUs = 200;
    FakeInput* in = s->input();
    std::atomic<bool> go{true};
    std::vector<std::thread> pushers;
    for (int t = 0; t < 4; ++t) {
        pushers.emplace_back([&] {
            while (go.load())
                in->push(std::string(1316, 'm'));
        });
    }
    // Let fan-outs overlap, then tear down under them. The inputs are fakes
    // without threads of their own, so the pushers stop before the input goes.
    while (s->output(0)->bytes.load() < 20 * 1316)
        std::this_thread::yield();
    s->stop();
    for (int i = 0; i < 3; ++i)
        EXPECT_GE(s->output(i)->bytes.load(), 1316);
    go.store(false);
    for (auto& t : pushers)
        t.join();
    delete s;
    EXPECT_EQ(alive.load(), 0);
}

TEST(Stream, DestructorWaitsWhileFanOutIsInsideAnOutput)
{
    std::atomic<int> alive{0};
    auto* s = new FakeStream(2, nullptr, &alive);
    s->start();
    s->output(1)->slowUs = 50000;
    FakeInput* in = s->input();
    std::thread pusher([in] { in->push("slow"); });
    while (s->output(1)->inside.load() == 0)
        std::this_thread::yield();
    // The pusher is inside output 1 now; deleting must wait for it to leave.
    delete s;
    pusher.join();
    EXPECT_EQ(alive.load(), 0);
}

} // namespace
