#include "st_tcp.h"
#include "service/logging.h"
#include "net/oxTcpServer.h"
#include "oxStream.h"
#include "oxStreamBuffers.h"
#include "tcpClientReport.h"
#include "endpointAccess.h"
#include "tcpConnLog.h"

st_tcp::st_tcp(int endpointId_, QJsonObject cfg)
{
    port = takeIdentity(endpointId_, QStringLiteral("st_tcp"), cfg, 10001);

    listener = std::make_unique<oxnet::TcpServer>();
    if (listener->createsocket(port, "0.0.0.0") < 0) {
        qCDebug(lcTcp, "st_tcp::st_tcp 失败：%d", port);
        listener.reset();
        return;
    }
    listener->onConnection = [this](const oxnet::SocketChannelPtr& ch) {
        if (ch->isConnected())
            clientCount.fetch_add(1);
        else
            clientCount.fetch_sub(1);
        logTcpConnection(ch);
    };
    listener->onMessage = [this](const oxnet::SocketChannelPtr&, const void* data, size_t len) {
        revCB(static_cast<unsigned char*>(const_cast<void*>(data)), static_cast<int>(len), this);
    };
    guardTcpServer(*listener, this, true, port);
    listener->setThreadNum(kWorkerThreads);
    listener->setMaxPerAddress(oxnet::TcpServer::kStreamMaxPerAddress);
    // What clients send is ignored: a small read area per client is enough.
    listener->setReadBufSize(kClientReadBufSize);
    if (!listensOnlyWhileStarted)
        listener->start();
}

st_tcp::~st_tcp()
{
    stopped.store(true);
    qCDebug(lcTcp, "TCP PORT: %d close?", port);
    if (listener) {
        listener->stop();
        listener.reset();
    }
}

void st_tcp::start()
{
    url = QStringLiteral("oxtcp://") + stream->getHostName() + QLatin1Char(':') + QString::number(port);
    stopped.store(false);
    if (listensOnlyWhileStarted && listener)
        listener->start();
}

void st_tcp::stop()
{
    stopped.store(true);
    if (listensOnlyWhileStarted && listener)
        listener->stop();
}

void st_tcp::accessChanged()
{
    if (listener)
        closeRefusedTcp(*listener, this, true);
}

QJsonObject st_tcp::getCfg()
{
    return cfgObject(port);
}

QJsonObject st_tcp::getStatus()
{
    QJsonObject o = getCfg();
    linked = listener && listener->connectionNum() > 0;
    o.insert(QStringLiteral("linkStatus"), linked);
    return o;
}

void st_tcp::putBufIn(oxStreamBuf* buf)
{
    const oxStreambuf_t* p = buf ? buf->streamPayload() : nullptr;
    if (!p || !listener)
        return;
    if (sendGate) {
        if (stopped.load(std::memory_order_acquire) || clientCount.load(std::memory_order_relaxed) <= 0)
            return;
        qCDebug(lcTcpSend, "%d tcp send %d", port, p->len);
    }
    listener->broadcast(p->data, static_cast<size_t>(p->len), buf->sharedData);
}

void st_tcp::revCB(unsigned char*, int, void*)
{
}

std::vector<oxEndpointClient> st_tcp::clientList()
{
    return tcpClientList(listener.get());
}

bool st_tcp::closeClient(const QString& address, int port)
{
    return tcpCloseClient(listener.get(), address, port);
}

oxEndpointFigures st_tcp::figures()
{
    return tcpFigures(listener.get());
}
