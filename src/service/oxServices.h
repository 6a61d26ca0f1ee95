#pragma once
// The service object: settings, node server, nodes, streams, web tokens and
// the one-second heart tick. It lives on the main thread and all of its state
// is touched only there: web requests are carried to the main thread before
// they reach webRequest/parserJson.
#include "access/loginBackoff.h"
#include "node/nodeLiveness.h"
#include "node/oxNodeState.h"
#include "oxObject.h"
#include "web/httpsSettings.h"

#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QTimer>
#include <QUdpSocket>

#include <deque>
#include <functional>
#include <utility>

class oxNode;
class oxStream;
class oxTcpClientSocket;
class nodeServer;

class oxServices : public oxObject
{
    Q_OBJECT
public:
    // Where a command to the dispatcher came from: web clients are
    // authenticated by webRequest, local devices (multicast) are not.
    enum class CmdOrigin { Web, LocalDevice };

    explicit oxServices(QObject* parent = nullptr);
    ~oxServices() override;

    void start();
    // Orderly end: writes a pending save, stops and deletes every stream.
    void shutdown();
    // Writes both files when a change is pending (heart tick, SIGHUP,
    // shutdown). The change stays pending until both are on disk.
    void saveIfNeeded();

    // Settings (appcfg.json)
    void loadCfg();
    bool saveCfg();
    QJsonObject oxServiceCfg();
    void setSystemCfg(QJsonObject cfg);
    // "setSystemSet" naming an HTTPS key: the whole command or nothing.
    QJsonObject setSystemCfgWithHttps(const QJsonObject& data);

    // Stream registry (stream.json)
    void loadStream();
    bool saveStream();
    QJsonArray getStreamList();
    int getUseableStreamID();
    bool checkStreamIdUsable(int id);

    // Command dispatcher and web access control
    QJsonObject parserJson(QJsonObject json, CmdOrigin origin = CmdOrigin::Web);
    QJsonObject webRequest(QJsonObject request);
    // The same from a client at peer (its address): failed logins from one
    // address make it wait (loginBackoff).
    QJsonObject webRequest(QJsonObject request, const QString& peer);
    // A reply as the web port sends it: the object, or its compact JSON text
    // when that is written straight from the records (the whole node list).
    struct webAnswer {
        QJsonObject object;
        QByteArray text;
    };
    webAnswer webAnswerFor(const QJsonObject& request, const QString& peer);
    // Main thread: may this client read /metrics? Failed Basic credentials
    // count towards the same back-off as failed web logins.
    bool metricsAllowed(const QString& peer, bool loopback, const QByteArray& authorization);
    // "setStreamAccess": who may publish into and watch one stream.
    QJsonObject setStreamAccess(const QJsonObject& json);
    // "getAccessWarnings": whether the web password or node token is still the default.
    QJsonObject accessWarnings() const;
    // At start: one warning line per default credential still in use.
    void warnDefaultCredentials() const;
    void tokenGen();
    bool checkWebToken(QString token);
    void clearWebToken();

    // Node sessions and status
    void nodeTcpConnect(oxTcpClientSocket* client, QJsonObject json);
    void upNodeOnlineStatus();
    QJsonArray getNodelist();
    QJsonObject getNodeInfo(QString sn);
    oxNode* findNode(const QString& sn) const;
    void addNode(oxNode* node);

    // Live node connections (accepted, not yet deleted), for the log.
    int nodeConnections = 0;
    // Connections that have not logged in yet, in about accept order (bounded).
    QList<oxTcpClientSocket*> pendingLogins;
    // The nodes that can time out, oldest heard first.
    nodeLiveness liveness;
    // Property cache bytes of all nodes.
    std::shared_ptr<oxPropertyBudget> propertyBudget = std::make_shared<oxPropertyBudget>();
    // Connections without login by the time they must have logged in
    // (monotonic ms), in accept order: one timer serves them all.
    std::deque<std::pair<qint64, uint32_t>> loginDeadlines; // connection ids (oxTcpClientSocket::id)

    // Local device discovery (multicast)
    void initMulitcast();
    void scanLocalDevlist();
    void sendJsonToLocalDev(QJsonObject json);
    static void udpRev(void* data, int len, void* services);
    // One datagram from a local device; peer names the sender in log lines.
    void localDeviceDatagram(const QByteArray& bytes, const QString& peer);

    // Clock used for web token ages; tests replace it.
    std::function<QDateTime()> clock = [] { return QDateTime::currentDateTime(); };

    QString username = QStringLiteral("admin");
    QString password = QStringLiteral("73519046");
    QString nodeToken = QStringLiteral("73519046");
    bool localDevCfg = true;
    QString nicName;
    QString serverIP;
    int webPort = 8001;
    httpsSettings https;
    QString passMd5;
    QString nodeTokenMd5;
    QHash<QString, QDateTime> webTokens;
    QList<QUdpSocket*> udpSockets;
    QList<oxNode*> nodes;
    // By serial: every status report looks its node up, thousands a second on a big fleet.
    QHash<QString, oxNode*> nodeBySn;
    QList<oxStream*> streams;
    nodeServer* nodePort = nullptr;
    QTimer* loginDeadlineTimer = nullptr;
    QTimer* heartTimer = nullptr;
    bool needSave = false;

Q_SIGNALS:
    void nonQtCmd(QJsonObject json);
    // The HTTPS certificate or key path changed: the web server reloads them.
    void httpsCertificateChanged();

public Q_SLOTS:
    void nodeClientArrived(oxTcpClientSocket* client);
    void tcpRevData(oxTcpClientSocket* client, void* pNode, QJsonObject json);
    void heartTimerSlots();
    void udpProcessPendingDatagram();
    void udpSocketClose();
    void cmdSlot(QJsonObject cmd);

private:
    // Closes the oldest connection without login whose login is not under way; false when there is none.
    bool closeSilentPendingLogin();
    // A connection left the pending logins (logged in or ended).
    void pendingLoginSettled(oxTcpClientSocket* client);
    // A node connection ended (pNode: the node that logged in on it, or null).
    void nodeClientGone(oxTcpClientSocket* client, void* pNode);
    void closeLateLogins();
    void localDeviceStatus(const QJsonObject& json, int bytes, const QString& peer);
    void localDeviceProperty(const QJsonObject& json, const QString& peer);
    void makeRoomForDatagramNode(const oxNode* newcomer, const QString& peer);
    void createStream(const QString& newName);
    // Why name cannot be a stream's name (too long); empty when it can.
    static QString streamNameRefusal(const QString& name);
    void deleteStream(int id);
    void renameStream(const QJsonObject& cmd);
    void noteFileSaved(const QString& file, bool ok, const QString& error, bool tightened);
    void purgeExpiredWebTokens(const QDateTime& now);
    bool shutDown = false;
    loginBackoff loginWaits;
    // Set from a failed save until both files are written again; the log
    // says when a run of failures starts and ends, not every retry.
    bool saveFailing = false;
};
