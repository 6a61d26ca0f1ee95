#pragma once
// Counters of events the service already logs, kept for /metrics. Plain
// atomics: the events happen on the main thread (nodes) or on the web
// server's worker threads (requests); /metrics reads them on the main thread.
#include <atomic>
#include <cstdint>

// How the web server ended a request.
enum class webResult { Ok, NotFound, Unauthorized, BadRequest, Timeout, Busy, Unavailable, Count };

struct oxOpsCounters {
    std::atomic<uint64_t> nodeLogins{0};
    std::atomic<uint64_t> nodeLoginsRefused{0};
    // Node frames refused: too long without an end, malformed, oversized reports.
    std::atomic<uint64_t> nodeFramesRefused{0};
    std::atomic<uint64_t> webRequests[static_cast<int>(webResult::Count)] = {};

    void count(std::atomic<uint64_t>& c) { c.fetch_add(1, std::memory_order_relaxed); }
    void countWeb(webResult r) { count(webRequests[static_cast<int>(r)]); }
};

// The process's one set, any thread.
oxOpsCounters& opsCounters();

// The label value of a result ("ok", "not_found", ...).
const char* webResultName(webResult r);
// The result of a request from the HTTP status its handler returned.
webResult webResultOfStatus(int status);
