#pragma once
// Small helpers every benchmark needs: a private network namespace (fixed
// ports never collide with a running service) and blocking loopback sockets.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace benchutil {

[[noreturn]] inline void die(const char* what)
{
    std::perror(what);
    std::exit(1);
}

// Moves the process into a fresh network namespace with lo up (needs root).
inline void enterNetns()
{
    if (unshare(CLONE_NEWNET) != 0)
        die("unshare(CLONE_NEWNET) (run as root)");
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq ifr{};
    std::strcpy(ifr.ifr_name, "lo");
    ioctl(s, SIOCGIFFLAGS, &ifr);
    ifr.ifr_flags |= IFF_UP;
    if (ioctl(s, SIOCSIFFLAGS, &ifr) != 0)
        die("bring lo up");
    close(s);
}

// Connects to 127.0.0.1:port with TCP_NODELAY, retrying until it listens.
inline int connectTo(int port, int attempts = 4000)
{
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0)
            die("socket");
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    die("connect");
}

inline bool writeAll(int fd, const char* p, size_t n)
{
    while (n) {
        const ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

inline bool readAll(int fd, char* p, size_t n)
{
    while (n) {
        const ssize_t r = recv(fd, p, n, 0);
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

} // namespace benchutil
