#pragma once
// Name resolution of a pull source, at every attempt and off the main
// thread. getaddrinfo cannot be interrupted, so a look-up runs on a detached
// thread of its own that shares only a reference-counted result with the
// caller: an endpoint being removed never waits for a slow resolver.
#include <QString>

#include <atomic>
#include <vector>

#include <sys/socket.h>

struct pullAddress {
    sockaddr_storage addr{};
    socklen_t len = 0;
};

namespace pullResolve {

// Look-ups in flight in the whole process; past this an attempt fails at once.
constexpr int kMaxLookupsInFlight = 16;
// Addresses of one name that an attempt tries, in the resolver's order.
constexpr int kMaxAddresses = 4;

// Worker thread. Addresses of host (literal or name) for port, or empty with
// the reason in *why; returns early, empty, when stop is set.
std::vector<pullAddress> lookup(const QString& host, int port, bool datagram, const std::atomic<bool>& stop,
                                QString* why);

// Any thread: loopback, the wildcard, or an address of one of this machine's interfaces.
bool isLocal(const sockaddr* addr);

// "host:port" of an address, numeric.
QString text(const pullAddress& a);

} // namespace pullResolve
