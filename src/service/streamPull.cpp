#include "streamPull.h"
#include "logLimit.h"
#include "logging.h"
#include "oxServices.h"
#include "oxStream.h"
#include "sr_pull/pullResolve.h"
#include "sr_pull/pullUrl.h"
#include "sr_pull/sr_pull.h"

#include <QJsonArray>

#include <arpa/inet.h>
#include <netinet/in.h>

namespace streamPull {

namespace {

QJsonObject reply(const QString& msg)
{
    const bool ok = msg.isEmpty();
    return QJsonObject{{QStringLiteral("cmd"), QStringLiteral("setStreamPull")},
                       {QStringLiteral("results"), ok ? QStringLiteral("success") : QStringLiteral("failed")},
                       {QStringLiteral("msg"), ok ? QStringLiteral("success") : msg}};
}

bool literalIsLocal(const QString& host)
{
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QByteArray h = host.toLatin1();
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    if (inet_pton(AF_INET, h.constData(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        return pullResolve::isLocal(reinterpret_cast<const sockaddr*>(&v4));
    }
    if (inet_pton(AF_INET6, h.constData(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        return pullResolve::isLocal(reinterpret_cast<const sockaddr*>(&v6));
    }
    return false;
}

// The stream whose output url names when it points at this instance (an
// address of this machine, loopback, "localhost" or the configured server
// address), or null.
oxStream* localOutputStream(oxServices* services, const pullUrl& u)
{
    const int offset = u.port - 8020;
    if (offset < 0 || offset % 20 > 1)
        return nullptr;
    const bool local = literalIsLocal(u.host)
        || (!services->serverIP.isEmpty() && u.host.compare(services->serverIP, Qt::CaseInsensitive) == 0);
    if (!local)
        return nullptr;
    for (oxStream* s : services->streams) {
        if (s->streamId == offset / 20)
            return s;
    }
    return nullptr;
}

} // namespace

QString loopRefusal(oxServices* services, int streamId, const QString& url)
{
    const pullUrl u = pullUrl::parse(url);
    oxStream* fed = u.ok() ? localOutputStream(services, u) : nullptr;
    // Up the chain of local pulls from the stream it would pull from: one
    // pull per stream, so a walk of at most as many steps as there are streams.
    QString path = QString::number(streamId);
    for (int steps = 0; fed && steps <= services->streams.size(); ++steps) {
        path += QStringLiteral(" <- ") + QString::number(fed->streamId);
        if (fed->streamId == streamId)
            return QStringLiteral("loop: %1:%2 is fed by this stream through local pulls (streams %3)")
                .arg(u.host)
                .arg(u.port)
                .arg(path);
        // Through first pull sources only: a backup feeds its stream only while the first one is down.
        fed = fed->pullUrl.isEmpty() ? nullptr : localOutputStream(services, pullUrl::parse(fed->pullUrl));
    }
    return QString();
}

QString fromCfg(const QJsonObject& cfg, bool backup)
{
    const QString url = cfg.value(backup ? QStringLiteral("pullBackupUrl") : QStringLiteral("pullUrl")).toString();
    return pullUrl::parse(url).ok() ? url : QString();
}

QString refusal(const QString& url, int streamId)
{
    const pullUrl u = pullUrl::parse(url);
    if (!u.ok())
        return u.error;
    const int base = 8020 + 20 * streamId;
    if ((u.port == base || u.port == base + 1) && literalIsLocal(u.host))
        return QStringLiteral("loop: %1:%2 is this stream's own output on this machine").arg(u.host).arg(u.port);
    return QString();
}

oxStreamType* makeEndpoint(oxStream* stream, const QString& url, bool backup)
{
    auto* ep = new sr_pull(backup ? sr_pull::kBackupEndpointId : sr_pull::kEndpointId,
                           QJsonObject{{QStringLiteral("name"), stream->streamName
                                            + QLatin1String(backup ? "_pullBackupRx" : "_pullRx")},
                                       {QStringLiteral("url"), url}});
    ep->stream = stream;
    return ep;
}

namespace {

// The url under key of the command, checked; *why says what is wrong.
QString checkedUrl(oxServices* services, int id, const QJsonObject& json, const QString& key, QString* why)
{
    const QJsonValue urlValue = json.value(key);
    if (!urlValue.isString() && !urlValue.isUndefined() && !urlValue.isNull()) {
        *why = key + QStringLiteral(" does not parse: not a string");
        return QString();
    }
    const QString url = urlValue.toString().trimmed();
    if (!url.isEmpty()) {
        *why = refusal(url, id);
        if (why->isEmpty())
            *why = loopRefusal(services, id, url);
        if (!why->isEmpty())
            qCInfo(lcStream, "setStreamPull for stream %d refused: %s", id, qUtf8Printable(logSafeText(*why)));
    }
    return url;
}

} // namespace

QJsonObject command(oxServices* services, const QJsonObject& json)
{
    const QJsonValue idValue = json.value(QStringLiteral("id"));
    const int id = idValue.isDouble() ? idValue.toInt(-1) : -1;
    oxStream* stream = nullptr;
    for (oxStream* s : services->streams) {
        if (s->streamId == id)
            stream = s;
    }
    if (!stream)
        return reply(QStringLiteral("no stream with this id"));
    QString why;
    const QString url = checkedUrl(services, id, json, QStringLiteral("url"), &why);
    if (!why.isEmpty())
        return reply(why);
    // Without "backupUrl" the backup stays as it is.
    const bool withBackup = json.contains(QStringLiteral("backupUrl"));
    const QString backup = withBackup ? checkedUrl(services, id, json, QStringLiteral("backupUrl"), &why) : QString();
    if (!why.isEmpty())
        return reply(QStringLiteral("backupUrl: ") + why);
    if (url != stream->pullUrl) {
        stream->setPullUrl(url);
        services->needSave = true;
    }
    if (withBackup && backup != stream->pullBackupUrl) {
        stream->setPullUrl(backup, true);
        services->needSave = true;
    }
    return reply(QString());
}

QJsonObject shown(QJsonObject stream)
{
    const QString key = QStringLiteral("pullUrl");
    const QString backupKey = QStringLiteral("pullBackupUrl");
    if (!stream.contains(key) && !stream.contains(backupKey))
        return stream;
    for (const QString& k : {key, backupKey}) {
        if (stream.contains(k))
            stream.insert(k, pullUrl::redacted(stream.value(k).toString()));
    }
    QJsonArray ins = stream.value(QStringLiteral("inList")).toArray();
    for (int i = 0; i < ins.size(); ++i) {
        QJsonObject in = ins.at(i).toObject();
        const int epId = in.value(QStringLiteral("id")).toInt();
        if ((epId != sr_pull::kEndpointId && epId != sr_pull::kBackupEndpointId)
            || in.value(QStringLiteral("type")).toString() != QLatin1String("sr_pull"))
            continue;
        in.insert(QStringLiteral("url"), pullUrl::redacted(in.value(QStringLiteral("url")).toString()));
        ins.replace(i, in);
    }
    stream.insert(QStringLiteral("inList"), ins);
    return stream;
}

} // namespace streamPull
