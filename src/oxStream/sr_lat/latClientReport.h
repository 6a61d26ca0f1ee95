#pragma once
// The client list and figures of the two oxlat endpoints: the one peer of
// their session, from what the session thread publishes (atomics only).
#include "endpointReport.h"
#include "kcp_udp.h"

#include <QHostAddress>

#include <vector>

inline std::vector<oxEndpointClient> latClientList(const kcp_udp* kcp)
{
    kcp_udp::PeerView peer;
    if (!kcp || !kcp->currentPeer(&peer))
        return {};
    oxEndpointClient c;
    c.address = QHostAddress(peer.ipv4).toString();
    c.port = peer.port;
    c.sinceMs = peer.sinceMs;
    c.bytesSent = kcp->sessionBytesSent();
    c.bytesReceived = kcp->sessionBytesReceived();
    c.bytesQueued = static_cast<uint64_t>(kcp->queuedBytesNow());
    c.rttMs = static_cast<double>(kcp->lastRttMs());
    return {c};
}

inline bool latCloseClient(kcp_udp* kcp, const QString& address, int port)
{
    kcp_udp::PeerView peer;
    if (!kcp || !kcp->currentPeer(&peer) || peer.port != port || QHostAddress(peer.ipv4) != QHostAddress(address))
        return false;
    kcp->dropPeer();
    return true;
}

inline oxEndpointFigures latFigures(const kcp_udp* kcp)
{
    oxEndpointFigures f;
    if (!kcp)
        return f;
    kcp_udp::PeerView peer;
    f.clients = kcp->currentPeer(&peer) ? 1 : 0;
    f.bytesSent = kcp->wireBytesSent();
    f.bytesReceived = kcp->wireBytesReceived();
    f.copiesDropped = kcp->messagesDropped();
    f.linkUp = kcp->isReady();
    f.hasLat = true;
    f.hasSendQueue = true;
    f.latRttMs = kcp->lastRttMs();
    f.latRtoMs = kcp->lastRtoMs();
    f.latResent = kcp->lastResent();
    f.latQueue = kcp->lastQueue();
    return f;
}
