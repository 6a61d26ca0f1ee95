#include "oxNodeState.h"
#include "logging.h"
#include "publicFunc.h"

#include <QJsonDocument>

#include <cmath>
#include <limits>

QString jsonStr(const QJsonObject& o, const QString& key, const QString& def)
{
    const QJsonValue v = o.value(key);
    return v.isString() ? v.toString() : def;
}

int jsonInteger(const QJsonObject& o, const QString& key, int def)
{
    const QJsonValue v = o.value(key);
    if (!v.isDouble())
        return def;
    const double d = v.toDouble();
    // Range check first: converting an out-of-range double to int is undefined.
    if (!(d >= std::numeric_limits<int>::min() && d <= std::numeric_limits<int>::max()) || std::floor(d) != d)
        return def;
    return static_cast<int>(d);
}

bool jsonBool(const QJsonObject& o, const QString& key, bool def)
{
    const QJsonValue v = o.value(key);
    return v.isBool() ? v.toBool() : def;
}

BoundMessage classifyBoundMessage(const QJsonObject& json, const QString& sessionToken)
{
    const QString cmd = jsonStr(json, QStringLiteral("cmd"));
    if (cmd == QLatin1String("nodeLogin"))
        return BoundMessage::Login;
    // A node that never logged in has no token: nothing may match it.
    const QString presented = jsonStr(json, QStringLiteral("sessionToken"));
    if (sessionToken.isEmpty() || !constantTimeEquals(presented, sessionToken))
        return BoundMessage::BadSession;
    if (cmd == QLatin1String("keepAlive"))
        return BoundMessage::KeepAlive;
    if (cmd == QLatin1String("nodeStatus"))
        return BoundMessage::Status;
    return BoundMessage::Command;
}

bool oxNodeState::applyStatus(const QJsonObject& json)
{
    if (jsonStr(json, QStringLiteral("cmd")) != QLatin1String("nodeStatus"))
        return false;
    server = jsonStr(json, QStringLiteral("server"));
    loginToServer = jsonBool(json, QStringLiteral("loginToServer"));
    const QJsonObject d = json.value(QStringLiteral("data")).toObject();
    workMode = jsonStr(d, QStringLiteral("workMode"));
    modeList = jsonStr(d, QStringLiteral("modeList")).split(QLatin1Char(','), Qt::KeepEmptyParts);
    temperature = jsonInteger(d, QStringLiteral("temperature"));
    runtime = jsonInteger(d, QStringLiteral("runtime"));
    version = jsonStr(d, QStringLiteral("version"));
    alias = jsonStr(d, QStringLiteral("alias"), QStringLiteral("Not Set"));
    pipelist = d.value(QStringLiteral("pipelist")).toArray();
    network = d.value(QStringLiteral("network")).toObject();
    mainIp = jsonStr(network, QStringLiteral("mainIP"));
    return true;
}

QJsonObject oxNodeState::statusObject(bool online) const
{
    return QJsonObject{
        {QStringLiteral("id"), id},
        {QStringLiteral("sn"), sn},
        {QStringLiteral("alias"), alias},
        {QStringLiteral("version"), version},
        {QStringLiteral("server"), server},
        {QStringLiteral("mainIp"), mainIp},
        {QStringLiteral("workMode"), workMode},
        {QStringLiteral("modeList"), QJsonArray::fromStringList(modeList)},
        {QStringLiteral("temperature"), temperature},
        {QStringLiteral("runtime"), runtime},
        {QStringLiteral("loginToServer"), loginToServer},
        {QStringLiteral("online"), online},
        {QStringLiteral("pipelist"), pipelist},
        {QStringLiteral("network"), network},
    };
}

bool oxNodeState::compPropertyInfo(const QJsonObject& data)
{
    const QString compName = jsonStr(data, QStringLiteral("compName"));
    const QString propName = jsonStr(data, QStringLiteral("propName"));
    qCDebug(lcNode, "-->oxNode::compPropertyInfo %s", QJsonDocument(data).toJson(QJsonDocument::Compact).constData());
    compProperties* record = nullptr;
    for (compProperties& c : compList) {
        if (c.compName == compName) {
            record = &c;
            break;
        }
    }
    if (!record) {
        if (compList.size() >= kMaxCachedComponents) {
            qCWarning(lcNode, "property cache of %s full (%d components), dropped \"%s\"", qUtf8Printable(sn),
                      kMaxCachedComponents, qUtf8Printable(compName));
            return false;
        }
        compList.append(compProperties{compName, {}});
        record = &compList.last();
    }
    // Keyed by the property name as the lookup reads it, so that there is
    // never more than one object per name whatever type the node sent.
    QList<QJsonObject>& props = record->propList;
    for (int i = props.size() - 1; i >= 0; --i) {
        if (jsonStr(props.at(i), QStringLiteral("propName")) == propName)
            props.removeAt(i);
    }
    if (props.size() >= kMaxCachedProperties) {
        qCWarning(lcNode, "property cache of %s/%s full (%d properties), dropped \"%s\"", qUtf8Printable(sn),
                  qUtf8Printable(compName), kMaxCachedProperties, qUtf8Printable(propName));
        return false;
    }
    props.append(data);
    return true;
}

QJsonObject oxNodeState::getCompProperties(const QString& compName, const QString& propName) const
{
    for (const compProperties& c : compList) {
        qCDebug(lcNode, "---> oxNode::getCompProperties %s", qUtf8Printable(c.compName));
        if (c.compName != compName)
            continue;
        qCDebug(lcNode, "找到compName: %s", qUtf8Printable(compName));
        for (const QJsonObject& o : c.propList) {
            if (jsonStr(o, QStringLiteral("propName")) == propName)
                return o;
        }
    }
    return QJsonObject();
}
