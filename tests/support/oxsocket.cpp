#include "oxsocket.h"

#include "oxtest.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace oxt {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool pollFor(int fd, short events, int timeoutMs)
{
    pollfd pfd{fd, events, 0};
    int r;
    do {
        r = ::poll(&pfd, 1, timeoutMs);
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

sockaddr_in ipv4(const std::string& host, int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, host == "localhost" ? "127.0.0.1" : host.c_str(), &a.sin_addr) != 1)
        a.sin_addr.s_addr = htonl(INADDR_NONE);
    return a;
}

int boundSocket(int type, int port)
{
    int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a = ipv4("0.0.0.0", port);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

// Lines of /proc/net/tcp: "sl local_address rem_address st ...", the
// address as hex "IP:PORT"; state 0A is LISTEN.
bool listensIn(const std::string& procFile, int port)
{
    std::ifstream in(procFile);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        size_t colon = local.rfind(':');
        if (state == "0A" && colon != std::string::npos &&
            std::stoi(local.substr(colon + 1), nullptr, 16) == port)
            return true;
    }
    return false;
}

}  // namespace

bool waitTcpPort(int port, int timeoutMs)
{
    return waitFor([port] { return TcpClient().connect("127.0.0.1", port, 200); }, timeoutMs, 10);
}

bool tcpPortInUse(int port)
{
    return listensIn("/proc/net/tcp", port) || listensIn("/proc/net/tcp6", port);
}

bool tcpPortInUse(int port, int pid)
{
    if (pid <= 0)
        return tcpPortInUse(port);
    const std::string dir = "/proc/" + std::to_string(pid) + "/net/";
    return listensIn(dir + "tcp", port) || listensIn(dir + "tcp6", port);
}

int holdTcpPort(int port)
{
    int fd = boundSocket(SOCK_STREAM, port);
    if (fd >= 0 && ::listen(fd, 4) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int holdUdpPort(int port)
{
    return boundSocket(SOCK_DGRAM, port);
}

bool TcpClient::connect(const std::string& host, int port, int timeoutMs)
{
    close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0)
        return false;
    if (recvBuffer_ > 0)
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &recvBuffer_, sizeof recvBuffer_);
    if (!localHost_.empty()) {
        sockaddr_in local = ipv4(localHost_, 0);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            close();
            return false;
        }
    }
    sockaddr_in a = ipv4(host, port);
    int r = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int err = r == 0 ? 0 : errno;
    if (err == EINPROGRESS && pollFor(fd_, POLLOUT, timeoutMs)) {
        socklen_t len = sizeof err;
        ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
    }
    if (err != 0) {
        close();
        return false;
    }
    // Back to blocking: every later wait is a poll() with its own deadline.
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    return true;
}

bool TcpClient::sendAll(const std::string& bytes, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t sent = 0;
    while (fd_ >= 0 && sent < bytes.size()) {
        if (!pollFor(fd_, POLLOUT, msLeft(deadline)))
            return false;
        ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        sent += n > 0 ? static_cast<size_t>(n) : 0;
    }
    return sent == bytes.size();
}

bool TcpClient::fill(int timeoutMs)
{
    if (fd_ < 0)
        eof_ = true;
    if (eof_ || !pollFor(fd_, POLLIN, timeoutMs))
        return false;
    char buf[65536];
    ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
        pending_.append(buf, static_cast<size_t>(n));
        return true;
    }
    if (n == 0 || (errno != EAGAIN && errno != EINTR))
        eof_ = true;  // closed or reset
    return false;
}

std::string TcpClient::recvExactly(size_t n, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (pending_.size() < n && (fill(msLeft(deadline)) || (!eof_ && msLeft(deadline) > 0)))
        ;
    std::string out = pending_.substr(0, n);
    pending_.erase(0, out.size());
    return out;
}

std::string TcpClient::recvSome(int timeoutMs)
{
    if (pending_.empty())
        fill(timeoutMs);
    std::string out;
    out.swap(pending_);
    return out;
}

std::string TcpClient::recvUntil(const std::string& delim, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t pos;
    while ((pos = pending_.find(delim)) == std::string::npos) {
        if (!fill(msLeft(deadline)) && (eof_ || msLeft(deadline) == 0))
            return {};
    }
    std::string out = pending_.substr(0, pos + delim.size());
    pending_.erase(0, out.size());
    return out;
}

bool TcpClient::waitClosed(int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!eof_ && (fill(msLeft(deadline)) || msLeft(deadline) > 0))
        ;
    return eof_;
}

int TcpClient::localPort() const
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return 0;
    return ntohs(a.sin_port);
}

void TcpClient::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    eof_ = false;
    pending_.clear();
}

UdpSocket::UdpSocket()
    : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
{
}

UdpSocket::~UdpSocket()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool UdpSocket::bind(int port, const std::string& host)
{
    int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a = ipv4(host, port);
    return ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

int UdpSocket::localPort() const
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

bool UdpSocket::joinMulticast(const std::string& group)
{
    ip_mreq mreq{};
    ::inet_pton(AF_INET, group.c_str(), &mreq.imr_multiaddr);
    ::inet_pton(AF_INET, "127.0.0.1", &mreq.imr_interface);
    return ::setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) == 0 &&
           ::setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_IF, &mreq.imr_interface, sizeof mreq.imr_interface) == 0;
}

bool UdpSocket::sendTo(const std::string& host, int port, const std::string& bytes)
{
    sockaddr_in a = ipv4(host, port);
    ssize_t n = ::sendto(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return n == static_cast<ssize_t>(bytes.size());
}

std::optional<Datagram> UdpSocket::recvFrom(int timeoutMs)
{
    if (!pollFor(fd_, POLLIN, timeoutMs))
        return std::nullopt;
    std::string buf(65536, '\0');
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = ::recvfrom(fd_, buf.data(), buf.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0)
        return std::nullopt;
    char host[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &from.sin_addr, host, sizeof host);
    buf.resize(static_cast<size_t>(n));
    return Datagram{buf, host, ntohs(from.sin_port)};
}

}  // namespace oxt
