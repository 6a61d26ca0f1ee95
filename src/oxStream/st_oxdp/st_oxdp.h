#pragma once
// oxdp output: an SRT listener that any number of callers pull from. The
// stream lends each buffer to putBufIn on the receiving thread; while callers
// are connected a copy goes into a bounded queue, and the sender thread writes
// every queued copy to every caller in messages of at most 1316 bytes. The
// server thread owns the listening socket and accepts callers.
#include "oxStreamType.h"

#include <QTimer>

#include <srt/srt.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class sr_oxdp;

class st_oxdp : public oxStreamType
{
    Q_OBJECT
public:
    st_oxdp(int endpointId, QJsonObject cfg); // main thread; opens nothing yet
    ~st_oxdp() override; // main thread; closes the callers, joins both threads, frees the queue

    void start() override; // main thread: launches both threads once
    void stop() override;  // any thread: the listening attempt ends and callers are closed within one poll period
    QJsonObject getCfg() override;
    QJsonObject getStatus() override; // main or web thread; statistics copied under statsLock
    // Receiving threads, several at once; queueLock guards the queue. Never blocks for long.
    void putBufIn(oxStreamBuf* buf) override;

    int port = -1;
    // Copies waiting for the sender; the oldest is dropped beyond this.
    static constexpr int kQueueLimit = 2000;
    static constexpr int kRetryPauseMs = 1000;
    static constexpr int kPollTimeoutMs = 100;

    // For tests.
    int attemptCount() const { return attempts.load(); }
    bool isListening() const { return listening.load(); }
    int queuedCount();
    int clientCount();
    long droppedCount() const { return dropped.load(); }
    // For tests: while held, the sender takes nothing off the queue.
    void holdSender(bool hold) { senderHeld.store(hold); }

#ifndef OXNODE_BASIC
public Q_SLOTS:
    void heartTimerSlots(); // thread of heartTimer (main): asks the sender for fresh statistics
#endif

private:
    void srtServerThread();
    void streamOutThread();
    // One listening attempt; false when it failed rather than being stopped.
    bool srtServerRun();
    void streamOutRun();
    void sendTo(SRTSOCKET s, const unsigned char* data, int len);
    // Removes s from clients; true when it was there (the remover closes it).
    bool removeClient(SRTSOCKET s);
    void pause(int ms);

    bool started = false; // main thread only
    std::thread serverThread;
    std::thread senderThread;

    std::mutex queueLock; // guards sendQueue
    std::condition_variable queueWake;
    std::deque<oxStreamBuf*> sendQueue; // copies owned by this endpoint

    std::mutex clientsLock; // guards clients
    std::vector<SRTSOCKET> clients;
    std::vector<SRTSOCKET> sendTargets; // sender thread's snapshot of clients

    std::atomic<bool> srtReady{false};
    std::atomic<bool> stopRequested{true};
    std::atomic<bool> exiting{false};
    std::atomic<int> attempts{0};
    std::atomic<bool> listening{false};
    std::atomic<long> dropped{0};
    std::atomic<bool> senderHeld{false};
    std::mutex wakeLock;
    std::condition_variable wake;
#ifndef OXNODE_BASIC
    std::unique_ptr<QTimer> heartTimer;
    std::atomic<bool> statsRequested{false};
    std::mutex statsLock; // guards stats
    SRT_TRACEBSTATS stats{};
#endif
};
