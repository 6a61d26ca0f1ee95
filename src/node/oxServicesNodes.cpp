// Node sessions on TCP port 8000 and local device discovery over multicast.
// Main thread only: the node records, the connection objects, the multicast
// sockets and the heart tick live there, and the dispatcher runs there too.
// The node port's sockets are read on network workers (nodeServer), which
// hand over parsed frames.
#include "service/logLimit.h"
#include "service/logging.h"
#include "oxFrames.h"
#include "oxNode.h"
#include "service/oxServices.h"
#include "service/opsCounters.h"
#include "nodeServer.h"
#include "oxTcpClientSocket.h"
#include "service/publicFunc.h"

#include <QJsonDocument>
#include <QNetworkInterface>

#include <netinet/in.h>
#include <sys/socket.h>

namespace {

// A connection that has not logged in by then is closed: a peer that
// connects and says nothing must not hold a descriptor forever.
constexpr int kLoginDeadlineMs = 10000;
// A node silent for more than this many whole seconds is logged out.
constexpr qint64 kNodeTimeoutSec = 5;

const QHostAddress kGroup(QStringLiteral("224.2.2.2"));
constexpr quint16 kListenPort = 5533;
constexpr quint16 kDevicePort = 5532;

// Refusal lines a peer can repeat at will: one per second and peer.
logThrottleKeyed& datagramLog()
{
    static logThrottleKeyed t;
    return t;
}

QJsonObject refusal(const char* msg)
{
    return QJsonObject{{QStringLiteral("cmd"), QStringLiteral("logout")},
                       {QStringLiteral("results"), QStringLiteral("failed")},
                       {QStringLiteral("msg"), QString::fromUtf8(msg)}};
}

} // namespace

bool oxServices::closeSilentPendingLogin()
{
    // The oldest by accept order: connections reach this thread from two
    // workers, so the list's order is only roughly theirs; channel ids are
    // handed out at accept.
    const qint64 nowMs = oxNode::monotonicMs();
    oxTcpClientSocket* oldest = nullptr;
    for (oxTcpClientSocket* c : qAsConst(pendingLogins)) {
        if ((!oldest || c->id() < oldest->id()) && !c->loginUnderWay(nowMs))
            oldest = c;
    }
    if (!oldest)
        return false;
    static logThrottle crowded;
    int64_t held = 0;
    if (crowded.allow(&held))
        qCWarning(lcNode, "node port: %d connections without login, closing the oldest (%s:%d)"
                          " (%lld held back)",
                  kMaxPendingLogins, qUtf8Printable(oldest->peerIp()), oldest->peerPort(), static_cast<long long>(held));
    oldest->close(); // leaves pendingLogins through its disconnect, which resumes accepting
    return true;
}

// The node server hands over each connection it accepted. Accepting pauses
// by itself while kMaxPendingLogins of them have not logged in.
void oxServices::nodeClientArrived(oxTcpClientSocket* client)
{
    ++nodeConnections;
    qCDebug(lcNodeFrame, "TCP New Connect:%s PORT:%d now Count is:%d", qUtf8Printable(client->peerIp()), client->peerPort(),
            nodeConnections);
    pendingLogins.append(client);
    loginDeadlines.emplace_back(oxNode::monotonicMs() + kLoginDeadlineMs, client->id());
    if (!loginDeadlineTimer->isActive())
        loginDeadlineTimer->start(kLoginDeadlineMs);
}

// The node port reports every frame and end here (not through the client's
// signals, see nodeServer::onFrame).
void oxServices::nodeClientGone(oxTcpClientSocket* client, void* pNode)
{
    --nodeConnections;
    pendingLoginSettled(client);
    if (pNode)
        static_cast<oxNode*>(pNode)->tcpDisConnect(client, pNode);
}

void oxServices::pendingLoginSettled(oxTcpClientSocket* client)
{
    if (pendingLogins.removeOne(client))
        nodePort->loginSettled();
}

// Every connection waits the same time for its login, so accept order is
// deadline order: one timer, armed for the oldest.
void oxServices::closeLateLogins()
{
    const qint64 nowMs = oxNode::monotonicMs();
    while (!loginDeadlines.empty()) {
        const qint64 due = loginDeadlines.front().first;
        if (due > nowMs) {
            loginDeadlineTimer->start(static_cast<int>(due - nowMs));
            return;
        }
        oxTcpClientSocket* const client = nodePort->client(loginDeadlines.front().second);
        loginDeadlines.pop_front();
        if (!client || client->pElement)
            continue;
        static logThrottleKeyed silent;
        int64_t held = 0;
        if (silent.allow(client->peerIp(), &held))
            qCDebug(lcNode, "no login from %s:%d within %d s, closing (%lld held back)", qUtf8Printable(client->peerIp()),
                    client->peerPort(), kLoginDeadlineMs / 1000, static_cast<long long>(held));
        client->close();
    }
}

void oxServices::tcpRevData(oxTcpClientSocket* client, void* pNode, QJsonObject json)
{
    if (pNode) {
        auto* node = static_cast<oxNode*>(pNode);
        if (node->client == client)
            node->processTcpJson(json);
        return;
    }
    oxNode* node = findNode(jsonStr(json, QStringLiteral("sn")));
    if (node)
        node->newTcpConnect(client, json);
    else
        nodeTcpConnect(client, json);
    // A refused connection was closed (and forgotten) inside the calls above.
    if (client->pElement)
        pendingLoginSettled(client);
}

void oxServices::nodeTcpConnect(oxTcpClientSocket* client, QJsonObject json)
{
    if (!constantTimeEquals(jsonStr(json, QStringLiteral("token")), nodeTokenMd5)) {
        opsCounters().count(opsCounters().nodeLoginsRefused);
        client->sendJson(refusal("token error!"));
        client->close();
        return;
    }
    const QString sn = jsonStr(json, QStringLiteral("sn"));
    const int id = jsonInteger(json, QStringLiteral("id"));
    oxNode* node = findNode(sn);
    if (!node) {
        node = oxNode::createNew(id, sn, this);
        if (!node) {
            opsCounters().count(opsCounters().nodeLoginsRefused);
            client->sendJson(refusal("Failed to login!"));
            client->close();
            return;
        }
        addNode(node);
        qCDebug(lcNode, "New node in %d %s", id, qUtf8Printable(logSafeText(sn)));
    }
    node->newTcpConnect(client, json);
}

void oxServices::upNodeOnlineStatus()
{
    // Logins under way a while ago may have stalled since: make room again.
    if (nodePort->waitsForRoom())
        closeSilentPendingLogin();
    // Whole seconds on the monotonic clock: local time would read the time
    // zone for every node, and a clock set back would keep nodes alive. A
    // node never heard from is never timed out.
    liveness.expire(oxNode::monotonicMs(), kNodeTimeoutSec, [](oxNode* node) {
        // Its discovery frame ahead of the logout, as always.
        const QByteArray& frame = node->discoveryFrame();
        if (!frame.isEmpty())
            node->client->sendFrame(frame);
        node->setToOffiline();
    });
    // Every other bound connection's frame is written by the node port's
    // workers: a send per node would keep this thread busy for a large
    // fleet's whole tick.
    if (!localDevCfg)
        nodePort->sendDiscovery();
}

QJsonArray oxServices::getNodelist()
{
    QJsonArray list;
    for (oxNode* n : qAsConst(nodes))
        list.append(n->getStatus());
    return list;
}

QJsonObject oxServices::getNodeInfo(QString sn)
{
    oxNode* n = findNode(sn);
    return n ? n->getStatus() : QJsonObject();
}

oxNode* oxServices::findNode(const QString& sn) const
{
    return nodeBySn.value(sn, nullptr);
}

void oxServices::addNode(oxNode* node)
{
    nodes.append(node);
    nodeBySn.insert(node->sn, node);
}

void oxServices::initMulitcast()
{
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& iface : interfaces) {
        const auto flags = iface.flags();
        if (iface.name().contains(QLatin1String("loopback")) || !(flags & QNetworkInterface::CanMulticast)
            || !(flags & QNetworkInterface::IsUp))
            continue;
        auto* socket = new QUdpSocket(this);
        socket->bind(QHostAddress::AnyIPv4, kListenPort, QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint);
        // A socket bound to the any-address would otherwise receive the group
        // from every interface, and each datagram would be dispatched once
        // per socket: keep to the memberships of this socket.
        const int all = 0;
        if (socket->socketDescriptor() >= 0)
            ::setsockopt(static_cast<int>(socket->socketDescriptor()), IPPROTO_IP, IP_MULTICAST_ALL, &all, sizeof all);
        socket->joinMulticastGroup(kGroup, iface);
        socket->setMulticastInterface(iface);
        connect(socket, &QUdpSocket::readyRead, this, &oxServices::udpProcessPendingDatagram);
        connect(socket, &QUdpSocket::aboutToClose, this, &oxServices::udpSocketClose);
        udpSockets.append(socket);
        qCDebug(lcNode, "Device Discovery Service -> Bind NIC: %s %s", qUtf8Printable(iface.name()),
                qUtf8Printable(iface.humanReadableName()));
    }
}

void oxServices::scanLocalDevlist()
{
    sendJsonToLocalDev(QJsonObject{{QStringLiteral("sn"), QStringLiteral("0")},
                                   {QStringLiteral("cmd"), QStringLiteral("discovery")},
                                   {QStringLiteral("token"), QString()}});
}

void oxServices::sendJsonToLocalDev(QJsonObject json)
{
    const QByteArray bytes = QJsonDocument(json).toJson(QJsonDocument::Compact);
    for (QUdpSocket* s : qAsConst(udpSockets))
        s->writeDatagram(bytes, kGroup, kDevicePort);
}

void oxServices::udpProcessPendingDatagram()
{
    auto* socket = qobject_cast<QUdpSocket*>(sender());
    if (!socket)
        return;
    while (socket->hasPendingDatagrams()) {
        const qint64 size = socket->pendingDatagramSize();
        QByteArray buffer(static_cast<int>(qMax<qint64>(size, 0)), Qt::Uninitialized);
        QHostAddress from;
        quint16 fromPort = 0;
        const qint64 n = socket->readDatagram(buffer.data(), buffer.size(), &from, &fromPort);
        if (n < 0)
            break; // nothing readable after all: wait for the next readyRead
        buffer.truncate(static_cast<int>(n));
        localDeviceDatagram(buffer, from.toString());
    }
}

void oxServices::udpRev(void* data, int len, void* services)
{
    if (!services || len < 0 || (!data && len > 0))
        return;
    static_cast<oxServices*>(services)->localDeviceDatagram(QByteArray(static_cast<const char*>(data), len), QString());
}

// Datagrams are unauthenticated: anyone who can reach port 5533 sends them.
// Only the two reports devices make are taken, and only in local-device
// mode; a command by datagram is never carried on to a node (that would let
// any host drive the devices, and re-send one datagram to the whole group).
void oxServices::localDeviceDatagram(const QByteArray& bytes, const QString& peer)
{
    int64_t held = 0;
    if (!localDevCfg) {
        if (datagramLog().allow(peer, &held))
            qCDebug(lcNode, "local-device mode is off: datagram from %s ignored (%lld held back)",
                    qUtf8Printable(peer), static_cast<long long>(held));
        return;
    }
    QJsonObject object;
    QString error;
    switch (parseFrame(bytes, &object, &error)) {
    case FrameParse::Malformed:
        if (datagramLog().allow(peer, &held)) {
            qCDebug(lcNode, "error socket data: %s", qUtf8Printable(logSafeText(bytes)));
            qCDebug(lcNode, "%s (from %s, %lld held back)", qUtf8Printable(error), qUtf8Printable(peer),
                    static_cast<long long>(held));
        }
        return;
    case FrameParse::NotObject:
        return;
    case FrameParse::Object:
        break;
    }
    const QString cmd = jsonStr(object, QStringLiteral("cmd"));
    if (cmd == QLatin1String("nodeStatus"))
        localDeviceStatus(object, bytes.size(), peer);
    else if (cmd == QLatin1String("compProperty"))
        localDeviceProperty(object, peer);
    else if (datagramLog().allow(peer, &held))
        qCWarning(lcNode, "refused \"%s\" from a local device %s: only status and property reports are taken"
                          " by datagram (%lld held back)",
                  qUtf8Printable(logSafeText(cmd)), qUtf8Printable(peer), static_cast<long long>(held));
}

void oxServices::localDeviceStatus(const QJsonObject& json, int bytes, const QString& peer)
{
    const QString sn = jsonStr(json, QStringLiteral("sn"));
    int64_t held = 0;
    if (bytes > kMaxStatusDatagramBytes) {
        opsCounters().count(opsCounters().nodeFramesRefused);
        if (datagramLog().allow(peer, &held))
            qCWarning(lcNode, "status report of %d bytes for %s from %s refused (at most %d) (%lld held back)",
                      bytes, qUtf8Printable(logSafeText(sn)), qUtf8Printable(peer), kMaxStatusDatagramBytes,
                      static_cast<long long>(held));
        return;
    }
    oxNode* node = findNode(sn);
    if (node && node->ownedByTcp()) {
        if (datagramLog().allow(peer, &held))
            qCWarning(lcNode, "datagram for %s from %s ignored: the node logs in over TCP (%lld held back)",
                      qUtf8Printable(logSafeText(sn)), qUtf8Printable(peer), static_cast<long long>(held));
        return;
    }
    if (!node) {
        const int id = jsonInteger(json, QStringLiteral("id"));
        node = oxNode::createNew(id, sn, this);
        if (!node) {
            if (datagramLog().allow(peer, &held))
                qCDebug(lcService, "Error devices data. %d %s (from %s, %lld held back)", id,
                        qUtf8Printable(logSafeText(sn)), qUtf8Printable(peer), static_cast<long long>(held));
            return;
        }
        makeRoomForDatagramNode(node, peer);
        addNode(node);
    }
    node->upData(json);
}

void oxServices::makeRoomForDatagramNode(const oxNode* newcomer, const QString& peer)
{
    int count = 0;
    int oldest = -1;
    for (int i = 0; i < nodes.size(); ++i) {
        const oxNode* n = nodes.at(i);
        if (n->ownedByTcp())
            continue;
        ++count;
        if (oldest < 0 || n->heardAtMs < nodes.at(oldest)->heardAtMs)
            oldest = i;
    }
    if (count < kMaxDatagramNodes) {
        qCDebug(lcService, "New node in %d %s", newcomer->id, qUtf8Printable(logSafeText(newcomer->sn)));
        return;
    }
    oxNode* gone = nodes.takeAt(oldest);
    nodeBySn.remove(gone->sn);
    static logThrottle full;
    int64_t held = 0;
    if (full.allow(&held))
        qCWarning(lcNode, "%d nodes from datagrams: %s (silent %lld s) dropped for %s from %s (%lld held back)",
                  kMaxDatagramNodes, qUtf8Printable(logSafeText(gone->sn)),
                  static_cast<long long>((oxNode::monotonicMs() - gone->heardAtMs) / 1000),
                  qUtf8Printable(logSafeText(newcomer->sn)), qUtf8Printable(peer), static_cast<long long>(held));
    delete gone; // nothing else holds a datagram node: no connection was ever bound to it
}

void oxServices::localDeviceProperty(const QJsonObject& json, const QString& peer)
{
    oxNode* node = findNode(jsonStr(json, QStringLiteral("sn")));
    if (!node)
        return;
    if (node->ownedByTcp()) {
        int64_t held = 0;
        if (datagramLog().allow(peer, &held))
            qCWarning(lcNode, "datagram for %s from %s ignored: the node logs in over TCP (%lld held back)",
                      qUtf8Printable(logSafeText(node->sn)), qUtf8Printable(peer), static_cast<long long>(held));
        return;
    }
    node->compPropertyInfo(json.value(QStringLiteral("data")).toObject());
}

void oxServices::udpSocketClose()
{
    if (auto* socket = qobject_cast<QUdpSocket*>(sender()))
        udpSockets.removeOne(socket);
}
