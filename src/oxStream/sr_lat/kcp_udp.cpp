// KCP session over one UDP socket (the oxlat transport).
//
// Data path: a sender on any thread calls kcp_send, which copies the bytes
// into sendQueue (queueLock, bounded). The session thread, in each pass,
// takes the queued messages out, cuts them into pieces of at most 1400 bytes
// for ikcp_send, drains the socket into ikcp_input, takes every complete
// message out with ikcp_recv and hands it to onMessage (on the session
// thread, without any lock held), then lets ikcp_update send what is due
// through udp_output. Between passes it waits in poll() on the socket and a
// wake-up eventfd (written when the queue stops being empty, on reset and
// on destruction), for no longer than KCP has work due (ikcp_idle_wait):
// a busy session runs its passes as often as before, an idle one sleeps
// until something happens. The owning thread (the main thread for the
// endpoints) runs the one-second heart tick: rates, liveness, keep-alives,
// backlog resets and the minimum RTO.
//
// Threads and locks: the control block is touched only under stateLock, by
// the session thread (which creates, drives and releases it) and by the
// readers on other threads (getStatus, the heart tick, the accessors). Flags
// and counters shared between the threads are atomics. The socket, the reply
// address and the receive areas belong to the session thread alone. Every
// sleep of the session thread is a wait on `wake` or on wakeFd, so the
// destructor ends a session within about a millisecond instead of a second.
#include "kcp_udp.h"
#include "ikcp.h"
#include "service/logging.h"
#include "net/oxMemoryTrim.h"

#include <QTimer>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The session's texts go to standard output, flushed at once so that they
// interleave correctly with the other log channels.
void say(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void say(const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::vprintf(format, ap);
    va_end(ap);
    std::fflush(stdout);
}

IUINT32 nowMs()
{
    // KCP only compares timestamps; a monotonic clock keeps RTO timing sane
    // when the wall clock is set.
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count();
    return static_cast<IUINT32>(ms);
}

// Datagrams taken per pass before the queue and the deliveries get their
// turn again: a flood must not starve the rest of the loop.
constexpr int kMaxDatagramsPerPass = 1024;
constexpr int kSocketBufferBytes = 2 * 1024 * 1024;

} // namespace

kcp_udp::kcp_udp(const QString& host_, int port_, int minRto_)
    : minRto(minRto_)
    , isClient(host_ != QLatin1String("0.0.0.0"))
    , host(host_)
    , port(port_)
{
    localAddr.sin_family = AF_INET;
    localAddr.sin_addr.s_addr = htonl(INADDR_ANY);
    localAddr.sin_port = htons(static_cast<uint16_t>(port));
    recvArea.resize(65536); // any datagram fits whole, whatever the peer's MTU
    deliveryArea.resize(kDeliveryArea);
    wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0)
        qCWarning(lcKcp, "oxlat:%d no wake-up descriptor (%s): the session polls every %d ms", port,
                  std::strerror(errno), kPassMs);
}

kcp_udp* kcp_udp::createSocket(const QString& host, int port, int minRto)
{
    return new kcp_udp(host, port, minRto);
}

kcp_udp::~kcp_udp()
{
    resetRequested.store(true);
    paused.store(true);
    ready.store(false);
    {
        std::lock_guard<std::mutex> g(wakeLock);
        exitRequested.store(true);
    }
    wake.notify_all();
    wakeSession();
    if (heartTimer) {
        heartTimer->stop();
        delete heartTimer;
        heartTimer = nullptr;
    }
    if (sessionThread.joinable())
        sessionThread.join();
    // Deliveries stop with the thread; only now may the callback go.
    onMessage = nullptr;
    Close(-1);
    if (wakeFd >= 0) {
        ::close(wakeFd);
        wakeFd = -1;
    }
    qCDebug(lcKcp, "st_lat::~st_lat:%d", port);
    clearBuf();
}

void kcp_udp::wakeSession()
{
    if (wakeFd < 0)
        return;
    const uint64_t one = 1;
    // A full counter (never in practice) still leaves the descriptor readable.
    [[maybe_unused]] const ssize_t n = ::write(wakeFd, &one, sizeof one);
}

bool kcp_udp::start()
{
    if (started)
        return true;
    started = true;
    if (!heartTimer && heartPeriodMs > 0) {
        heartTimer = new QTimer();
        connect(heartTimer, &QTimer::timeout, this, &kcp_udp::heartTimerSlots);
        heartTimer->start(heartPeriodMs);
    }
    sessionThread = std::thread([this] { mainThread(); });
    paused.store(false);
    return true;
}

int kcp_udp::kcp_send(const void* data, int len)
{
    if (queueMessage(data, len))
        wakeSession();
    return 0;
}

bool kcp_udp::queueMessage(const void* data, int len)
{
    if (len < 0 || (len > 0 && !data))
        return false;
    std::vector<char> msg(static_cast<const char*>(data), static_cast<const char*>(data) + len);
    bool wasEmpty;
    std::unique_ptr<std::deque<std::vector<char>>> dropped; // freed outside the lock
    {
        std::lock_guard<std::mutex> g(queueLock);
        // The session takes entries until it finds the queue empty, so only
        // the first entry after that needs to wake it.
        wasEmpty = sendQueue.empty();
        queuedBytes += len;
        sendQueue.push_back(std::move(msg));
        if (static_cast<int>(sendQueue.size()) > kMaxQueuedMessages || queuedBytes > kMaxQueuedBytes) {
            int64_t held = 0;
            if (fullLog.allow(&held)) {
                if (held == 0)
                    say("OXLAT:%d BUFF FULL--\n", port);
                else
                    say("OXLAT:%d BUFF FULL-- (+%lld since the last line)\n", port, static_cast<long long>(held));
            }
            droppedMessages.fetch_add(sendQueue.size(), std::memory_order_relaxed);
            dropped = std::make_unique<std::deque<std::vector<char>>>();
            dropped->swap(sendQueue);
            queuedBytes = 0;
            wasEmpty = false;
        }
        queuedNow.store(queuedBytes, std::memory_order_relaxed);
    }
    if (dropped) {
        dropped.reset();
        oxnet::giveBackFreedMemory(false); // a full queue may be dropped again soon
    }
    return wasEmpty;
}

void kcp_udp::clearBuf()
{
    std::deque<std::vector<char>> dropped;
    int64_t droppedBytes = 0;
    {
        std::lock_guard<std::mutex> g(queueLock);
        dropped.swap(sendQueue);
        droppedBytes = queuedBytes;
        queuedBytes = 0;
        queuedNow.store(0, std::memory_order_relaxed);
    }
    dropped.clear();
    if (droppedBytes >= static_cast<int64_t>(oxnet::kTrimAfterBytes))
        oxnet::giveBackFreedMemory(true);
}

int kcp_udp::queuedMessages()
{
    std::lock_guard<std::mutex> g(queueLock);
    return static_cast<int>(sendQueue.size());
}

void kcp_udp::Close(int mode)
{
    peerPacked.store(0, std::memory_order_relaxed);
    sessionLive.store(false);
    ready.store(false);
    bool trim = false;
    {
        std::lock_guard<std::mutex> g(stateLock);
        if (kcp) {
            // Without a peer the session holds up to kBacklogSegments pieces.
            const size_t held = static_cast<size_t>(ikcp_waitsnd(kcp)) * kPieceSize;
            ikcp_release(kcp);
            kcp = nullptr;
            trim = held >= oxnet::kTrimAfterBytes;
        }
    }
    if (trim)
        oxnet::giveBackFreedMemory(true);
    if (mode == -1)
        closeSocket();
}

void kcp_udp::closeSocket()
{
    if (sock >= 0) {
        ::close(sock);
        sock = -1;
    }
}

QJsonObject kcp_udp::getStatus()
{
    std::lock_guard<std::mutex> g(stateLock);
    if (!kcp)
        return QJsonObject();
    return QJsonObject{
        {QStringLiteral("rtt"), kcp->rx_srtt},
        {QStringLiteral("rto"), kcp->rx_rto},
        {QStringLiteral("resnd"), static_cast<qint64>(kcp->xmit)},
        {QStringLiteral("queue"), static_cast<qint64>(kcp->nsnd_buf)},
        {QStringLiteral("txBand"), static_cast<qint64>(txBand.load())},
        {QStringLiteral("rxBand"), static_cast<qint64>(rxBand.load())},
        {QStringLiteral("ready"), ready.load()},
    };
}

int kcp_udp::setmtu(uint16_t mtu)
{
    std::lock_guard<std::mutex> g(stateLock);
    if (!kcp)
        return -3;
    return ikcp_setmtu(kcp, mtu);
}

int kcp_udp::setnodelay(int type)
{
    std::lock_guard<std::mutex> g(stateLock);
    if (!kcp)
        return -1;
    if (type == 1)
        ikcp_nodelay(kcp, 0, interval, 0, 1);
    else if (type == 2)
        ikcp_nodelay(kcp, 2, interval, 2, 1);
    else
        ikcp_nodelay(kcp, 0, interval, 0, 0);
    return 0;
}

int kcp_udp::getWaitSendNum()
{
    std::lock_guard<std::mutex> g(stateLock);
    return kcp ? static_cast<int>(kcp->nsnd_que) : 0;
}

bool kcp_udp::needPaused()
{
    std::lock_guard<std::mutex> g(stateLock);
    if (!kcp || kcp->snd_wnd == 0)
        return false;
    return kcp->nsnd_que / kcp->snd_wnd > 1;
}

void kcp_udp::debugPrint()
{
    std::lock_guard<std::mutex> g(stateLock);
    if (!kcp)
        return;
    say("kcp status1:rx_rto:%d, rx_srtt:%d, rx_rttval:%d nsnd_buf:%d, nsnd_que:%d nrcv_buf:%d, nrcv_que:%d \n",
        kcp->rx_rto, kcp->rx_srtt, kcp->rx_rttval, static_cast<int>(kcp->nsnd_buf), static_cast<int>(kcp->nsnd_que),
        static_cast<int>(kcp->nrcv_buf), static_cast<int>(kcp->nrcv_que));
    say("kcp status2: ikcp_waitsnd:%d, ikcp_peeksize:%d ts_flush:%d xmit:%u sndBand:%d revBand:%d\n",
        ikcp_waitsnd(kcp), ikcp_peeksize(kcp), static_cast<int>(kcp->ts_flush), kcp->xmit,
        static_cast<int>(txBand.load()), static_cast<int>(rxBand.load()));
}

bool kcp_udp::hasSession()
{
    std::lock_guard<std::mutex> g(stateLock);
    return kcp != nullptr;
}

int32_t kcp_udp::currentMinRto()
{
    std::lock_guard<std::mutex> g(stateLock);
    return kcp ? kcp->rx_minrto : -1;
}

void kcp_udp::pause(int ms)
{
    std::unique_lock<std::mutex> lk(wakeLock);
    wake.wait_for(lk, std::chrono::milliseconds(ms), [this] { return exitRequested.load(); });
}

void kcp_udp::mainThread()
{
    for (;;) {
        if (exitRequested.load()) {
            qCDebug(lcKcp, "-------%%d thread Exit!! -----------");
            return;
        }
        pause(retryPeriodMs);
        if (paused.load() || exitRequested.load())
            continue;
        resetRequested.store(false);
        rxIdleTicks.store(1);
        txIdleTicks.store(1);
        if (!create()) {
            pause(retryPeriodMs);
            continue;
        }
        // Messages queued before this session (or for the previous one) are never sent.
        backlogFull.store(false);
        peerKnown.store(isClient);
        sessionLive.store(true);
        clearBuf();
        handle_update();
        Close(-1);
    }
}

bool kcp_udp::create()
{
    qCDebug(lcKcp, "new conv is %u", conv.load());
    if (conv.load() == 0 || isClient)
        conv.store(static_cast<uint32_t>(std::time(nullptr)));

    ikcpcb* kc = newControlBlock();
    replyKnown = false;

    if (sock < 0) {
        sock = ::socket(AF_INET, SOCK_DGRAM, 0);
        if (sock < 0) {
            ikcp_release(kc);
            return false;
        }
        const int one = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &kSocketBufferBytes, sizeof kSocketBufferBytes);
        setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &kSocketBufferBytes, sizeof kSocketBufferBytes);
        if (isClient) {
            // getaddrinfo rather than gethostbyname: this runs on the session
            // thread while other threads may resolve names too.
            addrinfo hints{};
            hints.ai_family = AF_INET;
            hints.ai_socktype = SOCK_DGRAM;
            addrinfo* res = nullptr;
            const QByteArray h = host.toUtf8();
            if (getaddrinfo(h.constData(), nullptr, &hints, &res) != 0 || !res) {
                std::fprintf(stderr, "OXCP:不能得到 %s对应的 IP\n", h.constData());
                std::fflush(stderr);
                closeSocket();
                ikcp_release(kc);
                return false;
            }
            std::memcpy(&peerAddr, res->ai_addr, sizeof peerAddr);
            peerAddr.sin_port = htons(static_cast<uint16_t>(port));
            freeaddrinfo(res);
        } else {
            peerAddr.sin_port = 0;
            replyAddr.sin_port = 0;
        }
        if (::bind(sock, reinterpret_cast<const sockaddr*>(&localAddr), sizeof localAddr) != 0) {
            say("无法绑定 UDP PORT:%d", port);
            closeSocket();
            ikcp_release(kc);
            return false;
        }
    }
    {
        std::lock_guard<std::mutex> g(stateLock);
        kcp = kc;
    }
    sessions.fetch_add(1);
    return true;
}

ikcpcb* kcp_udp::newControlBlock()
{
    ikcpcb* kc = ikcp_create(conv.load(), this);
    kc->output = &kcp_udp::udp_output;
    ikcp_nodelay(kc, 1, interval, 5, 1);
    ikcp_setmtu(kc, kPieceSize);
    ikcp_wndsize(kc, 10240, 10240);
    kc->rx_minrto = minRto + kExtraMinRto;
    loggedRcvDrops = 0;
    loggedLongDrops = 0;
    return kc;
}

int kcp_udp::udp_output(const char* buf, int len, ikcpcb*, void* user)
{
    auto* self = static_cast<kcp_udp*>(user);
    self->txBytes.fetch_add(static_cast<uint32_t>(len));
    self->totalTx.fetch_add(static_cast<uint64_t>(len), std::memory_order_relaxed);
    const sockaddr_in* to = nullptr;
    if (self->isClient)
        to = &self->peerAddr;
    else if (self->replyKnown)
        to = &self->replyAddr;
    if (!to)
        return -1; // no peer has spoken yet; KCP keeps the segment and retries
    // Never block the session (and stateLock) on a full socket buffer.
    const ssize_t n = ::sendto(self->sock, buf, static_cast<size_t>(len), MSG_DONTWAIT,
                               reinterpret_cast<const sockaddr*>(to), sizeof *to);
    return n > 0 ? static_cast<int>(n) : -1;
}

void kcp_udp::handle_update()
{
    {
        std::lock_guard<std::mutex> g(stateLock);
        txBytes.store(0);
        rxBytes.store(0);
        prevTxBytes = 0;
        prevRxBytes = 0;
    }
    ready.store(false);
    int timeoutMs = 0;
    while (!resetRequested.load() && !exitRequested.load()) {
        waitForWork(timeoutMs);
        passes.fetch_add(1, std::memory_order_relaxed);
        feedQueue();
        if (!readDatagrams())
            return;
        deliverMessages();
        uint32_t waiting;
        IINT32 due;
        {
            std::lock_guard<std::mutex> g(stateLock);
            if (!kcp)
                return;
            const IUINT32 now = nowMs();
            ikcp_update(kcp, now);
            waiting = static_cast<uint32_t>(ikcp_waitsnd(kcp));
            pubRtt.store(kcp->rx_srtt, std::memory_order_relaxed);
            pubRto.store(kcp->rx_rto, std::memory_order_relaxed);
            pubResent.store(kcp->xmit, std::memory_order_relaxed);
            pubQueue.store(kcp->nsnd_buf, std::memory_order_relaxed);
            due = ikcp_idle_wait(kcp, now);
        }
        backlogFull.store(waiting > kBacklogSegments);
        if (waiting > kBacklogSegments)
            overWaitCount.fetch_add(1);
        else
            overWaitCount.store(0);
        timeoutMs = due < 0 || due > kIdleWaitMs ? kIdleWaitMs : static_cast<int>(due);
        // The backlog reset counts passes: while over the limit they keep
        // their millisecond pace, so the reset comes at the same tick as ever.
        if ((wakeFd < 0 || waiting > kBacklogSegments) && timeoutMs > kPassMs)
            timeoutMs = kPassMs;
    }
}

void kcp_udp::waitForWork(int timeoutMs)
{
    pollfd p[2] = {{sock, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    const nfds_t n = wakeFd >= 0 ? 2 : 1;
    if (timeoutMs > 0 && (::poll(p, n, timeoutMs) <= 0 || !(p[1].revents & POLLIN)))
        return;
    if (wakeFd >= 0) {
        uint64_t count;
        [[maybe_unused]] const ssize_t r = ::read(wakeFd, &count, sizeof count);
    }
}

void kcp_udp::feedQueue()
{
    for (;;) {
        // KCP's own queue has no bound. Once the backlog that resets the
        // session is reached, what is still queued waits here, where the
        // queue's bound applies, instead of piling up inside KCP until the
        // next heart tick (hundreds of megabytes at relay rates when no
        // peer is there to take it).
        {
            std::lock_guard<std::mutex> g(stateLock);
            if (!kcp || static_cast<uint32_t>(ikcp_waitsnd(kcp)) > kBacklogSegments)
                return;
        }
        std::vector<char> msg;
        {
            std::lock_guard<std::mutex> g(queueLock);
            if (sendQueue.empty())
                return;
            msg = std::move(sendQueue.front());
            sendQueue.pop_front();
            queuedBytes -= static_cast<int64_t>(msg.size());
            queuedNow.store(queuedBytes, std::memory_order_relaxed);
            // Inside the lock: whoever sees the queue empty also sees the
            // traffic counted (the keep-alive schedule depends on it).
            txIdleTicks.store(0);
        }
        if (msg.empty())
            continue; // an empty KCP message carries nothing
        std::lock_guard<std::mutex> g(stateLock);
        if (!kcp)
            return;
        // Each piece is one KCP message, so the peer sees at most 1400 bytes at a time.
        const char* p = msg.data();
        int left = static_cast<int>(msg.size());
        while (left > kPieceSize) {
            ikcp_send(kcp, p, kPieceSize);
            p += kPieceSize;
            left -= kPieceSize;
        }
        ikcp_send(kcp, p, left);
    }
}

void kcp_udp::recheckPeer()
{
    peerRecheck.store(true);
    wakeSession();
}

bool kcp_udp::readDatagrams()
{
    if (peerRecheck.exchange(false) && replyKnown && acceptPeer && !acceptPeer(replyAddr))
        return false;
    for (int i = 0; i < kMaxDatagramsPerPass; ++i) {
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        const ssize_t n = ::recvfrom(sock, recvArea.data(), recvArea.size(), MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return true; // nothing more for now (or a transient error)
        }
        if (acceptPeer && !acceptPeer(from))
            continue;
        if (!takeDatagram(recvArea.data(), static_cast<int>(n), from))
            return false;
    }
    return true;
}

bool kcp_udp::takeDatagram(const char* data, int n, const sockaddr_in& from)
{
    rxBytes.fetch_add(static_cast<uint32_t>(n));
    totalRx.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    // Too short to carry a segment header: noise, which must neither
    // redirect our replies nor count as a foreign conversation.
    if (n < static_cast<int>(IKCP_OVERHEAD))
        return true;
    const bool newPeer = !replyKnown || replyAddr.sin_addr.s_addr != from.sin_addr.s_addr
        || replyAddr.sin_port != from.sin_port;
    replyAddr = from;
    if (!replyKnown) {
        replyKnown = true;
        peerKnown.store(true);
    }
    if (newPeer && !isClient) {
        peerSinceMs.store(std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count(),
                          std::memory_order_relaxed);
        peerPacked.store((uint64_t(1) << 48) | (uint64_t(ntohl(from.sin_addr.s_addr)) << 16) | ntohs(from.sin_port),
                         std::memory_order_release);
    }
    const uint32_t c = ikcp_getconv(data);
    if (c == conv.load()) {
        convErrors.store(0);
        std::lock_guard<std::mutex> g(stateLock);
        if (kcp) {
            // The session may have slept for a while: an RTT sample must
            // be taken against the time the datagram arrived.
            kcp->current = nowMs();
            ikcp_input(kcp, data, static_cast<long>(n)); // bad segments are refused inside
            logInputDrops();
        }
        return true;
    }
    if (isClient)
        return true;
    const uint32_t errors = convErrors.fetch_add(1) + 1;
    say("%d: CONV 出错%u == %u data len:%d errorInc:%u\n", port, conv.load(), c, n, errors);
    if (errors > 10) {
        // The peer keeps talking in another conversation: take it over
        // with the next session.
        conv.store(c);
        convErrors.store(0);
        return false;
    }
    return true;
}

// Under stateLock, after ikcp_input. The peer may repeat these as fast as it
// can send, hence one line a second with the number of lines held back.
void kcp_udp::logInputDrops()
{
    int64_t held = 0;
    if (kcp->rcv_dropped != loggedRcvDrops && rcvDropLog.allow(&held)) {
        qCWarning(lcKcp, "oxlat:%d reassembly holds %u of %u bytes: %u segments out of order dropped (%lld lines held back)",
                  port, kcp->nrcv_bytes, kcp->rcv_bytes_max, kcp->rcv_dropped - loggedRcvDrops,
                  static_cast<long long>(held));
        loggedRcvDrops = kcp->rcv_dropped;
    }
    if (kcp->seg_dropped != loggedLongDrops && longSegLog.allow(&held)) {
        qCWarning(lcKcp, "oxlat:%d %u segments longer than %u bytes refused (%lld lines held back)", port,
                  kcp->seg_dropped - loggedLongDrops, IKCP_SEG_DATA_MAX, static_cast<long long>(held));
        loggedLongDrops = kcp->seg_dropped;
    }
}

void kcp_udp::deliverMessages()
{
    for (;;) {
        int n;
        {
            std::lock_guard<std::mutex> g(stateLock);
            if (!kcp)
                return;
            const int need = ikcp_peeksize(kcp);
            if (need <= 0)
                return;
            // A message longer than the usual area is taken out whole
            // instead of blocking every later one.
            if (static_cast<size_t>(need) > deliveryArea.size())
                deliveryArea.resize(static_cast<size_t>(need));
            n = ikcp_recv(kcp, deliveryArea.data(), static_cast<int>(deliveryArea.size()));
        }
        if (n <= 0)
            return;
        rxIdleTicks.store(0);
        if (onMessage && !exitRequested.load())
            onMessage(reinterpret_cast<unsigned char*>(deliveryArea.data()), n, userData);
    }
}

void kcp_udp::heartTimerSlots()
{
    {
        std::lock_guard<std::mutex> g(stateLock);
        const uint32_t tx = txBytes.load();
        const uint32_t rx = rxBytes.load();
        txBand.store(static_cast<uint32_t>(static_cast<uint64_t>(tx - prevTxBytes) * 8 / 1000));
        rxBand.store(static_cast<uint32_t>(static_cast<uint64_t>(rx - prevRxBytes) * 8 / 1000));
        prevTxBytes = tx;
        prevRxBytes = rx;
    }

    const uint32_t rxIdle = rxIdleTicks.load();
    if (isClient) {
        if (rxIdle > 7) {
            say("oxlat:%d 接收超时！ 重置session\n", port);
            ready.store(false);
            resetRequested.store(true);
            wakeSession();
            rxIdleTicks.store(0);
        } else if (rxIdle == 0) {
            ready.store(true);
        }
    } else {
        if (rxIdle > 5)
            ready.store(false); // the session goes on; the peer may come back
        else if (rxIdle == 0)
            ready.store(true);
    }

    // The session is woken for the keep-alive only at the end of the tick:
    // taking it out counts as traffic, and must come after this tick's count.
    bool wakeForKeepAlive = false;
    if (txIdleTicks.load() > 2) {
        const char keepAlive = 0;
        wakeForKeepAlive = queueMessage(&keepAlive, 1);
        keepAlives.fetch_add(1);
        txIdleTicks.store(0);
    }

    if (overWaitCount.load() > 3) {
        say("oxlat:%d waitsnd过大，重置中!\n", port);
        resetRequested.store(true);
        wakeSession();
        overWaitCount.store(0);
    }

    rxIdleTicks.fetch_add(1);
    txIdleTicks.fetch_add(1);
    if (wakeForKeepAlive)
        wakeSession();

    if (!ready.load()) {
        healthyTicks.store(0);
        return;
    }
    if (healthyTicks.fetch_add(1) + 1 == kHealthyTicks) {
        std::lock_guard<std::mutex> g(stateLock);
        if (kcp) {
            say("oxlat:%d 恢复MINIRTO!\n", port);
            kcp->rx_minrto = minRto;
        }
    }
}

bool kcp_udp::currentPeer(PeerView* out) const
{
    const uint64_t packed = peerPacked.load(std::memory_order_acquire);
    if (!(packed >> 48))
        return false;
    out->ipv4 = static_cast<uint32_t>(packed >> 16);
    out->port = static_cast<int>(packed & 0xffff);
    out->sinceMs = peerSinceMs.load(std::memory_order_relaxed);
    return true;
}

void kcp_udp::dropPeer()
{
    resetRequested.store(true);
    wakeSession();
}
