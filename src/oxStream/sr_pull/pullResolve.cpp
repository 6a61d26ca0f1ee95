#include "pullResolve.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>

namespace pullResolve {

namespace {

std::atomic<int> inFlight{0};

// Shared by the caller and the look-up thread; whichever leaves last frees it.
struct Lookup {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    int rc = 0;
    std::vector<pullAddress> result;
};

void run(const std::shared_ptr<Lookup>& l, const QByteArray& host, const QByteArray& service, bool datagram,
         bool numericOnly)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = datagram ? SOCK_DGRAM : SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (numericOnly ? AI_NUMERICHOST : 0);
    addrinfo* res = nullptr;
    const int rc = getaddrinfo(host.constData(), service.constData(), &hints, &res);
    std::vector<pullAddress> out;
    for (addrinfo* a = rc == 0 ? res : nullptr; a && out.size() < size_t(kMaxAddresses); a = a->ai_next) {
        pullAddress p;
        std::memcpy(&p.addr, a->ai_addr, a->ai_addrlen);
        p.len = a->ai_addrlen;
        out.push_back(p);
    }
    if (res)
        freeaddrinfo(res);
    std::lock_guard<std::mutex> g(l->lock);
    l->rc = rc;
    l->result = std::move(out);
    l->finished = true;
    l->done.notify_all();
}

bool sameAddress(const sockaddr* a, const sockaddr* b)
{
    if (a->sa_family != b->sa_family)
        return false;
    if (a->sa_family == AF_INET)
        return reinterpret_cast<const sockaddr_in*>(a)->sin_addr.s_addr
            == reinterpret_cast<const sockaddr_in*>(b)->sin_addr.s_addr;
    return std::memcmp(&reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr,
                       &reinterpret_cast<const sockaddr_in6*>(b)->sin6_addr, sizeof(in6_addr))
        == 0;
}

} // namespace

std::vector<pullAddress> lookup(const QString& host, int port, bool datagram, const std::atomic<bool>& stop,
                                QString* why)
{
    const QByteArray h = host.toUtf8();
    const QByteArray service = QByteArray::number(port);
    auto l = std::make_shared<Lookup>();
    // A literal address needs no resolver and cannot block.
    run(l, h, service, datagram, true);
    if (l->rc == 0)
        return l->result;
    if (stop.load()) {
        *why = QStringLiteral("stopped");
        return {};
    }
    if (inFlight.fetch_add(1) >= kMaxLookupsInFlight) {
        inFlight.fetch_sub(1);
        *why = QStringLiteral("too many name look-ups in progress");
        return {};
    }
    l = std::make_shared<Lookup>();
    std::thread([l, h, service, datagram] {
        run(l, h, service, datagram, false);
        inFlight.fetch_sub(1);
    }).detach();
    std::unique_lock<std::mutex> g(l->lock);
    while (!l->finished) {
        if (stop.load()) {
            *why = QStringLiteral("stopped");
            return {};
        }
        l->done.wait_for(g, std::chrono::milliseconds(100));
    }
    if (l->rc != 0 || l->result.empty()) {
        *why = QStringLiteral("cannot resolve %1: %2").arg(host, QString::fromLocal8Bit(gai_strerror(l->rc)));
        return {};
    }
    return l->result;
}

bool isLocal(const sockaddr* addr)
{
    if (addr->sa_family == AF_INET) {
        const uint32_t a = ntohl(reinterpret_cast<const sockaddr_in*>(addr)->sin_addr.s_addr);
        if ((a >> 24) == 127 || a == INADDR_ANY)
            return true;
    } else if (addr->sa_family == AF_INET6) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr;
        if (IN6_IS_ADDR_LOOPBACK(&a) || IN6_IS_ADDR_UNSPECIFIED(&a))
            return true;
        if (IN6_IS_ADDR_V4MAPPED(&a)) {
            sockaddr_in v4{};
            v4.sin_family = AF_INET;
            std::memcpy(&v4.sin_addr, &a.s6_addr[12], 4);
            return isLocal(reinterpret_cast<const sockaddr*>(&v4));
        }
    } else {
        return false;
    }
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    bool local = false;
    for (ifaddrs* i = list; i && !local; i = i->ifa_next)
        local = i->ifa_addr && sameAddress(i->ifa_addr, addr);
    freeifaddrs(list);
    return local;
}

QString text(const pullAddress& a)
{
    char host[INET6_ADDRSTRLEN + 2] = "";
    int port = 0;
    if (a.addr.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&a.addr);
        inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
        port = ntohs(v4->sin_port);
        return QStringLiteral("%1:%2").arg(QLatin1String(host)).arg(port);
    }
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&a.addr);
    inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
    port = ntohs(v6->sin6_port);
    return QStringLiteral("[%1]:%2").arg(QLatin1String(host)).arg(port);
}

} // namespace pullResolve
