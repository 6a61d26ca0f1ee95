#pragma once
// One connection of a pull source, as a caller: the TCP client and the SRT
// caller behind one small interface, so that the endpoint runs a single loop
// of attempts for both. Everything here runs on the endpoint's worker thread;
// every wait is a poll of at most kPollMs, so a stop is noticed quickly.
#include <srt/srt.h>

#include <QString>

#include <atomic>
#include <memory>

#include <sys/socket.h>

class pullLink
{
public:
    // Longest wait in one poll.
    static constexpr int kPollMs = 100;
    // Longest time a connection may take to come up.
    static constexpr int kConnectTimeoutMs = 3000;

    virtual ~pullLink() = default;
    // Connects to addr; false with the reason in *why (or when stop is set).
    virtual bool open(const sockaddr* addr, socklen_t len, const std::atomic<bool>& stop, QString* why) = 0;
    // Receives each chunk: the endpoint's counting receive callback.
    using Deliver = void (*)(unsigned char* data, int len, void* user);
    // Waits for data up to kPollMs and hands each chunk to deliver(data, n, user).
    // False, with the reason, when the connection is gone.
    virtual bool pump(Deliver deliver, void* user, QString* why) = 0;
    // SRT statistics of the connection; false for TCP.
    virtual bool stats(SRT_TRACEBSTATS*) { return false; }

    static std::unique_ptr<pullLink> tcp();
    // streamId: SRTO_STREAMID of the caller (see pullChain.h); empty: none.
    static std::unique_ptr<pullLink> srt(int latencyMs, const QByteArray& passphrase, const QByteArray& streamId);
};
