#pragma once
// oxdp output: an SRT listener that any number of callers pull from. The
// stream lends each buffer to putBufIn on the receiving thread; while callers
// are connected a copy goes into a bounded queue, and the sender thread writes
// every queued copy to every caller in messages of at most 1316 bytes. The
// server thread (srtListener's attempts) owns the listening socket and
// accepts callers.
#include "srtListener.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

class st_oxdp : public srtListener
{
    Q_OBJECT
public:
    st_oxdp(int endpointId, QJsonObject cfg); // main thread; opens nothing yet
    ~st_oxdp() override; // main thread; closes the callers, joins both threads, frees the queue

    // Any thread: the listening attempt ends and callers are closed within one poll period.
    void stop() override;
    // Receiving threads, several at once; queueLock guards the queue. Never blocks for long.
    void putBufIn(oxStreamBuf* buf) override;

    // Copies waiting for the sender; the oldest is dropped beyond this.
    static constexpr int kQueueLimit = 2000;

    // For tests.
    int queuedCount();
    int clientCount();
    long droppedCount() const { return dropped.load(); }
    // For tests: while held, the sender takes nothing off the queue.
    void holdSender(bool hold) { senderHeld.store(hold); }

private:
    // Launches the sender thread beside the server thread.
    void startedOnce() override;
    void attemptBegins() override;
    void callerAccepted(SRTSOCKET caller) override;
    void callerGone(SRTSOCKET caller) override;
    void callerReadable(SRTSOCKET caller) override;
    void pollDone() override;
    std::vector<SRTSOCKET> attemptEnds() override;

    // Sender thread: one queued copy to every caller.
    void streamOutRun();
    void sendTo(SRTSOCKET s, const unsigned char* data, int len);
    // Removes s from clients; true when it was there (the remover closes it).
    bool removeClient(SRTSOCKET s);
    void wakeSender();

    std::mutex queueLock; // guards sendQueue
    std::condition_variable queueWake;
    std::deque<oxStreamBuf*> sendQueue; // copies owned by this endpoint

    std::mutex clientsLock; // guards clients
    std::vector<SRTSOCKET> clients;
    std::vector<SRTSOCKET> sendTargets; // sender thread's snapshot of clients

    std::atomic<long> dropped{0};
    std::atomic<bool> senderHeld{false};
};
