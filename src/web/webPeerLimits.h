#pragma once
// How much of the web server one client address may hold. CivetWeb gives
// every connection a worker of its own until the connection ends, so a
// single address that keeps many connections open, or many of them with an
// unfinished first request, would leave no worker for anyone else. Beyond
// either share, a new connection from that address is cut as soon as a
// worker takes it up; other addresses are not affected.
//
// Threads: CivetWeb's workers; one mutex. The table holds only addresses
// with a connection on a worker, so it is bounded by the worker count.
#include <mutex>
#include <string>
#include <unordered_map>

class webPeerLimits
{
public:
    // Open connections from one address (a browser opens about six).
    static constexpr int kMaxConnectionsPerAddress = 32;
    // Of those, connections whose first request head is not in yet.
    static constexpr int kMaxUnfinishedHeadsPerAddress = 8;

    // A new connection from address, its first head pending. False when it
    // is over a share: it is counted all the same, until release().
    bool admit(const std::string& address);
    // Its first head is complete.
    void headDone(const std::string& address);
    // The connection ended; headPending as it was then.
    void release(const std::string& address, bool headPending);

    // The local client is exempt: tools and a reverse proxy on the same host
    // present every user under its address.
    static bool exempt(const std::string& address);

private:
    struct Held {
        int connections = 0;
        int unfinishedHeads = 0;
    };
    std::mutex mutex;
    std::unordered_map<std::string, Held> held;
};
