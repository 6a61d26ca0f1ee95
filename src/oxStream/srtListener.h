#pragma once
// The listening side that the two oxdp endpoints share, as their base. Their
// own threads run attempts one after the other: each starts the library,
// opens the listener and its poll set, waits on it, accepts callers and
// notices the ones that are gone, until stop or a failure, then releases
// everything again. A failed attempt is followed by a pause, so a port held
// by another program never spins a core. Each endpoint adds only what
// differs, in the hooks below: the input reads and delivers, the output keeps
// its callers for its sender.
//
// Statistics on request: the one-second tick (main thread) asks, and the
// media thread copies fresh figures of the socket it is busy with.
#include "oxProfile.h"
#include "oxStreamType.h"
#include "srtAccess.h"
#include "srtCommon.h"

#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class srtListener : public oxStreamType
{
    Q_OBJECT
public:
    // Log texts and statistics that differ between the endpoints.
    struct Texts {
        bool output;            // which statistics the status reports
        oxSrt::ListenTexts listen;
        const char* accept;     // srt_accept failed
        bool acceptWithHandle;  // the "new connection" line names the caller's handle
    };

    // Pause after a listening attempt that failed, and while stopped.
    static constexpr int kRetryPauseMs = 1000;
    static constexpr int kStoppedPauseMs = 1000;
    // Longest wait in one poll: how soon an attempt notices stop.
    static constexpr int kPollTimeoutMs = 100;
    // Ready sockets taken from one poll.
    static constexpr int kPollBatch = 100;

    // Main thread: the start of the endpoint. Sets its url, refuses a port
    // below 100 with the specified line, and the first time starts the
    // thread of attempts (and, with live status, the statistics timer).
    void start() override;
    // Any thread: the attempt in progress ends within one poll period.
    void stop() override;
    QJsonObject getCfg() override;
    // Main or web thread: statistics copied under statsLock.
    QJsonObject getStatus() override;

    int port = -1;

    // For tests: listening attempts begun so far, and whether one is listening now.
    int attemptCount() const { return attempts.load(); }
    bool isListening() const { return listening.load(); }

public Q_SLOTS:
    void heartTimerSlots(); // main thread (or tests): asks the media thread for fresh statistics

protected:
    // Main thread: the endpoint's id, type and port from cfg; opens nothing.
    srtListener(const char* type, int endpointId, const QJsonObject& cfg, const Texts& texts);
    // Main thread, first in the derived destructor: stop for good and wake
    // every pause (then wake what else the threads wait on), then join.
    void requestExit();
    void joinThreads();
    ~srtListener() override;

    // Main thread, from start() once the attempts run: another thread with
    // the same stop/exit pacing, running step until exit.
    virtual void startedOnce() {}
    void startCompanion(std::function<void()> step);
    bool stopping() const { return stopRequested.load(); }
    // Media thread: copies fresh statistics of s when they were asked for.
    void refreshStats(SRTSOCKET s);

    // The hooks, all on the thread of attempts.
    // The listener is open and in the poll set.
    virtual void attemptBegins() = 0;
    // A caller accepted and added to the poll set.
    virtual void callerAccepted(SRTSOCKET caller) = 0;
    // A caller is gone; the listener closes it after this returns.
    virtual void callerGone(SRTSOCKET caller) = 0;
    // A caller has something to read.
    virtual void callerReadable(SRTSOCKET caller) = 0;
    // After each poll of the attempt.
    virtual void pollDone() {}
    // The attempt ends: the callers still open, which the listener closes.
    virtual std::vector<SRTSOCKET> attemptEnds() = 0;

    std::atomic<bool> srtReady{false};

private:
    void loop(const std::function<bool()>& step);
    bool attempt();
    bool acceptOne(SRTSOCKET server, int eid);
    void pause(int ms);

    const Texts texts;
    srtAccessGate accessGate{this, texts.output};
    const bool liveStatus = oxProfile::current().liveStatus;
    const int advertisedLatencyMs = oxProfile::current().srtUrlLatencyMs;
    bool started = false; // main thread only
    std::vector<std::thread> threads;
    std::atomic<bool> stopRequested{true};
    std::atomic<bool> exiting{false};
    std::atomic<int> attempts{0};
    std::atomic<bool> listening{false};
    std::mutex wakeLock;
    std::condition_variable wake;

    std::unique_ptr<QTimer> heartTimer;
    std::atomic<bool> statsRequested{false};
    std::mutex statsLock; // guards stats
    SRT_TRACEBSTATS stats{};
};
