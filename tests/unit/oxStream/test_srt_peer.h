// Helpers of the oxdp unit tests: an SRT caller written directly on libsrt,
// free ports in the host's network namespace, and a collector of Qt log lines.
// Each object belongs to the test thread that made it, except where noted.
#pragma once

#include "srtCommon.h"

#include <QtGlobal>
#include <QString>

#include <srt/srt.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace srtt {

// Makes sure libsrt is up for the test's own sockets (the library is
// process-wide; this does not hold an attempt open).
inline void ensureLibrary()
{
    oxSrt::startup();
    oxSrt::cleanup();
}

inline bool canBind(int type, int port)
{
    const int fd = ::socket(AF_INET, type, 0);
    if (fd < 0)
        return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// A UDP port that is free right now (the kernel's choice).
inline int freeUdpPort()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// A stream ID N whose ports (TCP and UDP 8010/8011/8020/8021 + 20*N) are all
// free; never the same ID twice in one process.
inline int freeStreamId()
{
    static int next = 1000 + static_cast<int>(::getpid() % 1200);
    for (int tries = 0; tries < 1500; ++tries) {
        const int n = next;
        next = next + 1 > 2700 ? 1000 : next + 1;
        bool free = true;
        for (int off : {0, 1, 10, 11})
            free = free && canBind(SOCK_DGRAM, 8010 + 20 * n + off) && canBind(SOCK_STREAM, 8010 + 20 * n + off);
        if (free)
            return n;
    }
    return -1;
}

// One SRT caller in live mode with 20 ms latency.
class SrtPeer
{
public:
    SrtPeer() { ensureLibrary(); }
    ~SrtPeer() { close(); }
    SrtPeer(const SrtPeer&) = delete;
    SrtPeer& operator=(const SrtPeer&) = delete;

    // Retries until the listener answers or timeoutMs passes.
    bool connect(int port, int timeoutMs = 5000)
    {
        close();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        do {
            s_ = srt_create_socket();
            const int latency = 20;
            const int connTimeout = 300;
            srt_setsockflag(s_, SRTO_LATENCY, &latency, sizeof latency);
            srt_setsockflag(s_, SRTO_CONNTIMEO, &connTimeout, sizeof connTimeout);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(port));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (srt_connect(s_, reinterpret_cast<sockaddr*>(&a), sizeof a) != SRT_ERROR)
                return true;
            srt_close(s_);
            s_ = SRT_INVALID_SOCK;
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }
    bool send(const std::string& msg)
    {
        return s_ != SRT_INVALID_SOCK && srt_send(s_, msg.data(), static_cast<int>(msg.size())) != SRT_ERROR;
    }
    // One message, or nothing on timeout or break.
    std::optional<std::string> recv(int timeoutMs)
    {
        if (s_ == SRT_INVALID_SOCK)
            return std::nullopt;
        srt_setsockflag(s_, SRTO_RCVTIMEO, &timeoutMs, sizeof timeoutMs);
        char buf[1500];
        const int n = srt_recvmsg(s_, buf, sizeof buf);
        if (n == SRT_ERROR)
            return std::nullopt;
        return std::string(buf, static_cast<size_t>(n));
    }
    bool broken() const
    {
        const SRT_SOCKSTATUS st = srt_getsockstate(s_);
        return st != SRTS_CONNECTED;
    }
    void close()
    {
        if (s_ != SRT_INVALID_SOCK)
            srt_close(s_);
        s_ = SRT_INVALID_SOCK;
    }
    SRTSOCKET socket() const { return s_; }

private:
    SRTSOCKET s_ = SRT_INVALID_SOCK;
};

// Collects the messages of the oxnode.srt categories while it lives (only one
// at a time); any thread may log into it.
class LogCollector
{
public:
    LogCollector() { previous_ = qInstallMessageHandler(&LogCollector::handle); instance() = this; }
    ~LogCollector()
    {
        qInstallMessageHandler(previous_);
        instance() = nullptr;
    }
    int count(const std::string& substr)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        int n = 0;
        for (const auto& l : lines_)
            n += l.find(substr) != std::string::npos;
        return n;
    }

private:
    static LogCollector*& instance()
    {
        static LogCollector* self = nullptr;
        return self;
    }
    static void handle(QtMsgType, const QMessageLogContext& ctx, const QString& msg)
    {
        LogCollector* self = instance();
        if (!self || !ctx.category || std::string(ctx.category) != "oxnode.srt")
            return;
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->lines_.push_back(msg.toStdString());
    }
    QtMessageHandler previous_ = nullptr;
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

} // namespace srtt
