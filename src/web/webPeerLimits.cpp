#include "webPeerLimits.h"

bool webPeerLimits::exempt(const std::string& address)
{
    return address == "127.0.0.1" || address == "::1";
}

bool webPeerLimits::admit(const std::string& address)
{
    std::lock_guard<std::mutex> lock(mutex);
    Held& h = held[address];
    ++h.connections;
    ++h.unfinishedHeads;
    return exempt(address)
        || (h.connections <= kMaxConnectionsPerAddress && h.unfinishedHeads <= kMaxUnfinishedHeadsPerAddress);
}

void webPeerLimits::headDone(const std::string& address)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = held.find(address);
    if (it != held.end() && it->second.unfinishedHeads > 0)
        --it->second.unfinishedHeads;
}

void webPeerLimits::release(const std::string& address, bool headPending)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = held.find(address);
    if (it == held.end())
        return;
    Held& h = it->second;
    --h.connections;
    if (headPending && h.unfinishedHeads > 0)
        --h.unfinishedHeads;
    if (h.connections <= 0)
        held.erase(it);
}
