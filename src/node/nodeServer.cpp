#include "nodeServer.h"
#include "oxNode.h"
#include "oxTcpClientSocket.h"
#include "service/logLimit.h"
#include "service/logging.h"
#include "service/opsCounters.h"

#include <QMetaObject>
#include <QTimer>

#include <algorithm>

#include <chrono>

namespace {

int64_t monotonicMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Lines a peer can repeat at will: one per second and peer address.
logThrottleKeyed& overflowLog()
{
    static logThrottleKeyed t;
    return t;
}

logThrottleKeyed& malformedLog()
{
    static logThrottleKeyed t;
    return t;
}

logThrottle& acceptErrorLog()
{
    static logThrottle t;
    return t;
}

logThrottle& inboxFullLog()
{
    static logThrottle t;
    return t;
}

} // namespace

nodeServer::nodeServer(QObject* parent)
    : QObject(parent)
{
    drainHold.setSingleShot(true);
    drainHold.setTimerType(Qt::PreciseTimer);
    drainHold.setInterval(kNodeDrainHoldMs);
    connect(&drainHold, &QTimer::timeout, this, &nodeServer::drain);
}

nodeServer::~nodeServer()
{
    stop();
    deleteRetired();
    // Still open at shutdown: deleted without reporting their end to receivers that may be gone.
    for (oxTcpClientSocket* c : std::exchange(clients, {}))
        delete c;
}

bool nodeServer::listen(quint16 port, int backlog, int maxConnections, int cap)
{
    server = std::make_unique<oxnet::TcpServer>();
    server->setThreadNum(kNodeWorkers);
    server->setWorkerNice(kNodeWorkerNice);
    server->setReadBufSize(kNodeReadBytes);
    server->setMaxConnections(static_cast<size_t>(maxConnections));
    server->setListenBacklog(backlog);
    // The descriptor reserve of the stream ports is kept for this port.
    server->setFdReserve(0);
    const int fd = server->createsocket(port);
    if (fd < 0) {
        error = QString::fromLocal8Bit(std::strerror(-fd));
        server.reset();
        return false;
    }
    pendingCap = cap;
    server->onConnection = [this](const oxnet::SocketChannelPtr& ch) { onConnection(ch); };
    server->onMessage = [this](const oxnet::SocketChannelPtr& ch, const void* data, size_t len) {
        onMessage(ch, data, len);
    };
    server->admission = [this] { return admit(); };
    server->acceptFilter = [this](const asio::ip::tcp::endpoint&) {
        admitRate.take();
        pending.fetch_add(1, std::memory_order_relaxed);
        return true;
    };
    server->onAcceptError = [](const std::string& reason) {
        int64_t held = 0;
        if (acceptErrorLog().allow(&held))
            qCWarning(lcNode, "node port accept error: %s; accepting again in %d ms (%lld held back)", reason.c_str(),
                      oxnet::TcpServer::kAcceptRetryMs, static_cast<long long>(held));
    };
    return true;
}

int nodeServer::listenPort() const
{
    return server ? server->listenPort() : -1;
}

void nodeServer::start()
{
    if (server)
        server->start();
}

void nodeServer::stop()
{
    if (stopped)
        return;
    stopped = true;
    {
        std::lock_guard<std::mutex> lk(inboxMutex);
        stopping = true;
    }
    inboxRoom.notify_all();
    if (server)
        server->stop();
    std::lock_guard<std::mutex> lk(inboxMutex);
    inbox.clear();
    inboxBytes = 0;
}

void nodeServer::loginSettled()
{
    pending.fetch_sub(1, std::memory_order_relaxed);
    if (server && !stopped)
        server->resumeAccepting();
}

int64_t nodeAdmitRate::waitNs(int64_t nowNs)
{
    if (lastNs != 0)
        tokens = std::min<double>(kNodeAdmitBurst, tokens + (nowNs - lastNs) * 1e-9 * kNodeAdmitPerSecond);
    lastNs = nowNs;
    if (tokens >= 1.0)
        return 0;
    return static_cast<int64_t>((1.0 - tokens) * 1e9 / kNodeAdmitPerSecond) + 1;
}

// Acceptor thread.
bool nodeServer::admit()
{
    using namespace std::chrono;
    const int64_t wait = admitRate.waitNs(duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count());
    if (wait > 0) {
        // Accepting waits until the bucket has refilled; the owner's timer resumes it.
        if (!rateResumeAsked.exchange(true, std::memory_order_acq_rel)) {
            const int ms = static_cast<int>(wait / 1000000) + 1;
            QMetaObject::invokeMethod(
                this,
                [this, ms] {
                    QTimer::singleShot(ms, this, [this] {
                        rateResumeAsked.store(false, std::memory_order_release);
                        if (server && !stopped)
                            server->resumeAccepting();
                    });
                },
                Qt::QueuedConnection);
        }
        return false;
    }
    if (pendingCap <= 0 || pending.load(std::memory_order_relaxed) < pendingCap)
        return true;
    if (!roomAsked.exchange(true, std::memory_order_acq_rel)) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                roomAsked.store(false, std::memory_order_release);
                if (!stopped)
                    Q_EMIT roomWanted();
            },
            Qt::QueuedConnection);
    }
    return false;
}

// Worker thread: a connection begins or ends.
void nodeServer::onConnection(const oxnet::SocketChannelPtr& ch)
{
    if (ch->isConnected()) {
        auto wire = std::make_shared<nodeWire>();
        wire->acceptedAtMs = monotonicMs();
        ch->setContext(wire);
        push(Event{Event::Connected, ch->id(), ch, std::move(wire), {}, 0});
    } else {
        ch->setContext(nullptr);
        push(Event{Event::Gone, ch->id(), nullptr, nullptr, {}, 0});
    }
}

// Worker thread: frames what came in and parses each frame.
void nodeServer::onMessage(const oxnet::SocketChannelPtr& ch, const void* data, size_t len)
{
    auto* wire = static_cast<nodeWire*>(ch->context().get());
    if (!wire || wire->cut || len == 0)
        return;
    if (!wire->loggedIn.load(std::memory_order_relaxed))
        wire->heardAtMs.store(monotonicMs(), std::memory_order_relaxed);
    wire->reader.append(QByteArray::fromRawData(static_cast<const char*>(data), static_cast<int>(len)));
    QByteArray frame;
    for (;;) {
        // Strangers get the small bound; a node that logged in the large one.
        wire->reader.setMaxFrameBytes(wire->loggedIn.load(std::memory_order_relaxed) ? kMaxFrameBytes
                                                                                       : kMaxLoginFrameBytes);
        switch (wire->reader.next(&frame)) {
        case oxFrameReader::Result::NeedMore:
            return;
        case oxFrameReader::Result::Overflow: {
            opsCounters().count(opsCounters().nodeFramesRefused);
            const QString ip = QString::fromStdString(ch->peerIp());
            int64_t held = 0;
            if (overflowLog().allow(ip, &held))
                qCWarning(lcNode, "oxTcpClientSocket: %s:%d sent more than %d bytes without a frame end, closing"
                                  " (%lld held back)",
                          qUtf8Printable(ip), ch->peerPort(), wire->reader.maxFrameBytes(),
                          static_cast<long long>(held));
            wire->cut = true;
            wire->reader.clear();
            ch->close();
            return;
        }
        case oxFrameReader::Result::Frame: {
            QJsonObject object;
            QString parseError;
            switch (parseFrame(frame, &object, &parseError)) {
            case FrameParse::Object:
                push(Event{Event::Frame, ch->id(), nullptr, nullptr, std::move(object),
                           static_cast<size_t>(frame.size())});
                break;
            case FrameParse::Malformed: {
                opsCounters().count(opsCounters().nodeFramesRefused);
                const QString ip = QString::fromStdString(ch->peerIp());
                int64_t held = 0;
                if (malformedLog().allow(ip, &held))
                    qCDebug(lcNode, "%s (from %s, %lld held back)", qUtf8Printable(parseError), qUtf8Printable(ip),
                            static_cast<long long>(held));
                break;
            }
            case FrameParse::NotObject:
                break;
            }
            break;
        }
        }
    }
}

// Worker thread: waits while the inbox is full (the owner is behind).
void nodeServer::push(Event&& e)
{
    std::unique_lock<std::mutex> lk(inboxMutex);
    const auto hasRoom = [this] {
        return stopping || (inbox.size() < static_cast<size_t>(kMaxNodeInboxEvents) && inboxBytes < kMaxNodeInboxBytes);
    };
    if (!hasRoom()) {
        int64_t held = 0;
        if (inboxFullLog().allow(&held))
            qCWarning(lcNode, "node port: %zu frames wait for the main thread; reading pauses until it catches up"
                              " (%lld held back)",
                      inbox.size(), static_cast<long long>(held));
        inboxRoom.wait(lk, hasRoom);
    }
    if (stopping)
        return;
    inboxBytes += e.bytes;
    inbox.push_back(std::move(e));
    if (drainPosted)
        return;
    drainPosted = true;
    lk.unlock();
    QMetaObject::invokeMethod(this, &nodeServer::drain, Qt::QueuedConnection);
}

void nodeServer::drain()
{
    std::deque<Event> batch;
    {
        std::lock_guard<std::mutex> lk(inboxMutex);
        if (stopping)
            return;
        const size_t n = std::min(inbox.size(), static_cast<size_t>(kNodeDrainSlice));
        for (size_t i = 0; i < n; ++i) {
            inboxBytes -= inbox.front().bytes;
            batch.push_back(std::move(inbox.front()));
            inbox.pop_front();
        }
        // More than a slice: the rest after whatever else waits on this thread.
        // Emptied: what comes next is looked at a little later (held), unless
        // nothing came while held.
        drainPosted = !inbox.empty() || !batch.empty();
        if (!inbox.empty())
            QMetaObject::invokeMethod(this, &nodeServer::drain, Qt::QueuedConnection);
        else if (!batch.empty())
            drainHold.start();
    }
    inboxRoom.notify_all();
    for (Event& e : batch) {
        if (stopped)
            return;
        switch (e.kind) {
        case Event::Connected: {
            auto* c = new oxTcpClientSocket(std::move(e.channel), std::move(e.wire), this);
            clients.insert(e.id, c);
            Q_EMIT newClient(c);
            break;
        }
        case Event::Frame:
            if (oxTcpClientSocket* c = clients.value(e.id))
                c->deliver(e.json);
            break;
        case Event::Gone:
            if (oxTcpClientSocket* c = clients.value(e.id))
                c->peerGone();
            break;
        }
    }
}

void nodeServer::sendDiscovery()
{
    if (!server || stopped)
        return;
    server->forEachOnWorkers([](const oxnet::SocketChannelPtr& ch) {
        const auto* wire = static_cast<const nodeWire*>(ch->context().get());
        if (wire && !wire->discovery.isEmpty())
            ch->write(wire->discovery.constData(), static_cast<size_t>(wire->discovery.size()));
    });
}

void nodeServer::frameOf(oxTcpClientSocket* client, void* pElement, const QJsonObject& json)
{
    if (onFrame)
        onFrame(client, pElement, json);
}

void nodeServer::goneOf(oxTcpClientSocket* client, void* pElement)
{
    clients.remove(client->id());
    if (onGone)
        onGone(client, pElement);
}

void nodeServer::retire(oxTcpClientSocket* client)
{
    retired.push_back(client);
    if (retired.size() == 1)
        QMetaObject::invokeMethod(this, &nodeServer::deleteRetired, Qt::QueuedConnection);
}

void nodeServer::deleteRetired()
{
    for (oxTcpClientSocket* c : std::exchange(retired, {}))
        delete c;
}

static_assert(kStreamFdReserve == oxnet::TcpServer::kFdReserve, "the unit's descriptor budget counts the stream ports' reserve");
