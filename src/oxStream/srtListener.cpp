#include "srtListener.h"
#include "logging.h"
#include "oxStream.h"

srtListener::srtListener(const char* type_, int endpointId_, const QJsonObject& cfg, const Texts& texts_)
    : texts(texts_)
{
    port = takeIdentity(endpointId_, QString::fromLatin1(type_), cfg, -1);
}

srtListener::~srtListener()
{
    requestExit();
    joinThreads();
}

void srtListener::start()
{
    url = QStringLiteral("oxdp://") + (stream ? stream->getHostName() : QStringLiteral("host.name.error"))
        + QLatin1Char(':') + QString::number(port) + QStringLiteral("?latency=")
        + QString::number(advertisedLatencyMs);
    if (port < 100) {
        oxLog(100, "监听端口不正确:%d \n", port);
        return;
    }
    if (started)
        return;
    started = true;
    stopRequested.store(false);
    threads.emplace_back([this] { loop([this] { return attempt(); }); });
    startedOnce();
    if (liveStatus && !heartTimer) {
        heartTimer = std::make_unique<QTimer>();
        connect(heartTimer.get(), &QTimer::timeout, this, &srtListener::heartTimerSlots);
        heartTimer->start(1000);
    }
}

void srtListener::stop()
{
    stopRequested.store(true);
}

QJsonObject srtListener::getCfg()
{
    return cfgObject();
}

QJsonObject srtListener::getStatus()
{
    QJsonObject o = getCfg();
    if (!liveStatus)
        return o;
    SRT_TRACEBSTATS s;
    {
        std::lock_guard<std::mutex> lock(statsLock);
        s = stats;
    }
    o.insert(QStringLiteral("rtt"), s.msRTT);
    o.insert(QStringLiteral("pktLoss"), texts.output ? s.pktSndLossTotal : s.pktRcvLossTotal);
    o.insert(QStringLiteral("pktDrop"), texts.output ? s.pktSndDropTotal : s.pktRcvDropTotal);
    o.insert(QStringLiteral("band"), s.mbpsBandwidth);
    o.insert(QStringLiteral("banduse"), texts.output ? s.mbpsSendRate : s.mbpsRecvRate);
    o.insert(QStringLiteral("srtReady"), srtReady.load());
    return o;
}

void srtListener::heartTimerSlots()
{
    statsRequested.store(true);
}

void srtListener::requestExit()
{
    if (heartTimer)
        heartTimer->stop();
    {
        std::lock_guard<std::mutex> lock(wakeLock);
        stopRequested.store(true);
        exiting.store(true);
    }
    wake.notify_all();
}

void srtListener::joinThreads()
{
    for (std::thread& t : threads) {
        if (t.joinable())
            t.join();
    }
    threads.clear();
}

void srtListener::startCompanion(std::function<void()> step)
{
    threads.emplace_back([this, step] {
        loop([&step] {
            step();
            return true;
        });
    });
}

void srtListener::refreshStats(SRTSOCKET s)
{
    if (!statsRequested.load(std::memory_order_relaxed))
        return;
    SRT_TRACEBSTATS fresh;
    if (srt_bstats(s, &fresh, 1) == 0) {
        std::lock_guard<std::mutex> lock(statsLock);
        stats = fresh;
    }
    statsRequested.store(false);
}

void srtListener::pause(int ms)
{
    std::unique_lock<std::mutex> lock(wakeLock);
    wake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return exiting.load(); });
}

void srtListener::loop(const std::function<bool()>& step)
{
    for (;;) {
        if (exiting.load())
            return;
        if (stopRequested.load()) {
            pause(kStoppedPauseMs);
            continue;
        }
        if (!step() && !stopRequested.load())
            pause(kRetryPauseMs); // a port held by another program must not spin a core
    }
}

bool srtListener::attempt()
{
    attempts.fetch_add(1);
    oxSrt::startup();
    oxSrt::setLogLevel(oxSrt::kLibLogLevel);
    SRTSOCKET server = SRT_INVALID_SOCK;
    int eid = -1;
    if (!oxSrt::openListener(port, texts.listen, &server, &eid,
                             [this](SRTSOCKET s) { accessGate.install(s, port); })) {
        oxSrt::cleanup();
        return false;
    }
    listening.store(true);
    attemptBegins();
    bool failed = false;
    SRTSOCKET ready[kPollBatch];
    while (!stopRequested.load() && !failed) {
        int rnum = kPollBatch;
        const int n = srt_epoll_wait(eid, ready, &rnum, nullptr, nullptr, kPollTimeoutMs, nullptr, nullptr, nullptr,
                                     nullptr);
        for (int i = 0; i < (n > 0 ? rnum : 0) && !failed; ++i) {
            const SRTSOCKET s = ready[i];
            const SRT_SOCKSTATUS state = srt_getsockstate(s);
            if (oxSrt::isGone(state)) {
                qCDebug(lcSrt, "source disconnected. status=%d", static_cast<int>(state));
                accessGate.gone(s);
                callerGone(s);
                srt_close(s);
            } else if (s == server) {
                failed = !acceptOne(server, eid);
            } else {
                callerReadable(s);
            }
        }
        for (SRTSOCKET refused : accessGate.refusedNow()) {
            callerGone(refused);
            srt_close(refused);
        }
        pollDone();
    }
    const std::vector<SRTSOCKET> leaving = attemptEnds();
    accessGate.attemptEnded();
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

bool srtListener::acceptOne(SRTSOCKET server, int eid)
{
    const SRTSOCKET c = oxSrt::acceptCaller(server, texts.accept, texts.acceptWithHandle);
    if (c == SRT_INVALID_SOCK)
        return false;
    const int events = oxSrt::kPollEvents;
    if (srt_epoll_add_usock(eid, c, &events) == SRT_ERROR) {
        oxSrt::logError("srt_epoll_add_usock: ");
        srt_close(c);
        return false;
    }
    accessGate.admitted(c);
    callerAccepted(c);
    return true;
}
