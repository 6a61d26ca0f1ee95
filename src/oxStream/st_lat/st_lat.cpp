#include "st_lat.h"
#include "endpointAccess.h"
#include "sr_lat/kcp_udp.h"
#include "sr_lat/latClientReport.h"
#include "oxStream.h"
#include "oxStreamBuffers.h"

#include <cstdio>

st_lat::st_lat(int endpointId_, QJsonObject cfg)
{
    port = takeIdentity(endpointId_, QStringLiteral("st_lat"), cfg, 10001);
    kcp.reset(kcp_udp::createSocket(QStringLiteral("0.0.0.0"), port, kMinRto));
    kcp->onMessage = &st_lat::revCB;
    kcp->userData = this;
    kcp->acceptPeer = kcpPeerFilter(this, true, port);
}

st_lat::~st_lat()
{
    gateOpen.store(false);
    kcp.reset();
}

void st_lat::start()
{
    if (port < 100 || port > 65535) {
        std::printf("监听端口不正确:%d \n", port);
        std::fflush(stdout);
        return;
    }
    const QString host = stream ? stream->getHostName() : QStringLiteral("host.name.error");
    url = QStringLiteral("oxlat://") + host + QLatin1Char(':') + QString::number(port);
    kcp->start();
    gateOpen.store(true);
}

void st_lat::stop()
{
    gateOpen.store(false);
}

void st_lat::accessChanged()
{
    kcp->recheckPeer();
}

QJsonObject st_lat::getCfg()
{
    return cfgObject(port);
}

QJsonObject st_lat::getStatus()
{
    QJsonObject o = kcp->getStatus();
    o.insert(QStringLiteral("id"), endpointId);
    o.insert(QStringLiteral("type"), type);
    o.insert(QStringLiteral("name"), name);
    o.insert(QStringLiteral("url"), url);
    o.insert(QStringLiteral("linkStatus"), kcp->isReady());
    return o;
}

void st_lat::putBufIn(oxStreamBuf* buf)
{
    const oxStreambuf_t* p = buf ? buf->streamPayload() : nullptr;
    if (!p || !gateOpen.load(std::memory_order_acquire))
        return;
    // A copy that can never be sent is only discarded later (the next session
    // empties the queue, a peer-less backlog ends the session), and at relay
    // rates making it costs more than the whole TCP path.
    if (!kcp->canReachPeer())
        return;
    kcp->kcp_send(p->data, p->len); // copied into the session's queue
}

void st_lat::revCB(unsigned char*, int, void*)
{
}

std::vector<oxEndpointClient> st_lat::clientList()
{
    return latClientList(kcp.get());
}

bool st_lat::closeClient(const QString& address, int port)
{
    return latCloseClient(kcp.get(), address, port);
}

oxEndpointFigures st_lat::figures()
{
    return latFigures(kcp.get());
}
