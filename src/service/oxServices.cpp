// Service spine: construction, start, the one-second heart tick, settings
// (appcfg.json) and orderly shutdown. Main thread only.
#include "oxServices.h"
#include "logging.h"
#include "node/nodeServer.h"
#include "node/oxTcpClientSocket.h"
#include "node/oxNode.h"
#include "oxStream.h"
#include "publicFunc.h"

#include <QJsonDocument>

#include <utility>

namespace {
const QString kCfgFile = QStringLiteral("appcfg.json");
constexpr quint16 kNodePort = 8000;
constexpr int kHeartMs = 1000;
constexpr int kWebPortMin = 80;
constexpr int kWebPortMax = 65530;
// The stream port plan, 8010 + 20·N up to 8021 + 20·N for stream IDs 0 to 100.
constexpr int kStreamPortFirst = 8010;
constexpr int kStreamPortLast = 8021 + 20 * 100;

// A web port the service opens itself would stop the next start.
bool webPortAllowed(int port)
{
    if (port < kWebPortMin || port > kWebPortMax)
        return false;
    return port != kNodePort && (port < kStreamPortFirst || port > kStreamPortLast);
}
// The HTTPS port came later: it may sit between the streams' ports, on none of them.
bool httpsPortAllowed(int port)
{
    if (port < kWebPortMin || port > kWebPortMax || port == kNodePort)
        return false;
    if (port < kStreamPortFirst || port > kStreamPortLast)
        return true;
    const int offset = (port - kStreamPortFirst) % 20;
    return offset != 0 && offset != 1 && offset != 10 && offset != 11;
}
} // namespace

oxServices::oxServices(QObject* parent)
    : oxObject(parent)
{
    loadCfg();
    tokenGen();

    nodePort = new nodeServer(this);
    if (!nodePort->listen(kNodePort, kNodeListenBacklog, kMaxNodeConnections, kMaxPendingLogins))
        qCDebug(lcService, "Listening TCP port error：%s", qUtf8Printable(nodePort->errorString()));
    connect(nodePort, &nodeServer::newClient, this, &oxServices::nodeClientArrived);
    nodePort->onFrame = [this](oxTcpClientSocket* c, void* pNode, const QJsonObject& json) {
        tcpRevData(c, pNode, json);
    };
    nodePort->onGone = [this](oxTcpClientSocket* c, void* pNode) { nodeClientGone(c, pNode); };
    connect(nodePort, &nodeServer::roomWanted, this, [this] { closeSilentPendingLogin(); });
    loginDeadlineTimer = new QTimer(this);
    loginDeadlineTimer->setSingleShot(true);
    connect(loginDeadlineTimer, &QTimer::timeout, this, &oxServices::closeLateLogins);

    heartTimer = new QTimer(this);
    connect(heartTimer, &QTimer::timeout, this, &oxServices::heartTimerSlots);

    // Queued even though the dispatcher runs on this thread: a web client's
    // reply is produced before its stream is created or deleted.
    connect(this, &oxServices::nonQtCmd, this, &oxServices::cmdSlot, Qt::QueuedConnection);

    loadStream();
}

oxServices::~oxServices()
{
    shutdown();
    // The port is stopped: no frame or end reaches a node any more.
    nodeBySn.clear();
    qDeleteAll(std::exchange(nodes, {}));
}

void oxServices::start()
{
    warnDefaultCredentials();
    if (localDevCfg)
        initMulitcast();
    heartTimer->start(kHeartMs);
    nodePort->start();
    const QList<oxStream*> snapshot = streams;
    for (oxStream* s : snapshot)
        s->start();
}

void oxServices::shutdown()
{
    if (shutDown)
        return;
    shutDown = true;
    if (heartTimer)
        heartTimer->stop();
    // No node frame reaches the nodes while they are torn down.
    if (nodePort)
        nodePort->stop();
    saveIfNeeded();
    if (needSave)
        qCWarning(lcService, "ending with a change that could not be saved");
    const QList<oxStream*> snapshot = streams;
    streams.clear();
    for (oxStream* s : snapshot) {
        s->stop();
        delete s;
    }
}

void oxServices::heartTimerSlots()
{
    if (localDevCfg)
        scanLocalDevlist();
    upNodeOnlineStatus();
    saveIfNeeded();
}

void oxServices::saveIfNeeded()
{
    if (!needSave)
        return;
    // Both are tried even when the first fails: each file is replaced whole or not at all.
    const bool cfgSaved = saveCfg();
    const bool streamsSaved = saveStream();
    if (!cfgSaved || !streamsSaved)
        return;  // still pending: tried again at the next tick
    needSave = false;
    if (saveFailing) {
        saveFailing = false;
        qCWarning(lcService, "saved appcfg.json and stream.json again: the pending change is on disk");
    }
}

void oxServices::noteFileSaved(const QString& file, bool ok, const QString& error, bool tightened)
{
    if (ok) {
        if (tightened)
            qCWarning(lcService, "%s could be read by other users; it is now readable by its owner only", qUtf8Printable(file));
        return;
    }
    needSave = true;
    if (!saveFailing) {
        saveFailing = true;
        qCWarning(lcService, "cannot save %s: %s; the change is kept in memory and retried every second",
                  qUtf8Printable(file), qUtf8Printable(error));
    }
}

void oxServices::loadCfg()
{
    const QJsonObject cfg = readJsonFile(kCfgFile);
    auto str = [&cfg](const char* key, const QString& def) {
        const QJsonValue v = cfg.value(QLatin1String(key));
        return v.isString() ? v.toString() : def;
    };
    username = str("username", QStringLiteral("admin"));
    password = str("password", QStringLiteral("73519046"));
    nodeToken = str("nodeToken", QStringLiteral("73519046"));
    const QJsonValue dev = cfg.value(QStringLiteral("localDevCfg"));
    localDevCfg = dev.isBool() ? dev.toBool() : true;
    nicName = str("nicName", QString());
    serverIP = str("serverIP", QString());
    const QJsonValue port = cfg.value(QStringLiteral("webPort"));
    webPort = port.isDouble() ? port.toInt() : 8001;
    https = httpsSettings::fromJson(cfg);
    if (cfg.isEmpty())
        saveCfg();
}

bool oxServices::saveCfg()
{
    QJsonObject o = oxServiceCfg();
    o.insert(QStringLiteral("password"), password);
    o.insert(QStringLiteral("nodeToken"), nodeToken);
    QString error;
    bool tightened = false;
    const bool ok = saveJsonToFile(o, kCfgFile, &error, &tightened);
    noteFileSaved(kCfgFile, ok, error, tightened);
    if (ok)
        qCDebug(lcService, "SAVE CONFIGURE!!");
    return ok;
}

QJsonObject oxServices::oxServiceCfg()
{
    QJsonObject o{
        {QStringLiteral("localDevCfg"), localDevCfg},
        {QStringLiteral("nicName"), nicName},
        {QStringLiteral("serverIP"), serverIP},
        {QStringLiteral("username"), username},
        {QStringLiteral("webPort"), webPort},
    };
    https.addTo(&o);
    return o;
}

void oxServices::setSystemCfg(QJsonObject cfg)
{
    const QJsonValue ipValue = cfg.value(QStringLiteral("serverIP"));
    const QString ip = ipValue.isString() ? ipValue.toString() : QString();
    if (ip.isEmpty())
        return;
    const QJsonValue portValue = cfg.value(QStringLiteral("webPort"));
    const int port = portValue.isDouble() ? portValue.toInt() : 0;
    if (!webPortAllowed(port) || (https.port != 0 && port == https.port))
        return;
    const QJsonValue dev = cfg.value(QStringLiteral("localDevCfg"));
    localDevCfg = dev.isBool() ? dev.toBool() : false;
    serverIP = ip;
    webPort = port;
    qCDebug(lcService, " new Setting is: %s",
            QJsonDocument(oxServiceCfg()).toJson(QJsonDocument::Compact).constData());
    needSave = true;
}

QJsonObject oxServices::setSystemCfgWithHttps(const QJsonObject& data)
{
    const auto reply = [](bool ok, const QString& msg) {
        return QJsonObject{{QStringLiteral("cmd"), QStringLiteral("setSystemSet")},
                           {QStringLiteral("results"), ok ? QStringLiteral("success") : QStringLiteral("failed")},
                           {QStringLiteral("msg"), msg}};
    };
    const QJsonValue nextPort = data.value(QStringLiteral("webPort"));
    const int webPortNext = nextPort.isDouble() ? nextPort.toInt() : webPort;
    httpsSettings next = https;
    QString error;
    if (!next.update(data, &httpsPortAllowed, webPort, webPortNext, &error))
        return reply(false, error);
    const bool filesChanged = next.cert != https.cert || next.key != https.key;
    https = next;
    needSave = true;
    setSystemCfg(data);
    qCDebug(lcService, "HTTPS settings: port %d, certificate %s", https.port,
            https.cert.isEmpty() ? "made by the service" : qUtf8Printable(https.cert));
    if (filesChanged)
        Q_EMIT httpsCertificateChanged();
    return reply(true, QStringLiteral("success"));
}
