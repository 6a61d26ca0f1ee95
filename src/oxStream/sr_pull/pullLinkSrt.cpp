// The SRT caller of a pull source: a non-blocking socket in a poll set of
// its own; each SRT message becomes one buffer, as on the oxdp input.
#include "pullChain.h"
#include "pullLink.h"
#include "srtCommon.h"

#include <QByteArray>

#include <chrono>

namespace {

class srtLink : public pullLink
{
public:
    srtLink(int latencyMs_, const QByteArray& passphrase_, const QByteArray& streamId_)
        : latencyMs(latencyMs_)
        , passphrase(passphrase_)
        , streamId(streamId_)
    {
        oxSrt::startup();
    }

    ~srtLink() override
    {
        if (eid >= 0)
            srt_epoll_release(eid);
        if (sock != SRT_INVALID_SOCK)
            srt_close(sock);
        oxSrt::cleanup();
    }

    bool open(const sockaddr* addr, socklen_t len, const std::atomic<bool>& stop, QString* why) override
    {
        sock = srt_create_socket();
        if (sock == SRT_INVALID_SOCK)
            return failed(why);
        const bool no = false;
        const int transtype = SRTT_LIVE;
        if (srt_setsockflag(sock, SRTO_TRANSTYPE, &transtype, sizeof transtype) == SRT_ERROR
            || srt_setsockflag(sock, SRTO_RCVSYN, &no, sizeof no) == SRT_ERROR
            || srt_setsockflag(sock, SRTO_LATENCY, &latencyMs, sizeof latencyMs) == SRT_ERROR)
            return failed(why);
        if (!passphrase.isEmpty()
            && srt_setsockflag(sock, SRTO_PASSPHRASE, passphrase.constData(), passphrase.size()) == SRT_ERROR)
            return failed(why);
        if (!streamId.isEmpty()
            && srt_setsockflag(sock, SRTO_STREAMID, streamId.constData(), streamId.size()) == SRT_ERROR)
            return failed(why);
        eid = srt_epoll_create();
        const int events = int(SRT_EPOLL_OUT) | int(SRT_EPOLL_IN) | int(SRT_EPOLL_ERR);
        if (eid < 0 || srt_epoll_add_usock(eid, sock, &events) == SRT_ERROR)
            return failed(why);
        if (srt_connect(sock, addr, static_cast<int>(len)) == SRT_ERROR)
            return failed(why);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kConnectTimeoutMs);
        while (!stop.load()) {
            const SRT_SOCKSTATUS state = srt_getsockstate(sock);
            if (state == SRTS_CONNECTED) {
                const int readable = oxSrt::kPollEvents;
                srt_epoll_update_usock(eid, sock, &readable);
                return true;
            }
            if (oxSrt::connectFailed(sock)) {
                const int reason = srt_getrejectreason(sock);
                *why = reason == pullChain::kLoopRejectReason
                    ? QStringLiteral("refused: a loop, the origin's stream is fed by this stream")
                    : QString::fromLatin1(srt_rejectreason_str(reason));
                return false;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                *why = QStringLiteral("connection timed out");
                return false;
            }
            SRTSOCKET ready[1];
            int rnum = 1;
            srt_epoll_wait(eid, ready, &rnum, nullptr, nullptr, kPollMs, nullptr, nullptr, nullptr, nullptr);
        }
        *why = QStringLiteral("stopped");
        return false;
    }

    bool pump(Deliver deliver, void* user, QString* why) override
    {
        SRTSOCKET ready[1];
        int rnum = 1;
        if (srt_epoll_wait(eid, ready, &rnum, nullptr, nullptr, kPollMs, nullptr, nullptr, nullptr, nullptr) <= 0)
            return !oxSrt::isGone(srt_getsockstate(sock));
        for (;;) {
            const int n = srt_recvmsg(sock, data, sizeof data);
            if (n == SRT_ERROR) {
                if (srt_getlasterror(nullptr) == SRT_EASYNCRCV)
                    return true;
                return failed(why);
            }
            deliver(reinterpret_cast<unsigned char*>(data), n, user);
        }
    }

    bool stats(SRT_TRACEBSTATS* out) override
    {
        return sock != SRT_INVALID_SOCK && srt_bstats(sock, out, 1) == 0;
    }

private:
    bool failed(QString* why)
    {
        *why = QString::fromLatin1(srt_getlasterror_str());
        return false;
    }

    const int latencyMs;
    const QByteArray passphrase;
    const QByteArray streamId;
    SRTSOCKET sock = SRT_INVALID_SOCK;
    int eid = -1;
    char data[1500];
};

} // namespace

std::unique_ptr<pullLink> pullLink::srt(int latencyMs, const QByteArray& passphrase, const QByteArray& streamId)
{
    return std::make_unique<srtLink>(latencyMs, passphrase, streamId);
}
