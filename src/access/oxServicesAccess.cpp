// Protected streams at the service: the "setStreamAccess" command, the access
// settings in stream.json and "getStreamList", the warning about default
// credentials. Main thread only.
#include "service/logLimit.h"
#include "service/logging.h"
#include "web/metrics.h"
#include "service/oxServices.h"
#include "oxStream.h"
#include "service/publicFunc.h"
#include "streamAccess.h"

#include <QCryptographicHash>
#include <QJsonDocument>

namespace {

const QString kDefaultSecret = QStringLiteral("73519046");

QJsonObject accessReply(bool ok, const QString& msg)
{
    return QJsonObject{{QStringLiteral("cmd"), QStringLiteral("setStreamAccess")},
                       {QStringLiteral("result"), ok ? QStringLiteral("success") : QStringLiteral("failed")},
                       {QStringLiteral("msg"), msg}};
}

bool isDefaultDigest(const QString& digest)
{
    const QByteArray def = QCryptographicHash::hash(kDefaultSecret.toUtf8(), QCryptographicHash::Md5).toHex();
    return digest == QString::fromLatin1(def);
}

} // namespace

QJsonObject oxServices::setStreamAccess(const QJsonObject& json)
{
    const QJsonValue idValue = json.value(QStringLiteral("id"));
    if (!idValue.isDouble())
        return accessReply(false, QStringLiteral("id is not a number"));
    const QJsonValue dataValue = json.value(QStringLiteral("data"));
    if (!dataValue.isObject())
        return accessReply(false, QStringLiteral("data is not an object"));
    const int id = idValue.toInt(-1);
    oxStream* stream = nullptr;
    for (oxStream* s : streams) {
        if (s->streamId == id)
            stream = s;
    }
    if (!stream)
        return accessReply(false, QStringLiteral("no stream with id %1").arg(id));
    QString error;
    std::optional<oxStreamAccessRules> next = stream->access.rules()->changedBy(dataValue.toObject(), &error);
    if (!next)
        return accessReply(false, error + QStringLiteral("; nothing changed"));
    const QJsonObject shown = next->toStatus();
    stream->setAccess(std::move(*next));
    needSave = true;
    qCInfo(lcService, "stream %d access now %s", id, QJsonDocument(shown).toJson(QJsonDocument::Compact).constData());
    return accessReply(true, QStringLiteral("success"));
}

QJsonObject oxServices::accessWarnings() const
{
    return QJsonObject{{QStringLiteral("cmd"), QStringLiteral("accessWarnings")},
                       {QStringLiteral("data"),
                        QJsonObject{{QStringLiteral("defaultWebPassword"), isDefaultDigest(passMd5)},
                                    {QStringLiteral("defaultNodeToken"), isDefaultDigest(nodeTokenMd5)}}}};
}

void oxServices::warnDefaultCredentials() const
{
    if (isDefaultDigest(passMd5))
        qCWarning(lcService, "the web password is still the default one: change it in the console");
    if (isDefaultDigest(nodeTokenMd5))
        qCWarning(lcService, "the node token is still the default one: set \"nodeToken\" in appcfg.json");
}

void loadStreamAccess(oxStream* stream, const QJsonObject& entry)
{
    const QJsonValue v = entry.value(kStreamAccessKey);
    if (v.isUndefined())
        return;
    QString error;
    std::optional<oxStreamAccessRules> rules =
        v.isObject() ? oxStreamAccessRules().changedBy(v.toObject(), &error) : std::nullopt;
    if (!rules) {
        qCWarning(lcService, "stream %d: access settings in stream.json refused (%s): the stream is not protected",
                  stream->streamId, qUtf8Printable(v.isObject() ? error : QStringLiteral("not an object")));
        return;
    }
    stream->access.set(std::move(*rules));
}

QJsonObject withStreamAccess(QJsonObject streamObject, const oxStream* stream, bool forFile)
{
    const streamAccess::Rules rules = stream->access.rules();
    if (!rules->isEmpty())
        streamObject.insert(kStreamAccessKey, forFile ? rules->toFile() : rules->toStatus());
    return streamObject;
}

bool oxServices::metricsAllowed(const QString& peer, bool loopback, const QByteArray& authorization)
{
    if (loopback)
        return true;
    const int64_t nowMs = logThrottleNowMs();
    if (loginWaits.mustWait(peer, nowMs))
        return false;
    if (metricsAccessAllowed(*this, false, authorization)) {
        loginWaits.succeeded(peer);
        return true;
    }
    if (!authorization.isEmpty())
        loginWaits.failed(peer, nowMs);
    return false;
}
