#include "sr_tcp.h"
#include "logging.h"
#include "net/oxTcpServer.h"
#include "oxStream.h"
#include "tcpConnLog.h"

sr_tcp::sr_tcp(int endpointId_, QJsonObject cfg)
{
    port = takeIdentity(endpointId_, QStringLiteral("sr_tcp"), cfg, 10001);

    heartTimer = new QTimer(this);
    connect(heartTimer, &QTimer::timeout, this, &sr_tcp::heartTimerSlots);
    heartTimer->start(kKeepAliveMs);

    listener = std::make_unique<oxnet::TcpServer>();
    if (listener->createsocket(port, "0.0.0.0") < 0) {
        qCDebug(lcTcp, "========================");
        return;
    }
    listener->onConnection = [](const oxnet::SocketChannelPtr& ch) { logTcpConnection(ch); };
    listener->onMessage = [this](const oxnet::SocketChannelPtr&, const void* data, size_t len) {
        revCB(static_cast<unsigned char*>(const_cast<void*>(data)), static_cast<int>(len), this);
    };
    listener->setThreadNum(kWorkerThreads);
    listener->start();
    listening = true;
}

sr_tcp::~sr_tcp()
{
    heartTimer->stop();
    if (listener) {
        listener->closesocket();
        listener->stop();
        listener.reset();
    }
}

void sr_tcp::start()
{
    url = QStringLiteral("oxtcp://") + stream->getHostName() + QLatin1Char(':') + QString::number(port);
}

void sr_tcp::stop()
{
    // Sources stay connected; the stream drops what still arrives.
}

QJsonObject sr_tcp::getCfg()
{
    return cfgObject(port);
}

QJsonObject sr_tcp::getStatus()
{
    QJsonObject o = getCfg();
    o.insert(QStringLiteral("linkStatus"), listening && listener->connectionNum() > 0);
    return o;
}

void sr_tcp::heartTimerSlots()
{
    if (listening)
        listener->broadcast("\n", 1);
}
