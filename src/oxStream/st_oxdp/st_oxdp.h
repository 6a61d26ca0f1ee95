#pragma once
// oxdp output: an SRT listener that any number of callers pull from. The
// stream lends each buffer to putBufIn on the receiving thread; while callers
// are connected a copy goes into a bounded queue, and the sender thread writes
// every queued copy to every caller in messages of at most 1316 bytes. The
// server thread (srtListener's attempts) owns the listening socket; the
// process's SRT poll thread accepts callers and notices those that are gone.
#include "service/logLimit.h"
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

    // Any thread: the listening attempt ends and callers are closed at once.
    void stop() override;
    // Receiving threads, several at once; queueLock guards the queue. Never blocks for long.
    void putBufIn(oxStreamBuf* buf) override;
    oxEndpointFigures figures() override; // main thread; atomics only

    // Copies waiting for the sender: beyond either bound the oldest copies
    // are dropped. 8 MiB is over three seconds of a 20 Mbit/s stream, far
    // more backlog than a caller at 20 ms latency can still use; a source
    // far faster than the callers only loses its oldest data instead of
    // growing the process.
    static constexpr int kQueueLimit = 2000;
    static constexpr long kQueueByteLimit = 8L * 1024 * 1024;

    // For tests.
    int queuedCount();
    long queuedBytes();
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
    std::vector<SRTSOCKET> attemptEnds() override;

    // Sender thread: one queued copy to every caller.
    void streamOutRun();
    void sendTo(SRTSOCKET s, const unsigned char* data, int len);
    // Removes s from clients; true when it was there (the remover closes it).
    bool removeClient(SRTSOCKET s);
    void wakeSender();

    std::mutex queueLock; // guards sendQueue and queueBytes
    std::condition_variable queueWake;
    std::deque<oxStreamBuf*> sendQueue; // copies owned by this endpoint
    long queueBytes = 0;                // payload capacity of the queued copies

    std::mutex clientsLock; // guards clients
    std::vector<SRTSOCKET> clients;
    std::vector<SRTSOCKET> sendTargets; // sender thread's snapshot of clients

    std::atomic<long> dropped{0};
    std::atomic<bool> senderHeld{false};
    logThrottle fullLine; // "OXDP BUFF FULL": one line a second, with the count held back
};
