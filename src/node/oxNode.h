#pragma once
// One remote device, keyed by its serial: its session on a TCP connection
// (login, keep-alive, refusal, rebinding) and its command handler. The status
// fields and the property cache are the oxNodeState base. Main thread only;
// the service owns it once added to its list (oxServices::addNode). Not a
// QObject: a fleet holds one per device, and the object's private part
// would cost each of them about a tenth of what it holds.
#include "oxNodeState.h"

#include <QDateTime>
#include <QJsonObject>

class nodeLiveness;
class oxServices;
class oxTcpClientSocket;

// Nodes one instance is built to hold. The node port's connection cap and
// the packaged unit's descriptor limit are sized from it, with the bounds
// below; nothing assumes the descriptor limit of the machine it runs on.
constexpr int kFleetNodes = 100000;
// Connections accepted but not logged in yet. An honest node sends its login
// as its first frame right after connecting. Past the bound the oldest whose
// login is not under way (nothing sent, or nothing for
// oxTcpClientSocket::kLoginStallMs) is closed to
// make room, so a flood cannot hold the port while a login that is coming in
// is never cut off; when every one of them is under way, accepting waits
// until one logs in or ends, and newcomers wait in the listen backlog. So
// logins are admitted at the rate the service completes them.
constexpr int kMaxPendingLogins = 256;
// Connections the node port holds at once: the whole fleet logged in, and
// the pending logins beside it (a node that reconnects holds its old
// connection until the new login replaces it).
constexpr int kMaxNodeConnections = kFleetNodes + kMaxPendingLogins;
// Descriptors the packaged unit must allow (LimitNOFILE): the node port at
// its cap, the room the stream endpoints' connection caps had before the
// fleet grew, and the reserve the stream ports leave to the rest.
constexpr int kStreamDescriptorRoom = 65536;
constexpr int kStreamFdReserve = 64;
constexpr int kServiceDescriptors = kMaxNodeConnections + kStreamDescriptorRoom + kStreamFdReserve;
// Connections the kernel holds for the node port until they are accepted: a
// whole fleet reconnects at once after a restart or a network cut, and a
// connection dropped from a full backlog retries only seconds later. The
// kernel caps it at net.core.somaxconn.
constexpr int kNodeListenBacklog = 4096;

// Nodes that datagrams may create (nodes that logged in over TCP do not
// count and are never evicted). A local network with more than 2,048 devices
// in one group is far beyond what this service is deployed for; past it the
// longest-silent datagram-created node is dropped to make room.
constexpr int kMaxDatagramNodes = 2048;
// Largest "nodeStatus" datagram. A realistic report is a few hundred bytes
// (a device keeps it within one Ethernet frame to avoid fragmentation);
// 8 KiB leaves room for long pipe lists while 2,048 devices stay near 16 MiB.
constexpr int kMaxStatusDatagramBytes = 8 * 1024;

class oxNode : public oxNodeState
{
public:
    ~oxNode();
    oxNode(const oxNode&) = delete;
    oxNode& operator=(const oxNode&) = delete;
    // Null when id is negative or sn is not 5 to 16 characters long.
    static oxNode* createNew(int id, QString sn, oxServices* services);

    void newTcpConnect(oxTcpClientSocket* client, QJsonObject json);
    void tcpLogin(oxTcpClientSocket* client, QJsonObject json);
    void tcpLogout(oxTcpClientSocket* client);
    void tcpKeepAlive(QJsonObject json);
    void resetTcpClient(oxTcpClientSocket* client);
    void processTcpJson(QJsonObject json);
    void setToOffiline();
    // The heart tick's frame to this node; empty when none is due (local-device
    // mode, where the multicast probe takes its place, or no connection).
    const QByteArray& discoveryFrame();
    // That frame, whatever the mode.
    const QByteArray& discoveryBytes();

    void upData(QJsonObject json);
    QJsonObject getStatus();
    QJsonObject parserJson(QJsonObject json);
    void sendToNode(QJsonObject json);

    // Logged in over TCP at least once: from then on the node belongs to its
    // authenticated sessions, and datagrams neither change nor evict it.
    bool ownedByTcp() const { return !sessionToken.isEmpty(); }
    // Milliseconds on the monotonic clock.
    static qint64 monotonicMs();

    QByteArray sessionToken; // Latin-1 hex: half the size of a QString for every node
    QDateTime lastTime;  // of the last login, in UTC
    // When the node was last heard from (login, keep-alive, status), on the
    // monotonic clock; 0 never. The liveness sweep and the choice of the
    // longest-silent node read it. Set through heard().
    qint64 heardAtMs = 0;
    // Stamps it heard now and puts it at the back of the service's liveness order.
    void heard();
    // Its place in a nodeLiveness order (null: in none).
    nodeLiveness* liveness = nullptr;
    oxNode* heardPrev = nullptr;
    oxNode* heardNext = nullptr;
    bool online = false;
    oxTcpClientSocket* client = nullptr; // bound connection; not owned (its node port deletes it)
    oxServices* services = nullptr;

    void tcpDisConnect(oxTcpClientSocket* client, void* parent);

private:
    explicit oxNode(oxServices* services);

    QByteArray discovery; // made once
};
