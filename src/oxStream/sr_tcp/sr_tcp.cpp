#include "sr_tcp.h"
#include "service/logging.h"
#include "net/oxTcpServer.h"
#include "oxStream.h"
#include "oxStreamBuffers.h"
#include "tcpClientReport.h"
#include "endpointAccess.h"
#include "tcpConnLog.h"

sr_tcp::sr_tcp(int endpointId_, QJsonObject cfg)
{
    port = takeIdentity(endpointId_, QStringLiteral("sr_tcp"), cfg, 10001);

    heartTimer = new QTimer(this);
    connect(heartTimer, &QTimer::timeout, this, &sr_tcp::heartTimerSlots);
    heartTimer->setTimerType(Qt::VeryCoarseTimer); // shares its wake-up with the other streams' ticks
    heartTimer->start(kKeepAliveMs);

    listener = std::make_unique<oxnet::TcpServer>();
    if (listener->createsocket(port, "0.0.0.0") < 0) {
        qCDebug(lcTcp, "========================");
        return;
    }
    listener->onConnection = [this](const oxnet::SocketChannelPtr& ch) {
        logTcpConnection(ch);
        if (!ch->isConnected() && stream)
            stream->publisherGone({publishInput::tcp, ch->id(), nullptr});
    };
    // The chunk is lent to the fan-out in the area it was read into: no copy
    // before it, and outputs queue a big chunk by reference to the area.
    listener->onMessage = [this](const oxnet::SocketChannelPtr& ch, const void* data, size_t len) {
        if (!stream)
            return;
        oxStreamBuf* buf = oxStreamBuf::lendStreamBuf(BUF_STREAM_H265, static_cast<const unsigned char*>(data),
                                                      static_cast<int>(len), ch->sharedReadArea(), this);
        const publishGate::publisher who{publishInput::tcp, ch->id(), ch->peeraddr().c_str()};
        stream->putStream(buf, &who); // deleted there, before the next read
    };
    guardTcpServer(*listener, this, false, port);
    listener->setThreadNum(kWorkerThreads);
    listener->setMaxPerAddress(oxnet::TcpServer::kStreamMaxPerAddress);
    listener->setBulkReads(true); // a fast source is read in big chunks: fewer fan-outs
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

void sr_tcp::accessChanged()
{
    if (listener)
        closeRefusedTcp(*listener, this, false);
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

std::vector<oxEndpointClient> sr_tcp::clientList()
{
    return tcpClientList(listener.get());
}

bool sr_tcp::closeClient(const QString& address, int port)
{
    return tcpCloseClient(listener.get(), address, port);
}

oxEndpointFigures sr_tcp::figures()
{
    return tcpFigures(listener.get());
}
