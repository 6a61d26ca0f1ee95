#include "loginBackoff.h"

bool loginBackoff::mustWait(const QString& address, int64_t nowMs)
{
    auto it = entries.find(address);
    if (it == entries.end())
        return false;
    if (it->waitUntilMs > nowMs)
        return true;
    if (it->waitUntilMs != 0) {
        // The wait is over: a fresh count from here.
        entries.erase(it);
    }
    return false;
}

bool loginBackoff::failed(const QString& address, int64_t nowMs)
{
    auto it = entries.find(address);
    if (it == entries.end()) {
        if (entries.size() >= kMaxAddresses)
            makeRoom();
        it = entries.insert(address, Entry{nowMs, 0, 0, nowMs});
    }
    if (nowMs - it->windowStartMs > kFailWindowMs) {
        it->windowStartMs = nowMs;
        it->failures = 0;
    }
    it->lastMs = nowMs;
    if (++it->failures < kFailLimit)
        return false;
    it->waitUntilMs = nowMs + kWaitMs;
    return true;
}

void loginBackoff::makeRoom()
{
    auto oldest = entries.begin();
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (it->lastMs < oldest->lastMs)
            oldest = it;
    }
    if (oldest != entries.end())
        entries.erase(oldest);
}
