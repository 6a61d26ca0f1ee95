// Node sessions on TCP and the node command handler. Main thread only: the
// connections, the dispatcher and the heart tick all run there.
#include "oxNode.h"
#include "nodeLiveness.h"
#include "service/opsCounters.h"
#include "service/logLimit.h"
#include "service/logging.h"
#include "service/oxProfile.h"
#include "service/oxServices.h"
#include "oxTcpClientSocket.h"
#include "service/publicFunc.h"

#include <QJsonDocument>

#include <chrono>

namespace {

const QString kCmd = QStringLiteral("cmd");

QJsonObject refusal(const char* msg)
{
    return QJsonObject{{kCmd, QStringLiteral("logout")},
                       {QStringLiteral("results"), QStringLiteral("failed")},
                       {QStringLiteral("msg"), QString::fromUtf8(msg)}};
}

} // namespace

oxNode::oxNode(oxServices* s)
    : services(s)
{
}

oxNode::~oxNode()
{
    if (liveness)
        liveness->forget(this);
}

void oxNode::heard()
{
    if (services)
        services->liveness.heard(this, monotonicMs());
    else
        heardAtMs = monotonicMs();
}

qint64 oxNode::monotonicMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

oxNode* oxNode::createNew(int id, QString sn, oxServices* services)
{
    if (id < 0 || sn.size() < 5 || sn.size() > 16)
        return nullptr;
    auto* n = new oxNode(services);
    n->id = id;
    n->sn = sn;
    if (services)
        n->propertyBudget = services->propertyBudget;
    return n;
}

void oxNode::newTcpConnect(oxTcpClientSocket* c, QJsonObject json)
{
    if (jsonStr(json, kCmd) != QLatin1String("nodeLogin")) {
        opsCounters().count(opsCounters().nodeLoginsRefused);
        c->sendJson(refusal("token error!"));
        c->close();
        return;
    }
    tcpLogin(c, json);
}

void oxNode::tcpLogin(oxTcpClientSocket* c, QJsonObject json)
{
    if (!constantTimeEquals(jsonStr(json, QStringLiteral("token")), services->nodeTokenMd5)) {
        opsCounters().count(opsCounters().nodeLoginsRefused);
        tcpLogout(c);
        return;
    }
    online = true;
    // Universal time: the local one reads the time zone at every login of a storm.
    lastTime = QDateTime::currentDateTimeUtc();
    heard();
    // Random rather than derived from the login time: a time-based token
    // could be guessed by anyone who knows when the node logged in.
    sessionToken = randomToken().toLatin1();
    qCDebug(lcNodeFrame, "设备注册:当前时间 %s token:%s", qUtf8Printable(lastTime.toLocalTime().toString()), sessionToken.constData());
    const int newId = jsonInteger(json, QStringLiteral("id"));
    if (newId != id && !oxProfile::current().nodeKeepsNumber) {
        qCDebug(lcNode, "ID发生变更? new:%d old:%d", newId, id);
        id = newId;
    }
    c->markLoggedIn();
    c->sendJson(QJsonObject{
        {kCmd, QStringLiteral("setToken")},
        {QStringLiteral("results"), QStringLiteral("success")},
        {QStringLiteral("msg"), QStringLiteral("success!")},
        {QStringLiteral("data"),
         QJsonObject{{QStringLiteral("token"), QString::fromLatin1(sessionToken)}, {QStringLiteral("id"), id}, {QStringLiteral("sn"), sn}}},
    });
    resetTcpClient(c);
    opsCounters().count(opsCounters().nodeLogins);
    // Closing a previous connection in resetTcpClient cleared it.
    online = true;
}

void oxNode::tcpLogout(oxTcpClientSocket* c)
{
    c->sendJson(refusal("token error!"));
    const bool bound = (c == client);
    c->close();
    // A refused attempt from some other connection is unauthenticated: it
    // must not knock the node's live session offline.
    if (bound)
        online = false;
}

void oxNode::tcpKeepAlive(QJsonObject)
{
    heard();
    online = true;
    qCDebug(lcNodeFrame, "tcpKeepAlive");
}

void oxNode::resetTcpClient(oxTcpClientSocket* c)
{
    if (c == client)
        return;
    // Its end reaches tcpDisConnect through the node port (oxServices::nodeClientGone).
    if (client) {
        // Its disconnect runs inside close() and clears client and online.
        client->close();
    }
    client = c;
    c->pElement = this;
    c->setDiscovery(discoveryBytes());
}

void oxNode::tcpDisConnect(oxTcpClientSocket* c, void*)
{
    if (c == client) {
        client = nullptr;
        online = false;
        return;
    }
    qCDebug(lcNode, "oxNode::tcpDisConnect 未处理?");
}

void oxNode::processTcpJson(QJsonObject json)
{
    if (!client)
        return;
    switch (classifyBoundMessage(json, sessionToken)) {
    case BoundMessage::Login:
        tcpLogin(client, json);
        break;
    case BoundMessage::BadSession:
        tcpLogout(client);
        break;
    case BoundMessage::KeepAlive:
        tcpKeepAlive(json);
        break;
    case BoundMessage::Status:
        upData(json);
        break;
    case BoundMessage::Command:
        parserJson(json);
        break;
    }
}

void oxNode::setToOffiline()
{
    online = false;
    loginToServer = false;
    if (client)
        tcpLogout(client);
}

const QByteArray& oxNode::discoveryFrame()
{
    static const QByteArray none;
    if (services->localDevCfg || !client)
        return none; // the multicast probe takes its place
    return discoveryBytes();
}

const QByteArray& oxNode::discoveryBytes()
{
    // Every node gets it every second: encoded once.
    if (discovery.isEmpty()) {
        discovery = encodeFrame(QJsonObject{{kCmd, QStringLiteral("discovery")}, {QStringLiteral("sn"), sn}});
        discovery.squeeze(); // kept for the node's life: no room to grow
    }
    return discovery;
}

void oxNode::upData(QJsonObject json)
{
    if (!applyStatus(json))
        return;
    heard();
    online = true;
}

QJsonObject oxNode::getStatus()
{
    return statusObject(online);
}

QJsonObject oxNode::parserJson(QJsonObject json)
{
    const QString cmd = jsonStr(json, kCmd);
    if (cmd == QLatin1String("getCompProperty")) {
        const QJsonObject d = json.value(QStringLiteral("data")).toObject();
        const QJsonObject cached =
            getCompProperties(jsonStr(d, QStringLiteral("compName")), jsonStr(d, QStringLiteral("propName")));
        sendToNode(json); // the node answers with a fresh value for the next query
        return cached;
    }
    if (cmd == QLatin1String("compProperty")) {
        compPropertyInfo(json.value(QStringLiteral("data")).toObject());
        return QJsonObject();
    }
    qCDebug(lcNode, "send to node: %s", qUtf8Printable(logSafeText(QJsonDocument(json).toJson(QJsonDocument::Compact))));
    sendToNode(json);
    return QJsonObject();
}

void oxNode::sendToNode(QJsonObject json)
{
    // A forwarded web request still carries the client's web login token;
    // it must not reach the device, let alone every host on the multicast group.
    json.remove(QStringLiteral("token"));
    if (services->localDevCfg)
        services->sendJsonToLocalDev(json);
    else if (client)
        client->sendJson(json);
}
