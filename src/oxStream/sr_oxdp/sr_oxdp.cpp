#include "sr_oxdp.h"
#include "service/logging.h"
#include "oxStream.h"
#include "oxStreamBuffers.h"

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>

sr_oxdp::sr_oxdp(int endpointId_, QJsonObject cfg)
    : srtListener("sr_oxdp", endpointId_, cfg,
                  {false, {"srt_listen: ", "srt_epoll_create: ", "srt_epoll_add_usock: "}, "srt_accept: ", false})
{
}

sr_oxdp::~sr_oxdp()
{
    requestExit();
    joinThreads();
}

void sr_oxdp::attemptBegins()
{
    srtReady.store(false);
}

void sr_oxdp::callerAccepted(SRTSOCKET caller)
{
    callers.push_back(caller);
    sockaddr_storage sa{};
    int saLen = sizeof sa;
    char host[NI_MAXHOST] = "";
    char serv[NI_MAXSERV] = "";
    if (srt_getpeername(caller, reinterpret_cast<sockaddr*>(&sa), &saLen) == 0)
        getnameinfo(reinterpret_cast<sockaddr*>(&sa), static_cast<socklen_t>(saLen), host, sizeof host, serv,
                    sizeof serv, NI_NUMERICHOST | NI_NUMERICSERV);
    callerAddrs.push_back(std::string(host) + ':' + serv);
}

void sr_oxdp::callerGone(SRTSOCKET caller)
{
    forget(caller);
    if (stream)
        stream->publisherGone({publishInput::oxdp, static_cast<uint64_t>(static_cast<uint32_t>(caller)), nullptr});
    srtReady.store(false);
}

void sr_oxdp::callerReadable(SRTSOCKET caller)
{
    srtReady.store(true);
    if (!serveCaller(caller))
        forget(caller);
}

std::vector<SRTSOCKET> sr_oxdp::attemptEnds()
{
    srtReady.store(false);
    std::vector<SRTSOCKET> leaving;
    leaving.swap(callers);
    callerAddrs.clear();
    return leaving;
}

void sr_oxdp::forget(SRTSOCKET caller)
{
    for (size_t i = 0; i < callers.size(); ++i) {
        if (callers[i] == caller) {
            callers.erase(callers.begin() + static_cast<std::ptrdiff_t>(i));
            callerAddrs.erase(callerAddrs.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
    }
}

// Drains one caller completely. A receive error other than "nothing more
// now" closes that caller only: the other callers keep being served.
bool sr_oxdp::serveCaller(SRTSOCKET caller)
{
    char data[1500];
    publishGate::publisher who{publishInput::oxdp, static_cast<uint64_t>(static_cast<uint32_t>(caller)), nullptr};
    for (size_t i = 0; i < callers.size(); ++i) {
        if (callers[i] == caller)
            who.addr = callerAddrs[i].c_str();
    }
    while (!stopping()) {
        const int n = srt_recvmsg(caller, data, sizeof data);
        if (n == SRT_ERROR) {
            if (srt_getlasterror(nullptr) == SRT_EASYNCRCV)
                return true;
            oxSrt::logError("srt_recvmsg: ");
            dropCaller(caller);
            return false;
        }
        bytesIn.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
        if (stream)
            stream->putStream(oxStreamBuf::createStreamBuf(BUF_STREAM_H265, data, n, n, this), &who);
        srtReady.store(true);
        refreshStats(caller);
    }
    return true;
}
