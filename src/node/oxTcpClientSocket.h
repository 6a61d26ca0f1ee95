#pragma once
// One node connection carrying zero-terminated JSON frames, as the main
// thread sees it. It knows nothing about commands or nodes: the node server
// (nodeServer) frames and parses on the connection's network worker and
// hands each frame here, in order; this object reports frames and the
// disconnect to its port, which deletes it once the event that ended it is
// over. Lives on the main thread; sendJson and sendFrame may be called from
// any thread (the channel never blocks). Not a QObject: a fleet holds one
// per node, and the object's private part would cost each of them more
// than the connection's own fields.
#include "oxFrames.h"
#include "net/oxTcpServer.h"

#include <QByteArray>
#include <QJsonObject>

#include <memory>

struct nodeWire;
class nodeServer;

class oxTcpClientSocket
{
public:
    oxTcpClientSocket(oxnet::SocketChannelPtr channel, std::shared_ptr<nodeWire> wire, nodeServer* port);
    ~oxTcpClientSocket();
    oxTcpClientSocket(const oxTcpClientSocket&) = delete;
    oxTcpClientSocket& operator=(const oxTcpClientSocket&) = delete;

    void sendJson(QJsonObject json);         // any thread
    void sendFrame(const QByteArray& frame); // any thread: an encoded frame
    // Main thread: the frame the heart tick sends here (nodeServer::sendDiscovery).
    void setDiscovery(const QByteArray& frame);
    // Main thread. What the kernel takes at once is sent, the rest dropped,
    // and the connection closed; the port hears of the end before close()
    // returns, and the object is deleted later.
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
    int peerPort() const { return channel->peerPort(); }
    void* pElement = nullptr; // set by the node layer once a node logged in here

private:
    // Reports the end to the port (once).
    void disconnect();

    oxnet::SocketChannelPtr channel;
    std::shared_ptr<nodeWire> wire;
    nodeServer* const port; // the server that accepted it, and deletes it
    bool closed = false;
};
