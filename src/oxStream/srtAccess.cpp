#include "srtAccess.h"
#include "service/logging.h"
#include "oxStream.h"
#include "oxStreamType.h"
#include "srtCommon.h"
#include "sr_pull/pullChain.h"

#include <srt/access_control.h>

#include <arpa/inet.h>

#include <algorithm>
#include <optional>

namespace {

const char* const kHandshakeFailed = "encrypted handshake failed (passphrase missing or wrong)";

static_assert(srtAccessGate::kMaxCallersPerEndpoint == 128 && srtAccessGate::kMaxCallersPerAddress == 16
                  && srtAccessGate::kMaxCallersPerProcess == 512,
              "the refusal texts below name the caps");
const char* const kEndpointFull = "too many callers on this port (at most 128)";
const char* const kAddressFull = "too many callers from this address (at most 16)";
const char* const kProcessFull = "too many SRT callers in the process (at most 512)";

// The places of every gate of the process, counted together. Never destroyed:
// libsrt's threads may still call a callback while statics are torn down.
struct Places {
    std::mutex lock;
    std::unordered_map<uint32_t, int> perAddress;
    int total = 0;
};

Places& processPlaces()
{
    static Places* const p = new Places;
    return *p;
}

// One place less for address; under the lock of places.
void giveBack(Places& p, uint32_t address)
{
    --p.total;
    auto it = p.perAddress.find(address);
    if (it != p.perAddress.end() && --it->second <= 0)
        p.perAddress.erase(it);
}

bool peerOf(const sockaddr* a, uint32_t* address, uint16_t* port)
{
    if (!a || a->sa_family != AF_INET)
        return false;
    const auto* in = reinterpret_cast<const sockaddr_in*>(a);
    *address = ntohl(in->sin_addr.s_addr);
    *port = ntohs(in->sin_port);
    return true;
}

} // namespace

srtAccessGate::srtAccessGate(oxStreamType* endpoint_, bool output_)
    : endpoint(endpoint_)
    , output(output_)
{
}

srtAccessGate::~srtAccessGate()
{
    releaseAllPlaces();
}

const char* srtAccessGate::takePlace(SRTSOCKET ns, uint32_t address)
{
    Places& p = processPlaces();
    std::lock_guard<std::mutex> lock(p.lock);
    if (static_cast<int>(places.size()) >= kMaxCallersPerEndpoint)
        return kEndpointFull;
    const auto it = p.perAddress.find(address);
    if (it != p.perAddress.end() && it->second >= kMaxCallersPerAddress)
        return kAddressFull;
    if (p.total >= kMaxCallersPerProcess)
        return kProcessFull;
    if (!places.emplace(ns, address).second)
        return nullptr; // already holds one
    ++p.perAddress[address];
    ++p.total;
    return nullptr;
}

void srtAccessGate::releasePlace(SRTSOCKET caller)
{
    Places& p = processPlaces();
    std::lock_guard<std::mutex> lock(p.lock);
    const auto it = places.find(caller);
    if (it == places.end())
        return;
    giveBack(p, it->second);
    places.erase(it);
}

void srtAccessGate::releaseAllPlaces()
{
    Places& p = processPlaces();
    std::lock_guard<std::mutex> lock(p.lock);
    for (const auto& held : places)
        giveBack(p, held.second);
    places.clear();
}

void srtAccessGate::releaseGonePlaces()
{
    // libsrt forgets a caller whose handshake failed after the callback
    // without telling: its socket then no longer exists.
    std::vector<SRTSOCKET> held;
    {
        std::lock_guard<std::mutex> lock(processPlaces().lock);
        held.reserve(places.size());
        for (const auto& h : places)
            held.push_back(h.first);
    }
    for (SRTSOCKET s : held) {
        if (srt_getsockstate(s) >= SRTS_BROKEN)
            releasePlace(s);
    }
}

void srtAccessGate::attemptEnded()
{
    callers.clear();
    releaseAllPlaces();
}

void srtAccessGate::install(SRTSOCKET listener, int port_)
{
    port = port_;
    if (srt_listen_callback(listener, &srtAccessGate::listenCallback, this) == SRT_ERROR)
        qCWarning(lcSrt, "oxdp port %d: srt_listen_callback: %s", port, srt_getlasterror_str());
}

int srtAccessGate::listenCallback(void* opaque, SRTSOCKET ns, int, const sockaddr* peer, const char* streamId)
{
    auto* gate = static_cast<srtAccessGate*>(opaque);
    if (gate->output && !pullChainAdmits(gate->endpoint, ns, streamId, gate->port))
        return -1; // a pull that this stream itself feeds
    return gate->check(ns, peer);
}

int srtAccessGate::check(SRTSOCKET ns, const sockaddr* peer)
{
    if (!endpoint->stream)
        return 0;
    const streamAccess::Rules rules = endpoint->stream->access.rules();
    uint32_t address = 0;
    uint16_t peerPort = 0;
    const bool v4 = peerOf(peer, &address, &peerPort);
    if (!rules->allows(output, peer)) {
        logAccessRefused("oxdp", port, v4 ? ipv4Text(address) : QStringLiteral("?"), "address not in the allow-list");
        srt_setrejectreason(ns, SRT_REJX_FORBIDDEN);
        return -1;
    }
    const QString& passphrase = rules->passphrase(output);
    if (!passphrase.isEmpty()) {
        const QByteArray bytes = passphrase.toLatin1();
        if (srt_setsockflag(ns, SRTO_PASSPHRASE, bytes.constData(), bytes.size()) == SRT_ERROR) {
            qCWarning(lcSrt, "oxdp port %d: SRTO_PASSPHRASE: %s", port, srt_getlasterror_str());
            return -1;
        }
    }
    const char* full = takePlace(ns, v4 ? address : 0);
    if (full) {
        // Handshakes that failed after this callback (a wrong passphrase,
        // retried at once) still hold their places until the listener's next
        // round: give those back first. libsrt does not hold its socket table
        // while it runs this callback (the passphrase above is set through it).
        releaseGonePlaces();
        full = takePlace(ns, v4 ? address : 0);
    }
    if (full) {
        logAccessRefused("oxdp", port, v4 ? ipv4Text(address) : QStringLiteral("?"), full);
        srt_setrejectreason(ns, SRT_REJX_OVERLOAD);
        return -1;
    }
    std::optional<Pending> pushedOut;
    {
        std::lock_guard<std::mutex> lock(pendingLock);
        if (static_cast<int>(pending.size()) >= kMaxPendingHandshakes) {
            pushedOut = std::move(pending.front());
            pending.pop_front();
        }
        pending.push_back({ns, v4 ? address : 0, passphrase, std::chrono::steady_clock::now()});
    }
    // A caller retrying at once after each refusal fills the table long
    // before the grace period ends: what it pushes out failed as well.
    if (pushedOut && !pushedOut->passphrase.isEmpty())
        logAccessRefused("oxdp", port, ipv4Text(pushedOut->address), kHandshakeFailed);
    return 0;
}

void srtAccessGate::admitted(SRTSOCKET caller)
{
    sockaddr_storage a{};
    int len = sizeof a;
    uint32_t address = 0;
    uint16_t peerPort = 0;
    if (srt_getpeername(caller, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        peerOf(reinterpret_cast<const sockaddr*>(&a), &address, &peerPort);
    // The passphrase the callback gave this very socket; only when the table
    // overflowed has it to be taken from the rules in force now.
    std::optional<QString> given;
    {
        std::lock_guard<std::mutex> lock(pendingLock);
        auto it = std::find_if(pending.begin(), pending.end(), [&](const Pending& p) { return p.socket == caller; });
        if (it != pending.end()) {
            given = it->passphrase;
            pending.erase(it);
        }
    }
    // Callers the endpoint closed on its own (a failed send or receive) leave here.
    callers.erase(std::remove_if(callers.begin(), callers.end(),
                                 [](const Caller& c) { return oxSrt::isGone(srt_getsockstate(c.socket)); }),
                  callers.end());
    QString passphrase;
    if (given)
        passphrase = *given;
    else if (endpoint->stream)
        passphrase = endpoint->stream->access.rules()->passphrase(output);
    callers.push_back({caller, address, passphrase});
}

void srtAccessGate::gone(SRTSOCKET caller)
{
    releasePlace(caller);
    callers.erase(std::remove_if(callers.begin(), callers.end(), [&](const Caller& c) { return c.socket == caller; }),
                  callers.end());
}

void srtAccessGate::logFailedHandshakes()
{
    const auto now = std::chrono::steady_clock::now();
    std::vector<Pending> failed;
    {
        std::lock_guard<std::mutex> lock(pendingLock);
        while (!pending.empty() && now - pending.front().since > std::chrono::milliseconds(kHandshakeGraceMs)) {
            failed.push_back(pending.front());
            pending.pop_front();
        }
    }
    for (const Pending& p : failed) {
        if (!p.passphrase.isEmpty())
            logAccessRefused("oxdp", port, ipv4Text(p.address), kHandshakeFailed);
    }
}

std::vector<SRTSOCKET> srtAccessGate::refusedNow()
{
    logFailedHandshakes();
    releaseGonePlaces();
    std::vector<SRTSOCKET> refused;
    if (!endpoint->stream)
        return refused;
    const unsigned g = endpoint->stream->access.generation();
    if (g == seenGeneration)
        return refused;
    seenGeneration = g;
    const streamAccess::Rules rules = endpoint->stream->access.rules();
    for (const Caller& c : callers) {
        const bool allowed = rules->allowList(output).isEmpty() || (c.address != 0 && rules->allows(output, c.address));
        if (!allowed || c.passphrase != rules->passphrase(output))
            refused.push_back(c.socket);
    }
    for (SRTSOCKET s : refused)
        gone(s);
    return refused;
}
