#pragma once
// The checks the TCP and oxlat endpoints make against their stream's access
// rules (streamAccess.h). Each endpoint installs them with one call; the SRT
// endpoints have their own gate (srtAccess.h).
#include <netinet/in.h>

#include <functional>

namespace oxnet { class TcpServer; }
class oxStreamType;

// Owner thread, before the server starts: peers outside the allow-list of
// the endpoint's direction are closed at accept.
void guardTcpServer(oxnet::TcpServer& server, oxStreamType* endpoint, bool output, int port);
// Main thread, after the rules changed: closes the connections they refuse.
void closeRefusedTcp(oxnet::TcpServer& server, oxStreamType* endpoint, bool output);

// The filter of a KCP session (session thread): false drops the datagram
// before it touches the session. It keeps the rules it loaded until they change.
std::function<bool(const sockaddr_in&)> kcpPeerFilter(oxStreamType* endpoint, bool output, int port);
