#include "sr_oxdp.h"
#include "service/logging.h"

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
}

void sr_oxdp::callerGone(SRTSOCKET caller)
{
    forget(caller);
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
    return leaving;
}

void sr_oxdp::forget(SRTSOCKET caller)
{
    callers.erase(std::remove(callers.begin(), callers.end(), caller), callers.end());
}

// Drains one caller completely. A receive error other than "nothing more
// now" closes that caller only: the other callers keep being served.
bool sr_oxdp::serveCaller(SRTSOCKET caller)
{
    char data[1500];
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
        revCB(reinterpret_cast<unsigned char*>(data), n, this);
        srtReady.store(true);
        refreshStats(caller);
    }
    return true;
}
