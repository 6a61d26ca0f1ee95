// Command dispatcher and web access control. Runs on the main thread: web
// requests are carried here by the web server thread and answered from here.
#include "service/logLimit.h"
#include "service/logging.h"
#include "node/nodeListQuery.h"
#include "node/oxNode.h"
#include "service/oxProfile.h"
#include "service/oxServices.h"
#include "oxStream.h"
#include "service/publicFunc.h"
#include "service/streamClients.h"
#include "service/streamPull.h"
#include "service/streamPublish.h"

#include <QCryptographicHash>
#include <QJsonDocument>

namespace {

constexpr qint64 kWebTokenLifetimeSec = 18000;

QString jsonString(const QJsonObject& o, const char* key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    return v.isString() ? v.toString() : QString();
}

int jsonInt(const QJsonObject& o, const char* key, int def)
{
    const QJsonValue v = o.value(QLatin1String(key));
    return v.isDouble() ? v.toInt(def) : def;
}

// Commands that change the service's own settings or streams (or tell whether
// its credentials are the default ones). Local devices reach the dispatcher
// unauthenticated, so these are refused on that road.
bool isAdministrative(const QString& cmd)
{
    return cmd == QLatin1String("setSystemSet") || cmd == QLatin1String("setWebPassword")
        || cmd == QLatin1String("newStreamServer") || cmd == QLatin1String("deleteStreamServer")
        || cmd == QLatin1String("renameStreamServer") || cmd == QLatin1String("setStreamPull")
        || cmd == QLatin1String("setStreamPublish") || cmd == QLatin1String("switchStreamPublisher")
        || cmd == QLatin1String("setStreamAccess") || cmd == QLatin1String("getAccessWarnings");
}

} // namespace

QJsonObject oxServices::parserJson(QJsonObject json, CmdOrigin origin)
{
    const QString cmd = jsonString(json, "cmd");

    if (origin == CmdOrigin::LocalDevice && isAdministrative(cmd)) {
        qCWarning(lcService, "refused \"%s\" from a local device: not allowed without login",
                  qUtf8Printable(logSafeText(cmd)));
        return QJsonObject();
    }

    if (cmd == QLatin1String("nodeStatus")) {
        const int id = jsonInt(json, "id", 0);
        const QString sn = jsonString(json, "sn");
        oxNode* node = findNode(sn);
        if (!node) {
            node = oxNode::createNew(id, sn, this);
            if (!node) {
                qCDebug(lcService, "Error devices data. %d %s", id, qUtf8Printable(logSafeText(sn)));
                return QJsonObject();
            }
            // Nodes made by a status report share the datagram cap: no login stands behind them either.
            makeRoomForDatagramNode(node, QStringLiteral("a web request"));
            addNode(node);
        }
        node->upData(json);
        return QJsonObject();
    }
    if (cmd == QLatin1String("getNodeList")) {
        if (nodeListQuery::asked(json))
            return nodeListPage(nodes, json);
        return QJsonObject{{QStringLiteral("cmd"), QStringLiteral("nodeList")},
                           {QStringLiteral("msg"), QStringLiteral("success")},
                           {QStringLiteral("data"), getNodelist()}};
    }
    if (cmd == QLatin1String("getNodeSummary"))
        return nodeSummary(nodes);
    if (cmd == QLatin1String("getNodeInfo")) {
        const QJsonObject info = getNodeInfo(jsonString(json, "sn"));
        return QJsonObject{{QStringLiteral("cmd"), QStringLiteral("nodeInfo")},
                           {QStringLiteral("msg"), info.isEmpty() ? QStringLiteral("not find devices") : QStringLiteral("success")},
                           {QStringLiteral("data"), info}};
    }
    if (cmd == QLatin1String("setWebPassword")) {
        if (!constantTimeEquals(jsonString(json, "old"), passMd5)) {
            return QJsonObject{{QStringLiteral("results"), QStringLiteral("failed")},
                               {QStringLiteral("msg"), QStringLiteral("password error！")}};
        }
        password = jsonString(json, "new");
        needSave = true;
        const QJsonObject reply{{QStringLiteral("results"), QStringLiteral("success")},
                                {QStringLiteral("msg"), QStringLiteral("success")}};
        tokenGen();
        clearWebToken();
        return reply;
    }
    if (cmd == QLatin1String("getStreamList")) {
        return QJsonObject{{QStringLiteral("cmd"), QStringLiteral("streamList")},
                           {QStringLiteral("data"), getStreamList()}};
    }
    if (cmd == QLatin1String("getSystemSet")) {
        return QJsonObject{{QStringLiteral("cmd"), QStringLiteral("systemSet")},
                           {QStringLiteral("data"), oxServiceCfg()}};
    }
    if (cmd == QLatin1String("setSystemSet")) {
        const QJsonObject data = json.value(QStringLiteral("data")).toObject();
        if (httpsSettings::named(data))
            return setSystemCfgWithHttps(data);
        if (!data.isEmpty())
            setSystemCfg(data);
        return QJsonObject();
    }
    if (isStreamClientsCommand(cmd))
        return streamClientsCommand(*this, json, origin == CmdOrigin::Web);
    if (cmd == QLatin1String("setStreamAccess"))
        return setStreamAccess(json);
    if (cmd == QLatin1String("getAccessWarnings"))
        return accessWarnings();
    if (cmd == QLatin1String("renameStreamServer") || cmd == QLatin1String("newStreamServer")) {
        // Refused with a reason instead of the silent {} of the other
        // failures: a client cannot otherwise tell why nothing happened.
        const QJsonObject data = json.value(QStringLiteral("data")).toObject();
        const QString why = streamNameRefusal(jsonString(data, "newName"));
        if (!why.isEmpty())
            return QJsonObject{{QStringLiteral("cmd"), cmd},
                               {QStringLiteral("results"), QStringLiteral("failed")},
                               {QStringLiteral("msg"), why}};
    }
    if (cmd == QLatin1String("renameStreamServer")) {
        renameStream(json);
        return QJsonObject();
    }
    if (cmd == QLatin1String("newStreamServer") || cmd == QLatin1String("deleteStreamServer")) {
        if (oxProfile::current().streamCommandsOnCallerThread)
            cmdSlot(json);
        else
            Q_EMIT nonQtCmd(json);
        return QJsonObject();
    }

    if (cmd == QLatin1String("setStreamPull"))
        return streamPull::command(this, json);
    if (cmd == QLatin1String("setStreamPublish"))
        return streamPublish::command(this, json);
    if (cmd == QLatin1String("switchStreamPublisher"))
        return streamPublish::switchCommand(this, json);

    const QString sn = jsonString(json, "sn");
    if (sn.isEmpty())
        return QJsonObject();
    oxNode* node = findNode(sn);
    return node ? node->parserJson(json) : QJsonObject();
}

oxServices::webAnswer oxServices::webAnswerFor(const QJsonObject& request, const QString& peer)
{
    if (jsonString(request, "cmd") == QLatin1String("getNodeList") && !nodeListQuery::asked(request)) {
        const QString token = jsonString(request, "token");
        if (!token.isEmpty() && checkWebToken(token))
            return {QJsonObject(), nodeListText(nodes)};
    }
    return {webRequest(request, peer), QByteArray()};
}

QJsonObject oxServices::webRequest(QJsonObject request)
{
    return webRequest(request, QString());
}

QJsonObject oxServices::webRequest(QJsonObject request, const QString& peer)
{
    const QString token = jsonString(request, "token");
    const QString cmd = jsonString(request, "cmd");
    if (!token.isEmpty()) {
        if (checkWebToken(token))
            return parserJson(request, CmdOrigin::Web);
        return QJsonObject{{QStringLiteral("cmd"), QStringLiteral("logout")},
                           {QStringLiteral("results"), QStringLiteral("failed")},
                           {QStringLiteral("msg"), QStringLiteral("Timeout! please retry!")}};
    }
    if (cmd != QLatin1String("login")) {
        return QJsonObject{{QStringLiteral("cmd"), QStringLiteral("logout")},
                           {QStringLiteral("result"), QStringLiteral("failed")},
                           {QStringLiteral("msg"), QStringLiteral("Token Error!")}};
    }
    const QString pass = jsonString(request, "passMd5");
    const QString user = jsonString(request, "user");
    const int64_t nowMs = logThrottleNowMs();
    const bool waiting = !peer.isEmpty() && loginWaits.mustWait(peer, nowMs);
    const bool passOk = !waiting && constantTimeEquals(pass, passMd5);
    const bool userOk = !waiting && constantTimeEquals(user, username);
    if (!waiting && !peer.isEmpty() && !(passOk && userOk) && loginWaits.failed(peer, nowMs)) {
        static logThrottleKeyed waitLine;
        int64_t held = 0;
        if (waitLine.allow(peer, &held))
            qCWarning(lcService, "%d failed web logins from %s: its logins wait %lld s (%lld more not logged)",
                      loginBackoff::kFailLimit, qUtf8Printable(logSafeText(peer)),
                      static_cast<long long>(loginBackoff::kWaitMs / 1000), static_cast<long long>(held));
    }
    if (passOk && userOk) {
        if (!peer.isEmpty())
            loginWaits.succeeded(peer);
        const QDateTime now = clock();
        purgeExpiredWebTokens(now);
        const QString newToken = randomToken();
        webTokens.insert(newToken, now);
        return QJsonObject{{QStringLiteral("cmd"), QStringLiteral("setToken")},
                           {QStringLiteral("result"), QStringLiteral("success")},
                           {QStringLiteral("msg"), QStringLiteral("Login success!")},
                           {QStringLiteral("token"), newToken}};
    }
    return QJsonObject{{QStringLiteral("cmd"), QStringLiteral("logout")},
                       {QStringLiteral("results"), QStringLiteral("failed")},
                       {QStringLiteral("msg"), QStringLiteral("Token Error!")}};
}

void oxServices::purgeExpiredWebTokens(const QDateTime& now)
{
    for (auto it = webTokens.begin(); it != webTokens.end();) {
        const qint64 age = it.value().secsTo(now);
        if (age > kWebTokenLifetimeSec) {
            qCDebug(lcService, "Token timeout. %lld", static_cast<long long>(age));
            it = webTokens.erase(it);
        } else {
            ++it;
        }
    }
}

bool oxServices::checkWebToken(QString token)
{
    const QDateTime now = clock();
    const QList<QString> keys = webTokens.keys();
    for (const QString& key : keys) {
        const qint64 age = webTokens.value(key).secsTo(now);
        if (age <= kWebTokenLifetimeSec) {
            if (constantTimeEquals(key, token))
                return true;
        } else {
            qCDebug(lcService, "Token timeout. %lld", static_cast<long long>(age));
            webTokens.remove(key);
        }
    }
    return false;
}

void oxServices::clearWebToken()
{
    webTokens.clear();
}

void oxServices::tokenGen()
{
    auto derive = [](const QString& value, const char* label) {
        const QByteArray raw = QCryptographicHash::hash(value.toUtf8(), QCryptographicHash::Md5);
        const QString digest = value.size() == 32 ? value : QString::fromLatin1(raw.toHex());
        qCDebug(lcService, "%s %s %s", label, raw.toHex().constData(), qUtf8Printable(digest));
        return digest;
    };
    passMd5 = derive(password, "PASSWORD MD5:");
    nodeTokenMd5 = derive(nodeToken, "nodeTokenMd5 MD5:");
}
