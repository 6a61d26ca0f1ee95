#pragma once
// When a pull source tries again: 1 s after the first failure, doubling up
// to 10 s, and back to 1 s once a connection has held for a minute. A plain
// value driven with explicit times, so it is tested without waiting.
#include <cstdint>

class pullBackoff
{
public:
    static constexpr int kFirstDelayMs = 1000;
    static constexpr int kMaxDelayMs = 10000;
    static constexpr int64_t kResetAfterMs = 60000;

    // The pause before the next attempt; the one after it doubles.
    int nextDelayMs()
    {
        const int d = delay;
        delay = delay * 2 > kMaxDelayMs ? kMaxDelayMs : delay * 2;
        return d;
    }
    void connectedAt(int64_t nowMs) { connectedSince = nowMs; }
    // A connection that held long enough counts as a success: start over.
    void lostAt(int64_t nowMs)
    {
        if (nowMs - connectedSince >= kResetAfterMs)
            delay = kFirstDelayMs;
    }

private:
    int delay = kFirstDelayMs;
    int64_t connectedSince = 0;
};
