#pragma once
// oxdp input: an SRT listener that any number of callers push into. Every SRT
// message becomes one buffer, fanned out on the endpoint's worker thread. The
// worker runs listening attempts one after the other: each opens its socket
// and poll set, serves callers until stop, and releases everything again.
#include "oxStreamType.h"

#include <QTimer>

#include <srt/srt.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

class sr_oxdp : public oxStreamType
{
    Q_OBJECT
public:
    sr_oxdp(int endpointId, QJsonObject cfg); // main thread; opens nothing yet
    ~sr_oxdp() override; // main thread; ends and joins the worker

    void start() override; // main thread: launches the worker once
    void stop() override;  // any thread: the attempt in progress ends within one poll period
    QJsonObject getCfg() override;
    QJsonObject getStatus() override; // main or web thread; statistics copied under statsLock

    int port = -1;
    // Pause after a listening attempt that failed (port held by another program ...).
    static constexpr int kRetryPauseMs = 1000;
    static constexpr int kPollTimeoutMs = 100;

    // For tests: listening attempts begun so far, and whether one is listening now.
    int attemptCount() const { return attempts.load(); }
    bool isListening() const { return listening.load(); }

#ifndef OXNODE_BASIC
public Q_SLOTS:
    void heartTimerSlots(); // thread of heartTimer (main): asks the worker for fresh statistics
#endif

private:
    void ffmpegThread();
    // One listening attempt; false when it failed rather than being stopped.
    bool run();
    // Drains one caller; false when it had to be closed.
    bool serveCaller(SRTSOCKET caller);
    // Sleeps up to ms, returning early when the endpoint is being destroyed.
    void pause(int ms);

    bool started = false; // main thread only
    std::thread worker;
    std::atomic<bool> stopRequested{true};
    std::atomic<bool> exiting{false};
    std::atomic<bool> srtReady{false};
    std::atomic<int> attempts{0};
    std::atomic<bool> listening{false};
    std::mutex wakeLock;
    std::condition_variable wake;
#ifndef OXNODE_BASIC
    std::unique_ptr<QTimer> heartTimer;
    std::atomic<bool> statsRequested{false};
    std::mutex statsLock; // guards stats
    SRT_TRACEBSTATS stats{};
#endif
};
