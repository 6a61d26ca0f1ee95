// The TCP client of a pull source: a non-blocking socket with keep-alive, so
// that an origin that vanished without closing is noticed too.
#include "pullLink.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

namespace {

// Bytes taken from the socket in one read: one buffer of the fan-out.
constexpr int kReadChunk = 65536;
// Keep-alive: first probe after this much silence, then every interval, given up after the count.
constexpr int kKeepIdleSec = 10;
constexpr int kKeepIntervalSec = 2;
constexpr int kKeepCount = 3;

class tcpLink : public pullLink
{
public:
    ~tcpLink() override
    {
        if (fd >= 0)
            ::close(fd);
    }

    bool open(const sockaddr* addr, socklen_t len, const std::atomic<bool>& stop, QString* why) override
    {
        fd = ::socket(addr->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            *why = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleSec, sizeof kKeepIdleSec);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalSec, sizeof kKeepIntervalSec);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
        if (::connect(fd, addr, len) == 0)
            return true;
        if (errno != EINPROGRESS) {
            *why = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kConnectTimeoutMs);
        while (!stop.load()) {
            pollfd p{fd, POLLOUT, 0};
            const int r = ::poll(&p, 1, kPollMs);
            if (r > 0) {
                int err = 0;
                socklen_t l = sizeof err;
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &l);
                if (err == 0)
                    return true;
                *why = QString::fromLocal8Bit(std::strerror(err));
                return false;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                *why = QStringLiteral("connection timed out");
                return false;
            }
        }
        *why = QStringLiteral("stopped");
        return false;
    }

    bool pump(Deliver deliver, void* user, QString* why) override
    {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, kPollMs) <= 0)
            return true;
        const ssize_t n = ::recv(fd, data, sizeof data, 0);
        if (n > 0) {
            deliver(data, static_cast<int>(n), user);
            return true;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return true;
        *why = n == 0 ? QStringLiteral("closed by the peer") : QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }

private:
    int fd = -1;
    unsigned char data[kReadChunk];
};

} // namespace

std::unique_ptr<pullLink> pullLink::tcp()
{
    return std::make_unique<tcpLink>();
}
