#pragma once
// Cuts web connections that would hold a CivetWeb worker too long: a request
// whose head and body are not in by their deadline, a WebSocket that has sent
// nothing for a while. CivetWeb keeps a connection's socket to itself and
// waits in its reads with a time-out per read only, so a client trickling one
// byte at a time would keep its worker for as long as it likes. The guard
// finds the socket of an overdue connection by its addresses (only for the
// few it cuts) and shuts it down; the worker blocked in its read then sees
// the end of the connection and lets go.
//
// Threads: arm/disarm from CivetWeb's worker threads, the cutting on the
// guard's own thread, one mutex between them. The socket is looked for
// without the mutex; the cut itself runs under it, only while the entry is
// armed as it was, and disarm() takes it, so a socket is never shut down
// after its worker has let go of it (and its number might already belong to
// another file).
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

class webConnectionGuard
{
public:
    using Clock = std::chrono::steady_clock;

    // localPorts: the web ports; only sockets on them are ever cut (0: none).
    explicit webConnectionGuard(std::vector<int> localPorts);
    ~webConnectionGuard();
    webConnectionGuard(const webConnectionGuard&) = delete;
    webConnectionGuard& operator=(const webConnectionGuard&) = delete;

    // Thread of the owner, before and after CivetWeb runs.
    void start();
    void stop();

    // Worker threads. Sets (or moves) the deadline of the connection known
    // by key, which stays unique while it is armed. reason ends the log line
    // of a cut ("request not complete in time").
    void arm(const void* key, const char* remoteAddr, int remotePort, Clock::time_point deadline, const char* reason);
    // Worker threads. True when the connection was cut.
    bool disarm(const void* key);

private:
    struct Entry {
        uint32_t peerAddr = 0;  // network byte order
        uint16_t peerPort = 0;  // network byte order
        Clock::time_point deadline;
        const char* reason = "";
        bool cut = false;
    };

    void run();
    void logCut(const Entry& entry);

    std::vector<uint16_t> localPorts;  // network byte order
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    // At most one entry per CivetWeb worker: bounded by the worker count.
    std::unordered_map<const void*, Entry> entries;
    Clock::time_point nextWake = Clock::time_point::max();  // when run() looks again
    std::thread thread;
};
