#pragma once
// One SRT poll set and one thread for every SRT endpoint of the process.
//
// libsrt's srt_epoll_wait wakes about every 10 ms whatever the timeout, so a
// poll thread per endpoint costs a hundred wake-ups a second each, with or
// without traffic. Here every listener and every accepted caller of every
// endpoint sits in one set, and the poll thread hands each ready socket to
// the endpoint that registered it. With no socket registered the thread
// sleeps without ticking.
//
// Threads: add() and remove() come from the endpoints' own threads (and from
// inside srtEvent, on the poll thread); detach() from an endpoint's thread.
// Events are delivered on the poll thread under `dispatchLock`, which only
// the poll thread and the endpoints' threads take, never the control path.
// detach() returns only once no event of that client is being handled, and
// none is delivered to it afterwards, so a client may be destroyed then.
#include "service/logLimit.h"

#include <srt/srt.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace oxSrt {

class PollClient
{
public:
    // Poll thread: socket s, registered by this client, is readable, has an
    // error, or (a listener) has a caller waiting. The socket may be removed
    // or closed from here.
    virtual void srtEvent(SRTSOCKET s) = 0;

protected:
    ~PollClient() = default;
};

class Poller
{
public:
    // Longest single wait: how late the thread notices the process ending.
    static constexpr int kWaitMs = 100;
    // Ready sockets taken from one wait.
    static constexpr int kBatch = 100;
    // After a failed wait (not a time-out), the pause before the next one.
    static constexpr int kErrorPauseMs = 10;

    // The process's poller, created on first use and never destroyed: the
    // library's own objects may be gone before static destructors would run.
    static Poller& instance();
    // At the end of the library (srtCommon's exit handler, before
    // srt_cleanup): ends the thread if there is one. Touches no libsrt state.
    static void shutdown();

    enum class AddResult { Added, NoPollSet, Failed };
    // Any thread: puts s into the set with kPollEvents, events going to owner.
    // NoPollSet: the set could not be created (srt_epoll_create failed);
    // Failed: srt_epoll_add_usock failed. The libsrt error is left for the
    // calling thread to log.
    AddResult add(SRTSOCKET s, PollClient* owner);
    // Any thread: s leaves the set; its events are no longer delivered.
    void remove(SRTSOCKET s);
    // Endpoint thread: every socket of owner leaves the set; waits for an
    // event of owner being handled right now.
    void detach(PollClient* owner);

    // For tests: sockets registered now.
    size_t registered();

private:
    Poller();
    ~Poller() = delete;
    void run();

    static std::atomic<Poller*> created;
    void dispatch(const SRTSOCKET* ready, int count);

    int eid = -1; // created on the first add, under dispatchLock

    // Held while events are delivered, and by every change of `owners`.
    // Recursive: srtEvent adds accepted callers and removes gone ones.
    std::recursive_mutex dispatchLock;
    std::unordered_map<SRTSOCKET, PollClient*> owners;

    // Lets the thread sleep while nothing is registered, and end.
    std::mutex idleLock;
    std::condition_variable idleWake;
    size_t count = 0; // owners.size(), under idleLock
    bool quit = false;

    logThrottle waitErrorLine;
    std::thread thread;
};

} // namespace oxSrt
