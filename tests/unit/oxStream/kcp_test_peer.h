// Helpers of the oxlat unit tests: a KCP peer built on our own ikcp over a UDP
// socket on 127.0.0.1 (its own thread), hand-made segment headers, free UDP
// ports and a capture of standard output that can be read while it grows.
#pragma once

#include "ikcp.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kcpt {

// A port the kernel just handed out for UDP; free again when this returns.
inline int freeUdpPort()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// One KCP segment header (little-endian) followed by `payload`.
inline std::string segment(uint32_t conv, uint8_t cmd, uint32_t sn, uint32_t len, const std::string& payload = {},
                           uint8_t frg = 0, uint16_t wnd = 128, uint32_t una = 0)
{
    std::string s(24, '\0');
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            s[at + static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xff);
    };
    put32(0, conv);
    s[4] = static_cast<char>(cmd);
    s[5] = static_cast<char>(frg);
    s[6] = static_cast<char>(wnd & 0xff);
    s[7] = static_cast<char>(wnd >> 8);
    put32(8, 0);
    put32(12, sn);
    put32(16, una);
    put32(20, len);
    return s + payload;
}

// Redirects file descriptor 1 into a temporary file until destruction; the
// text written so far can be read at any time (the session flushes its lines).
class StdoutCapture
{
public:
    StdoutCapture()
    {
        std::fflush(stdout);
        char tmpl[] = "/tmp/oxkcpoutXXXXXX";
        fd_ = ::mkstemp(tmpl);
        path_ = tmpl;
        saved_ = ::dup(1);
        ::dup2(fd_, 1);
    }
    ~StdoutCapture()
    {
        std::fflush(stdout);
        const bool failed = ::testing::Test::HasFailure();
        const std::string captured = failed ? text() : std::string();
        ::dup2(saved_, 1);
        if (failed) // gtest's own failure lines went into the capture too
            std::fprintf(stderr, "---- captured standard output ----\n%s\n----\n", captured.c_str());
        ::close(saved_);
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    std::string text() const
    {
        std::fflush(stdout);
        std::string out;
        const int fd = ::open(path_.c_str(), O_RDONLY);
        char buf[4096];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0)
            out.append(buf, static_cast<size_t>(n));
        ::close(fd);
        return out;
    }
    int count(const std::string& needle) const
    {
        const std::string t = text();
        int n = 0;
        for (size_t at = t.find(needle); at != std::string::npos; at = t.find(needle, at + needle.size()))
            ++n;
        return n;
    }

private:
    int fd_ = -1;
    int saved_ = -1;
    std::string path_;
};

// A KCP peer talking to 127.0.0.1:targetPort. Until begin() it has no
// control block and only sends raw datagrams. Every method is thread safe
// (one mutex shared with the peer's thread).
class Peer
{
public:
    // bindPort 0: any free port. A fixed port is bound with SO_REUSEADDR, so
    // that a session may bind the same port on the any-address.
    explicit Peer(int targetPort, const char* bindHost = "127.0.0.1", int bindPort = 0) : target_(targetPort)
    {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        const int one = 1;
        if (bindPort)
            ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(bindPort));
        ::inet_pton(AF_INET, bindHost, &a.sin_addr);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        thread_ = std::thread([this] { run(); });
    }
    ~Peer()
    {
        stop_.store(true);
        thread_.join();
        if (kcp_)
            ikcp_release(kcp_);
        ::close(fd_);
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    void begin(uint32_t conv)
    {
        std::lock_guard<std::mutex> g(m_);
        if (kcp_)
            ikcp_release(kcp_);
        kcp_ = ikcp_create(conv, this);
        kcp_->output = &Peer::output;
        ikcp_nodelay(kcp_, 1, 10, 2, 1);
        ikcp_wndsize(kcp_, 1024, 1024);
    }
    void send(const std::string& msg)
    {
        std::lock_guard<std::mutex> g(m_);
        ikcp_send(kcp_, msg.data(), static_cast<int>(msg.size()));
        ikcp_flush(kcp_);
    }
    void sendRaw(const std::string& datagram)
    {
        sockaddr_in to = targetAddr();
        ::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    // Offline: incoming datagrams are thrown away and nothing is sent.
    void setOffline(bool off) { offline_.store(off); }

    std::vector<std::string> messages()
    {
        std::lock_guard<std::mutex> g(m_);
        return {messages_.begin(), messages_.end()};
    }
    size_t messageCount()
    {
        std::lock_guard<std::mutex> g(m_);
        return messages_.size();
    }
    size_t bytesReceived()
    {
        std::lock_guard<std::mutex> g(m_);
        size_t n = 0;
        for (const auto& m : messages_)
            n += m.size();
        return n;
    }
    int datagramsWithConv(uint32_t conv)
    {
        std::lock_guard<std::mutex> g(m_);
        int n = 0;
        for (uint32_t c : seenConvs_)
            n += c == conv;
        return n;
    }
    uint32_t lastConv()
    {
        std::lock_guard<std::mutex> g(m_);
        return seenConvs_.empty() ? 0 : seenConvs_.back();
    }
    int datagramsSeen()
    {
        std::lock_guard<std::mutex> g(m_);
        return static_cast<int>(seenConvs_.size());
    }
    int waitSnd()
    {
        std::lock_guard<std::mutex> g(m_);
        return kcp_ ? ikcp_waitsnd(kcp_) : 0;
    }

private:
    sockaddr_in targetAddr() const
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(static_cast<uint16_t>(target_));
        return to;
    }
    static int output(const char* buf, int len, ikcpcb*, void* user)
    {
        auto* self = static_cast<Peer*>(user);
        if (self->offline_.load())
            return len;
        self->sendRaw(std::string(buf, static_cast<size_t>(len)));
        return len;
    }
    static IUINT32 now()
    {
        return static_cast<IUINT32>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
    }
    void run()
    {
        std::vector<char> buf(65536);
        while (!stop_.load()) {
            pollfd p{fd_, POLLIN, 0};
            ::poll(&p, 1, 1);
            std::lock_guard<std::mutex> g(m_);
            for (;;) {
                const ssize_t n = ::recv(fd_, buf.data(), buf.size(), MSG_DONTWAIT);
                if (n < 0)
                    break;
                if (offline_.load())
                    continue;
                if (n >= 4)
                    seenConvs_.push_back(ikcp_getconv(buf.data()));
                if (kcp_ && n >= 24)
                    ikcp_input(kcp_, buf.data(), n);
            }
            if (!kcp_)
                continue;
            if (!offline_.load())
                ikcp_update(kcp_, now());
            for (;;) {
                const int size = ikcp_peeksize(kcp_);
                if (size < 0)
                    break;
                std::string msg(static_cast<size_t>(size), '\0');
                ikcp_recv(kcp_, &msg[0], size);
                messages_.push_back(std::move(msg));
            }
        }
    }

    int target_;
    int fd_ = -1;
    ikcpcb* kcp_ = nullptr;
    std::mutex m_;
    std::deque<std::string> messages_;
    std::vector<uint32_t> seenConvs_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> offline_{false};
    std::thread thread_;
};

} // namespace kcpt
