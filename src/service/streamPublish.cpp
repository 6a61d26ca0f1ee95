#include "streamPublish.h"
#include "logLimit.h"
#include "logging.h"
#include "oxServices.h"
#include "oxStream.h"

#include <QDateTime>

namespace streamPublish {

namespace {

QJsonObject reply(const QString& cmd, const QString& msg)
{
    const bool ok = msg.isEmpty();
    return QJsonObject{{QStringLiteral("cmd"), cmd},
                       {QStringLiteral("results"), ok ? QStringLiteral("success") : QStringLiteral("failed")},
                       {QStringLiteral("msg"), ok ? QStringLiteral("success") : msg}};
}

oxStream* streamOf(oxServices* services, const QJsonObject& json)
{
    const QJsonValue idValue = json.value(QStringLiteral("id"));
    const int id = idValue.isDouble() ? idValue.toInt(-1) : -1;
    for (oxStream* s : services->streams) {
        if (s->streamId == id)
            return s;
    }
    return nullptr;
}

} // namespace

QJsonObject command(oxServices* services, const QJsonObject& json)
{
    const QString cmd = QStringLiteral("setStreamPublish");
    oxStream* stream = streamOf(services, json);
    if (!stream)
        return reply(cmd, QStringLiteral("no stream with this id"));
    const QJsonValue data = json.value(QStringLiteral("data"));
    if (!data.isObject())
        return reply(cmd, QStringLiteral("data must be an object"));
    QString why;
    const publishPolicy p = publishPolicy::fromJson(data.toObject(), &why);
    if (!why.isEmpty()) {
        qCInfo(lcStream, "setStreamPublish for stream %d refused: %s", stream->streamId,
               qUtf8Printable(logSafeText(why)));
        return reply(cmd, why);
    }
    if (!stream->publishPolicySet() || p != stream->publishPolicyNow()) {
        stream->setPublishPolicy(p);
        services->needSave = true;
        qCInfo(lcStream, "stream %d: publish policy %s", stream->streamId, publishPolicy::modeName(p.mode));
    }
    return reply(cmd, QString());
}

QJsonObject switchCommand(oxServices* services, const QJsonObject& json)
{
    const QString cmd = QStringLiteral("switchStreamPublisher");
    oxStream* stream = streamOf(services, json);
    if (!stream)
        return reply(cmd, QStringLiteral("no stream with this id"));
    if (!stream->publishPolicySet() || stream->publishPolicyNow().mode == publishPolicy::Mode::all)
        return reply(cmd, QStringLiteral("the stream relays every publisher (mode \"all\"): nothing to switch"));
    stream->forcePublisherSwitch();
    return reply(cmd, QString());
}

QJsonObject state(oxStream* stream)
{
    const publishGate::figures f = stream->publishFigures();
    QJsonObject o{{QStringLiteral("switches"), static_cast<qint64>(f.switches)},
                  {QStringLiteral("droppedBytes"), static_cast<qint64>(f.droppedBytes)}};
    if (f.active)
        o.insert(QStringLiteral("active"),
                 QJsonObject{{QStringLiteral("input"), QLatin1String(publishPolicy::inputName(f.input))},
                             {QStringLiteral("address"), QString::fromStdString(f.address)}});
    if (f.lastSwitchMs > 0)
        o.insert(QStringLiteral("lastSwitch"),
                 QJsonObject{{QStringLiteral("time"),
                              QDateTime::fromMSecsSinceEpoch(f.lastSwitchMs, Qt::UTC).toString(Qt::ISODateWithMs)},
                             {QStringLiteral("reason"), QLatin1String(publishGate::reasonName(f.lastReason))}});
    return o;
}

} // namespace streamPublish
