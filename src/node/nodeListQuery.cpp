#include "nodeListQuery.h"
#include "oxNode.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <climits>
#include <vector>

namespace {

const QString kOffset = QStringLiteral("offset");
const QString kLimit = QStringLiteral("limit");
const QString kOnline = QStringLiteral("online");
const QString kMatch = QStringLiteral("match");
const QString kWorkMode = QStringLiteral("workMode");

// A whole number within [min, max] under key, or nullopt.
std::optional<int> wholeNumber(const QJsonValue& v, int min, int max)
{
    if (!v.isDouble())
        return std::nullopt;
    const double d = v.toDouble();
    if (d < min || d > max || d != static_cast<double>(static_cast<long long>(d)))
        return std::nullopt;
    return static_cast<int>(d);
}

QJsonObject refusal(const QString& cmd, const QString& why)
{
    return QJsonObject{{QStringLiteral("cmd"), cmd},
                       {QStringLiteral("results"), QStringLiteral("failed")},
                       {QStringLiteral("msg"), why}};
}

} // namespace

bool nodeListQuery::asked(const QJsonObject& cmd)
{
    return cmd.contains(kOffset) || cmd.contains(kLimit) || cmd.contains(kOnline) || cmd.contains(kMatch)
        || cmd.contains(kWorkMode);
}

bool nodeListQuery::parse(const QJsonObject& cmd, nodeListQuery* out, QString* error)
{
    nodeListQuery q;
    if (cmd.contains(kOffset)) {
        const std::optional<int> v = wholeNumber(cmd.value(kOffset), 0, INT_MAX);
        if (!v) {
            *error = QStringLiteral("offset must be a whole number of at least 0");
            return false;
        }
        q.offset = *v;
    }
    if (cmd.contains(kLimit)) {
        const std::optional<int> v = wholeNumber(cmd.value(kLimit), 1, kMaxLimit);
        if (!v) {
            *error = QStringLiteral("limit must be a whole number from 1 to %1").arg(kMaxLimit);
            return false;
        }
        q.limit = *v;
    }
    if (cmd.contains(kOnline)) {
        if (!cmd.value(kOnline).isBool()) {
            *error = QStringLiteral("online must be true or false");
            return false;
        }
        q.online = cmd.value(kOnline).toBool();
    }
    for (const QString& key : {kMatch, kWorkMode}) {
        if (!cmd.contains(key))
            continue;
        const QJsonValue v = cmd.value(key);
        if (!v.isString() || v.toString().size() > kMaxFilterChars) {
            *error = QStringLiteral("%1 must be a text of at most %2 characters").arg(key).arg(kMaxFilterChars);
            return false;
        }
        if (key == kMatch)
            q.match = v.toString();
        else
            q.workMode = v.toString();
    }
    *out = q;
    return true;
}

bool nodeListQuery::matches(const oxNode& node) const
{
    if (online && node.online != *online)
        return false;
    if (workMode && node.workMode() != *workMode)
        return false;
    return match.isEmpty() || node.sn.contains(match, Qt::CaseInsensitive)
        || node.alias.contains(match, Qt::CaseInsensitive);
}

QJsonObject nodeListPage(const QList<oxNode*>& nodes, const QJsonObject& cmd)
{
    const QString reply = QStringLiteral("nodeList");
    nodeListQuery q;
    QString error;
    if (!nodeListQuery::parse(cmd, &q, &error))
        return refusal(reply, error);
    QJsonArray page;
    int total = 0;
    for (oxNode* n : nodes) {
        if (!q.matches(*n))
            continue;
        if (total >= q.offset && total - q.offset < q.limit)
            page.append(n->getStatus());
        ++total;
    }
    return QJsonObject{{QStringLiteral("cmd"), reply},
                       {QStringLiteral("msg"), QStringLiteral("success")},
                       {QStringLiteral("data"), page},
                       {QStringLiteral("total"), total}};
}

QJsonObject nodeSummary(const QList<oxNode*>& nodes)
{
    int online = 0;
    QHash<QString, int> byWorkMode;
    QHash<QString, int> byVersion;
    std::vector<oxNode*> hottest;
    hottest.reserve(nodeListQuery::kHottest + 1);
    // Hotter first; of equal ones, the earlier in the list.
    const auto hotter = [](const oxNode* a, const oxNode* b) { return a->temperature > b->temperature; };
    for (oxNode* n : nodes) {
        online += n->online ? 1 : 0;
        ++byWorkMode[n->workMode()];
        ++byVersion[n->version()];
        if (static_cast<int>(hottest.size()) < nodeListQuery::kHottest || hotter(n, hottest.back())) {
            hottest.insert(std::upper_bound(hottest.begin(), hottest.end(), n, hotter), n);
            if (static_cast<int>(hottest.size()) > nodeListQuery::kHottest)
                hottest.pop_back();
        }
    }
    const auto counts = [](const QHash<QString, int>& h) {
        QJsonObject o;
        for (auto it = h.begin(); it != h.end(); ++it)
            o.insert(it.key(), it.value());
        return o;
    };
    QJsonArray hot;
    for (oxNode* n : hottest)
        hot.append(n->getStatus());
    return QJsonObject{{QStringLiteral("cmd"), QStringLiteral("nodeSummary")},
                       {QStringLiteral("msg"), QStringLiteral("success")},
                       {QStringLiteral("data"),
                        QJsonObject{{QStringLiteral("online"), online},
                                    {QStringLiteral("offline"), static_cast<int>(nodes.size()) - online},
                                    {QStringLiteral("byWorkMode"), counts(byWorkMode)},
                                    {QStringLiteral("byVersion"), counts(byVersion)},
                                    {QStringLiteral("hottest"), hot}}}};
}

QByteArray nodeListText(const QList<oxNode*>& nodes)
{
    QByteArray out;
    out.reserve(64 + nodes.size() * 512);
    out += "{\"cmd\":\"nodeList\",\"data\":[";
    for (int i = 0; i < nodes.size(); ++i) {
        if (i > 0)
            out += ',';
        out += QJsonDocument(nodes.at(i)->getStatus()).toJson(QJsonDocument::Compact);
    }
    out += "],\"msg\":\"success\"}";
    return out;
}
