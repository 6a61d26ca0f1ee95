// Node sessions on TCP port 8000 and local device discovery over multicast.
// Main thread only: the node server, the connections, the multicast sockets
// and the heart tick all live there, and the dispatcher runs there too.
#include "logging.h"
#include "oxFrames.h"
#include "oxNode.h"
#include "oxServices.h"
#include "oxTcpClientSocket.h"
#include "publicFunc.h"

#include <QJsonDocument>
#include <QNetworkInterface>

#include <netinet/in.h>
#include <sys/socket.h>

namespace {

// A connection that has not logged in by then is closed: a peer that
// connects and says nothing must not hold a descriptor forever.
constexpr int kLoginDeadlineMs = 10000;
// Accepting pauses itself on errors such as descriptor exhaustion.
constexpr int kAcceptRetryMs = 1000;
// A node silent for more than this many whole seconds is logged out.
constexpr qint64 kNodeTimeoutSec = 5;

const QHostAddress kGroup(QStringLiteral("224.2.2.2"));
constexpr quint16 kListenPort = 5533;
constexpr quint16 kDevicePort = 5532;
constexpr int kLoggedDatagramBytes = 256;

QJsonObject refusal(const char* msg)
{
    return QJsonObject{{QStringLiteral("cmd"), QStringLiteral("logout")},
                       {QStringLiteral("results"), QStringLiteral("failed")},
                       {QStringLiteral("msg"), QString::fromUtf8(msg)}};
}

// Datagram bytes for the log: printable ASCII as is, the rest escaped, cut
// short, so that a peer cannot write control sequences into the log.
QByteArray printable(const QByteArray& bytes)
{
    QByteArray out;
    const int n = qMin(bytes.size(), kLoggedDatagramBytes);
    for (int i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes.at(i));
        if (c >= 0x20 && c < 0x7f && c != '\\')
            out.append(static_cast<char>(c));
        else
            out.append("\\x").append(QByteArray::number(c, 16).rightJustified(2, '0'));
    }
    if (bytes.size() > n)
        out.append("...");
    return out;
}

} // namespace

void oxServices::tcpNewConnect()
{
    while (tcpServer->hasPendingConnections()) {
        QTcpSocket* socket = tcpServer->nextPendingConnection();
        // Owned by the service only so that a connection still open at
        // shutdown is deleted; otherwise it deletes itself on disconnect.
        auto* client = new oxTcpClientSocket(socket, this);
        ++nodeConnections;
        qCDebug(lcNode, "TCP New Connect:%s PORT:%d now Count is:%d", qUtf8Printable(client->peerIp),
                client->peerPort, nodeConnections);
        connect(client, &oxTcpClientSocket::revData, this, &oxServices::tcpRevData);
        connect(client, &oxTcpClientSocket::ClientDisConnect, this, [this] { --nodeConnections; });
        QTimer::singleShot(kLoginDeadlineMs, client, [client] {
            if (client->pElement || !client->isOpen())
                return;
            qCDebug(lcNode, "no login from %s:%d within %d s, closing", qUtf8Printable(client->peerIp),
                    client->peerPort, kLoginDeadlineMs / 1000);
            client->close();
        });
    }
}

void oxServices::tcpAcceptError(QAbstractSocket::SocketError)
{
    qCWarning(lcNode, "node port accept error: %s; accepting again in %d ms",
              qUtf8Printable(tcpServer->errorString()), kAcceptRetryMs);
    if (acceptResumePending)
        return;
    acceptResumePending = true;
    QTimer::singleShot(kAcceptRetryMs, this, [this] {
        acceptResumePending = false;
        tcpServer->resumeAccepting();
    });
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
}

void oxServices::nodeTcpConnect(oxTcpClientSocket* client, QJsonObject json)
{
    if (!constantTimeEquals(jsonStr(json, QStringLiteral("token")), nodeTokenMd5)) {
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
            client->sendJson(refusal("Failed to login!"));
            client->close();
            return;
        }
        nodes.append(node);
        qCDebug(lcNode, "New node in %d %s", id, qUtf8Printable(sn));
    }
    node->newTcpConnect(client, json);
}

void oxServices::upNodeOnlineStatus()
{
    const QDateTime now = QDateTime::currentDateTime();
    for (int i = 0; i < nodes.size(); ++i) {
        oxNode* node = nodes.at(i);
        node->nodeDiscovery();
        // An unset lastTime (never seen) is never timed out.
        const qint64 age = node->lastTime.isValid() ? node->lastTime.secsTo(now) : 0;
        if (age > kNodeTimeoutSec)
            node->setToOffiline();
    }
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
    for (oxNode* n : nodes)
        if (n->sn == sn)
            return n;
    return nullptr;
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
        const qint64 n = socket->readDatagram(buffer.data(), buffer.size());
        if (n < 0)
            break; // nothing readable after all: wait for the next readyRead
        udpRev(buffer.data(), static_cast<int>(n), this);
    }
}

void oxServices::udpRev(void* data, int len, void* services)
{
    if (!services || len < 0 || (!data && len > 0))
        return;
    const QByteArray bytes(static_cast<const char*>(data), len);
    QJsonObject object;
    QString error;
    switch (parseFrame(bytes, &object, &error)) {
    case FrameParse::Malformed:
        qCDebug(lcNode, "error socket data: %s", printable(bytes).constData());
        qCDebug(lcNode, "%s", qUtf8Printable(error));
        break;
    case FrameParse::Object:
        // Unauthenticated road: the dispatcher refuses administrative commands on it.
        static_cast<oxServices*>(services)->parserJson(object, CmdOrigin::LocalDevice);
        break;
    case FrameParse::NotObject:
        break;
    }
}

void oxServices::udpSocketClose()
{
    if (auto* socket = qobject_cast<QUdpSocket*>(sender()))
        udpSockets.removeOne(socket);
}
