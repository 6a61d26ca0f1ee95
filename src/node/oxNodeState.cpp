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

QByteArray compactText(const QJsonDocument& doc, bool empty)
{
    return empty ? QByteArray() : doc.toJson(QJsonDocument::Compact);
}

// A field of the packed report: its length in 7-bit groups, low first, the
// last without the high bit, then its bytes.
void appendField(QByteArray* to, const QByteArray& bytes)
{
    quint32 n = static_cast<quint32>(bytes.size());
    while (n >= 0x80) {
        to->append(static_cast<char>(0x80 | (n & 0x7f)));
        n >>= 7;
    }
    to->append(static_cast<char>(n));
    to->append(bytes);
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

BoundMessage classifyBoundMessage(const QJsonObject& json, const QByteArray& sessionToken)
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
    loginToServer = jsonBool(json, QStringLiteral("loginToServer"));
    const QJsonObject d = json.value(QStringLiteral("data")).toObject();
    temperature = jsonInteger(d, QStringLiteral("temperature"));
    runtime = jsonInteger(d, QStringLiteral("runtime"));
    alias = jsonStr(d, QStringLiteral("alias"), QStringLiteral("Not Set"));
    const QJsonArray pipelist = d.value(QStringLiteral("pipelist")).toArray();
    const QJsonObject network = d.value(QStringLiteral("network")).toObject();
    const QString texts[kTextFields] = {
        jsonStr(d, QStringLiteral("version")),      jsonStr(json, QStringLiteral("server")),
        jsonStr(network, QStringLiteral("mainIP")), jsonStr(d, QStringLiteral("workMode")),
        jsonStr(d, QStringLiteral("modeList")),
    };
    // UTF-8 unless some text would not come back the same from it (a lone
    // surrogate, which JSON escapes allow): then all of them as UTF-16.
    char encoding = kUtf8;
    QByteArray fields[kFields];
    for (int i = 0; i < kTextFields; ++i) {
        fields[i] = texts[i].toUtf8();
        if (QString::fromUtf8(fields[i].constData(), fields[i].size()) != texts[i])
            encoding = kUtf16;
    }
    if (encoding == kUtf16) {
        for (int i = 0; i < kTextFields; ++i)
            fields[i] = QByteArray(reinterpret_cast<const char*>(texts[i].constData()), texts[i].size() * 2);
    }
    fields[Pipelist] = compactText(QJsonDocument(pipelist), pipelist.isEmpty());
    fields[Network] = compactText(QJsonDocument(network), network.isEmpty());
    QByteArray packed;
    int bytes = 1;
    for (const QByteArray& f : fields)
        bytes += f.size() + 5; // 5: the longest length prefix
    packed.reserve(bytes);
    packed.append(encoding);
    for (const QByteArray& f : fields)
        appendField(&packed, f);
    packed.squeeze(); // kept for the node's life: no spare room
    report_ = packed;
    return true;
}

QByteArray oxNodeState::rawField(Field f) const
{
    const int end = report_.size();
    const auto* p = reinterpret_cast<const unsigned char*>(report_.constData());
    int at = 1; // after the encoding
    for (int i = 0; at < end; ++i) {
        quint32 n = 0;
        for (int shift = 0; at < end; shift += 7) {
            const unsigned char b = p[at++];
            n |= static_cast<quint32>(b & 0x7f) << shift;
            if (!(b & 0x80))
                break;
        }
        if (n > static_cast<quint32>(end - at))
            break; // never written so
        if (i == f)
            return report_.mid(at, static_cast<int>(n));
        at += static_cast<int>(n);
    }
    return QByteArray();
}

QString oxNodeState::textField(Field f) const
{
    const QByteArray b = rawField(f);
    if (!report_.isEmpty() && report_.at(0) == kUtf16)
        return QString(reinterpret_cast<const QChar*>(b.constData()), b.size() / 2);
    return QString::fromUtf8(b.constData(), b.size());
}

QStringList oxNodeState::modeList() const
{
    if (report_.isEmpty())
        return QStringList();
    return textField(ModeList).split(QLatin1Char(','), Qt::KeepEmptyParts);
}

QJsonArray oxNodeState::pipelist() const
{
    return QJsonDocument::fromJson(rawField(Pipelist)).array();
}

QJsonObject oxNodeState::network() const
{
    return QJsonDocument::fromJson(rawField(Network)).object();
}

QJsonObject oxNodeState::statusObject(bool online) const
{
    return QJsonObject{
        {QStringLiteral("id"), id},
        {QStringLiteral("sn"), sn},
        {QStringLiteral("alias"), alias},
        {QStringLiteral("version"), version()},
        {QStringLiteral("server"), server()},
        {QStringLiteral("mainIp"), mainIp()},
        {QStringLiteral("workMode"), workMode()},
        {QStringLiteral("modeList"), QJsonArray::fromStringList(modeList())},
        {QStringLiteral("temperature"), temperature},
        {QStringLiteral("runtime"), runtime},
        {QStringLiteral("loginToServer"), loginToServer},
        {QStringLiteral("online"), online},
        {QStringLiteral("pipelist"), pipelist()},
        {QStringLiteral("network"), network()},
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
