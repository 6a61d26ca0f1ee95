#include "publishPolicy.h"

#include <QJsonArray>

namespace {

const char* const kInputNames[kPublishInputs] = {"sr_tcp", "sr_oxdp", "sr_lat", "sr_pull"};
const char* const kModeNames[] = {"all", "single", "failover"};

// A whole number of ms in [lo, hi]; *error says why not.
bool readMs(const QJsonObject& data, const char* key, int lo, int hi, int* out, QString* error)
{
    const QJsonValue v = data.value(QLatin1String(key));
    if (v.isUndefined())
        return true;
    const double d = v.toDouble(-1);
    if (!v.isDouble() || d != static_cast<double>(static_cast<int64_t>(d)) || d < lo || d > hi) {
        *error = QStringLiteral("%1 must be a whole number of ms from %2 to %3").arg(QLatin1String(key)).arg(lo).arg(hi);
        return false;
    }
    *out = static_cast<int>(d);
    return true;
}

} // namespace

const char* publishPolicy::inputName(publishInput in)
{
    return kInputNames[static_cast<int>(in)];
}

const char* publishPolicy::modeName(Mode m)
{
    return kModeNames[static_cast<int>(m)];
}

int publishPolicy::rankOf(publishInput in) const
{
    for (int i = 0; i < priorityCount; ++i) {
        if (priority[static_cast<size_t>(i)] == in)
            return i;
    }
    return -1;
}

publishPolicy publishPolicy::fromJson(const QJsonObject& data, QString* error)
{
    publishPolicy p;
    error->clear();
    for (auto it = data.begin(); it != data.end(); ++it) {
        static const char* const known[] = {"mode", "priority", "lossMs", "returnMs", "atKeyframe"};
        bool ok = false;
        for (const char* k : known)
            ok = ok || it.key() == QLatin1String(k);
        if (!ok) {
            *error = QStringLiteral("unknown key: %1").arg(it.key().left(64));
            return p;
        }
    }
    const QJsonValue mode = data.value(QStringLiteral("mode"));
    if (!mode.isUndefined()) {
        bool found = false;
        for (int m = 0; m < 3; ++m) {
            if (mode.isString() && mode.toString() == QLatin1String(kModeNames[m])) {
                p.mode = static_cast<Mode>(m);
                found = true;
            }
        }
        if (!found) {
            *error = QStringLiteral("mode must be \"all\", \"single\" or \"failover\"");
            return p;
        }
    }
    const QJsonValue prio = data.value(QStringLiteral("priority"));
    if (!prio.isUndefined()) {
        const QJsonArray a = prio.toArray();
        if (!prio.isArray() || a.isEmpty() || a.size() > kPublishInputs) {
            *error = QStringLiteral("priority must list 1 to 4 of \"sr_tcp\", \"sr_oxdp\", \"sr_lat\", \"sr_pull\"");
            return p;
        }
        p.priorityCount = 0;
        for (const QJsonValue& v : a) {
            int found = -1;
            for (int i = 0; i < kPublishInputs; ++i) {
                if (v.isString() && v.toString() == QLatin1String(kInputNames[i]))
                    found = i;
            }
            if (found < 0) {
                *error = QStringLiteral("priority: unknown input (use \"sr_tcp\", \"sr_oxdp\", \"sr_lat\", \"sr_pull\")");
                return p;
            }
            if (p.rankOf(static_cast<publishInput>(found)) >= 0) {
                *error = QStringLiteral("priority: %1 listed twice").arg(QLatin1String(kInputNames[found]));
                return p;
            }
            p.priority[static_cast<size_t>(p.priorityCount++)] = static_cast<publishInput>(found);
        }
    }
    if (!readMs(data, "lossMs", kMinLossMs, kMaxLossMs, &p.lossMs, error)
        || !readMs(data, "returnMs", 0, kMaxReturnMs, &p.returnMs, error))
        return p;
    const QJsonValue kf = data.value(QStringLiteral("atKeyframe"));
    if (!kf.isUndefined()) {
        if (!kf.isBool()) {
            *error = QStringLiteral("atKeyframe must be true or false");
            return p;
        }
        p.atKeyframe = kf.toBool();
    }
    return p;
}

QJsonObject publishPolicy::toJson() const
{
    QJsonArray prio;
    for (int i = 0; i < priorityCount; ++i)
        prio.append(QLatin1String(inputName(priority[static_cast<size_t>(i)])));
    return QJsonObject{{QStringLiteral("mode"), QLatin1String(modeName(mode))},
                       {QStringLiteral("priority"), prio},
                       {QStringLiteral("lossMs"), lossMs},
                       {QStringLiteral("returnMs"), returnMs},
                       {QStringLiteral("atKeyframe"), atKeyframe}};
}

bool publishPolicy::operator==(const publishPolicy& o) const
{
    if (mode != o.mode || priorityCount != o.priorityCount || lossMs != o.lossMs || returnMs != o.returnMs
        || atKeyframe != o.atKeyframe)
        return false;
    for (int i = 0; i < priorityCount; ++i) {
        if (priority[static_cast<size_t>(i)] != o.priority[static_cast<size_t>(i)])
            return false;
    }
    return true;
}
