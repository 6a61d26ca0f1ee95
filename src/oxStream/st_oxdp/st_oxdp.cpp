#include "st_oxdp.h"
#include "logging.h"
#include "oxStream.h"
#include "oxStreamBuffers.h"
#include "srtCommon.h"

#include <algorithm>

namespace {
#ifdef OXNODE_BASIC
const char kUrlQuery[] = "?latency=35";
#else
const char kUrlQuery[] = "?latency=20";
#endif
} // namespace

st_oxdp::st_oxdp(int endpointId_, QJsonObject cfg)
{
    endpointId = endpointId_;
    type = QStringLiteral("st_oxdp");
    name = cfg.value(QStringLiteral("name")).toString();
    port = cfg.value(QStringLiteral("port")).toInt(-1);
}

st_oxdp::~st_oxdp()
{
#ifndef OXNODE_BASIC
    if (heartTimer)
        heartTimer->stop();
#endif
    {
        std::lock_guard<std::mutex> lock(wakeLock);
        stopRequested.store(true);
        exiting.store(true);
    }
    wake.notify_all();
    {
        std::lock_guard<std::mutex> lock(queueLock);
    }
    queueWake.notify_all();
    // The server thread closes the callers as it leaves, which also ends a
    // send blocked on one of them.
    if (senderThread.joinable())
        senderThread.join();
    if (serverThread.joinable())
        serverThread.join();
    for (oxStreamBuf* b : sendQueue)
        delete b;
    sendQueue.clear();
}

void st_oxdp::start()
{
    url = QStringLiteral("oxdp://") + (stream ? stream->getHostName() : QStringLiteral("host.name.error"))
        + QLatin1Char(':') + QString::number(port) + QLatin1String(kUrlQuery);
    if (port < 100) {
        oxLog(100, "监听端口不正确:%d \n", port);
        return;
    }
    if (started)
        return;
    started = true;
    stopRequested.store(false);
    serverThread = std::thread(&st_oxdp::srtServerThread, this);
    senderThread = std::thread(&st_oxdp::streamOutThread, this);
#ifndef OXNODE_BASIC
    if (!heartTimer) {
        heartTimer = std::make_unique<QTimer>();
        connect(heartTimer.get(), &QTimer::timeout, this, &st_oxdp::heartTimerSlots);
        heartTimer->start(1000);
    }
#endif
}

void st_oxdp::stop()
{
    stopRequested.store(true);
    {
        std::lock_guard<std::mutex> lock(queueLock);
    }
    queueWake.notify_all();
}

#ifndef OXNODE_BASIC
void st_oxdp::heartTimerSlots()
{
    statsRequested.store(true);
}
#endif

QJsonObject st_oxdp::getCfg()
{
    return QJsonObject{
        {QStringLiteral("id"), endpointId},
        {QStringLiteral("type"), type},
        {QStringLiteral("name"), name},
        {QStringLiteral("url"), url},
    };
}

QJsonObject st_oxdp::getStatus()
{
    QJsonObject o = getCfg();
#ifndef OXNODE_BASIC
    SRT_TRACEBSTATS s;
    {
        std::lock_guard<std::mutex> lock(statsLock);
        s = stats;
    }
    o.insert(QStringLiteral("rtt"), s.msRTT);
    o.insert(QStringLiteral("pktLoss"), s.pktSndLossTotal);
    o.insert(QStringLiteral("pktDrop"), s.pktSndDropTotal);
    o.insert(QStringLiteral("band"), s.mbpsBandwidth);
    o.insert(QStringLiteral("banduse"), s.mbpsSendRate);
    o.insert(QStringLiteral("srtReady"), srtReady.load());
#endif
    return o;
}

int st_oxdp::queuedCount()
{
    std::lock_guard<std::mutex> lock(queueLock);
    return static_cast<int>(sendQueue.size());
}

int st_oxdp::clientCount()
{
    std::lock_guard<std::mutex> lock(clientsLock);
    return static_cast<int>(clients.size());
}

void st_oxdp::putBufIn(oxStreamBuf* buf)
{
    if (!srtReady.load() || !buf || !buf->streamPayload())
        return;
    oxStreamBuf* copy = oxStreamBuf::copyStream(buf); // owned by the queue from here on
    oxStreamBuf* oldest = nullptr;
    {
        std::lock_guard<std::mutex> lock(queueLock);
        sendQueue.push_back(copy);
        if (static_cast<int>(sendQueue.size()) > kQueueLimit) {
            oldest = sendQueue.front();
            sendQueue.pop_front();
        }
    }
    queueWake.notify_one();
    if (oldest) {
        dropped.fetch_add(1);
        oxLog(100, "OXDP BUFF FULL\n");
        delete oldest;
    }
}

void st_oxdp::pause(int ms)
{
    std::unique_lock<std::mutex> lock(wakeLock);
    wake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return exiting.load(); });
}

bool st_oxdp::removeClient(SRTSOCKET s)
{
    std::lock_guard<std::mutex> lock(clientsLock);
    auto it = std::find(clients.begin(), clients.end(), s);
    if (it == clients.end())
        return false;
    clients.erase(it);
    return true;
}

void st_oxdp::srtServerThread()
{
    for (;;) {
        if (exiting.load())
            return;
        if (stopRequested.load()) {
            pause(1000);
            continue;
        }
        if (!srtServerRun() && !stopRequested.load())
            pause(kRetryPauseMs); // a port held by another program must not spin a core
    }
}

bool st_oxdp::srtServerRun()
{
    attempts.fetch_add(1);
    srtReady.store(false);
    oxSrt::startup();
    oxSrt::setLogLevel(oxSrt::kLibLogLevel);
    SRTSOCKET server = SRT_INVALID_SOCK;
    int eid = -1;
    if (!oxSrt::openListener(port, {"srt tx_listen: ", "srt tx_epoll_create: ", "srt tx_epoll_add_usock: "}, &server,
                             &eid)) {
        oxSrt::cleanup();
        return false;
    }
    listening.store(true);
    {
        std::lock_guard<std::mutex> lock(clientsLock);
        clients.clear();
    }
    bool failed = false;
    SRTSOCKET ready[100];
    while (!stopRequested.load() && !failed) {
        int rnum = 100;
        const int n = srt_epoll_wait(eid, ready, &rnum, nullptr, nullptr, kPollTimeoutMs, nullptr, nullptr, nullptr,
                                     nullptr);
        for (int i = 0; i < (n > 0 ? rnum : 0); ++i) {
            const SRTSOCKET s = ready[i];
            const SRT_SOCKSTATUS state = srt_getsockstate(s);
            if (oxSrt::isGone(state)) {
                qCDebug(lcSrt, "source disconnected. status=%d", static_cast<int>(state));
                removeClient(s);
                srt_close(s);
                continue;
            }
            if (s == server) {
                const SRTSOCKET c = oxSrt::acceptCaller(server, "oxdp tx accept: ", true);
                if (c == SRT_INVALID_SOCK) {
                    failed = true;
                    break;
                }
                const int events = oxSrt::kPollEvents;
                if (srt_epoll_add_usock(eid, c, &events) == SRT_ERROR) {
                    oxSrt::logError("srt_epoll_add_usock: ");
                    srt_close(c);
                    failed = true;
                    break;
                }
                {
                    std::lock_guard<std::mutex> lock(clientsLock);
                    clients.push_back(c);
                }
                srtReady.store(true);
                continue;
            }
            // A caller that sends: its data is not wanted, but left unread it
            // would keep the poll reporting the socket and spin this thread.
            char sink[1500];
            while (srt_recvmsg(s, sink, sizeof sink) != SRT_ERROR) {
            }
        }
        // Only when no caller remains does the output stop queueing.
        if (clientCount() == 0)
            srtReady.store(false);
    }
    srtReady.store(false);
    std::vector<SRTSOCKET> leaving;
    {
        std::lock_guard<std::mutex> lock(clientsLock);
        leaving.swap(clients);
    }
    if (!failed)
        qCDebug(lcSrt, "-------------------- SRT ERROR?");
    for (SRTSOCKET c : leaving)
        srt_close(c);
    srt_close(server);
    srt_epoll_release(eid);
    listening.store(false);
    oxSrt::cleanup();
    return !failed;
}

void st_oxdp::streamOutThread()
{
    for (;;) {
        if (exiting.load())
            return;
        if (stopRequested.load()) {
            pause(1000);
            continue;
        }
        streamOutRun();
    }
}

void st_oxdp::streamOutRun()
{
    if (senderHeld.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return;
    }
    oxStreamBuf* copy = nullptr;
    {
        std::unique_lock<std::mutex> lock(queueLock);
        if (sendQueue.empty()) {
            // Woken by putBufIn at once; the timeout only bounds the reaction to stop.
            queueWake.wait_for(lock, std::chrono::milliseconds(kPollTimeoutMs),
                               [this] { return !sendQueue.empty() || stopRequested.load(); });
            if (sendQueue.empty())
                return;
        }
        if (senderHeld.load())
            return;
        copy = sendQueue.front();
        sendQueue.pop_front();
    }
    {
        std::lock_guard<std::mutex> lock(clientsLock);
        sendTargets = clients;
    }
    const oxStreambuf_t* p = copy->streamPayload();
    for (SRTSOCKET s : sendTargets) {
        sendTo(s, p->data, p->len);
#ifndef OXNODE_BASIC
        if (statsRequested.load(std::memory_order_relaxed)) {
            SRT_TRACEBSTATS fresh;
            if (srt_bstats(s, &fresh, 1) == 0) {
                std::lock_guard<std::mutex> lock(statsLock);
                stats = fresh;
            }
            statsRequested.store(false);
        }
#endif
    }
    delete copy;
}

// Sends one copy to one caller in messages of at most kMaxMessage bytes; the
// first failed send closes that caller and ends its share of this copy.
void st_oxdp::sendTo(SRTSOCKET s, const unsigned char* data, int len)
{
    int off = 0;
    while (off < len) {
        const int chunk = std::min(len - off, oxSrt::kMaxMessage);
        if (srt_send(s, reinterpret_cast<const char*>(data + off), chunk) == SRT_ERROR) {
            const QByteArray tail = " " + QByteArray::number(s) + " data len:" + QByteArray::number(chunk);
            oxSrt::logError("oxdp tx _send: ", tail.constData());
            if (removeClient(s))
                srt_close(s);
            return;
        }
        off += chunk;
    }
}
