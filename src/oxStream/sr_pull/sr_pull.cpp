#include "sr_pull.h"
#include "service/logLimit.h"
#include "service/oxProfile.h"
#include "oxStream.h"
#include "oxStreamBuffers.h"
#include "pullLink.h"
#include "pullResolve.h"

#include <QDateTime>
#include <QJsonObject>
#include <QLoggingCategory>

#include <algorithm>
#include <chrono>

#include <netinet/in.h>

// Per-attempt lines are debug and off unless asked for
// (QT_LOGGING_RULES="oxnode.pull.debug=true"); a run of failures logs its
// first failure and its recovery only.
Q_LOGGING_CATEGORY(lcPull, "oxnode.pull", QtInfoMsg)

namespace {

int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

const char* stateName(int s)
{
    switch (s) {
    case sr_pull::Connected:
        return "connected";
    case sr_pull::Waiting:
        return "waiting";
    default:
        return "connecting";
    }
}

} // namespace

sr_pull::sr_pull(int endpointId_, QJsonObject cfg)
    : target(pullUrl::parse(cfg.value(QStringLiteral("url")).toString()))
    , shown(logSafeText(pullUrl::redacted(cfg.value(QStringLiteral("url")).toString())).toUtf8())
    , liveStatus(oxProfile::current().liveStatus)
{
    takeIdentity(endpointId_, QStringLiteral("sr_pull"), cfg, 0);
    url = cfg.value(QStringLiteral("url")).toString();
}

sr_pull::~sr_pull()
{
    if (heartTimer)
        heartTimer->stop();
    {
        std::lock_guard<std::mutex> g(wakeLock);
        stopRequested.store(true);
        exiting.store(true);
    }
    wake.notify_all();
    if (worker.joinable())
        worker.join();
}

void sr_pull::start()
{
    stopRequested.store(false);
    if (worker.joinable() || !target.ok())
        return;
    worker = std::thread([this] { loop(); });
    if (liveStatus && target.scheme == pullUrl::Oxdp) {
        heartTimer = std::make_unique<QTimer>();
        connect(heartTimer.get(), &QTimer::timeout, this, &sr_pull::heartTimerSlots);
        heartTimer->start(1000);
    }
}

void sr_pull::stop()
{
    stopRequested.store(true);
}

QJsonObject sr_pull::getCfg()
{
    return cfgObject();
}

QJsonObject sr_pull::getStatus()
{
    QJsonObject o = getCfg();
    const int s = stateNow.load();
    o.insert(QStringLiteral("linkStatus"), s == Connected);
    o.insert(QStringLiteral("state"), QLatin1String(stateName(s)));
    o.insert(QStringLiteral("reconnects"), reconnects.load());
    o.insert(QStringLiteral("bytesReceived"), static_cast<double>(bytes.load()));
    if (target.scheme == pullUrl::Oxdp) {
        SRT_TRACEBSTATS st;
        {
            std::lock_guard<std::mutex> g(statsLock);
            st = stats;
        }
        o.insert(QStringLiteral("rtt"), st.msRTT);
        o.insert(QStringLiteral("pktLoss"), st.pktRcvLossTotal);
        o.insert(QStringLiteral("pktDrop"), st.pktRcvDropTotal);
        o.insert(QStringLiteral("band"), st.mbpsBandwidth);
        o.insert(QStringLiteral("banduse"), st.mbpsRecvRate);
        o.insert(QStringLiteral("srtReady"), s == Connected);
    }
    return o;
}

oxEndpointFigures sr_pull::figures()
{
    oxEndpointFigures f;
    f.linkUp = stateNow.load() == Connected;
    f.clients = f.linkUp ? 1 : 0;
    f.bytesReceived = static_cast<uint64_t>(bytes.load(std::memory_order_relaxed));
    return f;
}

std::vector<oxEndpointClient> sr_pull::clientList()
{
    if (stateNow.load() != Connected)
        return {};
    oxEndpointClient c;
    {
        std::lock_guard<std::mutex> g(peerLock);
        c.address = peer.address;
        c.port = peer.port;
        c.sinceMs = peer.sinceMs;
        c.bytesReceived = static_cast<uint64_t>(std::max<int64_t>(0, bytes.load() - peer.bytesAtStart));
    }
    if (target.scheme == pullUrl::Oxdp) {
        std::lock_guard<std::mutex> g(statsLock);
        c.rttMs = stats.msRTT;
        c.lossPackets = stats.pktRcvLossTotal;
    }
    return {c};
}

void sr_pull::heartTimerSlots()
{
    statsRequested.store(true);
}

void sr_pull::countingRevCB(unsigned char* data, int len, void* user)
{
    auto* self = static_cast<sr_pull*>(user);
    self->bytes.fetch_add(len, std::memory_order_relaxed);
    oxStreamBuf* buf = oxStreamBuf::createStreamBuf(BUF_STREAM_H265, data, len, len, self);
    if (!self->stream) {
        delete buf;
        return;
    }
    const publishGate::publisher who = self->linkPublisher();
    self->stream->putStream(buf, &who); // owned by the stream from here on
}

// Each link is a publisher of its own: a new link starts on a fresh packet.
publishGate::publisher sr_pull::linkPublisher() const
{
    const bool backup = endpointId == kBackupEndpointId;
    return {publishInput::pull, (backup ? 1ull << 32 : 0) | linkSerial, linkAddr.c_str(), backup};
}

void sr_pull::pause(int ms)
{
    std::unique_lock<std::mutex> g(wakeLock);
    wake.wait_for(g, std::chrono::milliseconds(ms), [this] { return exiting.load(); });
}

void sr_pull::loop()
{
    while (!exiting.load()) {
        if (stopRequested.load()) {
            pause(kStoppedPauseMs);
            continue;
        }
        if (!attempt() && !stopRequested.load()) {
            stateNow.store(Waiting);
            const int delay = backoff.nextDelayMs();
            qCDebug(lcPull, "%s: next attempt in %d ms", shown.constData(), delay);
            pause(delay);
        }
    }
}

bool sr_pull::ownOutput(const sockaddr* addr, int port) const
{
    if (!stream)
        return false;
    const int base = 8020 + 20 * stream->streamId;
    return (port == base || port == base + 1) && pullResolve::isLocal(addr);
}

void sr_pull::fail(const QString& why)
{
    ++failedAttempts;
    const QString safe = logSafeText(why);
    qCDebug(lcPull, "%s: attempt failed: %s", shown.constData(), qUtf8Printable(safe));
    if (failing)
        return;
    failing = true;
    if (everConnected)
        qCWarning(lcPull, "pull source %s lost: %s; reconnecting", shown.constData(), qUtf8Printable(safe));
    else
        qCWarning(lcPull, "pull source %s: %s; retrying", shown.constData(), qUtf8Printable(safe));
}

// A connection that is lost after it came up is a failure like one that never
// came up: the pause that follows doubles unless it held for a minute.
bool sr_pull::attempt()
{
    stateNow.store(Connecting);
    QString why;
    const bool srt = target.scheme == pullUrl::Oxdp;
    const std::vector<pullAddress> addrs = pullResolve::lookup(target.host, target.port, srt, stopRequested, &why);
    if (addrs.empty()) {
        if (!stopRequested.load())
            fail(why);
        return false;
    }
    // Built at every attempt: a reconnection carries the callers served now.
    const QByteArray chain =
        srt && stream ? pullChain::streamIdFor(stream->streamId, stream->pullChains.downstream()) : QByteArray();
    std::unique_ptr<pullLink> link;
    const pullAddress* connectedTo = nullptr;
    for (const pullAddress& a : addrs) {
        if (ownOutput(reinterpret_cast<const sockaddr*>(&a.addr), target.port)) {
            why = QStringLiteral("%1 is this stream's own output").arg(pullResolve::text(a));
            continue;
        }
        link = srt ? pullLink::srt(target.latencyMs, target.passphrase, chain) : pullLink::tcp();
        qCDebug(lcPull, "%s: connecting to %s", shown.constData(), qUtf8Printable(pullResolve::text(a)));
        if (link->open(reinterpret_cast<const sockaddr*>(&a.addr), a.len, stopRequested, &why)) {
            connectedTo = &a;
            break;
        }
        link.reset();
        if (stopRequested.load())
            return true;
    }
    if (!link) {
        fail(why);
        return false;
    }
    {
        const QString where = pullResolve::text(*connectedTo);
        const int colon = where.lastIndexOf(QLatin1Char(':'));
        std::lock_guard<std::mutex> g(peerLock);
        peer.address = where.left(colon).remove(QLatin1Char('[')).remove(QLatin1Char(']'));
        peer.port = where.mid(colon + 1).toInt();
        peer.sinceMs = QDateTime::currentMSecsSinceEpoch();
        peer.bytesAtStart = bytes.load();
        ++linkSerial;
        linkAddr = where.toStdString();
    }
    stateNow.store(Connected);
    if (everConnected)
        ++reconnects;
    if (failing)
        qCInfo(lcPull, "pull source %s connected again after %d failed attempts", shown.constData(), failedAttempts);
    else if (!everConnected)
        qCInfo(lcPull, "pull source %s connected", shown.constData());
    everConnected = true;
    failing = false;
    failedAttempts = 0;
    backoff.connectedAt(nowMs());
    bool alive = true;
    while (alive && !stopRequested.load()) {
        alive = link->pump(&sr_pull::countingRevCB, this, &why);
        if (statsRequested.load(std::memory_order_relaxed)) {
            SRT_TRACEBSTATS fresh;
            if (link->stats(&fresh)) {
                std::lock_guard<std::mutex> g(statsLock);
                stats = fresh;
            }
            statsRequested.store(false);
        }
    }
    backoff.lostAt(nowMs());
    // A link that ends hands the stream on at once, as a closed connection does.
    if (stream)
        stream->publisherGone(linkPublisher());
    if (!alive)
        fail(why);
    stateNow.store(Connecting);
    return alive;
}
