#include "endpointAccess.h"
#include "net/oxTcpServer.h"
#include "oxStream.h"
#include "oxStreamType.h"

#include <arpa/inet.h>

namespace {

// A stream not set yet (the endpoint's first microseconds) has no rules.
streamAccess::Rules rulesOf(const oxStreamType* endpoint)
{
    return endpoint->stream ? endpoint->stream->access.rules() : streamAccess::Rules();
}

} // namespace

void guardTcpServer(oxnet::TcpServer& server, oxStreamType* endpoint, bool output, int port)
{
    server.acceptFilter = [endpoint, output, port](const asio::ip::tcp::endpoint& peer) {
        const streamAccess::Rules rules = rulesOf(endpoint);
        if (!rules || rules->allowList(output).isEmpty())
            return true;
        if (peer.address().is_v4() && rules->allows(output, peer.address().to_v4().to_uint()))
            return true;
        asio::error_code ec;
        logAccessRefused("oxtcp", port, QString::fromStdString(peer.address().to_string(ec)),
                         "address not in the allow-list");
        return false;
    };
}

void closeRefusedTcp(oxnet::TcpServer& server, oxStreamType* endpoint, bool output)
{
    const streamAccess::Rules rules = rulesOf(endpoint);
    if (!rules || rules->allowList(output).isEmpty())
        return;
    server.closeUnless([&](const oxnet::SocketChannel& ch) {
        return ch.peerIPv4() != 0 && rules->allows(output, ch.peerIPv4());
    });
}

std::function<bool(const sockaddr_in&)> kcpPeerFilter(oxStreamType* endpoint, bool output, int port)
{
    // Session thread only: the snapshot is reloaded when the generation moves,
    // not for every datagram.
    struct Cache {
        unsigned generation = ~0u;
        streamAccess::Rules rules;
    };
    auto cache = std::make_shared<Cache>();
    return [endpoint, output, port, cache](const sockaddr_in& from) {
        if (!endpoint->stream)
            return true;
        const unsigned g = endpoint->stream->access.generation();
        if (g != cache->generation || !cache->rules) {
            cache->rules = endpoint->stream->access.rules();
            cache->generation = g;
        }
        if (cache->rules->allowList(output).isEmpty() || cache->rules->allows(output, ntohl(from.sin_addr.s_addr)))
            return true;
        logAccessRefused("oxlat", port, ipv4Text(ntohl(from.sin_addr.s_addr)), "address not in the allow-list");
        return false;
    };
}
