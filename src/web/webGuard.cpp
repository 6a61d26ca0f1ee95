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

// The open socket from peer to our port, or -1. Walks the descriptor table,
// which is why it runs only for connections that are cut.
int findSocket(uint32_t peerAddr, uint16_t peerPort, const std::vector<uint16_t>& localPorts)
{
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir)
        return -1;
    int found = -1;
    while (const dirent* e = ::readdir(dir)) {
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
        if (peer.sin_addr.s_addr == peerAddr && peer.sin_port == peerPort) {
            found = static_cast<int>(fd);
            break;
        }
    }
    ::closedir(dir);
    return found;
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
    auto [it, added] = entries.try_emplace(key);
    Entry& e = it->second;
    const bool earlier = added || deadline < e.deadline;
    e.peerAddr = addr.s_addr;
    e.peerPort = htons(static_cast<uint16_t>(remotePort));
    e.deadline = deadline;
    e.reason = reason;
    // A later deadline needs no wake-up: the guard looks again when the old one is due.
    if (earlier)
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
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping) {
        const Clock::time_point now = Clock::now();
        Clock::time_point next = Clock::time_point::max();
        for (auto& [key, e] : entries) {
            if (e.cut)
                continue;
            if (e.deadline <= now)
                cut(e);
            if (!e.cut && e.deadline < next)
                next = e.deadline;
        }
        if (next == Clock::time_point::max())
            wake.wait(lock);
        else
            wake.wait_until(lock, next);
    }
}

void webConnectionGuard::cut(Entry& e)
{
    const int fd = findSocket(e.peerAddr, e.peerPort, localPorts);
    if (fd < 0) {
        // Not there (yet, or any more): its worker is about to let go; look again later.
        e.deadline = Clock::now() + std::chrono::seconds(1);
        return;
    }
    ::shutdown(fd, SHUT_RDWR);
    e.cut = true;
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
