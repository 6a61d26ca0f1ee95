#include "sr_lat.h"
#include "endpointAccess.h"
#include "kcp_udp.h"
#include "latClientReport.h"
#include "oxStream.h"

#include <cstdio>

sr_lat::sr_lat(int endpointId_, QJsonObject cfg)
{
    port = takeIdentity(endpointId_, QStringLiteral("sr_lat"), cfg, -1);
    kcp.reset(kcp_udp::createSocket(QStringLiteral("0.0.0.0"), port, kMinRto));
    // Runs on the session thread; the stream's fan-out takes it from there.
    kcp->onMessage = &oxStreamType::revCB;
    kcp->userData = this;
    kcp->acceptPeer = kcpPeerFilter(this, false, port);
}

sr_lat::~sr_lat()
{
    if (heartTimer)
        heartTimer->stop();
    kcp.reset(); // waits for the session thread, which may be inside putStream
}

void sr_lat::start()
{
    const QString host = stream ? stream->getHostName() : QStringLiteral("host.name.error");
    url = QStringLiteral("oxlat://") + host + QLatin1Char(':') + QString::number(port) + QStringLiteral("?minirto=50");
    if (port < 100 || port > 65535) {
        std::printf("监听端口不正确:%d \n", port);
        std::fflush(stdout);
        return;
    }
    kcp->start();
    if (!heartTimer) {
        heartTimer = new QTimer(this);
        connect(heartTimer, &QTimer::timeout, this, &sr_lat::heartTimerSlots);
        heartTimer->setTimerType(Qt::VeryCoarseTimer); // shares its wake-up with the other streams' ticks
        heartTimer->start(1000);
    }
    stopRequested.store(false);
}

void sr_lat::stop()
{
    stopRequested.store(true);
}

void sr_lat::accessChanged()
{
    kcp->recheckPeer();
}

QJsonObject sr_lat::getCfg()
{
    return cfgObject();
}

QJsonObject sr_lat::getStatus()
{
    QJsonObject o = kcp->getStatus();
    o.insert(QStringLiteral("id"), endpointId);
    o.insert(QStringLiteral("type"), type);
    o.insert(QStringLiteral("name"), name);
    o.insert(QStringLiteral("url"), url);
    return o;
}

void sr_lat::heartTimerSlots()
{
    // The session keeps its own heart tick; nothing to do here.
}

std::vector<oxEndpointClient> sr_lat::clientList()
{
    return latClientList(kcp.get());
}

bool sr_lat::closeClient(const QString& address, int port)
{
    return latCloseClient(kcp.get(), address, port);
}

oxEndpointFigures sr_lat::figures()
{
    return latFigures(kcp.get());
}
