#pragma once
// One remote device, keyed by its serial: its session on a TCP connection
// (login, keep-alive, refusal, rebinding) and its command handler. The status
// fields and the property cache are the oxNodeState base. Main thread only;
// the service owns it as a Qt child.
#include "oxNodeState.h"
#include "service/oxObject.h"

#include <QDateTime>
#include <QJsonObject>

class oxServices;
class oxTcpClientSocket;

// Connections accepted but not logged in yet. An honest node sends its login
// as its first frame right after connecting, so even a whole fleet
// reconnecting after a restart has few at any moment (the listen backlog
// admits 50 at a time). Past the bound the oldest is closed to make room:
// a flood cannot hold the port, and an honest login, which takes
// milliseconds, is only cut off if 256 strangers connect in that time.
constexpr int kMaxPendingLogins = 256;

// Nodes that datagrams may create (nodes that logged in over TCP do not
// count and are never evicted). A local network with more than 2,048 devices
// in one group is far beyond what this service is deployed for; past it the
// longest-silent datagram-created node is dropped to make room.
constexpr int kMaxDatagramNodes = 2048;
// Largest "nodeStatus" datagram. A realistic report is a few hundred bytes
// (a device keeps it within one Ethernet frame to avoid fragmentation);
// 8 KiB leaves room for long pipe lists while 2,048 devices stay near 16 MiB.
constexpr int kMaxStatusDatagramBytes = 8 * 1024;

class oxNode : public oxObject, public oxNodeState
{
    Q_OBJECT
public:
    ~oxNode() override;
    // Null when id is negative or sn is not 5 to 16 characters long.
    static oxNode* createNew(int id, QString sn, oxServices* services);

    void newTcpConnect(oxTcpClientSocket* client, QJsonObject json);
    void tcpLogin(oxTcpClientSocket* client, QJsonObject json);
    void tcpLogout(oxTcpClientSocket* client);
    void tcpKeepAlive(QJsonObject json);
    void resetTcpClient(oxTcpClientSocket* client);
    void processTcpJson(QJsonObject json);
    void setToOffiline();
    void nodeDiscovery();

    void upData(QJsonObject json);
    QJsonObject getStatus();
    QJsonObject parserJson(QJsonObject json);
    void sendToNode(QJsonObject json);

    // Logged in over TCP at least once: from then on the node belongs to its
    // authenticated sessions, and datagrams neither change nor evict it.
    bool ownedByTcp() const { return !sessionToken.isEmpty(); }
    // Monotonic milliseconds of lastTime, for picking the longest-silent node.
    static qint64 monotonicMs();

    QString sessionToken;
    QDateTime lastTime;
    qint64 heardAtMs = 0;
    bool online = false;
    oxTcpClientSocket* client = nullptr; // bound connection; not owned (it deletes itself)
    oxServices* services = nullptr;

public Q_SLOTS:
    void tcpDisConnect(oxTcpClientSocket* client, void* parent);

private:
    explicit oxNode(oxServices* services);
};
