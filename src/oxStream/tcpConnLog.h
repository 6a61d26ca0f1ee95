#pragma once
// Connection logger shared by the TCP endpoints; runs on the Asio worker thread.
#include "service/logging.h"
#include "net/oxTcpServer.h"

inline void logTcpConnection(const oxnet::SocketChannelPtr& ch)
{
    if (ch->isConnected())
        qCDebug(lcTcp, "%s connected! connfd=%d id=%d tid=%ld", ch->peeraddr().c_str(), ch->fd(),
                static_cast<int>(ch->id()), ch->loopTid());
    else
        qCDebug(lcTcp, "%s disconnected! connfd=%d id=%d tid=%ld", ch->peeraddr().c_str(), ch->fd(),
                static_cast<int>(ch->id()), ch->loopTid());
}
