#include "oxMemoryTrim.h"
#include "oxPageBlock.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>

#include <malloc.h>

namespace oxnet {

namespace {
std::atomic<int64_t> lastThrottledTrimMs{std::numeric_limits<int64_t>::min() / 2};
}

void giveBackFreedMemory(bool always)
{
    if (!always) {
        const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now().time_since_epoch())
                                .count();
        int64_t last = lastThrottledTrimMs.load(std::memory_order_relaxed);
        if (now - last < kTrimIntervalMs
            || !lastThrottledTrimMs.compare_exchange_strong(last, now, std::memory_order_relaxed))
            return;
    }
    if (always)
        PageBlock::dropCache();
    ::malloc_trim(0);
}

} // namespace oxnet
