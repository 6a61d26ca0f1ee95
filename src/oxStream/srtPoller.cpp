#include "srtPoller.h"
#include "srtCommon.h"

#include <pthread.h>

#include <chrono>
#include <vector>

namespace oxSrt {

std::atomic<Poller*> Poller::created{nullptr};

Poller& Poller::instance()
{
    static Poller* const poller = [] {
        Poller* p = new Poller();
        created.store(p);
        return p;
    }();
    return *poller;
}

void Poller::shutdown()
{
    Poller* p = created.load();
    if (!p)
        return;
    {
        std::lock_guard<std::mutex> lock(p->idleLock);
        p->quit = true;
    }
    p->idleWake.notify_all();
    if (p->thread.joinable())
        p->thread.join();
}

Poller::Poller()
{
    thread = std::thread([this] { run(); });
    pthread_setname_np(thread.native_handle(), "oxSrtPoll");
}

Poller::AddResult Poller::add(SRTSOCKET s, PollClient* owner)
{
    std::lock_guard<std::recursive_mutex> lock(dispatchLock);
    if (eid < 0) {
        const int e = srt_epoll_create();
        if (e < 0)
            return AddResult::NoPollSet;
        // Closed sockets leave the set by themselves; an empty set must then
        // wait out the time-out instead of failing at once.
        srt_epoll_set(e, SRT_EPOLL_ENABLE_EMPTY);
        eid = e;
    }
    const int events = kPollEvents;
    if (srt_epoll_add_usock(eid, s, &events) == SRT_ERROR)
        return AddResult::Failed;
    owners[s] = owner;
    {
        std::lock_guard<std::mutex> idle(idleLock);
        count = owners.size();
    }
    idleWake.notify_all();
    return AddResult::Added;
}

void Poller::remove(SRTSOCKET s)
{
    std::lock_guard<std::recursive_mutex> lock(dispatchLock);
    if (owners.erase(s) == 0)
        return;
    srt_epoll_remove_usock(eid, s);
    std::lock_guard<std::mutex> idle(idleLock);
    count = owners.size();
}

void Poller::detach(PollClient* owner)
{
    std::lock_guard<std::recursive_mutex> lock(dispatchLock);
    for (auto it = owners.begin(); it != owners.end();) {
        if (it->second == owner) {
            srt_epoll_remove_usock(eid, it->first);
            it = owners.erase(it);
        } else {
            ++it;
        }
    }
    std::lock_guard<std::mutex> idle(idleLock);
    count = owners.size();
}

size_t Poller::registered()
{
    std::lock_guard<std::recursive_mutex> lock(dispatchLock);
    return owners.size();
}

void Poller::run()
{
    SRTSOCKET ready[kBatch];
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(idleLock);
            idleWake.wait(lock, [this] { return quit || count > 0; });
            if (quit)
                return;
        }
        int rnum = kBatch;
        const int n = srt_epoll_wait(eid, ready, &rnum, nullptr, nullptr, kWaitMs, nullptr, nullptr, nullptr, nullptr);
        if (n > 0) {
            dispatch(ready, rnum);
        } else if (n < 0 && srt_getlasterror(nullptr) != SRT_ETIMEOUT) {
            if (waitErrorLine.allow())
                logError("srt_epoll_wait: ");
            std::this_thread::sleep_for(std::chrono::milliseconds(kErrorPauseMs));
        }
    }
}

void Poller::dispatch(const SRTSOCKET* ready, int n)
{
    std::lock_guard<std::recursive_mutex> lock(dispatchLock);
    for (int i = 0; i < n; ++i) {
        // Looked up afresh for each socket: an event handled just before may
        // have removed this one.
        const auto it = owners.find(ready[i]);
        if (it != owners.end())
            it->second->srtEvent(ready[i]);
    }
}

} // namespace oxSrt
