// Fan-out of one stream.
//
// Inputs receive on their own network threads (Asio workers for TCP, the SRT
// worker, the KCP session thread) and call putStream there. putStream lends
// the buffer to every output in turn on that same thread and then deletes it:
// no queue and no copy in the stream itself. Outputs that cannot write without
// blocking (SRT) copy what they need. The endpoint lists are filled before
// `running` is set and emptied only in the destructor, after `running` has been
// cleared and every fan-out still inside putStream has left (fanOutsInFlight),
// so the media path needs no lock shared with the control path.
#include "oxStream.h"
#include "service/logging.h"
#include "service/oxProfile.h"
#include "service/oxServices.h"
#include "oxStreamBuffers.h"
#include "oxStreamType.h"
#include "sr_oxdp/sr_oxdp.h"
#include "sr_pull/sr_pull.h"
#include "sr_tcp/sr_tcp.h"
#include "st_oxdp/st_oxdp.h"
#include "st_tcp/st_tcp.h"
#include "service/streamPull.h"
#ifdef OXNODE_HAS_OXLAT
#include "sr_lat/sr_lat.h"
#include "st_lat/st_lat.h"
#endif

#include <QJsonArray>
#include <QThread>

#include <chrono>
#include <limits>

namespace {

struct EndpointRow {
    bool output;
    int endpointId;
    int portOffset;
    const char* suffix; // null: keep the name of the previous row
    oxStreamType* (*make)(int endpointId, QJsonObject cfg);
};

template <typename T>
oxStreamType* makeEndpoint(int endpointId, QJsonObject cfg)
{
    return new T(endpointId, cfg);
}

// Endpoints of a stream, in construction order.
const EndpointRow kEndpointRows[] = {
    {false, 1, 0, "_tcpRx", &makeEndpoint<sr_tcp>},
    {false, 2, 0, "_oxdpRx", &makeEndpoint<sr_oxdp>},
#ifdef OXNODE_HAS_OXLAT
    {false, 2, 1, "_oxlatRx", &makeEndpoint<sr_lat>},
#endif
    {true, 1, 10, "_tcpTx", &makeEndpoint<st_tcp>},
    {true, 2, 10, nullptr, &makeEndpoint<st_oxdp>},
#ifdef OXNODE_HAS_OXLAT
    {true, 2, 11, nullptr, &makeEndpoint<st_lat>},
#endif
};

} // namespace

int oxStream::nameChars(const QString& name)
{
    int n = 0;
    for (const QChar c : name)
        n += c.isLowSurrogate() ? 0 : 1;
    return n;
}

QString oxStream::cutName(const QString& name)
{
    int chars = 0;
    for (int i = 0; i < name.size(); ++i) {
        if (name.at(i).isLowSurrogate())
            continue;
        if (++chars > kMaxNameChars)
            return name.left(i);
    }
    return name;
}

oxStream::oxStream(oxServices* services_, int id, QJsonObject cfg, oxObject*)
    : oxObject(nullptr)
    , streamId(id)
    , services(services_)
{
    type = QStringLiteral("ctrl_stream");
    const QJsonValue n = cfg.value(QStringLiteral("name"));
    streamName = n.isString() ? n.toString() : QStringLiteral("Not Set");
    pullUrl = streamPull::fromCfg(cfg);
    pullBackupUrl = streamPull::fromCfg(cfg, true);
    gate.streamId = id;
    const QJsonValue pub = cfg.value(QStringLiteral("publish"));
    if (pub.isObject()) {
        QString why;
        const publishPolicy p = publishPolicy::fromJson(pub.toObject(), &why);
        if (why.isEmpty())
            setPublishPolicy(p);
        else
            qCWarning(lcStream, "stream %d: publish policy in stream.json ignored: %s", id, qUtf8Printable(why));
    }
    connect(this, &oxStream::doWork, this, &oxStream::workCmd);
    heartTimer = new QTimer(this);
    connect(heartTimer, &QTimer::timeout, this, &oxStream::heartTimerSlots);
    heartTimer->setTimerType(Qt::VeryCoarseTimer); // shares its wake-up with the other streams' ticks
}

oxStream::~oxStream()
{
    running.store(false);
    qCDebug(lcStream, "stream:%d delete start!", streamId);
    if (heartTimer)
        heartTimer->stop();
    waitForFanOuts();
    for (oxStreamType* out : outList)
        delete out;
    outList.clear();
    // Inputs may still deliver until they are gone; putStream drops those
    // chunks because `running` is false.
    for (oxStreamType* in : inList)
        delete in;
    inList.clear();
    qCDebug(lcStream, "stream:%d delete done!", streamId);
}

void oxStream::start()
{
    if (oxProfile::current().streamCommandsOnCallerThread)
        _start();
    else
        Q_EMIT doWork(QJsonObject{{QStringLiteral("cmd"), QStringLiteral("start")}});
}

void oxStream::stop()
{
    if (oxProfile::current().streamCommandsOnCallerThread)
        _stop();
    else
        Q_EMIT doWork(QJsonObject{{QStringLiteral("cmd"), QStringLiteral("stop")}});
}

void oxStream::workCmd(QJsonObject cmd)
{
    const QString c = cmd.value(QStringLiteral("cmd")).toString();
    if (c == QLatin1String("start"))
        _start();
    else if (c == QLatin1String("stop"))
        _stop();
}

void oxStream::_start()
{
    if (everStarted) {
        // A second set of endpoints would fight the first one for the same ports.
        qCWarning(lcStream, "stream %d already started, start refused", streamId);
        return;
    }
    everStarted = true;
    if (!heartTimer) {
        heartTimer = new QTimer(this);
        connect(heartTimer, &QTimer::timeout, this, &oxStream::heartTimerSlots);
        heartTimer->setTimerType(Qt::VeryCoarseTimer); // shares its wake-up with the other streams' ticks
    }
    createEndpoints();
    for (oxStreamType* out : outList)
        out->start();
    for (oxStreamType* in : inList)
        in->start();
    running.store(true);
    heartTimer->start(1000);
    qCDebug(lcStream, "stream %d start", streamId);
}

void oxStream::createEndpoints()
{
    QJsonObject cfg;
    for (const EndpointRow& row : kEndpointRows) {
        cfg.insert(QStringLiteral("port"), 8010 + 20 * streamId + row.portOffset);
        if (row.suffix)
            cfg.insert(QStringLiteral("name"), streamName + QLatin1String(row.suffix));
        oxStreamType* ep = row.make(row.endpointId, cfg);
        ep->stream = this;
        (row.output ? outList : inList).append(ep); // owned by the stream from here on
    }
    if (!pullUrl.isEmpty())
        inList.append(streamPull::makeEndpoint(this, pullUrl)); // owned by the stream from here on
    if (!pullBackupUrl.isEmpty())
        inList.append(streamPull::makeEndpoint(this, pullBackupUrl, true)); // owned by the stream from here on
}

void oxStream::setPullUrl(const QString& url, bool backup)
{
    (backup ? pullBackupUrl : pullUrl) = url;
    if (!everStarted)
        return;
    const int id = backup ? sr_pull::kBackupEndpointId : sr_pull::kEndpointId;
    // Only this input's worker fans out with it: once it is deleted (and so
    // joined) no fan-out holds it; the outputs stay as they are.
    for (oxStreamType* in : inList) {
        if (in->endpointId == id && in->type == QLatin1String("sr_pull")) {
            inList.removeOne(in);
            delete in;
            break;
        }
    }
    if (url.isEmpty())
        return;
    oxStreamType* ep = streamPull::makeEndpoint(this, url, backup);
    inList.append(ep); // owned by the stream from here on
    if (running.load())
        ep->start();
}

void oxStream::_stop()
{
    running.store(false);
    if (heartTimer)
        heartTimer->stop();
    for (oxStreamType* out : outList)
        out->stop();
    for (oxStreamType* in : inList)
        in->stop();
}

void oxStream::addByteCount(int len)
{
    int32_t cur = byteTotal.load(std::memory_order_relaxed);
    int32_t next;
    do {
        const int64_t sum = static_cast<int64_t>(cur) + len;
        next = sum > std::numeric_limits<int32_t>::max() ? 0 : static_cast<int32_t>(sum);
    } while (!byteTotal.compare_exchange_weak(cur, next, std::memory_order_relaxed));
}

void oxStream::putStream(oxStreamBuf* buf, const publishGate::publisher* who)
{
    if (!buf)
        return;
    // Announce the fan-out before testing `running` (both sequentially
    // consistent): the destructor clears `running` and then waits for zero.
    fanOutsInFlight.fetch_add(1);
    if (!running.load()) {
        fanOutsInFlight.fetch_sub(1);
        delete buf;
        return;
    }
    const oxStreambuf_t* p = buf->streamPayload();
    addByteCount(p ? p->len : 0);
    if (Q_UNLIKELY(!gate.relaysAll())) {
        gatedFanOut(buf, who);
        fanOutsInFlight.fetch_sub(1);
        delete buf;
        return;
    }
    for (oxStreamType* out : outList)
        out->putBufIn(buf);
    fanOutsInFlight.fetch_sub(1);
    delete buf;
}

namespace {
struct gatedChunk {
    QList<oxStreamType*>* outs;
    oxStreamBuf* buf;
};
} // namespace

// Under the gate's media lock: the piece of the chunk (or of what the
// publisher kept) that the gate relays, lent to every output.
void oxStream::emitGated(void* ctx, const uint8_t* data, size_t len, bool inChunk)
{
    auto* g = static_cast<gatedChunk*>(ctx);
    const oxStreambuf_t* p = g->buf->streamPayload();
    if (inChunk && data == p->data && len == static_cast<size_t>(p->len)) {
        for (oxStreamType* out : *g->outs)
            out->putBufIn(g->buf);
        return;
    }
    oxStreamBuf* piece = oxStreamBuf::lendStreamBuf(g->buf->type, data, static_cast<int>(len),
                                                    inChunk ? g->buf->sharedData : nullptr, g->buf->owner);
    if (!piece)
        return;
    for (oxStreamType* out : *g->outs)
        out->putBufIn(piece);
    delete piece;
}

void oxStream::gatedFanOut(oxStreamBuf* buf, const publishGate::publisher* who)
{
    const oxStreambuf_t* p = buf->streamPayload();
    if (!p || p->len <= 0)
        return;
    publishGate::publisher fromInput;
    if (!who) {
        // An input with one publisher at a time names it by the input alone.
        const QString t = buf->owner ? buf->owner->type : QString();
        fromInput.input = t == QLatin1String("sr_lat")  ? publishInput::lat
            : t == QLatin1String("sr_pull")             ? publishInput::pull
            : t == QLatin1String("sr_oxdp")             ? publishInput::oxdp
                                                        : publishInput::tcp;
        who = &fromInput;
    }
    gatedChunk g{&outList, buf};
    const int64_t nowNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count();
    gate.offer(*who, p->data, static_cast<size_t>(p->len), nowNs, &oxStream::emitGated, &g);
}

void oxStream::setPublishPolicy(const publishPolicy& p)
{
    publish = p;
    publishSet = true;
    gate.setPolicy(p);
}

void oxStream::waitForFanOuts()
{
    while (fanOutsInFlight.load() != 0)
        QThread::usleep(200);
}

void oxStream::setAccess(oxStreamAccessRules rules)
{
    access.set(std::move(rules));
    for (oxStreamType* in : inList)
        in->accessChanged();
    for (oxStreamType* out : outList)
        out->accessChanged();
}

QString oxStream::getHostName() const
{
    return services ? services->serverIP : QStringLiteral("host.name.error");
}

QJsonObject oxStream::describe(bool status)
{
    QJsonArray ins;
    QJsonArray outs;
    // With the status goes each endpoint's number of clients (publishers of
    // an input), read from what the endpoint publishes.
    auto report = [status](oxStreamType* ep) {
        if (!status)
            return ep->getCfg();
        QJsonObject o = ep->getStatus();
        o.insert(QStringLiteral("clientCount"), static_cast<qint64>(ep->figures().clients));
        return o;
    };
    for (oxStreamType* in : inList)
        ins.append(report(in));
    for (oxStreamType* out : outList)
        outs.append(report(out));
    QJsonObject o{
        {QStringLiteral("id"), streamId},
        {QStringLiteral("name"), streamName},
        {QStringLiteral("type"), QStringLiteral("ctrl_stream")},
        {QStringLiteral("bitRate"), bitRate},
        {QStringLiteral("inList"), ins},
        {QStringLiteral("outList"), outs},
    };
    if (!pullUrl.isEmpty())
        o.insert(QStringLiteral("pullUrl"), pullUrl);
    if (!pullBackupUrl.isEmpty())
        o.insert(QStringLiteral("pullBackupUrl"), pullBackupUrl);
    if (publishSet)
        o.insert(QStringLiteral("publish"), publish.toJson());
    return o;
}

QJsonObject oxStream::getCfg()
{
    return describe(false);
}

QJsonObject oxStream::getStatus()
{
    return describe(true);
}

QJsonObject oxStream::parserJson(QJsonObject cmd)
{
    return cmd;
}

void oxStream::heartTimerSlots()
{
    const int32_t total = byteTotal.load(std::memory_order_relaxed);
    const int32_t diff = total - byteTotalAtTick;
    // After the counter wrapped to 0 the difference is negative: report the
    // bytes counted since the wrap instead of a negative rate.
    bitRate = diff >= 0 ? diff : total;
    byteTotalAtTick = total;
    receivedTotal += static_cast<uint64_t>(bitRate);
}
