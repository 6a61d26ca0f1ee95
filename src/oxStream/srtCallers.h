#pragma once
// The callers of one oxdp listener as the operator sees them. The thread of
// attempts keeps the book (accepted, gone) and, after a poll, publishes a
// fresh snapshot when the set changed or a second has passed; the main
// thread reads the last snapshot and may ask for one caller to be closed,
// which the thread of attempts does after its next poll. Nothing here is
// touched by a fan-out.
#include "endpointReport.h"

#include <srt/srt.h>

#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

class srtCallerBook
{
public:
    // How often an unchanged set is published again (its byte counts and RTT move).
    static constexpr int kRepublishMs = 1000;

    explicit srtCallerBook(bool output) : output(output) {}

    // Thread of attempts.
    void accepted(SRTSOCKET s);
    void gone(SRTSOCKET s);
    bool holds(SRTSOCKET s) const;
    void attemptEnded();
    // The caller the main thread asked to close, or SRT_INVALID_SOCK.
    SRTSOCKET takeCloseRequest() { return closeRequest.exchange(SRT_INVALID_SOCK); }
    bool closePending() const { return closeRequest.load() != SRT_INVALID_SOCK; }
    void publishIfDue();

    // Main thread.
    std::vector<oxEndpointClient> snapshot() const;
    bool requestClose(const QString& address, int port);
    // Any thread: callers in the last snapshot.
    int64_t count() const { return publishedCount.load(std::memory_order_relaxed); }

private:
    struct Caller {
        SRTSOCKET sock;
        int64_t sinceMs;
    };
    struct Published {
        SRTSOCKET sock;
        oxEndpointClient client;
    };
    using Snapshot = std::vector<Published>;

    void publish();

    const bool output;
    std::vector<Caller> callers; // thread of attempts only
    bool changed = true;         // thread of attempts only
    std::chrono::steady_clock::time_point lastPublish{};
    // Swapped whole by the thread of attempts, read by the main thread.
    std::shared_ptr<const Snapshot> published = std::make_shared<const Snapshot>();
    std::atomic<int64_t> publishedCount{0};
    std::atomic<SRTSOCKET> closeRequest{SRT_INVALID_SOCK};
};
