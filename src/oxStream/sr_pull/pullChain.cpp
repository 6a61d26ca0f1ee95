#include "pullChain.h"
#include "oxStream.h"
#include "oxStreamType.h"
#include "service/logLimit.h"
#include "service/logging.h"
#include "srtCommon.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <cstring>

#include <unistd.h>

namespace {

const QByteArray kPrefix = QByteArrayLiteral("#!::");
const QByteArray kKey = QByteArrayLiteral("oxchain=");
constexpr int kIdChars = 16;
constexpr int kMaxStreamDigits = 4;

bool isHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// "<16 hex>/<stream id>"
bool wellFormed(const QByteArray& e)
{
    const int slash = e.indexOf('/');
    if (slash != kIdChars || e.size() == slash + 1 || e.size() > slash + 1 + kMaxStreamDigits)
        return false;
    for (int i = 0; i < slash; ++i) {
        if (!isHex(e.at(i)))
            return false;
    }
    for (int i = slash + 1; i < e.size(); ++i) {
        if (e.at(i) < '0' || e.at(i) > '9')
            return false;
    }
    return true;
}

QByteArray deriveInstanceId()
{
    QByteArray seed;
    for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
        QFile f(QString::fromLatin1(path));
        if (f.open(QIODevice::ReadOnly)) {
            seed = f.read(64).trimmed();
            break;
        }
    }
    char host[256] = "";
    ::gethostname(host, sizeof host - 1);
    seed += '\n';
    seed += host;
    seed += '\n';
    seed += QDir::currentPath().toUtf8();
    return QCryptographicHash::hash(seed, QCryptographicHash::Md5).toHex().left(kIdChars);
}

} // namespace

namespace pullChain {

const QByteArray& instanceId()
{
    static const QByteArray id = deriveInstanceId();
    return id;
}

QByteArray entry(int streamId)
{
    return instanceId() + '/' + QByteArray::number(streamId);
}

QByteArray streamIdFor(int streamId, const QList<QByteArray>& downstream)
{
    QList<QByteArray> chain{entry(streamId)};
    for (const QByteArray& e : downstream) {
        if (chain.size() >= kMaxEntries)
            break;
        if (!chain.contains(e))
            chain.append(e);
    }
    return kPrefix + kKey + chain.join('.');
}

QList<QByteArray> parse(const char* streamId)
{
    QList<QByteArray> out;
    if (!streamId)
        return out;
    // libsrt hands over at most 512 bytes; the bound is kept here as well.
    const QByteArray text(streamId, static_cast<int>(strnlen(streamId, 512)));
    if (!text.startsWith(kPrefix))
        return out;
    for (const QByteArray& pair : text.mid(kPrefix.size()).split(',')) {
        if (!pair.startsWith(kKey))
            continue;
        for (const QByteArray& e : pair.mid(kKey.size()).split('.')) {
            if (out.size() >= kMaxEntries)
                break;
            if (wellFormed(e))
                out.append(e);
        }
    }
    return out;
}

void book::record(SRTSOCKET caller, QList<QByteArray> entries)
{
    std::lock_guard<std::mutex> g(lock);
    callers.erase(std::remove_if(callers.begin(), callers.end(),
                                 [](const auto& c) { return oxSrt::isGone(srt_getsockstate(c.first)); }),
                  callers.end());
    if (static_cast<int>(callers.size()) >= kMaxCallers)
        callers.erase(callers.begin());
    callers.emplace_back(caller, std::move(entries));
}

QList<QByteArray> book::downstream()
{
    QList<QByteArray> out;
    std::lock_guard<std::mutex> g(lock);
    // A caller that has not come up yet (or never will) brings nothing.
    callers.erase(std::remove_if(callers.begin(), callers.end(),
                                 [](const auto& c) { return oxSrt::isGone(srt_getsockstate(c.first)); }),
                  callers.end());
    for (const auto& c : callers) {
        if (srt_getsockstate(c.first) != SRTS_CONNECTED)
            continue;
        for (const QByteArray& e : c.second) {
            if (!out.contains(e))
                out.append(e);
        }
    }
    return out;
}

} // namespace pullChain

bool pullChainAdmits(oxStreamType* output, SRTSOCKET caller, const char* streamId, int port)
{
    if (!output->stream || !streamId || !*streamId)
        return true;
    QList<QByteArray> chain = pullChain::parse(streamId);
    if (chain.isEmpty())
        return true;
    if (!chain.contains(pullChain::entry(output->stream->streamId))) {
        output->stream->pullChains.record(caller, std::move(chain));
        return true;
    }
    srt_setrejectreason(caller, pullChain::kLoopRejectReason);
    // Once per port and calling stream, and at most one such line a second.
    static logThrottleKeyed once(INT64_MAX / 4);
    static logThrottle perSecond;
    int64_t held = 0;
    if (once.allow(QString::number(port) + QLatin1Char(' ') + QString::fromLatin1(chain.first()))
        && perSecond.allow(&held))
        qCWarning(lcSrt, "oxdp port %d: pull from %s refused: loop, its chain already holds this stream "
                         "(%lld more not logged)",
                  port, chain.first().constData(), static_cast<long long>(held));
    return false;
}
