#pragma once
// The listening side that the two oxdp endpoints share, as their base. Their
// own threads run attempts one after the other: each starts the library,
// opens the listener and puts it into the process's SRT poll set
// (srtPoller.h), then sleeps until stop or a failure, and releases everything
// again. Meanwhile the poll thread accepts callers, notices the ones that
// are gone and hands readable ones to the endpoint. A failed attempt is
// followed by a pause, so a port held by another program never spins a core.
// Each endpoint adds only what differs, in the hooks below: the input reads
// and delivers, the output keeps its callers for its sender.
//
// Statistics on request: the one-second tick (main thread) asks, and the
// media thread copies fresh figures of the socket it is busy with.
#include "service/oxProfile.h"
#include "oxStreamType.h"
#include "srtCallers.h"
#include "srtAccess.h"
#include "srtCommon.h"
#include "srtPoller.h"

#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class srtListener : public oxStreamType, private oxSrt::PollClient
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

    // Main thread: the start of the endpoint. Sets its url, refuses a port
    // below 100 with the specified line, and the first time starts the
    // thread of attempts (and, with live status, the statistics timer).
    void start() override;
    // Any thread: the attempt in progress ends at once.
    void stop() override;
    QJsonObject getCfg() override;
    // Main or web thread: statistics copied under statsLock.
    QJsonObject getStatus() override;
    // Main thread: the callers as the thread of attempts last published them.
    std::vector<oxEndpointClient> clientList() override;
    bool closeClient(const QString& address, int port) override;
    // Main thread, from atomics only.
    oxEndpointFigures figures() override;
    // Main thread: the attempt thread closes the callers the new rules refuse.
    void accessChanged() override;

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

    // Any thread: takes caller out of the poll set and closes it.
    void dropCaller(SRTSOCKET caller);

    // The hooks. attemptBegins and attemptEnds run on the thread of attempts,
    // the others on the poll thread between the two (ordered by its lock).
    // The listener is open and about to enter the poll set.
    virtual void attemptBegins() = 0;
    // A caller accepted and added to the poll set.
    virtual void callerAccepted(SRTSOCKET caller) = 0;
    // A caller is gone; the listener closes it after this returns.
    virtual void callerGone(SRTSOCKET caller) = 0;
    // A caller has something to read.
    virtual void callerReadable(SRTSOCKET caller) = 0;
    // The attempt ends, out of the poll set: the callers still open, which
    // the listener closes.
    virtual std::vector<SRTSOCKET> attemptEnds() = 0;

    std::atomic<bool> srtReady{false};
    // Payload bytes through the endpoint's callers, counted by its media thread.
    std::atomic<uint64_t> bytesOut{0};
    std::atomic<uint64_t> bytesIn{0};

private:
    void loop(const std::function<bool()>& step);
    bool attempt();
    void srtEvent(SRTSOCKET s) override;
    bool acceptOne();
    void pause(int ms);
    // Wakes the thread of attempts (stop, exit or a failed accept).
    void wakeAttempt();
    // Attempt thread: closes the caller the operator asked to close, and those
    // the rules now refuse, if still there.
    void closeRequestedCaller();
    void closeRefusedCallers();
    void closeCallerFromAttempt(SRTSOCKET caller);
    // Set with a wake-up when the attempt thread has book keeping to do now.
    std::atomic<bool> bookWork{false};

    const Texts texts;
    srtCallerBook callerBook{texts.output};
    // The book is kept by the poll thread (accepted, gone) and by the attempt
    // thread (republishing, closing on request); never taken by the control path.
    std::mutex bookLock;
    srtAccessGate accessGate{this, texts.output};
    const bool liveStatus = oxProfile::current().liveStatus;
    const int advertisedLatencyMs = oxProfile::current().srtUrlLatencyMs;
    bool started = false; // main thread only
    std::vector<std::thread> threads;
    std::atomic<bool> stopRequested{true};
    std::atomic<bool> exiting{false};
    std::atomic<int> attempts{0};
    std::atomic<bool> listening{false};
    std::atomic<bool> attemptFailed{false}; // set on the poll thread, read by the attempt
    SRTSOCKET server = SRT_INVALID_SOCK;     // the attempt's listener; published by the poll set's lock
    std::mutex wakeLock;
    std::condition_variable wake;

    std::unique_ptr<QTimer> heartTimer;
    std::atomic<bool> statsRequested{false};
    std::mutex statsLock; // guards stats
    SRT_TRACEBSTATS stats{};
    // The figures of stats that /metrics reads, stored with them.
    std::atomic<double> lastRttMs{0};
    std::atomic<int64_t> lastSendLoss{0};
    std::atomic<int64_t> lastReceiveLoss{0};
    std::atomic<int64_t> lastRetransmitted{0};
    std::atomic<double> lastBandwidthMbps{0};
};
