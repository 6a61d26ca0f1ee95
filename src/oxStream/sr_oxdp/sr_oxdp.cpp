#include "sr_oxdp.h"
#include "logging.h"
#include "oxStream.h"
#include "srtCommon.h"

#include <algorithm>
#include <vector>

namespace {
#ifdef OXNODE_BASIC
const char kUrlQuery[] = "?latency=35";
#else
const char kUrlQuery[] = "?latency=20";
#endif
} // namespace

sr_oxdp::sr_oxdp(int endpointId_, QJsonObject cfg)
{
    endpointId = endpointId_;
    type = QStringLiteral("sr_oxdp");
    name = cfg.value(QStringLiteral("name")).toString();
    port = cfg.value(QStringLiteral("port")).toInt(-1);
}

sr_oxdp::~sr_oxdp()
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
    if (worker.joinable())
        worker.join();
}

void sr_oxdp::start()
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
    worker = std::thread(&sr_oxdp::ffmpegThread, this);
#ifndef OXNODE_BASIC
    if (!heartTimer) {
        heartTimer = std::make_unique<QTimer>();
        connect(heartTimer.get(), &QTimer::timeout, this, &sr_oxdp::heartTimerSlots);
        heartTimer->start(1000);
    }
#endif
}

void sr_oxdp::stop()
{
    stopRequested.store(true);
}

#ifndef OXNODE_BASIC
void sr_oxdp::heartTimerSlots()
{
    statsRequested.store(true);
}
#endif

QJsonObject sr_oxdp::getCfg()
{
    return QJsonObject{
        {QStringLiteral("id"), endpointId},
        {QStringLiteral("type"), type},
        {QStringLiteral("name"), name},
        {QStringLiteral("url"), url},
    };
}

QJsonObject sr_oxdp::getStatus()
{
    QJsonObject o = getCfg();
#ifndef OXNODE_BASIC
    SRT_TRACEBSTATS s;
    {
        std::lock_guard<std::mutex> lock(statsLock);
        s = stats;
    }
    o.insert(QStringLiteral("rtt"), s.msRTT);
    o.insert(QStringLiteral("pktLoss"), s.pktRcvLossTotal);
    o.insert(QStringLiteral("pktDrop"), s.pktRcvDropTotal);
    o.insert(QStringLiteral("band"), s.mbpsBandwidth);
    o.insert(QStringLiteral("banduse"), s.mbpsRecvRate);
    o.insert(QStringLiteral("srtReady"), srtReady.load());
#endif
    return o;
}

void sr_oxdp::pause(int ms)
{
    std::unique_lock<std::mutex> lock(wakeLock);
    wake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return exiting.load(); });
}

void sr_oxdp::ffmpegThread()
{
    for (;;) {
        if (exiting.load())
            return;
        if (stopRequested.load()) {
            pause(1000);
            continue;
        }
        if (!run() && !stopRequested.load())
            pause(kRetryPauseMs); // a port held by another program must not spin a core
    }
}

bool sr_oxdp::run()
{
    attempts.fetch_add(1);
    oxSrt::startup();
    oxSrt::setLogLevel(oxSrt::kLibLogLevel);
    SRTSOCKET server = SRT_INVALID_SOCK;
    int eid = -1;
    if (!oxSrt::openListener(port, {"srt_listen: ", "srt_epoll_create: ", "srt_epoll_add_usock: "}, &server, &eid)) {
        oxSrt::cleanup();
        return false;
    }
    listening.store(true);
    srtReady.store(false);
    // Callers accepted by this attempt; closed when it ends so that none
    // outlives the attempt inside the (process-wide) library.
    std::vector<SRTSOCKET> callers;
    bool failed = false;
    SRTSOCKET ready[100];
    while (!stopRequested.load() && !failed) {
        int rnum = 100;
        const int n = srt_epoll_wait(eid, ready, &rnum, nullptr, nullptr, kPollTimeoutMs, nullptr, nullptr, nullptr,
                                     nullptr);
        for (int i = 0; i < (n > 0 ? rnum : 0) && !failed; ++i) {
            const SRTSOCKET s = ready[i];
            const SRT_SOCKSTATUS state = srt_getsockstate(s);
            if (oxSrt::isGone(state)) {
                qCDebug(lcSrt, "source disconnected. status=%d", static_cast<int>(state));
                srt_close(s);
                callers.erase(std::remove(callers.begin(), callers.end(), s), callers.end());
                srtReady.store(false);
                continue;
            }
            if (s == server) {
                const SRTSOCKET c = oxSrt::acceptCaller(server, "srt_accept: ", false);
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
                callers.push_back(c);
                continue;
            }
            srtReady.store(true);
            if (!serveCaller(s))
                callers.erase(std::remove(callers.begin(), callers.end(), s), callers.end());
        }
    }
    if (!failed)
        qCDebug(lcSrt, "-------------------- SRT ERROR?");
    for (SRTSOCKET c : callers)
        srt_close(c);
    srt_close(server);
    srt_epoll_release(eid);
    listening.store(false);
    srtReady.store(false);
    oxSrt::cleanup();
    return !failed;
}

// Drains one caller completely. A receive error other than "nothing more
// now" closes that caller only: the other callers keep being served.
bool sr_oxdp::serveCaller(SRTSOCKET caller)
{
    char data[1500];
    while (!stopRequested.load()) {
        const int n = srt_recvmsg(caller, data, sizeof data);
        if (n == SRT_ERROR) {
            if (srt_getlasterror(nullptr) == SRT_EASYNCRCV)
                return true;
            oxSrt::logError("srt_recvmsg: ");
            srt_close(caller); // leaves the poll set with it
            return false;
        }
        revCB(reinterpret_cast<unsigned char*>(data), n, this);
        srtReady.store(true);
#ifndef OXNODE_BASIC
        if (statsRequested.load(std::memory_order_relaxed)) {
            SRT_TRACEBSTATS fresh;
            if (srt_bstats(caller, &fresh, 1) == 0) {
                std::lock_guard<std::mutex> lock(statsLock);
                stats = fresh;
            }
            statsRequested.store(false);
        }
#endif
    }
    return true;
}
