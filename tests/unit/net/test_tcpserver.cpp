// TcpServer over loopback: callbacks, worker assignment, byte integrity in
// both directions, the per-connection write limit and shutdown with traffic.
#include "net/oxTcpServer.h"

#include <gtest/gtest.h>

#include <QString>
#include <QtGlobal>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

using oxnet::SocketChannelPtr;
using oxnet::TcpServer;

namespace {

using Clock = std::chrono::steady_clock;

template <typename Pred>
bool waitUntil(Pred pred, std::chrono::milliseconds timeout = std::chrono::seconds(20))
{
    const auto deadline = Clock::now() + timeout;
    while (!pred()) {
        if (Clock::now() > deadline)
            return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string pattern(size_t len, unsigned seed)
{
    std::string s(len, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (auto& c : s) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

// A blocking loopback client.
class Client
{
public:
    explicit Client(int port, int rcvBuf = 0)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (rcvBuf > 0)
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvBuf, sizeof rcvBuf);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Client() { close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool ok() const { return ok_; }
    int localPort() const
    {
        sockaddr_in a{};
        socklen_t l = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &l);
        return ntohs(a.sin_port);
    }
    bool sendAll(const std::string& s)
    {
        size_t off = 0;
        while (off < s.size()) {
            const ssize_t n = ::send(fd_, s.data() + off, s.size() - off, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            off += static_cast<size_t>(n);
        }
        return true;
    }
    // Reads until `len` bytes have arrived, EOF, or the deadline.
    std::string readN(size_t len, std::chrono::milliseconds timeout = std::chrono::seconds(20))
    {
        std::string out;
        const auto deadline = Clock::now() + timeout;
        std::vector<char> buf(256 * 1024);
        while (out.size() < len && Clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const ssize_t n = ::recv(fd_, buf.data(), std::min(buf.size(), len - out.size()), 0);
            if (n <= 0)
                break;
            out.append(buf.data(), static_cast<size_t>(n));
        }
        return out;
    }
    // True once the server has closed the connection (EOF or reset), discarding data.
    bool waitClosedByPeer(std::chrono::milliseconds timeout = std::chrono::seconds(20))
    {
        const auto deadline = Clock::now() + timeout;
        std::vector<char> buf(256 * 1024);
        while (Clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            if (::recv(fd_, buf.data(), buf.size(), 0) <= 0)
                return true;
        }
        return false;
    }
    // Whatever arrives first within the timeout ("" on timeout or EOF).
    std::string readSome(std::chrono::milliseconds timeout)
    {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
            return {};
        std::vector<char> buf(256 * 1024);
        const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
        return n > 0 ? std::string(buf.data(), static_cast<size_t>(n)) : std::string();
    }
    void shutdownBoth() { ::shutdown(fd_, SHUT_RDWR); }
    void reset()
    {
        linger l{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close();
    }
    void shutdownWrite() { ::shutdown(fd_, SHUT_WR); }
    void close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
    bool ok_ = false;
};

struct Event
{
    uint32_t id;
    bool connected;
    long loopTid;
    long callingTid;
    size_t connectionNumInCallback;
    std::string peer;
};

// Records what the callbacks report; everything under one mutex.
class Recorder
{
public:
    explicit Recorder(TcpServer& srv)
        : srv_(&srv)
    {
        srv.onConnection = [this](const SocketChannelPtr& ch) {
            Event e{ch->id(), ch->isConnected(), ch->loopTid(), static_cast<long>(::gettid()),
                    srv_->connectionNum(), ch->peeraddr()};
            std::lock_guard<std::mutex> lk(m_);
            events_.push_back(e);
            if (e.connected)
                channels_[e.id] = ch;
            else
                channels_.erase(e.id);
        };
        srv.onMessage = [this](const SocketChannelPtr& ch, const void* data, size_t len) {
            std::lock_guard<std::mutex> lk(m_);
            received_[ch->id()].append(static_cast<const char*>(data), len);
            maxChunk_ = std::max(maxChunk_, len);
        };
    }
    // The callbacks point here: the server stops before the recorder goes.
    ~Recorder()
    {
        if (srv_)
            srv_->stop();
    }
    // For a test that destroys the server first (which stops it).
    void serverDestroyed() { srv_ = nullptr; }
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    size_t count(bool connected) const
    {
        std::lock_guard<std::mutex> lk(m_);
        return static_cast<size_t>(std::count_if(events_.begin(), events_.end(),
                                                 [&](const Event& e) { return e.connected == connected; }));
    }
    std::vector<Event> events() const
    {
        std::lock_guard<std::mutex> lk(m_);
        return events_;
    }
    SocketChannelPtr channelByPeerPort(int port) const
    {
        std::lock_guard<std::mutex> lk(m_);
        for (const auto& kv : channels_) {
            const std::string& p = kv.second->peeraddr();
            if (p.substr(p.rfind(':') + 1) == std::to_string(port))
                return kv.second;
        }
        return nullptr;
    }
    std::string receivedFrom(uint32_t id) const
    {
        std::lock_guard<std::mutex> lk(m_);
        auto it = received_.find(id);
        return it == received_.end() ? std::string() : it->second;
    }
    size_t totalReceived() const
    {
        std::lock_guard<std::mutex> lk(m_);
        size_t n = 0;
        for (const auto& kv : received_)
            n += kv.second.size();
        return n;
    }
    size_t maxChunk() const
    {
        std::lock_guard<std::mutex> lk(m_);
        return maxChunk_;
    }
    // Every id seen has exactly one connect followed by one disconnect.
    void expectPairedEvents() const
    {
        std::lock_guard<std::mutex> lk(m_);
        std::map<uint32_t, std::vector<bool>> byId;
        for (const auto& e : events_)
            byId[e.id].push_back(e.connected);
        for (const auto& kv : byId)
            EXPECT_EQ(kv.second, (std::vector<bool>{true, false})) << "channel " << kv.first;
    }

private:
    TcpServer* srv_;
    mutable std::mutex m_;
    std::vector<Event> events_;
    std::map<uint32_t, SocketChannelPtr> channels_;
    std::map<uint32_t, std::string> received_;
    size_t maxChunk_ = 0;
};

// Starts a server on an ephemeral loopback port.
int listenAndStart(TcpServer& srv, int threads)
{
    const int fd = srv.createsocket(0, "127.0.0.1");
    EXPECT_GE(fd, 0);
    srv.setThreadNum(threads);
    srv.start();
    return srv.listenPort();
}

// Captures Qt warnings while alive.
class WarningCapture
{
public:
    WarningCapture()
    {
        std::lock_guard<std::mutex> lk(mutex());
        lines().clear();
        prev_ = qInstallMessageHandler(&WarningCapture::handler);
    }
    ~WarningCapture() { qInstallMessageHandler(prev_); }
    static std::vector<std::string> captured()
    {
        std::lock_guard<std::mutex> lk(mutex());
        return lines();
    }

private:
    static void handler(QtMsgType, const QMessageLogContext&, const QString& msg)
    {
        std::lock_guard<std::mutex> lk(mutex());
        lines().push_back(msg.toStdString());
    }
    static std::mutex& mutex()
    {
        static std::mutex m;
        return m;
    }
    static std::vector<std::string>& lines()
    {
        static std::vector<std::string> l;
        return l;
    }
    QtMessageHandler prev_ = nullptr;
};

} // namespace

TEST(TcpServer, ConnectAndDisconnectCallbacksFollowConnectionNum)
{
    TcpServer srv;
    Recorder rec(srv);
    const int port = listenAndStart(srv, 2);
    ASSERT_GT(port, 0);

    Client a(port), b(port), c(port);
    ASSERT_TRUE(a.ok() && b.ok() && c.ok());
    ASSERT_TRUE(waitUntil([&] { return rec.count(true) == 3; }));
    EXPECT_EQ(srv.connectionNum(), 3u);

    auto chA = rec.channelByPeerPort(a.localPort());
    ASSERT_TRUE(chA);
    EXPECT_EQ(chA->peeraddr(), "127.0.0.1:" + std::to_string(a.localPort()));
    EXPECT_GE(chA->fd(), 0);
    std::set<uint32_t> ids;
    for (const auto& e : rec.events()) {
        EXPECT_TRUE(e.connected);
        EXPECT_EQ(e.loopTid, e.callingTid) << "callback runs on the channel's worker";
        ids.insert(e.id);
    }
    EXPECT_EQ(ids.size(), 3u) << "channel ids are unique";

    b.close();
    ASSERT_TRUE(waitUntil([&] { return rec.count(false) == 1; }));
    const Event gone = rec.events().back();
    EXPECT_FALSE(gone.connected);
    EXPECT_EQ(gone.connectionNumInCallback, 2u) << "the closed channel is no longer counted";
    EXPECT_EQ(srv.connectionNum(), 2u);

    a.close();
    c.close();
    ASSERT_TRUE(waitUntil([&] { return rec.count(false) == 3; }));
    EXPECT_EQ(srv.connectionNum(), 0u);
    EXPECT_FALSE(chA->isConnected());
    EXPECT_EQ(chA->write("x", 1), -1) << "write on a closed channel fails";
    rec.expectPairedEvents();
}

// How the client goes away: each must give exactly one disconnect callback.
enum class PeerClose { Graceful, Reset, ShutdownWriteThenClose };

class TcpServerPeerClose : public ::testing::TestWithParam<PeerClose>
{
};

TEST_P(TcpServerPeerClose, PeerGoingAwayGivesOneDisconnect)
{
    TcpServer srv;
    Recorder rec(srv);
    const int port = listenAndStart(srv, 1);
    Client c(port);
    ASSERT_TRUE(waitUntil([&] { return rec.count(true) == 1; }));
    ASSERT_TRUE(c.sendAll("hello"));
    ASSERT_TRUE(waitUntil([&] { return rec.totalReceived() == 5; }));
    switch (GetParam()) {
    case PeerClose::Graceful:
        c.close();
        break;
    case PeerClose::Reset:
        c.reset();
        break;
    case PeerClose::ShutdownWriteThenClose:
        c.shutdownWrite();
        ASSERT_TRUE(waitUntil([&] { return rec.count(false) == 1; }));
        c.close();
        break;
    }
    ASSERT_TRUE(waitUntil([&] { return rec.count(false) == 1; }));
    EXPECT_EQ(srv.connectionNum(), 0u);
    srv.stop();
    EXPECT_EQ(rec.count(false), 1u);
    rec.expectPairedEvents();
}

INSTANTIATE_TEST_SUITE_P(Modes, TcpServerPeerClose,
                         ::testing::Values(PeerClose::Graceful, PeerClose::Reset, PeerClose::ShutdownWriteThenClose),
                         [](const ::testing::TestParamInfo<PeerClose>& i) {
                             switch (i.param) {
                             case PeerClose::Graceful:
                                 return "Graceful";
                             case PeerClose::Reset:
                                 return "Reset";
                             default:
                                 return "ShutdownWrite";
                             }
                         });

TEST(TcpServer, LeastConnectionsSpreadsOverFourWorkers)
{
    TcpServer srv;
    Recorder rec(srv);
    const int port = listenAndStart(srv, 4);

    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 8; ++i) {
        clients.push_back(std::make_unique<Client>(port));
        ASSERT_TRUE(waitUntil([&] { return rec.count(true) == static_cast<size_t>(i + 1); }));
    }
    std::map<long, int> perWorker;
    std::map<long, std::vector<size_t>> clientsOfWorker;
    for (size_t i = 0; i < clients.size(); ++i) {
        auto ch = rec.channelByPeerPort(clients[i]->localPort());
        ASSERT_TRUE(ch);
        ++perWorker[ch->loopTid()];
        clientsOfWorker[ch->loopTid()].push_back(i);
    }
    ASSERT_EQ(perWorker.size(), 4u);
    for (const auto& kv : perWorker)
        EXPECT_EQ(kv.second, 2) << "worker " << kv.first;

    // Empty one worker: the next two connections both go there.
    const long emptied = perWorker.begin()->first;
    for (size_t i : clientsOfWorker[emptied])
        clients[i]->close();
    ASSERT_TRUE(waitUntil([&] { return rec.count(false) == 2; }));
    EXPECT_EQ(srv.connectionNum(), 6u);
    for (int i = 0; i < 2; ++i) {
        clients.push_back(std::make_unique<Client>(port));
        ASSERT_TRUE(waitUntil([&] { return rec.count(true) == static_cast<size_t>(9 + i); }));
        auto ch = rec.channelByPeerPort(clients.back()->localPort());
        ASSERT_TRUE(ch);
        EXPECT_EQ(ch->loopTid(), emptied);
    }
}

TEST(TcpServer, BytesFromSeveralClientsArriveIntactAndInReadSizedChunks)
{
    TcpServer srv;
    Recorder rec(srv);
    constexpr size_t kReadSize = 3000; // odd size: chunks never line up with the senders' writes
    srv.setReadBufSize(kReadSize);
    const int port = listenAndStart(srv, 4);
    constexpr int kClients = 4;
    constexpr size_t kBytes = 2 * 1024 * 1024;

    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kClients; ++i)
        clients.push_back(std::make_unique<Client>(port));
    ASSERT_TRUE(waitUntil([&] { return rec.count(true) == kClients; }));

    std::vector<std::thread> senders;
    for (int i = 0; i < kClients; ++i)
        senders.emplace_back([&, i] { clients[i]->sendAll(pattern(kBytes, static_cast<unsigned>(i))); });
    for (auto& t : senders)
        t.join();
    ASSERT_TRUE(waitUntil([&] { return rec.totalReceived() == kClients * kBytes; }));
    for (int i = 0; i < kClients; ++i) {
        auto ch = rec.channelByPeerPort(clients[i]->localPort());
        ASSERT_TRUE(ch);
        EXPECT_TRUE(rec.receivedFrom(ch->id()) == pattern(kBytes, static_cast<unsigned>(i))) << "client " << i;
    }
    EXPECT_LE(rec.maxChunk(), kReadSize);
}

// A bulk input is reported readable only at the low-water mark: the bytes
// below it, and a small write once the source slowed down, still arrive.
TEST(TcpServer, BulkInputsBytesBelowTheMarkStillArrive)
{
    TcpServer srv;
    Recorder rec(srv);
    srv.setBulkReads(true);
    const int port = listenAndStart(srv, 1);
    Client c(port);
    ASSERT_TRUE(waitUntil([&] { return rec.count(true) == 1; }));
    const std::string big = pattern(3 * TcpServer::kReadBufSize + 1000, 1);
    const std::string small = pattern(100, 2);
    ASSERT_TRUE(c.sendAll(big));
    ASSERT_TRUE(waitUntil([&] { return rec.totalReceived() == big.size(); })) << rec.totalReceived();
    ASSERT_TRUE(c.sendAll(small));
    ASSERT_TRUE(waitUntil([&] { return rec.totalReceived() == big.size() + small.size(); }));
    const auto ch = rec.channelByPeerPort(c.localPort());
    ASSERT_TRUE(ch);
    EXPECT_TRUE(rec.receivedFrom(ch->id()) == big + small);
}

// Broadcast payload sizes, from a keep-alive byte to many times the socket buffer.
class TcpServerBroadcast : public ::testing::TestWithParam<size_t>
{
};

TEST_P(TcpServerBroadcast, EveryClientReceivesExactlyTheBroadcastBytes)
{
    TcpServer srv;
    Recorder rec(srv);
    constexpr int kClients = 3;
    constexpr int kMessages = 8;
    // All of it may be queued before a starved reader runs: the write limit is not under test here.
    srv.setMaxWriteBufSize(2 * kMessages * GetParam() + 1024 * 1024);
    const int port = listenAndStart(srv, 2);
    const size_t size = GetParam();

    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kClients; ++i)
        clients.push_back(std::make_unique<Client>(port));
    ASSERT_TRUE(waitUntil([&] { return rec.count(true) == kClients; }));

    std::string expected;
    for (int m = 0; m < kMessages; ++m)
        expected += pattern(size, static_cast<unsigned>(m + 100));
    std::vector<std::string> got(kClients);
    std::vector<std::thread> readers;
    for (int i = 0; i < kClients; ++i)
        readers.emplace_back([&, i] { got[i] = clients[i]->readN(expected.size()); });
    for (int m = 0; m < kMessages; ++m) {
        const std::string msg = expected.substr(static_cast<size_t>(m) * size, size);
        EXPECT_EQ(srv.broadcast(msg.data(), msg.size()), kClients);
    }
    for (auto& t : readers)
        t.join();
    for (int i = 0; i < kClients; ++i) {
        EXPECT_EQ(got[i].size(), expected.size()) << "client " << i;
        EXPECT_TRUE(got[i] == expected) << "client " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, TcpServerBroadcast, ::testing::Values(1u, 1500u, 65536u, 3u * 1024u * 1024u),
                         [](const ::testing::TestParamInfo<size_t>& i) { return "Bytes" + std::to_string(i.param); });

TEST(TcpServer, ClientThatNeverReadsIsDroppedAtLimitWhileOtherReceivesEverything)
{
    WarningCapture warnings;
    constexpr size_t kLimit = 1024 * 1024;
    constexpr size_t kChunk = 64 * 1024;
    TcpServer srv;
    srv.setMaxWriteBufSize(kLimit);
    Recorder rec(srv);
    const int port = listenAndStart(srv, 2);

    Client stuck(port, 4096); // never reads
    Client reader(port);
    ASSERT_TRUE(waitUntil([&] { return rec.count(true) == 2; }));
    auto stuckCh = rec.channelByPeerPort(stuck.localPort());
    auto readerCh = rec.channelByPeerPort(reader.localPort());
    ASSERT_TRUE(stuckCh && readerCh);

    std::string expected;
    std::string got;
    std::atomic<bool> sending{true};
    std::atomic<size_t> sentTotal{0};
    std::thread readThread([&] {
        auto lastData = Clock::now();
        for (;;) {
            const std::string part = reader.readSome(std::chrono::milliseconds(50));
            got += part;
            if (!part.empty())
                lastData = Clock::now();
            else if (!sending && (got.size() >= sentTotal || Clock::now() - lastData > std::chrono::seconds(20)))
                break;
        }
    });

    // Broadcast until the stuck client has been dropped, pacing on the
    // reader's queue so only the stuck one can reach the limit.
    bool dropped = false;
    for (unsigned i = 0; i < 4096 && !dropped; ++i) {
        ASSERT_TRUE(waitUntil([&] { return readerCh->queuedBytes() < kLimit / 4; }));
        const std::string msg = pattern(kChunk, i);
        expected += msg;
        const int accepted = srv.broadcast(msg.data(), msg.size());
        sentTotal = expected.size();
        dropped = accepted < 2;
        EXPECT_GE(accepted, 1) << "the reading client never fails";
        EXPECT_LE(stuckCh->queuedBytes(), kLimit);
    }
    EXPECT_TRUE(dropped);
    ASSERT_TRUE(waitUntil([&] { return !stuckCh->isConnected(); }));
    // A few more after the drop: they reach the reader only.
    for (unsigned i = 0; i < 8; ++i) {
        const std::string msg = pattern(kChunk, 10000 + i);
        expected += msg;
        EXPECT_EQ(srv.broadcast(msg.data(), msg.size()), 1);
        sentTotal = expected.size();
    }
    sending = false;
    readThread.join();

    EXPECT_EQ(stuckCh->write("x", 1), -1);
    EXPECT_TRUE(readerCh->isConnected());
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "the reading client gets every byte in order";
    EXPECT_TRUE(stuck.waitClosedByPeer());
    ASSERT_TRUE(waitUntil([&] { return rec.count(false) == 1; }));
    EXPECT_EQ(srv.connectionNum(), 1u);

    const std::string want = "tcp channel " + stuckCh->peeraddr() + " write buffer over 1048576 bytes, closing";
    const auto lines = WarningCapture::captured();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), want), 1) << "one log line for the drop";
}

TEST(TcpServer, QueuedBytesAreFlushedWhenTheClientCatchesUp)
{
    TcpServer srv;
    Recorder rec(srv);
    const int port = listenAndStart(srv, 1);
    Client slow(port, 4096);
    ASSERT_TRUE(waitUntil([&] { return rec.count(true) == 1; }));
    auto ch = rec.channelByPeerPort(slow.localPort());
    ASSERT_TRUE(ch);

    // Far more than the socket buffers hold: write() must return at once and queue.
    const std::string big = pattern(8 * 1024 * 1024, 7);
    const auto t0 = Clock::now();
    EXPECT_EQ(ch->write(big.data(), big.size()), static_cast<int>(big.size()));
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5)) << "write never waits for the peer";
    EXPECT_GT(ch->queuedBytes(), 0u);
    const std::string got = slow.readN(big.size());
    EXPECT_TRUE(got == big);
    EXPECT_TRUE(waitUntil([&] { return ch->queuedBytes() == 0; }));
}

// Bytes the sender keeps alive are queued by reference, not copied: the
// keeper is held while they wait and let go once the client has them all.
TEST(TcpServer, KeptBytesAreQueuedByReferenceUntilSent)
{
    TcpServer srv;
    Recorder rec(srv);
    const int port = listenAndStart(srv, 1);
    Client slow(port, 4096);
    ASSERT_TRUE(waitUntil([&] { return rec.count(true) == 1; }));
    const auto big = std::make_shared<const std::string>(pattern(4 * 1024 * 1024, 9));
    ASSERT_EQ(srv.broadcast(big->data(), big->size(), big), 1);
    EXPECT_GT(big.use_count(), 1) << "the queue refers to the bytes";
    EXPECT_TRUE(slow.readN(big->size()) == *big);
    EXPECT_TRUE(waitUntil([&] { return big.use_count() == 1; })) << "and lets them go once sent";
}

// A message callback may keep the read area of a big message; the next reads
// must then go elsewhere, and a small message offers no reference at all.
TEST(TcpServer, SharedReadAreaIsNeverReadIntoWhileHeld)
{
    constexpr size_t kArea = 64 * 1024;
    TcpServer srv;
    srv.setReadBufSize(kArea);
    std::mutex m;
    std::vector<std::pair<std::shared_ptr<const void>, std::string>> held; // reference, bytes as read
    size_t smallWithRef = 0;
    std::atomic<size_t> total{0};
    srv.onMessage = [&](const SocketChannelPtr& ch, const void* data, size_t len) {
        auto ref = ch->sharedReadArea();
        std::lock_guard<std::mutex> lk(m);
        if (len * 2 < kArea && ref)
            ++smallWithRef;
        if (ref) {
            EXPECT_EQ(ref.get(), data);
            held.emplace_back(ref, std::string(static_cast<const char*>(data), len));
        }
        total += len;
    };
    const int port = listenAndStart(srv, 1);
    Client c(port);
    const std::string bytes = pattern(8 * 1024 * 1024, 5);
    ASSERT_TRUE(c.sendAll(bytes));
    ASSERT_TRUE(c.sendAll("tail"));
    ASSERT_TRUE(waitUntil([&] { return total.load() == bytes.size() + 4; }));
    srv.stop();
    EXPECT_EQ(smallWithRef, 0u);
    EXPECT_GT(held.size(), 0u);
    for (const auto& h : held)
        ASSERT_EQ(std::memcmp(h.first.get(), h.second.data(), h.second.size()), 0) << "a held area was read into";
}

// Queues share the broadcast's bytes, but each client is charged only for
// what it still has to receive: one that joined late is not closed for the
// backlog of an older one.
TEST(TcpServer, WriteLimitCountsEachClientsOwnQueuedBytes)
{
    constexpr size_t kLimit = 1024 * 1024;
    constexpr size_t kChunk = 64 * 1024;
    TcpServer srv;
    srv.setMaxWriteBufSize(kLimit);
    Recorder rec(srv);
    const int port = listenAndStart(srv, 1);
    Client old(port, 4096); // neither reads
    ASSERT_TRUE(waitUntil([&] { return rec.count(true) == 1; }));
    auto oldCh = rec.channelByPeerPort(old.localPort());
    ASSERT_TRUE(oldCh);
    // Small kernel buffers on both ends: the bytes wait in the queues.
    const int small = 4096;
    ::setsockopt(oldCh->fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    const std::string chunk = pattern(kChunk, 3);
    for (int i = 0; i < 1000 && oldCh->queuedBytes() < kLimit / 2; ++i)
        ASSERT_EQ(srv.broadcast(chunk.data(), chunk.size()), 1);
    ASSERT_GE(oldCh->queuedBytes(), kLimit / 2);

    Client late(port, 4096);
    ASSERT_TRUE(waitUntil([&] { return rec.count(true) == 2; }));
    auto lateCh = rec.channelByPeerPort(late.localPort());
    ASSERT_TRUE(lateCh);
    ::setsockopt(lateCh->fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    size_t sinceJoin = 0;
    int accepted = 2;
    while (accepted == 2 && sinceJoin < 4 * kLimit) {
        accepted = srv.broadcast(chunk.data(), chunk.size());
        sinceJoin += chunk.size();
        EXPECT_LE(lateCh->queuedBytes(), sinceJoin);
    }
    EXPECT_EQ(accepted, 1) << "one client passes the limit first";
    EXPECT_TRUE(waitUntil([&] { return !oldCh->isConnected(); })) << "and it is the old one";
    EXPECT_TRUE(lateCh->isConnected());
    EXPECT_GT(lateCh->queuedBytes(), 0u);
}

TEST(TcpServer, ConnectionsPastTheLimitAreRefusedAtAccept)
{
    WarningCapture warnings;
    TcpServer srv;
    srv.setMaxConnections(3);
    Recorder rec(srv);
    const int port = listenAndStart(srv, 2);
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 3; ++i)
        clients.push_back(std::make_unique<Client>(port));
    ASSERT_TRUE(waitUntil([&] { return rec.count(true) == 3; }));
    Client extra1(port);
    Client extra2(port);
    EXPECT_TRUE(extra1.waitClosedByPeer());
    EXPECT_TRUE(extra2.waitClosedByPeer());
    EXPECT_EQ(srv.connectionNum(), 3u);
    EXPECT_EQ(rec.count(true), 3u) << "a refused connection is never announced";

    clients.pop_back(); // a place becomes free
    ASSERT_TRUE(waitUntil([&] { return srv.connectionNum() == 2; }));
    Client next(port);
    ASSERT_TRUE(waitUntil([&] { return rec.count(true) == 4; }));
    EXPECT_EQ(srv.connectionNum(), 3u);

    const auto lines = WarningCapture::captured();
    const auto refused = std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.rfind("tcp connection from 127.0.0.1 refused: connection limit reached", 0) == 0;
    });
    EXPECT_GE(refused, 1);
    EXPECT_LE(refused, 2) << "throttled, one line a second";
}

// createsocket failures: each must give a negative result and a server that
// can be destroyed (and started, which then does nothing).
struct BadListenCase
{
    const char* name;
    const char* host;
    bool portInUse;
};

class TcpServerBadListen : public ::testing::TestWithParam<BadListenCase>
{
};

TEST_P(TcpServerBadListen, CreatesocketFailsAndServerStaysInert)
{
    TcpServer holder;
    const int holderFd = holder.createsocket(0, "127.0.0.1");
    ASSERT_GE(holderFd, 0);
    const int busyPort = holder.listenPort();
    ASSERT_GT(busyPort, 0);

    auto srv = std::make_unique<TcpServer>();
    const int port = GetParam().portInUse ? busyPort : 0;
    EXPECT_LT(srv->createsocket(port, GetParam().host), 0);
    EXPECT_EQ(srv->listenPort(), -1);
    srv->start();
    EXPECT_EQ(srv->connectionNum(), 0u);
    EXPECT_EQ(srv->broadcast("x", 1), 0);
    srv.reset();
}

INSTANTIATE_TEST_SUITE_P(Cases, TcpServerBadListen,
                         ::testing::Values(BadListenCase{"PortInUse", "127.0.0.1", true},
                                           BadListenCase{"PortInUseAllInterfaces", "0.0.0.0", true},
                                           BadListenCase{"HostNotAnAddress", "not-an-address", false}),
                         [](const ::testing::TestParamInfo<BadListenCase>& i) { return std::string(i.param.name); });

TEST(TcpServer, NeverStartedServersAreDestroyedCleanly)
{
    { TcpServer never; }
    {
        TcpServer listening;
        ASSERT_GE(listening.createsocket(0, "127.0.0.1"), 0);
    }
    {
        TcpServer stoppedTwice;
        stoppedTwice.stop();
        stoppedTwice.stop();
    }
}

TEST(TcpServer, StopWithConnectedClientsFiresEveryDisconnectAndJoins)
{
    auto srv = std::make_unique<TcpServer>();
    Recorder rec(*srv);
    const int port = listenAndStart(*srv, 4);
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 6; ++i)
        clients.push_back(std::make_unique<Client>(port));
    ASSERT_TRUE(waitUntil([&] { return rec.count(true) == 6; }));
    auto kept = rec.channelByPeerPort(clients[0]->localPort());
    ASSERT_TRUE(kept);

    srv->stop();
    EXPECT_EQ(rec.count(false), 6u) << "stop() returns after all disconnect callbacks";
    for (const auto& e : rec.events())
        EXPECT_EQ(e.loopTid, e.callingTid);
    EXPECT_EQ(srv->connectionNum(), 0u);
    for (auto& c : clients)
        EXPECT_TRUE(c->waitClosedByPeer());
    Client late(port);
    EXPECT_FALSE(late.ok()) << "the listener is closed";
    srv->stop();
    srv.reset();
    rec.serverDestroyed();
    rec.expectPairedEvents();

    // A channel the owner kept outlives the server harmlessly.
    EXPECT_FALSE(kept->isConnected());
    EXPECT_EQ(kept->write("x", 1), -1);
    kept->close();
}

TEST(TcpServer, ClosesocketStopsAcceptingButKeepsConnections)
{
    TcpServer srv;
    Recorder rec(srv);
    const int port = listenAndStart(srv, 1);
    Client a(port);
    ASSERT_TRUE(waitUntil([&] { return rec.count(true) == 1; }));
    srv.closesocket();
    ASSERT_TRUE(waitUntil([&] {
        Client probe(port);
        return !probe.ok();
    }));
    EXPECT_EQ(srv.connectionNum(), 1u);
    EXPECT_EQ(srv.broadcast("\n", 1), 1);
    EXPECT_EQ(a.readN(1), "\n");
}

TEST(TcpServer, StopWhileCallbacksUseTheServerDoesNotDeadlock)
{
    auto srv = std::make_unique<TcpServer>();
    TcpServer* s = srv.get();
    std::atomic<size_t> messages{0};
    srv->onConnection = [s](const SocketChannelPtr&) { (void)s->connectionNum(); };
    srv->onMessage = [s, &messages](const SocketChannelPtr& ch, const void* data, size_t len) {
        ++messages;
        s->broadcast(data, len); // takes the channel lock from a worker
        ch->write(data, len);
        (void)s->connectionNum();
    };
    const int port = listenAndStart(*srv, 2);
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 4; ++i)
        clients.push_back(std::make_unique<Client>(port));
    std::atomic<bool> run{true};
    std::vector<std::thread> senders;
    for (int i = 0; i < 4; ++i) {
        senders.emplace_back([&, i] {
            const std::string chunk = pattern(4096, static_cast<unsigned>(i));
            while (run && clients[i]->sendAll(chunk)) {
            }
        });
    }
    ASSERT_TRUE(waitUntil([&] { return messages > 20; }));
    srv->stop(); // must return with callbacks busy on every worker
    srv.reset();
    run = false;
    for (auto& c : clients)
        c->shutdownBoth(); // unblocks a sender stuck on a full socket
    for (auto& t : senders)
        t.join();
}

TEST(TcpServer, ConcurrentBroadcastsWhileClientsComeAndGo)
{
    auto srv = std::make_unique<TcpServer>();
    Recorder rec(*srv);
    const int port = listenAndStart(*srv, 4);
    Client steady(port);
    ASSERT_TRUE(waitUntil([&] { return rec.count(true) == 1; }));

    // Each message: 1 byte tag, 1 byte length in KiB, then the tag repeated.
    constexpr int kThreads = 4;
    constexpr int kPerThread = 300;
    std::atomic<size_t> expectedBytes{0};
    std::atomic<bool> churn{true};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int m = 0; m < kPerThread; ++m) {
                const size_t kib = 1 + static_cast<size_t>(m % 8);
                std::string msg(2 + kib * 1024, static_cast<char>('a' + t));
                msg[1] = static_cast<char>(kib);
                srv->broadcast(msg.data(), msg.size());
                expectedBytes += msg.size();
            }
        });
    }
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            for (unsigned n = 0; churn; ++n) {
                Client c(port);
                if (c.ok())
                    c.readN(1000, std::chrono::milliseconds(2));
                if ((n + static_cast<unsigned>(t)) % 2)
                    c.reset();
            }
        });
    }
    std::string got;
    for (size_t i = 0; i < kThreads; ++i)
        threads[i].join();
    got = steady.readN(expectedBytes);
    churn = false;
    for (size_t i = kThreads; i < threads.size(); ++i)
        threads[i].join();

    ASSERT_EQ(got.size(), expectedBytes.load());
    std::map<char, int> perTag;
    size_t off = 0;
    while (off < got.size()) {
        const char tag = got[off];
        const size_t len = 2 + static_cast<size_t>(static_cast<unsigned char>(got[off + 1])) * 1024;
        ASSERT_LE(off + len, got.size());
        ASSERT_TRUE(std::all_of(got.begin() + static_cast<std::ptrdiff_t>(off) + 2,
                                got.begin() + static_cast<std::ptrdiff_t>(off + len),
                                [tag](char c) { return c == tag; }))
            << "a broadcast reaches a channel in one piece";
        ++perTag[tag];
        off += len;
    }
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(perTag[static_cast<char>('a' + t)], kPerThread);

    // And stopping while broadcasters still run.
    std::atomic<bool> go{true};
    std::thread late([&] {
        const std::string msg(1000, 'z');
        while (go)
            srv->broadcast(msg.data(), msg.size());
    });
    srv->stop();
    go = false;
    late.join();
    srv.reset();
    rec.serverDestroyed();
    rec.expectPairedEvents();
}
