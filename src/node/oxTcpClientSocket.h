#pragma once
// One node connection carrying zero-terminated JSON frames, as the main
// thread sees it. It knows nothing about commands or nodes: the node server
// (nodeServer) frames and parses on the connection's network worker and
// hands each frame here, in order; this object reports frames and the
// disconnect, then deletes itself. Lives on the main thread; sendJson and
// sendFrame may be called from any thread (the channel never blocks).
#include "oxFrames.h"
#include "net/oxTcpServer.h"
#include "service/oxObject.h"

#include <QByteArray>
#include <QJsonObject>

#include <memory>

struct nodeWire;
class nodeServer;

class oxTcpClientSocket : public oxObject
{
    Q_OBJECT
public:
    oxTcpClientSocket(oxnet::SocketChannelPtr channel, std::shared_ptr<nodeWire> wire, QObject* parent = nullptr);
    ~oxTcpClientSocket() override;

    void sendJson(QJsonObject json);         // any thread
    void sendFrame(const QByteArray& frame); // any thread: an encoded frame
    // Main thread: the frame the heart tick sends here (nodeServer::sendDiscovery).
    void setDiscovery(const QByteArray& frame);
    // Main thread. What the kernel takes at once is sent, the rest dropped,
    // and the connection closed; the disconnect (ClientDisConnect) runs
    // before close() returns.
    void close();
    static int findStringEnd(const unsigned char* buf, int pos, int len);
    bool isOpen() const { return !closed; }
    // Main thread, at login: frames up to kMaxFrameBytes from here on
    // (before, kMaxLoginFrameBytes). Set before the reply is sent, so the
    // node's next frame is already read with the large bound.
    void markLoggedIn();
    // A login frame that stops coming in for this long no longer counts as under way.
    static constexpr int kLoginStallMs = 2000;
    // A connection just accepted may have sent nothing yet only because its
    // peer had no time: in a storm the peers themselves run late. It counts
    // as under way this long after the accept.
    static constexpr int kFirstBytesGraceMs = 500;
    // Main thread. Whether the peer is in the middle of sending something:
    // bytes wait unread, or the last ones came in less than kLoginStallMs ago,
    // or it was accepted less than kFirstBytesGraceMs ago.
    bool loginUnderWay(qint64 nowMs) const;
    uint32_t id() const { return channel->id(); }
    const oxnet::SocketChannelPtr& channelPtr() const { return channel; }

    // Main thread, from the node server: one parsed frame, and the end.
    void deliver(const QJsonObject& json);
    void peerGone();

    // From the channel when asked: a copy per connection would cost every node of a fleet.
    QString peerIp() const { return QString::fromStdString(channel->peerIp()); }
    int peerPort = 0;
    void* pElement = nullptr; // set by the node layer once a node logged in here
    nodeServer* port = nullptr; // the server that accepted it (its parent), or null

Q_SIGNALS:
    void ClientDisConnect(oxTcpClientSocket* client, void* parent);
    void revData(oxTcpClientSocket* client, void* pElement, QJsonObject data);

public Q_SLOTS:
    void DisConnect();

private:
    oxnet::SocketChannelPtr channel;
    std::shared_ptr<nodeWire> wire;
    bool closed = false;
};
