#pragma once
// One oxlat link: a reliable, ordered message channel (KCP) over one UDP
// socket, driven by a session thread of its own. See kcp_udp.cpp for the data
// path and the threads.
#include "service/logLimit.h"

#include <QJsonObject>
#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <netinet/in.h>

struct IKCPCB;
typedef struct IKCPCB ikcpcb;
class QTimer;

class kcp_udp : public QObject
{
    Q_OBJECT
public:
    using MessageFn = std::function<void(unsigned char* data, int32_t len, void* user)>;

    // Bounds of the send queue; past either one the whole queue is dropped.
    static constexpr int kMaxQueuedMessages = 2000;
    static constexpr int64_t kMaxQueuedBytes = 64 * 1024 * 1024;
    // Messages are cut to this size before they enter KCP (the MTU).
    static constexpr int kPieceSize = 1400;
    static constexpr int kDeliveryArea = 1500;
    static constexpr uint32_t kBacklogSegments = 10000;
    static constexpr int kExtraMinRto = 300;   // added to minRto until the link proves healthy
    static constexpr uint32_t kHealthyTicks = 5;
    // Longest wait of an idle session (nothing to send, in flight or to
    // acknowledge) when nothing wakes it: a safety net only, every change of
    // work wakes it at once.
    static constexpr int kIdleWaitMs = 1000;
    // Longest wait between passes while over the backlog limit, or always
    // when the session has no wake-up descriptor.
    static constexpr int kPassMs = 1;

    // Owning thread. host "0.0.0.0" selects the listening role, anything else
    // the calling role. Opens nothing.
    kcp_udp(const QString& host, int port, int minRto);
    ~kcp_udp() override; // owning thread; joins the session thread (quick: it is woken)

    static kcp_udp* createSocket(const QString& host, int port, int minRto); // caller owns the result

    // Owning thread; only the first call acts. Starts the heart timer (unless
    // heartPeriodMs is 0) and the session thread. Always true.
    bool start();
    // Any thread: copies the bytes into the send queue (queueLock). Returns 0.
    int kcp_send(const void* data, int len);
    // Any thread: drops everything queued (queueLock).
    void clearBuf();
    // Session thread (or before start / after the thread ended): ends the
    // session; mode -1 also closes the socket.
    void Close(int mode);
    // Any thread (owning or web thread); reads under stateLock. Empty between sessions.
    QJsonObject getStatus();

    // Any thread; each takes stateLock.
    int setmtu(uint16_t mtu);
    int setnodelay(int type);
    int getWaitSendNum();
    bool needPaused();
    void debugPrint();

    // Set by the owner before start(); called on the session thread for
    // every delivered message.
    MessageFn onMessage;
    void* userData = nullptr;
    // Set by the owner before start(); called on the session thread for every
    // datagram. One it refuses is dropped before it touches the session: it
    // neither feeds it, nor moves the reply address, nor counts towards
    // adopting another conversation.
    std::function<bool(const sockaddr_in& from)> acceptPeer;
    // Any thread: the session thread checks its current peer against
    // acceptPeer again; a peer it refuses now ends the session.
    void recheckPeer();

    // Timing knobs, set before start(). heartPeriodMs 0: no timer, the owner
    // (a test) calls heartTimerSlots itself. retryPeriodMs is the pause before
    // each session (and after a failed one).
    int heartPeriodMs = 1000;
    int retryPeriodMs = 1000;

    // Read-only views for the owner and tests; any thread.
    bool isReady() const { return ready.load(); }
    uint32_t currentConv() const { return conv.load(); }
    uint32_t sessionsBuilt() const { return sessions.load(); }
    uint32_t keepAlivesQueued() const { return keepAlives.load(); }
    // Passes of the session's update loop so far (tests: an idle session
    // must not wake every millisecond).
    uint64_t loopPasses() const { return passes.load(); }
    int queuedMessages();
    // Any thread: whether a message queued now can still reach a peer. False
    // between sessions (the next one discards the queue) and while no peer
    // has been heard in this session and KCP already holds the backlog that
    // will end it; true otherwise.
    bool canReachPeer() const
    {
        return sessionLive.load(std::memory_order_relaxed) &&
               (peerKnown.load(std::memory_order_relaxed) || !backlogFull.load(std::memory_order_relaxed));
    }
    bool hasSession(); // stateLock
    int32_t currentMinRto(); // rx_minrto of the session, -1 without one; stateLock
    uint32_t txBandKbps() const { return txBand.load(); }
    uint32_t rxBandKbps() const { return rxBand.load(); }
    bool isClientRole() const { return isClient; }
    int boundPort() const { return port; }

    // The peer of the session as the session thread last published it, for
    // the operator's client list; any thread, lock-free. False when no peer
    // has spoken in this session (or in the calling role).
    struct PeerView {
        uint32_t ipv4 = 0; // host order
        int port = 0;
        int64_t sinceMs = 0; // wall clock when this peer was first heard in the session
    };
    bool currentPeer(PeerView* out) const;
    // Any thread: ends the session, so the peer is dropped; the next session
    // takes whoever speaks next (the same peer too, when it keeps sending).
    void dropPeer();
    // Any thread, lock-free: figures for /metrics. Wire bytes over the
    // object's life; messages dropped with a full queue; the session's KCP
    // figures as of its last pass.
    uint64_t wireBytesSent() const { return totalTx.load(std::memory_order_relaxed); }
    uint64_t wireBytesReceived() const { return totalRx.load(std::memory_order_relaxed); }
    uint64_t messagesDropped() const { return droppedMessages.load(std::memory_order_relaxed); }
    int64_t queuedBytesNow() const { return queuedNow.load(std::memory_order_relaxed); }
    uint32_t sessionBytesSent() const { return txBytes.load(); }
    uint32_t sessionBytesReceived() const { return rxBytes.load(); }
    int64_t lastRttMs() const { return pubRtt.load(std::memory_order_relaxed); }
    int64_t lastRtoMs() const { return pubRto.load(std::memory_order_relaxed); }
    uint64_t lastResent() const { return pubResent.load(std::memory_order_relaxed); }
    int64_t lastQueue() const { return pubQueue.load(std::memory_order_relaxed); }

public Q_SLOTS:
    void heartTimerSlots(); // owning thread, every heartPeriodMs

private:
    friend struct kcpUdpFuzzAccess; // tests/fuzz drives one session without socket or thread

    static int udp_output(const char* buf, int len, ikcpcb* kcp, void* user);
    void mainThread();
    bool create();
    ikcpcb* newControlBlock(); // with this session's KCP parameters
    void handle_update();
    void waitForWork(int timeoutMs);
    void wakeSession(); // any thread: ends the session thread's current wait
    bool queueMessage(const void* data, int len); // kcp_send without the wake-up; true: the session needs one
    void feedQueue();
    bool readDatagrams(); // false: the session must end (conversation adopted)
    bool takeDatagram(const char* data, int len, const sockaddr_in& from); // the same, for one datagram
    void logInputDrops();
    void deliverMessages();
    // Sleeps up to ms, returns early when exit is requested.
    void pause(int ms);
    void closeSocket();

    std::atomic<uint32_t> txBand{0}, rxBand{0};
    std::atomic<bool> ready{false};
    ikcpcb* kcp = nullptr; // guarded by stateLock; owned
    std::mutex stateLock;
    uint16_t interval = 1;
    int sock = -1; // session thread only
    std::thread sessionThread;
    sockaddr_in peerAddr{};
    sockaddr_in localAddr{};
    sockaddr_in replyAddr{}; // session thread only
    bool replyKnown = false; // session thread only
    // Written by the session thread, read by senders (canReachPeer).
    std::atomic<bool> sessionLive{false}, peerKnown{false}, backlogFull{false};
    int minRto = 0;
    std::atomic<uint32_t> txBytes{0}, rxBytes{0};
    uint32_t prevTxBytes = 0, prevRxBytes = 0; // stateLock
    std::atomic<uint32_t> rxIdleTicks{1}, txIdleTicks{1};
    std::atomic<uint32_t> overWaitCount{0}, healthyTicks{0};
    std::atomic<bool> exitRequested{false}, paused{true}, resetRequested{true};
    std::deque<std::vector<char>> sendQueue; // queueLock
    int64_t queuedBytes = 0; // queueLock
    std::mutex queueLock;
    QTimer* heartTimer = nullptr; // owned, no parent
    bool isClient = false;
    std::atomic<bool> peerRecheck{false};
    std::atomic<uint32_t> conv{0};
    std::atomic<uint32_t> convErrors{0};
    QString host;
    int port = 0;
    bool started = false;
    std::atomic<uint32_t> sessions{0}, keepAlives{0};
    std::vector<char> recvArea;     // session thread: one datagram
    std::vector<char> deliveryArea; // session thread: one message, grown for long ones
    std::mutex wakeLock;
    std::condition_variable wake;
    // eventfd that ends the session's wait on its socket: written when the
    // send queue stops being empty, on reset and on destruction. -1 when it
    // could not be made; the session then never waits longer than kPassMs.
    int wakeFd = -1;
    std::atomic<uint64_t> passes{0};
    // Published by the session thread (peer: bit 48 set, IPv4 << 16, port).
    std::atomic<uint64_t> peerPacked{0};
    std::atomic<int64_t> peerSinceMs{0};
    std::atomic<uint64_t> totalTx{0}, totalRx{0}, droppedMessages{0};
    std::atomic<int64_t> queuedNow{0}; // mirror of queuedBytes, stored under queueLock
    std::atomic<int64_t> pubRtt{0}, pubRto{0}, pubQueue{0};
    std::atomic<uint64_t> pubResent{0};
    // Segments refused by KCP (reassembly bound, over-long) already logged;
    // session thread only.
    uint32_t loggedRcvDrops = 0, loggedLongDrops = 0;
    logThrottle rcvDropLog, longSegLog;
    logThrottle fullLog; // "BUFF FULL--": one line a second, with the count held back
};
