#pragma once
// The client list and figures of the two TCP endpoints, from their server's
// client registry and counters (never from the broadcast's channel lock).
#include "endpointReport.h"
#include "net/oxTcpServer.h"

#include <QString>

#include <vector>

inline std::vector<oxEndpointClient> tcpClientList(const oxnet::TcpServer* server)
{
    std::vector<oxEndpointClient> out;
    if (!server)
        return out;
    for (const oxnet::TcpServer::ClientInfo& c : server->clients()) {
        oxEndpointClient e;
        e.address = QString::fromStdString(c.ip);
        e.port = c.port;
        e.sinceMs = c.sinceMs;
        e.bytesSent = c.bytesSent;
        e.bytesReceived = c.bytesReceived;
        e.bytesQueued = c.bytesQueued;
        out.push_back(e);
    }
    return out;
}

inline bool tcpCloseClient(oxnet::TcpServer* server, const QString& address, int port)
{
    return server && server->closeClient(address.toStdString(), port);
}

inline oxEndpointFigures tcpFigures(const oxnet::TcpServer* server)
{
    oxEndpointFigures f;
    if (!server)
        return f;
    f.clients = static_cast<int64_t>(server->openClients());
    server->byteTotals(&f.bytesSent, &f.bytesReceived);
    f.closedAtWriteLimit = server->closedAtWriteLimit();
    f.linkUp = f.clients > 0;
    f.hasWriteLimit = true;
    return f;
}
