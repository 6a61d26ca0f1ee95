#include "srtCallers.h"
#include "srtCommon.h"

#include <algorithm>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

int64_t wallClockMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool peerOf(SRTSOCKET s, QString* address, int* port)
{
    sockaddr_storage ss{};
    int len = sizeof ss;
    if (srt_getpeername(s, reinterpret_cast<sockaddr*>(&ss), &len) == SRT_ERROR)
        return false;
    char text[INET6_ADDRSTRLEN] = {};
    if (ss.ss_family == AF_INET) {
        const auto* a = reinterpret_cast<const sockaddr_in*>(&ss);
        inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
        *port = ntohs(a->sin_port);
    } else if (ss.ss_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&ss);
        inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
        *port = ntohs(a->sin6_port);
    } else {
        return false;
    }
    *address = QString::fromLatin1(text);
    return true;
}

} // namespace

void srtCallerBook::accepted(SRTSOCKET s)
{
    callers.push_back({s, wallClockMs()});
    changed = true;
}

void srtCallerBook::gone(SRTSOCKET s)
{
    const auto end = std::remove_if(callers.begin(), callers.end(), [s](const Caller& c) { return c.sock == s; });
    if (end != callers.end()) {
        callers.erase(end, callers.end());
        changed = true;
    }
}

bool srtCallerBook::holds(SRTSOCKET s) const
{
    return std::any_of(callers.begin(), callers.end(), [s](const Caller& c) { return c.sock == s; });
}

void srtCallerBook::attemptEnded()
{
    callers.clear();
    changed = true;
    publish();
}

void srtCallerBook::publishIfDue()
{
    const auto now = std::chrono::steady_clock::now();
    if (!changed && (callers.empty() || now - lastPublish < std::chrono::milliseconds(kRepublishMs)))
        return;
    publish();
}

void srtCallerBook::publish()
{
    auto next = std::make_shared<Snapshot>();
    next->reserve(callers.size());
    // Callers closed by the endpoint itself (a failed send or receive) leave
    // the book here.
    callers.erase(std::remove_if(callers.begin(), callers.end(),
                                 [](const Caller& c) { return oxSrt::isGone(srt_getsockstate(c.sock)); }),
                  callers.end());
    for (const Caller& c : callers) {
        Published p{c.sock, {}};
        if (!peerOf(c.sock, &p.client.address, &p.client.port))
            continue;
        p.client.sinceMs = c.sinceMs;
        SRT_TRACEBSTATS st{};
        if (srt_bstats(c.sock, &st, 0) == 0) {
            p.client.bytesSent = st.byteSentTotal;
            p.client.bytesReceived = st.byteRecvTotal;
            p.client.bytesQueued = st.byteSndBuf > 0 ? static_cast<uint64_t>(st.byteSndBuf) : 0;
            p.client.rttMs = st.msRTT;
            p.client.lossPackets = output ? st.pktSndLossTotal : st.pktRcvLossTotal;
        }
        next->push_back(p);
    }
    publishedCount.store(static_cast<int64_t>(next->size()), std::memory_order_relaxed);
    std::atomic_store(&published, std::shared_ptr<const Snapshot>(std::move(next)));
    changed = false;
    lastPublish = std::chrono::steady_clock::now();
}

std::vector<oxEndpointClient> srtCallerBook::snapshot() const
{
    const std::shared_ptr<const Snapshot> s = std::atomic_load(&published);
    std::vector<oxEndpointClient> out;
    out.reserve(s->size());
    for (const Published& p : *s)
        out.push_back(p.client);
    return out;
}

bool srtCallerBook::requestClose(const QString& address, int port)
{
    const std::shared_ptr<const Snapshot> s = std::atomic_load(&published);
    for (const Published& p : *s) {
        if (p.client.port == port && p.client.address == address) {
            closeRequest.store(p.sock);
            return true;
        }
    }
    return false;
}
