#include "oxTcpClientSocket.h"
#include "nodeServer.h"
#include "service/logging.h"

oxTcpClientSocket::oxTcpClientSocket(oxnet::SocketChannelPtr ch, std::shared_ptr<nodeWire> w, nodeServer* p)
    : channel(std::move(ch))
    , wire(std::move(w))
    , port(p)
{
}

oxTcpClientSocket::~oxTcpClientSocket()
{
    qCDebug(lcNodeFrame, "oxTcpClientSocket::~oxTcpClientSocket !!");
    // Still open at shutdown: closed without reporting to receivers that may be gone.
    channel->close();
}

void oxTcpClientSocket::sendJson(QJsonObject json)
{
    sendFrame(encodeFrame(json));
}

void oxTcpClientSocket::sendFrame(const QByteArray& frame)
{
    channel->write(frame.constData(), static_cast<size_t>(frame.size()));
}

void oxTcpClientSocket::setDiscovery(const QByteArray& frame)
{
    channel->runOnWorker([w = wire, frame] { w->discovery = frame; });
}

void oxTcpClientSocket::close()
{
    if (closed)
        return;
    channel->close();
    disconnect();
    port->retire(this);
}

int oxTcpClientSocket::findStringEnd(const unsigned char* buf, int pos, int len)
{
    return ::findStringEnd(buf, pos, len);
}

void oxTcpClientSocket::markLoggedIn()
{
    wire->loggedIn.store(true, std::memory_order_relaxed);
}

bool oxTcpClientSocket::loginUnderWay(qint64 nowMs) const
{
    const int64_t heard = wire->heardAtMs.load(std::memory_order_relaxed);
    if (heard >= 0 && nowMs - heard < kLoginStallMs)
        return true;
    if (heard < 0 && nowMs - wire->acceptedAtMs < kFirstBytesGraceMs)
        return true;
    // Sent before its worker watched it: the login waits in the kernel.
    return channel->unreadBytes() > 0;
}

void oxTcpClientSocket::deliver(const QJsonObject& json)
{
    if (closed)
        return;
    port->frameOf(this, pElement, json);
}

void oxTcpClientSocket::peerGone()
{
    if (closed)
        return;
    disconnect();
    port->retire(this);
}

void oxTcpClientSocket::disconnect()
{
    if (closed)
        return;
    closed = true;
    port->goneOf(this, pElement);
    qCDebug(lcNodeFrame, "oxTcpClientSocket::disconnect !! %s %d", qUtf8Printable(peerIp()), peerPort());
}
