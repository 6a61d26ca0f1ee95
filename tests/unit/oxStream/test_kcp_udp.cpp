// The oxlat session (kcp_udp) against a KCP peer on loopback. The heart tick
// is driven by the tests (heartPeriodMs 0) and the pause between sessions is
// short (retryPeriodMs), so schedules are checked tick by tick without waiting
// for wall-clock seconds.
#include "kcp_test_peer.h"
#include "oxtest.h"
#include "sr_lat/kcp_udp.h"

#include <gtest/gtest.h>

#include <QJsonObject>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using kcpt::Peer;
using kcpt::StdoutCapture;

std::string pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    unsigned state = seed;
    for (auto& c : s) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<char>(state >> 24);
    }
    return s;
}

// One session on a free port, listening unless a host is given, with what
// it delivers recorded.
class Session
{
public:
    explicit Session(const char* host = "0.0.0.0", int retryMs = 20)
        : port(kcpt::freeUdpPort())
        , s(kcp_udp::createSocket(QString::fromLatin1(host), port, 150))
    {
        s->heartPeriodMs = 0;
        s->retryPeriodMs = retryMs;
        s->onMessage = [this](unsigned char* d, int32_t n, void* user) {
            EXPECT_EQ(user, &userTag);
            std::lock_guard<std::mutex> g(m);
            got.emplace_back(reinterpret_cast<char*>(d), static_cast<size_t>(n));
        };
        s->userData = &userTag;
    }
    bool startAndWait()
    {
        s->start();
        return oxt::waitFor([&] { return s->hasSession(); }, 5000);
    }
    std::vector<std::string> messages()
    {
        std::lock_guard<std::mutex> g(m);
        return got;
    }
    bool waitDelivered(const std::string& msg)
    {
        return oxt::waitFor([&] {
            std::lock_guard<std::mutex> g(m);
            for (const auto& x : got)
                if (x == msg)
                    return true;
            return false;
        });
    }
    // One heart tick, then wait until the session thread took whatever it queued.
    void tick()
    {
        s->heartTimerSlots();
        EXPECT_TRUE(oxt::waitFor([&] { return s->queuedMessages() == 0; }));
    }
    // A peer in the session's conversation that has been heard once.
    std::unique_ptr<Peer> connectPeer()
    {
        auto p = std::make_unique<Peer>(port);
        p->begin(s->currentConv());
        p->send("hello");
        EXPECT_TRUE(waitDelivered("hello"));
        return p;
    }

    int port;
    std::unique_ptr<kcp_udp> s;
    int userTag = 0;
    std::mutex m;
    std::vector<std::string> got;
};

// ---- keep-alive schedule -------------------------------------------------

struct KeepAliveCase {
    const char* name;
    std::set<int> trafficAfterTick; // a message is queued right after these ticks
    std::set<int> keepAliveTicks;
};

class KeepAlive : public ::testing::TestWithParam<KeepAliveCase> {};

TEST_P(KeepAlive, IsQueuedOnlyAfterThreeQuietTicks)
{
    Session sess;
    ASSERT_TRUE(sess.startAndWait());
    std::set<int> seen;
    for (int tick = 1; tick <= 12; ++tick) {
        const uint32_t before = sess.s->keepAlivesQueued();
        sess.tick();
        if (sess.s->keepAlivesQueued() != before)
            seen.insert(tick);
        if (GetParam().trafficAfterTick.count(tick)) {
            sess.s->kcp_send("x", 1);
            ASSERT_TRUE(oxt::waitFor([&] { return sess.s->queuedMessages() == 0; }));
        }
    }
    EXPECT_EQ(seen, GetParam().keepAliveTicks);
}

INSTANTIATE_TEST_SUITE_P(Schedule, KeepAlive,
                         ::testing::Values(KeepAliveCase{"QuietSession", {}, {3, 7, 11}},
                                           KeepAliveCase{"TrafficAfterTickFourPostponesTheNext", {4}, {3, 8, 12}},
                                           KeepAliveCase{"SteadyTrafficNeedsNone", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, {}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(KcpUdp, KeepAliveReachesThePeerAsOneZeroByteMessage)
{
    Session sess;
    ASSERT_TRUE(sess.startAndWait());
    auto peer = sess.connectPeer();
    for (int i = 0; i < 3; ++i)
        sess.tick();
    ASSERT_TRUE(oxt::waitFor([&] { return peer->messageCount() == 1; }));
    EXPECT_EQ(peer->messages()[0], std::string(1, '\0'));
}

// ---- ready, liveness and the minimum RTO ---------------------------------

TEST(KcpUdp, ListeningReadyFollowsDeliveriesAndSurvivesSilence)
{
    Session sess;
    ASSERT_TRUE(sess.startAndWait());
    EXPECT_FALSE(sess.s->isReady());
    auto peer = sess.connectPeer();
    EXPECT_FALSE(sess.s->isReady()) << "ready changes only at a heart tick";
    std::vector<bool> readyAfterTick;
    for (int tick = 1; tick <= 8; ++tick) {
        sess.tick();
        readyAfterTick.push_back(sess.s->isReady());
    }
    // Ready from the first tick after the delivery, through five quiet
    // ticks, cleared at the sixth; the session itself goes on.
    EXPECT_EQ(readyAfterTick, (std::vector<bool>{true, true, true, true, true, true, false, false}));
    EXPECT_EQ(sess.s->sessionsBuilt(), 1u);
    peer->send("again");
    ASSERT_TRUE(sess.waitDelivered("again"));
    sess.tick();
    EXPECT_TRUE(sess.s->isReady());
    EXPECT_EQ(sess.s->sessionsBuilt(), 1u);
}

// The calling role binds the port it calls; the peer sits on 127.0.0.2 with
// the same port number (the more specific bind gets the datagrams sent there).
TEST(KcpUdp, CallingRoleRebuildsTheSessionAtTheEighthSilentTick)
{
    StdoutCapture out;
    Session sess("127.0.0.2");
    Peer silent(sess.port, "127.0.0.2", sess.port);
    ASSERT_TRUE(sess.s->isClientRole());
    ASSERT_TRUE(sess.startAndWait());
    const std::string line = "oxlat:" + std::to_string(sess.port) + " 接收超时！ 重置session\n";
    for (int tick = 1; tick <= 7; ++tick) {
        sess.tick();
        EXPECT_EQ(out.count(line), 0) << "tick " << tick;
        // The first keep-alive is queued at the third tick. The ticks here
        // come milliseconds apart, not a second: without this wait the reset
        // could drop it before the session's next flush.
        if (tick == 3) {
            EXPECT_TRUE(oxt::waitFor([&] { return silent.datagramsSeen() > 0; }))
                << "the keep-alive went to the called address";
        }
    }
    sess.tick();
    EXPECT_EQ(out.count(line), 1);
    EXPECT_FALSE(sess.s->isReady());
    EXPECT_TRUE(oxt::waitFor([&] { return sess.s->sessionsBuilt() == 2 && sess.s->hasSession(); }));
}

TEST(KcpUdp, CallingRoleTalksToItsPeerAndDropsForeignConversations)
{
    StdoutCapture out;
    Session sess("127.0.0.2");
    Peer peer(sess.port, "127.0.0.2", sess.port);
    ASSERT_TRUE(sess.startAndWait());
    const uint32_t conv = sess.s->currentConv();
    for (int i = 0; i < 20; ++i)
        peer.sendRaw(kcpt::segment(conv + 1, IKCP_CMD_PUSH, static_cast<uint32_t>(i), 1, "f"));
    peer.begin(conv);
    peer.send("to-caller");
    ASSERT_TRUE(sess.waitDelivered("to-caller"));
    EXPECT_EQ(out.count("CONV 出错"), 0) << "the calling role drops them silently";
    EXPECT_EQ(sess.s->currentConv(), conv);
    sess.s->kcp_send("to-peer", 7);
    ASSERT_TRUE(oxt::waitFor([&] { return peer.messageCount() == 1; }));
    EXPECT_EQ(peer.messages()[0], "to-peer");
    sess.tick();
    EXPECT_TRUE(sess.s->isReady());
}

TEST(KcpUdp, FiveReadyTicksLowerTheMinimumRto)
{
    StdoutCapture out;
    Session sess;
    ASSERT_TRUE(sess.startAndWait());
    EXPECT_EQ(sess.s->currentMinRto(), 150 + 300);
    auto peer = sess.connectPeer();
    const std::string line = "oxlat:" + std::to_string(sess.port) + " 恢复MINIRTO!\n";
    for (int tick = 1; tick <= 4; ++tick) {
        sess.tick();
        EXPECT_EQ(sess.s->currentMinRto(), 450) << "tick " << tick;
    }
    sess.tick();
    EXPECT_EQ(sess.s->currentMinRto(), 150);
    EXPECT_EQ(out.count(line), 1);
    sess.tick();
    EXPECT_EQ(out.count(line), 1) << "printed once, at exactly five";
}

TEST(KcpUdp, WithoutDeliveriesTheRaisedMinimumRtoStays)
{
    Session sess;
    ASSERT_TRUE(sess.startAndWait());
    for (int tick = 1; tick <= 8; ++tick)
        sess.tick();
    EXPECT_FALSE(sess.s->isReady());
    EXPECT_EQ(sess.s->currentMinRto(), 450);
}

// ---- messages in both directions -----------------------------------------

struct SplitCase {
    size_t size;
    std::vector<size_t> pieces;
};

class Splitting : public ::testing::TestWithParam<SplitCase> {};

TEST_P(Splitting, MessagesAreCutAt1400BytesBeforeKcp)
{
    Session sess;
    ASSERT_TRUE(sess.startAndWait());
    auto peer = sess.connectPeer();
    const std::string data = pattern(GetParam().size, 3);
    sess.s->kcp_send(data.data(), static_cast<int>(data.size()));
    ASSERT_TRUE(oxt::waitFor([&] { return peer->bytesReceived() >= data.size(); }));
    std::vector<size_t> sizes;
    std::string joined;
    for (const auto& m : peer->messages()) {
        sizes.push_back(m.size());
        joined += m;
    }
    EXPECT_EQ(sizes, GetParam().pieces);
    EXPECT_TRUE(joined == data);
}

INSTANTIATE_TEST_SUITE_P(Sizes, Splitting,
                         ::testing::Values(SplitCase{1, {1}}, SplitCase{1400, {1400}}, SplitCase{1401, {1400, 1}},
                                           SplitCase{2800, {1400, 1400}}, SplitCase{4201, {1400, 1400, 1400, 1}}),
                         [](const auto& info) { return "Bytes" + std::to_string(info.param.size); });

TEST(KcpUdp, MessageLongerThanTheDeliveryAreaArrivesWholeAndLaterOnesFollow)
{
    Session sess;
    ASSERT_TRUE(sess.startAndWait());
    auto peer = sess.connectPeer();
    const std::string big = pattern(20000, 5);
    peer->send(big);
    peer->send("after");
    ASSERT_TRUE(sess.waitDelivered("after"));
    const auto got = sess.messages();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_TRUE(got[1] == big) << "size " << got[1].size();
}

TEST(KcpUdp, ManyMessagesArriveInOrderBothWays)
{
    Session sess;
    ASSERT_TRUE(sess.startAndWait());
    auto peer = sess.connectPeer();
    std::string sent;
    for (int i = 0; i < 300; ++i) {
        const std::string m = pattern(100 + static_cast<size_t>(i) * 7, static_cast<unsigned>(i));
        sess.s->kcp_send(m.data(), static_cast<int>(m.size()));
        peer->send(m);
        sent += m;
    }
    ASSERT_TRUE(oxt::waitFor([&] { return peer->bytesReceived() == sent.size(); }, 10000));
    std::string atPeer;
    for (const auto& m : peer->messages())
        atPeer += m;
    EXPECT_TRUE(atPeer == sent);
    ASSERT_TRUE(oxt::waitFor([&] { return sess.messages().size() == 301; }, 10000));
    std::string atSession;
    for (size_t i = 1; i < sess.messages().size(); ++i)
        atSession += sess.messages()[i];
    EXPECT_TRUE(atSession == sent);
}

// ---- the send queue --------------------------------------------------------

TEST(KcpUdp, The2001stQueuedMessageEmptiesTheQueue)
{
    StdoutCapture out;
    Session sess; // never started: nothing drains the queue
    const std::string line = "OXLAT:" + std::to_string(sess.port) + " BUFF FULL--\n";
    for (int i = 0; i < 2000; ++i)
        sess.s->kcp_send("m", 1);
    EXPECT_EQ(sess.s->queuedMessages(), 2000);
    EXPECT_EQ(out.count(line), 0);
    sess.s->kcp_send("m", 1);
    EXPECT_EQ(sess.s->queuedMessages(), 0);
    EXPECT_EQ(out.count(line), 1);
    sess.s->kcp_send("m", 1);
    EXPECT_EQ(sess.s->queuedMessages(), 1);
    sess.s->clearBuf();
    EXPECT_EQ(sess.s->queuedMessages(), 0);
}

TEST(KcpUdp, QueuedBytesPastTheirBoundAlsoEmptyTheQueue)
{
    StdoutCapture out;
    Session sess;
    const std::string half(static_cast<size_t>(kcp_udp::kMaxQueuedBytes / 2), 'b');
    sess.s->kcp_send(half.data(), static_cast<int>(half.size()));
    sess.s->kcp_send(half.data(), static_cast<int>(half.size()));
    EXPECT_EQ(sess.s->queuedMessages(), 2);
    sess.s->kcp_send("x", 1);
    EXPECT_EQ(sess.s->queuedMessages(), 0);
    EXPECT_EQ(out.count("BUFF FULL--"), 1);
}

TEST(KcpUdp, AQueueThatKeepsFillingLogsOneLineASecond)
{
    StdoutCapture out;
    Session sess;
    for (int i = 0; i < 5 * 2001; ++i)
        sess.s->kcp_send("m", 1);
    EXPECT_EQ(sess.s->messagesDropped(), 5u * 2001);
    EXPECT_EQ(out.count("BUFF FULL--"), 1);
}

TEST(KcpUdp, MessagesQueuedBeforeTheSessionAreNeverSent)
{
    Session sess;
    sess.s->kcp_send("stale", 5);
    ASSERT_TRUE(sess.startAndWait());
    EXPECT_TRUE(oxt::waitFor([&] { return sess.s->queuedMessages() == 0; }));
    auto peer = sess.connectPeer();
    sess.s->kcp_send("fresh", 5);
    ASSERT_TRUE(oxt::waitFor([&] { return peer->messageCount() == 1; }));
    EXPECT_EQ(peer->messages()[0], "fresh");
}

// Segments KCP holds for sending: queued plus sent and unacknowledged.
int waitingSegments(kcp_udp& s)
{
    return s.getWaitSendNum() + s.getStatus().value("queue").toInt();
}

TEST(KcpUdp, MessagesCanReachAPeerOnlyWhileASessionExists)
{
    Session sess;
    EXPECT_FALSE(sess.s->canReachPeer()) << "no session before start: the next one would discard the queue";
    ASSERT_TRUE(sess.startAndWait());
    EXPECT_TRUE(oxt::waitFor([&] { return sess.s->canReachPeer(); }));
}

TEST(KcpUdp, APeerlessBacklogStopsAtItsLimitAndWhatFollowsWaitsInTheQueue)
{
    Session sess;
    ASSERT_TRUE(sess.startAndWait());
    // One segment per message; the queue is refilled in batches below its bound.
    const int limit = static_cast<int>(kcp_udp::kBacklogSegments);
    for (int sent = 0; sent <= limit + 500;) {
        for (int i = 0; i < 1000; ++i, ++sent)
            sess.s->kcp_send("b", 1);
        ASSERT_TRUE(oxt::waitFor([&] { return sess.s->queuedMessages() == 0 || !sess.s->canReachPeer(); }));
    }
    ASSERT_TRUE(oxt::waitFor([&] { return !sess.s->canReachPeer(); }))
        << "no peer heard and the backlog reached: nothing queued now could be sent";
    const int held = waitingSegments(*sess.s);
    EXPECT_GT(held, limit);
    EXPECT_LE(held, limit + 1) << "KCP takes nothing more once the backlog is reached";
    const int waitingInQueue = sess.s->queuedMessages();
    EXPECT_GT(waitingInQueue, 0);
    EXPECT_FALSE(oxt::waitFor([&] { return sess.s->queuedMessages() < waitingInQueue; }, 100))
        << "the rest stays in the bounded queue";

    // A peer that shows up gets the backlog, and senders may queue again.
    auto peer = sess.connectPeer();
    EXPECT_TRUE(oxt::waitFor([&] { return sess.s->canReachPeer(); }));
    EXPECT_TRUE(oxt::waitFor([&] { return peer->messageCount() >= static_cast<size_t>(limit); }, 20000));
}

// ---- conversation numbers ------------------------------------------------

TEST(KcpUdp, ElevenForeignDatagramsInARowAdoptTheirConversation)
{
    StdoutCapture out;
    Session sess;
    ASSERT_TRUE(sess.startAndWait());
    const uint32_t own = sess.s->currentConv();
    const uint32_t foreign = own + 12345;
    Peer peer(sess.port);
    for (uint32_t i = 0; i < 10; ++i)
        peer.sendRaw(kcpt::segment(foreign, IKCP_CMD_PUSH, i, 1, "f"));
    ASSERT_TRUE(oxt::waitFor([&] { return out.count("CONV 出错") == 10; }));
    EXPECT_EQ(sess.s->currentConv(), own);
    EXPECT_EQ(sess.s->sessionsBuilt(), 1u);
    EXPECT_NE(out.text().find(std::to_string(sess.port) + ": CONV 出错" + std::to_string(own) + " == "
                              + std::to_string(foreign) + " data len:25 errorInc:10\n"),
              std::string::npos)
        << out.text();
    peer.sendRaw(kcpt::segment(foreign, IKCP_CMD_PUSH, 10, 1, "f"));
    ASSERT_TRUE(oxt::waitFor([&] { return sess.s->currentConv() == foreign; }));
    // The session ends at once and the next one runs in the adopted conversation.
    ASSERT_TRUE(oxt::waitFor([&] { return sess.s->sessionsBuilt() == 2 && sess.s->hasSession(); }));
    EXPECT_EQ(out.count("CONV 出错"), 11);
    peer.begin(foreign);
    peer.send("adopted");
    EXPECT_TRUE(sess.waitDelivered("adopted"));
}

TEST(KcpUdp, OneMatchingDatagramResetsTheForeignCount)
{
    StdoutCapture out;
    Session sess;
    ASSERT_TRUE(sess.startAndWait());
    const uint32_t own = sess.s->currentConv();
    const uint32_t foreign = own + 777;
    auto peer = sess.connectPeer();
    for (int round = 0; round < 3; ++round) {
        for (uint32_t i = 0; i < 10; ++i)
            peer->sendRaw(kcpt::segment(foreign, IKCP_CMD_PUSH, i, 1, "f"));
        peer->send("match" + std::to_string(round)); // processed after the ten, in order
        ASSERT_TRUE(sess.waitDelivered("match" + std::to_string(round)));
    }
    EXPECT_EQ(sess.s->currentConv(), own);
    EXPECT_EQ(sess.s->sessionsBuilt(), 1u);
    EXPECT_EQ(out.count("errorInc:11"), 0);
    EXPECT_EQ(out.count("errorInc:10\n"), 3);
}

TEST(KcpUdp, RepliesGoToTheLatestSenderAlsoOfAForeignConversation)
{
    StdoutCapture out;
    Session sess;
    ASSERT_TRUE(sess.startAndWait());
    const uint32_t own = sess.s->currentConv();
    auto first = sess.connectPeer();
    Peer second(sess.port);
    second.sendRaw(kcpt::segment(own + 1, IKCP_CMD_WASK, 0, 0));
    ASSERT_TRUE(oxt::waitFor([&] { return out.count("CONV 出错") == 1; }));
    sess.s->kcp_send("to-latest", 9);
    EXPECT_TRUE(oxt::waitFor([&] { return second.datagramsWithConv(own) > 0; }));
    // The first peer speaks again and gets the replies back.
    first->send("mine-again");
    ASSERT_TRUE(sess.waitDelivered("mine-again"));
    EXPECT_TRUE(oxt::waitFor([&] { return first->messageCount() == 1; }, 10000));
    EXPECT_EQ(first->messages()[0], "to-latest");
}

// ---- bad input -------------------------------------------------------------

struct BadInputCase {
    const char* name;
    std::string (*make)(uint32_t conv);
    bool countsAsForeign;
};

class BadInput : public ::testing::TestWithParam<BadInputCase> {};

TEST_P(BadInput, IsDroppedAndTheSessionKeepsWorking)
{
    StdoutCapture out;
    Session sess;
    ASSERT_TRUE(sess.startAndWait());
    auto peer = sess.connectPeer();
    const uint32_t conv = sess.s->currentConv();
    for (int i = 0; i < 20; ++i)
        peer->sendRaw(GetParam().make(conv));
    peer->send("still-alive");
    ASSERT_TRUE(sess.waitDelivered("still-alive"));
    EXPECT_EQ(sess.s->sessionsBuilt(), 1u);
    EXPECT_EQ(sess.s->currentConv(), conv);
    EXPECT_EQ(out.count("CONV 出错") > 0, GetParam().countsAsForeign);
    const auto got = sess.messages();
    EXPECT_EQ(got.size(), 2u) << "nothing but the two real messages is delivered";
    sess.s->kcp_send("reply", 5);
    EXPECT_TRUE(oxt::waitFor([&] { return peer->messageCount() == 1; }));
}

std::string emptyDatagram(uint32_t) { return {}; }
std::string oneByte(uint32_t) { return std::string(1, '\x51'); }
std::string shortHeader(uint32_t conv) { return kcpt::segment(conv, IKCP_CMD_PUSH, 0, 0).substr(0, 23); }
std::string unknownCommand(uint32_t conv) { return kcpt::segment(conv, 99, 0, 4, "abcd"); }
std::string lenPastTheEnd(uint32_t conv) { return kcpt::segment(conv, IKCP_CMD_PUSH, 1, 1000, "only ten b"); }
std::string hugeLen(uint32_t conv) { return kcpt::segment(conv, IKCP_CMD_PUSH, 1, 0xFFFFFFFFu, "x"); }
std::string ackForNothing(uint32_t conv) { return kcpt::segment(conv, IKCP_CMD_ACK, 5000, 0); }
std::string pushFarAhead(uint32_t conv) { return kcpt::segment(conv, IKCP_CMD_PUSH, 0x7FFFFFFF, 1, "z"); }

INSTANTIATE_TEST_SUITE_P(
    Datagrams, BadInput,
    ::testing::Values(BadInputCase{"Empty", &emptyDatagram, false}, BadInputCase{"OneByte", &oneByte, false},
                      BadInputCase{"ShorterThanAHeader", &shortHeader, false},
                      BadInputCase{"UnknownCommand", &unknownCommand, false},
                      BadInputCase{"LenLargerThanTheDatagram", &lenPastTheEnd, false},
                      BadInputCase{"LenNearFourGigabytes", &hugeLen, false},
                      BadInputCase{"AckOfAnUnsentSegment", &ackForNothing, false},
                      BadInputCase{"PushOutsideTheWindow", &pushFarAhead, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(KcpUdp, ShortDatagramsNeitherCountAsForeignNorRedirectReplies)
{
    StdoutCapture out;
    Session sess;
    ASSERT_TRUE(sess.startAndWait());
    auto peer = sess.connectPeer();
    Peer noise(sess.port);
    for (int i = 0; i < 30; ++i)
        noise.sendRaw(std::string(10, '\x7f'));
    peer->send("after-noise");
    ASSERT_TRUE(sess.waitDelivered("after-noise"));
    sess.s->kcp_send("reply", 5);
    ASSERT_TRUE(oxt::waitFor([&] { return peer->messageCount() == 1; }));
    EXPECT_EQ(noise.datagramsSeen(), 0);
    EXPECT_EQ(out.count("CONV 出错"), 0);
}

// ---- faults ----------------------------------------------------------------

TEST(KcpUdp, PeerThatGoesSilentAndComesBackGetsEverythingInOrder)
{
    Session sess;
    ASSERT_TRUE(sess.startAndWait());
    auto peer = sess.connectPeer();
    sess.tick();
    ASSERT_TRUE(sess.s->isReady());
    peer->setOffline(true);
    for (const char* m : {"one", "two", "three"})
        sess.s->kcp_send(m, static_cast<int>(std::strlen(m)));
    // KCP retransmits into the silence.
    ASSERT_TRUE(oxt::waitFor([&] { return sess.s->getStatus().value("resnd").toInt() > 0; }, 10000));
    for (int tick = 0; tick < 6; ++tick)
        sess.tick();
    EXPECT_FALSE(sess.s->isReady());
    peer->setOffline(false);
    ASSERT_TRUE(oxt::waitFor([&] { return peer->messageCount() >= 3; }, 10000));
    // (A keep-alive queued during the quiet ticks may follow them.)
    const auto got = peer->messages();
    EXPECT_EQ(std::vector<std::string>(got.begin(), got.begin() + 3), (std::vector<std::string>{"one", "two", "three"}));
    peer->send("back");
    ASSERT_TRUE(sess.waitDelivered("back"));
    sess.tick();
    EXPECT_TRUE(sess.s->isReady());
    EXPECT_EQ(sess.s->sessionsBuilt(), 1u);
}

TEST(KcpUdp, PortAlreadyBoundIsReportedAndRetriedUntilFree)
{
    StdoutCapture out;
    Session sess;
    const int held = oxt::holdUdpPort(sess.port);
    ASSERT_GE(held, 0);
    sess.s->start();
    const std::string line = "无法绑定 UDP PORT:" + std::to_string(sess.port);
    ASSERT_TRUE(oxt::waitFor([&] { return out.count(line) >= 2; }));
    EXPECT_FALSE(sess.s->hasSession());
    EXPECT_TRUE(sess.s->getStatus().isEmpty());
    ::close(held);
    ASSERT_TRUE(oxt::waitFor([&] { return sess.s->hasSession(); }));
    auto peer = sess.connectPeer();
    EXPECT_EQ(sess.s->sessionsBuilt(), 1u);
}

TEST(KcpUdp, StatusIsEmptyBetweenSessionsAndFullDuringOne)
{
    StdoutCapture out;
    Session sess("0.0.0.0", 300);
    EXPECT_TRUE(sess.s->getStatus().isEmpty()) << "before start";
    ASSERT_TRUE(sess.startAndWait());
    const QJsonObject st = sess.s->getStatus();
    EXPECT_EQ(st.keys(), (QStringList{"queue", "ready", "resnd", "rto", "rtt", "rxBand", "txBand"}));
    // Adoption ends the session; the next one comes a pause later.
    Peer peer(sess.port);
    for (uint32_t i = 0; i < 11; ++i)
        peer.sendRaw(kcpt::segment(sess.s->currentConv() + 1, IKCP_CMD_PUSH, i, 1, "f"));
    ASSERT_TRUE(oxt::waitFor([&] { return sess.s->getStatus().isEmpty(); }));
    ASSERT_TRUE(oxt::waitFor([&] { return !sess.s->getStatus().isEmpty(); }));
    EXPECT_EQ(sess.s->sessionsBuilt(), 2u);
}

TEST(KcpUdp, RatesAreMeasuredPerTick)
{
    Session sess;
    ASSERT_TRUE(sess.startAndWait());
    auto peer = sess.connectPeer();
    sess.tick();
    const std::string data = pattern(50000, 9);
    sess.s->kcp_send(data.data(), static_cast<int>(data.size()));
    ASSERT_TRUE(oxt::waitFor([&] { return peer->bytesReceived() >= data.size(); }));
    ASSERT_TRUE(oxt::waitFor([&] { return sess.s->getStatus().value("queue").toInt() == 0; }));
    sess.tick();
    // 50000 bytes plus headers, in kbit: at least 400.
    EXPECT_GE(sess.s->txBandKbps(), 400u);
    EXPECT_GT(sess.s->rxBandKbps(), 0u) << "acknowledgements came back";
    sess.tick();
    EXPECT_LT(sess.s->txBandKbps(), 400u);
}

TEST(KcpUdp, DestructionWakesTheSleepingSessionThread)
{
    auto s = std::unique_ptr<kcp_udp>(kcp_udp::createSocket("0.0.0.0", kcpt::freeUdpPort(), 150));
    s->heartPeriodMs = 0;
    s->retryPeriodMs = 60000; // it would sleep a minute before its first session
    s->start();
    const auto t0 = std::chrono::steady_clock::now();
    s.reset();
    // A hang guard, not a speed figure: without the wake-up this takes a minute.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
}

// ---- waiting while idle --------------------------------------------------

// A session whose peer has spoken and whose traffic is all acknowledged has
// nothing to do: its loop must sleep instead of passing every millisecond,
// and still wake at once for what comes next. Deadlines stay well below the
// idle wait (kIdleWaitMs), so a wake-up that fails shows as a failure.
struct IdleWakeCase {
    const char* name;
    std::function<void(Session&, Peer&)> act;
    std::function<bool(Session&, Peer&)> done;
};

class IdleWake : public ::testing::TestWithParam<IdleWakeCase> {};

TEST_P(IdleWake, SleepsWhileIdleAndWakesAtOnce)
{
    Session sess;
    ASSERT_TRUE(sess.startAndWait());
    auto peer = sess.connectPeer();
    ASSERT_TRUE(oxt::waitFor([&] { return sess.s->getStatus().value("queue").toInt() == 0; }));

    // A measuring window, not a wait for a condition: long enough that a
    // 1 kHz loop would pass hundreds of times even on a loaded machine,
    // while an idle one passes at most once or twice.
    const uint64_t before = sess.s->loopPasses();
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(sess.s->loopPasses() - before, static_cast<uint64_t>(ms / 20)) << "over " << ms << " ms";

    const auto t1 = std::chrono::steady_clock::now();
    GetParam().act(sess, *peer);
    ASSERT_TRUE(oxt::waitFor([&] { return GetParam().done(sess, *peer); }));
    EXPECT_LT(std::chrono::steady_clock::now() - t1, std::chrono::milliseconds(kcp_udp::kIdleWaitMs / 2));
}

INSTANTIATE_TEST_SUITE_P(
    Events, IdleWake,
    ::testing::Values(
        IdleWakeCase{"QueuedSend", [](Session& s, Peer&) { s.s->kcp_send("wake", 4); },
                     [](Session&, Peer& p) { return p.messageCount() == 1 && p.messages()[0] == "wake"; }},
        IdleWakeCase{"ArrivingDatagram", [](Session&, Peer& p) { p.send("ping"); },
                     [](Session& s, Peer&) { return s.messages().size() == 2 && s.messages()[1] == "ping"; }},
        IdleWakeCase{"Destruction", [](Session& s, Peer&) { s.s.reset(); }, [](Session&, Peer&) { return true; }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(KcpUdp, DestructionDuringTrafficEndsCleanly)
{
    for (int round = 0; round < 3; ++round) {
        Session sess;
        ASSERT_TRUE(sess.startAndWait());
        auto peer = sess.connectPeer();
        const std::string chunk = pattern(3000, 11);
        for (int i = 0; i < 200; ++i) {
            sess.s->kcp_send(chunk.data(), static_cast<int>(chunk.size()));
            peer->send(chunk);
        }
        sess.s.reset(); // while both directions are busy
        peer.reset();
    }
}

TEST(KcpUdp, AccessorsWithoutASession)
{
    Session sess;
    EXPECT_EQ(sess.s->setmtu(1200), -3);
    EXPECT_EQ(sess.s->setnodelay(1), -1);
    EXPECT_EQ(sess.s->getWaitSendNum(), 0);
    EXPECT_FALSE(sess.s->needPaused());
    EXPECT_EQ(sess.s->currentMinRto(), -1);
    ASSERT_TRUE(sess.startAndWait());
    EXPECT_EQ(sess.s->setmtu(1200), 0);
    EXPECT_EQ(sess.s->setnodelay(2), 0);
    EXPECT_FALSE(sess.s->needPaused());
}

} // namespace
