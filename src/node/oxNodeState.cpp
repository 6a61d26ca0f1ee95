#include "oxNodeState.h"
#include "service/logLimit.h"
#include "service/logging.h"
#include "service/publicFunc.h"

#include <QJsonDocument>

#include <cmath>
#include <limits>

namespace {

qint64 reportBytes(const QJsonObject& o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact).size();
}

// Refusals a device can repeat at will: one line per second and node.
logThrottleKeyed& cacheFullLog()
{
    static logThrottleKeyed t;
    return t;
}

// Kept for as long as the node: no spare capacity.
QByteArray compactText(const QJsonDocument& doc, bool empty)
{
    if (empty)
        return QByteArray();
    QByteArray text = doc.toJson(QJsonDocument::Compact);
    text.squeeze();
    return text;
}

} // namespace

oxNodeState::~oxNodeState()
{
    if (propertyBudget)
        propertyBudget->used -= propertyBytes_;
}

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
    const QJsonArray pipelist = d.value(QStringLiteral("pipelist")).toArray();
    pipelistText = compactText(QJsonDocument(pipelist), pipelist.isEmpty());
    const QJsonObject network = d.value(QStringLiteral("network")).toObject();
    networkText = compactText(QJsonDocument(network), network.isEmpty());
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
        {QStringLiteral("pipelist"), QJsonDocument::fromJson(pipelistText).array()},
        {QStringLiteral("network"), QJsonDocument::fromJson(networkText).object()},
    };
}

bool oxNodeState::compPropertyInfo(const QJsonObject& data)
{
    const QString compName = jsonStr(data, QStringLiteral("compName"));
    const QString propName = jsonStr(data, QStringLiteral("propName"));
    const QByteArray text = QJsonDocument(data).toJson(QJsonDocument::Compact);
    qCDebug(lcNodeFrame, "-->oxNode::compPropertyInfo %s", qUtf8Printable(logSafeText(text)));
    auto refuse = [&](const char* why) {
        int64_t held = 0;
        if (cacheFullLog().allow(sn, &held))
            qCWarning(lcNode, "property cache of %s: %s, dropped %s/%s (%lld held back)",
                      qUtf8Printable(logSafeText(sn)), why, qUtf8Printable(logSafeText(compName)),
                      qUtf8Printable(logSafeText(propName)), static_cast<long long>(held));
        return false;
    };
    compProperties* record = nullptr;
    for (compProperties& c : compList) {
        if (c.compName == compName) {
            record = &c;
            break;
        }
    }
    if (!record && compList.size() >= kMaxCachedComponents)
        return refuse("too many components");
    // Keyed by the property name as the lookup reads it, so that there is
    // never more than one object per name whatever type the node sent.
    int replaced = -1;
    qint64 freed = 0;
    if (record) {
        const QList<QJsonObject>& props = record->propList;
        for (int i = 0; i < props.size(); ++i) {
            if (jsonStr(props.at(i), QStringLiteral("propName")) == propName) {
                replaced = i;
                freed = reportBytes(props.at(i));
                break;
            }
        }
        if (replaced < 0 && props.size() >= kMaxCachedProperties)
            return refuse("too many properties");
    }
    const qint64 added = text.size();
    if (propertyBytes_ - freed + added > kMaxPropertyBytesPerNode)
        return refuse("node's byte bound reached");
    if (propertyBudget && propertyBudget->used - freed + added > propertyBudget->limit)
        return refuse("byte bound of all nodes reached");
    if (!record) {
        compList.append(compProperties{compName, {}});
        record = &compList.last();
    }
    if (replaced >= 0)
        record->propList.removeAt(replaced);
    record->propList.append(data);
    propertyBytes_ += added - freed;
    if (propertyBudget)
        propertyBudget->used += added - freed;
    return true;
}

QJsonObject oxNodeState::getCompProperties(const QString& compName, const QString& propName) const
{
    for (const compProperties& c : compList) {
        qCDebug(lcNodeFrame, "---> oxNode::getCompProperties %s", qUtf8Printable(logSafeText(c.compName)));
        if (c.compName != compName)
            continue;
        qCDebug(lcNodeFrame, "找到compName: %s", qUtf8Printable(logSafeText(compName)));
        for (const QJsonObject& o : c.propList) {
            if (jsonStr(o, QStringLiteral("propName")) == propName)
                return o;
        }
    }
    return QJsonObject();
}
