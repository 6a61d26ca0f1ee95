#pragma once
// The node list at fleet size: "getNodeList" with a page and filters, and
// "getNodeSummary". A "getNodeList" without any of the page or filter keys
// is answered as it always was. Main thread (the owner of the nodes).
#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

class oxNode;

struct nodeListQuery {
    // Entries of one page at the most: a page stays a quick answer whatever the fleet.
    static constexpr int kMaxLimit = 1000;
    // Longest "match" or "workMode" text.
    static constexpr int kMaxFilterChars = 256;
    // Entries in "hottest" of the summary.
    static constexpr int kHottest = 10;

    int offset = 0;
    int limit = kMaxLimit;
    std::optional<bool> online;
    QString match;  // in the serial or the alias, any letter case
    std::optional<QString> workMode;

    // Whether cmd names a page or a filter.
    static bool asked(const QJsonObject& cmd);
    // False, with the reason, for a bad value.
    static bool parse(const QJsonObject& cmd, nodeListQuery* out, QString* error);
    bool matches(const oxNode& node) const;
};

// {"cmd": "nodeList", "msg": "success", "data": the page, "total": the
// nodes the filters match}, or the refusal with its reason.
QJsonObject nodeListPage(const QList<oxNode*>& nodes, const QJsonObject& cmd);
// The whole list's reply, {"cmd": "nodeList", "data": [...], "msg":
// "success"}, as compact JSON text written node by node: the same bytes as
// serialising the reply object, without first building one array of every
// node (whose every append copies it whole).
QByteArray nodeListText(const QList<oxNode*>& nodes);
// {"cmd": "nodeSummary", "msg": "success", "data": {"online", "offline",
// "byWorkMode", "byVersion", "hottest"}}.
QJsonObject nodeSummary(const QList<oxNode*>& nodes);
