#include "webGuard.h"
#include "service/logLimit.h"
#include "service/logging.h"

#include <algorithm>
#include <cstdlib>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

uint64_t peerKey(uint32_t addr, uint16_t port)
{
    return (static_cast<uint64_t>(addr) << 16) | port;
}

// Fills in the descriptors of the open sockets on our ports whose peers
// (peerKey) are asked for; the others stay -1. Walks the descriptor table
// once for every cut that falls due at the same time, which is why it runs
// only for connections that are cut.
void findSockets(std::unordered_map<uint64_t, int>& wanted, const std::vector<uint16_t>& localPorts)
{
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir)
        return;
    size_t left = wanted.size();
    while (left > 0) {
        const dirent* e = ::readdir(dir);
        if (!e)
            break;
        char* end = nullptr;
        const long fd = std::strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end != '\0' || fd == ::dirfd(dir))
            continue;
        sockaddr_in local{};
        socklen_t len = sizeof local;
        if (::getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &len) != 0
            || local.sin_family != AF_INET
            || std::find(localPorts.begin(), localPorts.end(), local.sin_port) == localPorts.end())
            continue;
        sockaddr_in peer{};
        len = sizeof peer;
        if (::getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &len) != 0)
            continue;  // the listener
        const auto it = wanted.find(peerKey(peer.sin_addr.s_addr, peer.sin_port));
        if (it != wanted.end() && it->second < 0) {
            it->second = static_cast<int>(fd);
            --left;
        }
    }
    ::closedir(dir);
}

logThrottle cutLogThrottle;

} // namespace

webConnectionGuard::webConnectionGuard(std::vector<int> ports)
{
    for (const int port : ports) {
        if (port > 0)
            localPorts.push_back(htons(static_cast<uint16_t>(port)));
    }
}

webConnectionGuard::~webConnectionGuard()
{
    stop();
}

void webConnectionGuard::start()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (thread.joinable())
        return;
    stopping = false;
    thread = std::thread([this] { run(); });
}

void webConnectionGuard::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    if (thread.joinable())
        thread.join();
}

void webConnectionGuard::arm(const void* key, const char* remoteAddr, int remotePort, Clock::time_point deadline,
                             const char* reason)
{
    in_addr addr{};
    if (!remoteAddr || ::inet_pton(AF_INET, remoteAddr, &addr) != 1)
        return;  // the listener is IPv4 only
    std::lock_guard<std::mutex> lock(mutex);
    Entry& e = entries[key];
    e.peerAddr = addr.s_addr;
    e.peerPort = htons(static_cast<uint16_t>(remotePort));
    e.deadline = deadline;
    e.reason = reason;
    // A later deadline needs no wake-up: the guard looks at every entry when it wakes.
    if (deadline < nextWake)
        wake.notify_one();
}

bool webConnectionGuard::disarm(const void* key)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = entries.find(key);
    if (it == entries.end())
        return false;
    const bool wasCut = it->second.cut;
    entries.erase(it);
    return wasCut;
}

void webConnectionGuard::run()
{
    struct Due {
        const void* key;
        Entry entry;
    };
    std::vector<Due> due;
    std::unordered_map<uint64_t, int> fds;
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping) {
        const Clock::time_point now = Clock::now();
        Clock::time_point next = Clock::time_point::max();
        due.clear();
        for (const auto& [key, e] : entries) {
            if (e.cut)
                continue;
            if (e.deadline <= now)
                due.push_back({key, e});
            else
                next = std::min(next, e.deadline);
        }
        if (due.empty()) {
            nextWake = next;
            if (next == Clock::time_point::max())
                wake.wait(lock);
            else
                wake.wait_until(lock, next);
            continue;
        }
        // The walk over the descriptors runs unlocked, so that workers
        // taking connections up or letting them go never wait for it.
        nextWake = Clock::time_point::min();
        fds.clear();
        for (const Due& d : due)
            fds.emplace(peerKey(d.entry.peerAddr, d.entry.peerPort), -1);
        lock.unlock();
        findSockets(fds, localPorts);
        lock.lock();
        for (const Due& d : due) {
            // Only what is still armed as it was: a socket is never shut
            // down after its worker has let go of it.
            const auto it = entries.find(d.key);
            if (it == entries.end() || it->second.cut || it->second.deadline != d.entry.deadline
                || it->second.peerAddr != d.entry.peerAddr || it->second.peerPort != d.entry.peerPort)
                continue;
            const int fd = fds[peerKey(d.entry.peerAddr, d.entry.peerPort)];
            if (fd < 0) {
                // Not there (yet, or any more): its worker is about to let go; look again later.
                it->second.deadline = Clock::now() + std::chrono::seconds(1);
                continue;
            }
            ::shutdown(fd, SHUT_RDWR);
            it->second.cut = true;
            logCut(it->second);
        }
    }
}

void webConnectionGuard::logCut(const Entry& e)
{
    int64_t held = 0;
    if (cutLogThrottle.allow(&held)) {
        char addr[INET_ADDRSTRLEN] = {};
        in_addr a{};
        a.s_addr = e.peerAddr;
        ::inet_ntop(AF_INET, &a, addr, sizeof addr);
        qCWarning(lcWeb, "web client %s:%u cut off: %s (%lld more since the last such line)", addr,
                  static_cast<unsigned>(ntohs(e.peerPort)), e.reason, static_cast<long long>(held));
    }
}
