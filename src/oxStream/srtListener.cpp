#include "srtListener.h"
#include "service/logLimit.h"
#include "service/logging.h"
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
        // Whole-second ticks: the once-a-second timers of all endpoints share one wake-up.
        heartTimer->setTimerType(Qt::VeryCoarseTimer);
        heartTimer->start(1000);
    }
}

void srtListener::stop()
{
    stopRequested.store(true);
    wakeAttempt();
}

void srtListener::wakeAttempt()
{
    {
        std::lock_guard<std::mutex> lock(wakeLock);
    }
    wake.notify_all();
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
        {
            std::lock_guard<std::mutex> lock(statsLock);
            stats = fresh;
        }
        lastRttMs.store(fresh.msRTT, std::memory_order_relaxed);
        lastSendLoss.store(fresh.pktSndLossTotal, std::memory_order_relaxed);
        lastReceiveLoss.store(fresh.pktRcvLossTotal, std::memory_order_relaxed);
        lastRetransmitted.store(fresh.pktRetransTotal, std::memory_order_relaxed);
        lastBandwidthMbps.store(fresh.mbpsBandwidth, std::memory_order_relaxed);
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
    oxSrt::setLogLevel(oxSrt::libLogLevel());
    oxSrt::Poller& poller = oxSrt::Poller::instance();
    SRTSOCKET listener = SRT_INVALID_SOCK;
    bool begun = false;
    oxSrt::Poller::AddResult added = oxSrt::Poller::AddResult::Failed;
    // Watched before it listens: libsrt raises no event for a caller queued
    // before the listener joined the poll set, and that caller would wait
    // for the next one to be accepted.
    const bool opened = oxSrt::openListener(port, texts.listen, &listener, [&](SRTSOCKET s) {
        accessGate.install(s, port);
        attemptFailed.store(false);
        attemptBegins();
        begun = true;
        server = s; // the poll thread reads it only after add(), under the set's lock
        added = poller.add(s, this);
    });
    if (!opened || added != oxSrt::Poller::AddResult::Added) {
        if (begun && added != oxSrt::Poller::AddResult::Added)
            oxSrt::logError(added == oxSrt::Poller::AddResult::NoPollSet ? texts.listen.epollCreate
                                                                         : texts.listen.epollAdd);
        if (begun) {
            poller.remove(server);
            attemptEnds();
        }
        if (opened)
            srt_close(listener);
        oxSrt::cleanup();
        return false;
    }
    listening.store(true);
    // Nothing to do here until stop, exit or a failure on the poll thread but
    // the book keeping: callers republished once a second, a close the operator
    // asked for, callers that changed rules refuse, handshakes that never ended.
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(wakeLock);
            wake.wait_for(lock, std::chrono::milliseconds(srtCallerBook::kRepublishMs), [this] {
                return stopRequested.load() || attemptFailed.load() || bookWork.load();
            });
        }
        if (stopRequested.load() || attemptFailed.load())
            break;
        bookWork.store(false);
        closeRequestedCaller();
        closeRefusedCallers();
        std::lock_guard<std::mutex> book(bookLock);
        callerBook.publishIfDue();
    }
    // From here no event of this endpoint is being handled or will be.
    poller.detach(this);
    const bool failed = attemptFailed.load();
    const std::vector<SRTSOCKET> leaving = attemptEnds();
    {
        std::lock_guard<std::mutex> book(bookLock);
        callerBook.attemptEnded();
        accessGate.attemptEnded();
    }
    if (!failed)
        qCDebug(lcSrt, "-------------------- SRT ERROR?");
    for (SRTSOCKET c : leaving)
        srt_close(c);
    srt_close(listener);
    listening.store(false);
    oxSrt::cleanup();
    return !failed;
}

void srtListener::srtEvent(SRTSOCKET s)
{
    if (attemptFailed.load())
        return; // the attempt is ending; its thread releases everything
    const SRT_SOCKSTATUS state = srt_getsockstate(s);
    if (oxSrt::isGone(state)) {
        if (peerLineAllowed(peerLine::chatter))
            qCDebug(lcSrt, "source disconnected. status=%d", static_cast<int>(state));
        callerGone(s);
        dropCaller(s);
        std::lock_guard<std::mutex> book(bookLock);
        accessGate.gone(s);
        callerBook.gone(s);
        callerBook.publishIfDue();
    } else if (s == server) {
        if (!acceptOne()) {
            attemptFailed.store(true);
            wakeAttempt();
        }
    } else {
        callerReadable(s);
    }
}

void srtListener::dropCaller(SRTSOCKET caller)
{
    oxSrt::Poller::instance().remove(caller);
    srt_close(caller);
}

bool srtListener::acceptOne()
{
    // A caller that goes away while queued leaves the listener readable with
    // nothing to accept, and one may break before it is watched: one stranger
    // must not end the attempt and with it every caller of the port. Only a
    // listener that stopped listening, or a poll set that takes no live
    // socket, does.
    const SRTSOCKET c = oxSrt::acceptCaller(server, texts.accept, texts.acceptWithHandle);
    if (c == SRT_INVALID_SOCK)
        return srt_getsockstate(server) == SRTS_LISTENING;
    const oxSrt::Poller::AddResult added = oxSrt::Poller::instance().add(c, this);
    if (added != oxSrt::Poller::AddResult::Added) {
        oxSrt::logError("srt_epoll_add_usock: ");
        const bool callerGone = oxSrt::isGone(srt_getsockstate(c));
        srt_close(c);
        return added == oxSrt::Poller::AddResult::Failed && callerGone;
    }
    callerAccepted(c);
    std::lock_guard<std::mutex> book(bookLock);
    accessGate.admitted(c);
    callerBook.accepted(c);
    callerBook.publishIfDue();
    return true;
}

void srtListener::closeRequestedCaller()
{
    SRTSOCKET kicked = SRT_INVALID_SOCK;
    {
        std::lock_guard<std::mutex> book(bookLock);
        kicked = callerBook.takeCloseRequest();
        if (kicked == SRT_INVALID_SOCK || !callerBook.holds(kicked))
            return;
        accessGate.gone(kicked);
    }
    qCDebug(lcSrt, "caller %d closed on request", static_cast<int>(kicked));
    closeCallerFromAttempt(kicked);
}

void srtListener::closeRefusedCallers()
{
    std::vector<SRTSOCKET> refused;
    {
        std::lock_guard<std::mutex> book(bookLock);
        refused = accessGate.refusedNow();
    }
    for (SRTSOCKET s : refused)
        closeCallerFromAttempt(s);
}

void srtListener::closeCallerFromAttempt(SRTSOCKET caller)
{
    // Out of the set first, without the book's lock: the poll thread holds its
    // own lock while it takes the book's.
    oxSrt::Poller::instance().remove(caller);
    std::lock_guard<std::mutex> book(bookLock);
    if (!callerBook.holds(caller))
        return; // gone on the poll thread meanwhile
    callerGone(caller);
    srt_close(caller);
    callerBook.gone(caller);
    callerBook.publishIfDue();
}

void srtListener::accessChanged()
{
    bookWork.store(true);
    wakeAttempt();
}

std::vector<oxEndpointClient> srtListener::clientList()
{
    return callerBook.snapshot();
}

bool srtListener::closeClient(const QString& address, int port)
{
    if (!callerBook.requestClose(address, port))
        return false;
    bookWork.store(true);
    wakeAttempt();
    return true;
}

oxEndpointFigures srtListener::figures()
{
    oxEndpointFigures f;
    f.clients = callerBook.count();
    f.bytesSent = bytesOut.load(std::memory_order_relaxed);
    f.bytesReceived = bytesIn.load(std::memory_order_relaxed);
    f.linkUp = srtReady.load();
    f.hasSrt = liveStatus;
    f.srtRttMs = lastRttMs.load(std::memory_order_relaxed);
    f.srtSendLoss = lastSendLoss.load(std::memory_order_relaxed);
    f.srtReceiveLoss = lastReceiveLoss.load(std::memory_order_relaxed);
    f.srtRetransmitted = lastRetransmitted.load(std::memory_order_relaxed);
    f.srtBandwidthMbps = lastBandwidthMbps.load(std::memory_order_relaxed);
    return f;
}
