// libFuzzer target: whatever a peer can send to an oxlat session, in either
// role, mixed with what the owner does (queueing messages, passes of the
// update loop, heart ticks). The session runs without socket or thread:
// datagrams go straight to its datagram handling and on into ikcp_input,
// and what it sends fails quietly on the closed socket.
//
// An input is a script. Byte 0 picks the role (bit 0: calling role); then
// records of [op][length, 2 bytes little-endian][payload]:
//   op 0  datagram from peer A, as given
//   op 1  datagram from peer A with the session's conversation number
//         written into every segment header it holds (so that segments get
//         past the conversation check without guessing it)
//   op 2  datagram from peer B, as given
//   op 3  kcp_send of the payload
//   op 4  one pass of the loop; the payload's first two bytes advance the clock (ms)
//   op 5  one heart tick
// After every record the bounds the session promises are checked.
#include "ikcp.h"
#include "sr_lat/kcp_udp.h"

#include <QLoggingCategory>

#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

struct kcpUdpFuzzAccess {
    static constexpr uint32_t kConv = 0x11223344;

    static void openSession(kcp_udp& s)
    {
        if (s.conv.load() == 0)
            s.conv.store(kConv);
        ikcpcb* kc = s.newControlBlock();
        kc->current = 1000;
        s.replyKnown = false;
        s.peerKnown.store(s.isClient);
        s.sessionLive.store(true);
        std::lock_guard<std::mutex> g(s.stateLock);
        s.kcp = kc;
    }
    // False when the session ended (conversation adopted); a new one is built.
    static void datagram(kcp_udp& s, const char* data, int len, const sockaddr_in& from)
    {
        if (!s.takeDatagram(data, len, from)) {
            s.Close(0);
            openSession(s);
        }
    }
    static void pass(kcp_udp& s, uint32_t advanceMs)
    {
        s.feedQueue();
        s.deliverMessages();
        std::lock_guard<std::mutex> g(s.stateLock);
        const IUINT32 now = s.kcp->current + advanceMs;
        ikcp_update(s.kcp, now);
        const IINT32 wait = ikcp_idle_wait(s.kcp, now);
        if (wait < -1)
            std::abort();
    }
    static void check(kcp_udp& s)
    {
        std::lock_guard<std::mutex> g(s.stateLock);
        const ikcpcb* k = s.kcp;
        // The fragments of one message (frg is 8 bits) may pass the bound.
        if (k->nrcv_bytes > k->rcv_bytes_max + 256 * (IKCP_SEG_DATA_MAX + 128))
            std::abort();
        if (k->rx_rto > static_cast<IINT32>(IKCP_RTO_MAX) || k->rx_rto < 0 || k->rx_srtt < 0)
            std::abort();
    }
    static std::string conv(kcp_udp& s)
    {
        const uint32_t c = s.conv.load();
        return std::string{static_cast<char>(c), static_cast<char>(c >> 8), static_cast<char>(c >> 16),
                           static_cast<char>(c >> 24)};
    }
};

namespace {

sockaddr_in peer(uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// Writes the conversation number into each segment header, following the
// length fields as the receiver will.
void stampConv(std::string& d, const std::string& conv)
{
    size_t at = 0;
    while (d.size() - at >= IKCP_OVERHEAD) {
        d.replace(at, 4, conv);
        uint32_t len;
        std::memcpy(&len, d.data() + at + 20, 4);
        at += IKCP_OVERHEAD;
        if (len > d.size() - at)
            break;
        at += len;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The session's debug line at every destruction would cost more than the run.
    QLoggingCategory::setFilterRules(QStringLiteral("oxnode.kcp.debug=false"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const bool calling = data[0] & 1;
    // Port 0: nothing is bound; the socket stays closed, so sends fail quietly.
    kcp_udp s(QString::fromLatin1(calling ? "127.0.0.1" : "0.0.0.0"), 0, 150);
    uint64_t delivered = 0;
    s.onMessage = [&delivered](unsigned char* d, int32_t n, void*) {
        for (int32_t i = 0; i < n; ++i)
            delivered += d[i]; // reads every byte handed out
    };
    kcpUdpFuzzAccess::openSession(s);
    const sockaddr_in a = peer(1001), b = peer(1002);

    size_t at = 1;
    while (size - at >= 3) {
        const uint8_t op = data[at] % 6;
        size_t len = data[at + 1] | (static_cast<size_t>(data[at + 2]) << 8);
        at += 3;
        if (len > size - at)
            len = size - at;
        std::string payload(reinterpret_cast<const char*>(data + at), len);
        at += len;
        switch (op) {
        case 0:
            kcpUdpFuzzAccess::datagram(s, payload.data(), static_cast<int>(payload.size()), a);
            break;
        case 1:
            stampConv(payload, kcpUdpFuzzAccess::conv(s));
            kcpUdpFuzzAccess::datagram(s, payload.data(), static_cast<int>(payload.size()), a);
            break;
        case 2:
            kcpUdpFuzzAccess::datagram(s, payload.data(), static_cast<int>(payload.size()), b);
            break;
        case 3:
            s.kcp_send(payload.data(), static_cast<int>(payload.size()));
            break;
        case 4:
            kcpUdpFuzzAccess::pass(s, len >= 2 ? (static_cast<uint8_t>(payload[0]) | (static_cast<uint8_t>(payload[1]) << 8)) : 1);
            break;
        case 5:
            s.heartTimerSlots();
            break;
        }
        kcpUdpFuzzAccess::check(s);
    }
    return 0;
}
