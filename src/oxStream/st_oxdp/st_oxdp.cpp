#include "st_oxdp.h"
#include "service/logging.h"
#include "oxStreamBuffers.h"

#include <algorithm>
#include <thread>

namespace {

long queuedSize(const oxStreamBuf* b)
{
    const oxStreambuf_t* p = b->streamPayload();
    return p ? p->size : 0;
}

} // namespace

st_oxdp::st_oxdp(int endpointId_, QJsonObject cfg)
    : srtListener("st_oxdp", endpointId_, cfg,
                  {true, {"srt tx_listen: ", "srt tx_epoll_create: ", "srt tx_epoll_add_usock: "}, "oxdp tx accept: ",
                   true})
{
}

st_oxdp::~st_oxdp()
{
    requestExit();
    wakeSender();
    // The server thread closes the callers as it leaves, which also ends a
    // send blocked on one of them.
    joinThreads();
    for (oxStreamBuf* b : sendQueue)
        delete b;
    sendQueue.clear();
}

void st_oxdp::startedOnce()
{
    startCompanion([this] { streamOutRun(); });
}

void st_oxdp::stop()
{
    srtListener::stop();
    wakeSender();
}

void st_oxdp::wakeSender()
{
    {
        std::lock_guard<std::mutex> lock(queueLock);
    }
    queueWake.notify_all();
}

int st_oxdp::queuedCount()
{
    std::lock_guard<std::mutex> lock(queueLock);
    return static_cast<int>(sendQueue.size());
}

long st_oxdp::queuedBytes()
{
    std::lock_guard<std::mutex> lock(queueLock);
    return queueBytes;
}

int st_oxdp::clientCount()
{
    std::lock_guard<std::mutex> lock(clientsLock);
    return static_cast<int>(clients.size());
}

void st_oxdp::putBufIn(oxStreamBuf* buf)
{
    if (!srtReady.load() || !buf || !buf->streamPayload())
        return;
    oxStreamBuf* copy = oxStreamBuf::copyStream(buf); // owned by the queue from here on
    std::vector<oxStreamBuf*> oldest;
    {
        std::lock_guard<std::mutex> lock(queueLock);
        sendQueue.push_back(copy);
        queueBytes += queuedSize(copy);
        // One copy (at most kMaxStreamBufSize) always fits.
        while (sendQueue.size() > 1
               && (static_cast<int>(sendQueue.size()) > kQueueLimit || queueBytes > kQueueByteLimit)) {
            oldest.push_back(sendQueue.front());
            queueBytes -= queuedSize(sendQueue.front());
            sendQueue.pop_front();
        }
    }
    queueWake.notify_one();
    if (oldest.empty())
        return;
    dropped.fetch_add(static_cast<long>(oldest.size()));
    for (oxStreamBuf* b : oldest)
        delete b;
    int64_t held = 0;
    if (!fullLine.allow(&held))
        return;
    if (held == 0)
        oxLog(100, "OXDP BUFF FULL\n");
    else
        oxLog(100, "OXDP BUFF FULL (+%lld since the last line)\n", static_cast<long long>(held));
}

bool st_oxdp::removeClient(SRTSOCKET s)
{
    std::lock_guard<std::mutex> lock(clientsLock);
    auto it = std::find(clients.begin(), clients.end(), s);
    if (it == clients.end())
        return false;
    clients.erase(it);
    // Only when no caller remains does the output stop queueing.
    if (clients.empty())
        srtReady.store(false);
    return true;
}

void st_oxdp::attemptBegins()
{
    srtReady.store(false);
    std::lock_guard<std::mutex> lock(clientsLock);
    clients.clear();
}

void st_oxdp::callerAccepted(SRTSOCKET caller)
{
    // Under the lock, so that a sender dropping the last caller at the same
    // time cannot clear srtReady after it was set for this one.
    std::lock_guard<std::mutex> lock(clientsLock);
    clients.push_back(caller);
    srtReady.store(true);
}

void st_oxdp::callerGone(SRTSOCKET caller)
{
    removeClient(caller);
}

void st_oxdp::callerReadable(SRTSOCKET caller)
{
    // Its data is not wanted, but left unread it would keep the poll
    // reporting the socket and spin this thread.
    char sink[1500];
    while (srt_recvmsg(caller, sink, sizeof sink) != SRT_ERROR) {
    }
}

std::vector<SRTSOCKET> st_oxdp::attemptEnds()
{
    srtReady.store(false);
    std::vector<SRTSOCKET> leaving;
    std::lock_guard<std::mutex> lock(clientsLock);
    leaving.swap(clients);
    return leaving;
}

void st_oxdp::streamOutRun()
{
    if (senderHeld.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return;
    }
    oxStreamBuf* copy = nullptr;
    {
        std::unique_lock<std::mutex> lock(queueLock);
        if (sendQueue.empty()) {
            // Woken by putBufIn, and by stop and destruction (wakeSender).
            queueWake.wait(lock, [this] { return !sendQueue.empty() || stopping(); });
            if (sendQueue.empty())
                return;
        }
        if (senderHeld.load())
            return;
        copy = sendQueue.front();
        queueBytes -= queuedSize(copy);
        sendQueue.pop_front();
    }
    {
        std::lock_guard<std::mutex> lock(clientsLock);
        sendTargets = clients;
    }
    const oxStreambuf_t* p = copy->streamPayload();
    for (SRTSOCKET s : sendTargets) {
        sendTo(s, p->data, p->len);
        refreshStats(s);
    }
    delete copy;
}

// Sends one copy to one caller in messages of at most kMaxMessage bytes; the
// first failed send closes that caller and ends its share of this copy.
void st_oxdp::sendTo(SRTSOCKET s, const unsigned char* data, int len)
{
    int off = 0;
    while (off < len) {
        const int chunk = std::min(len - off, oxSrt::kMaxMessage);
        if (srt_send(s, reinterpret_cast<const char*>(data + off), chunk) == SRT_ERROR) {
            const QByteArray tail = " " + QByteArray::number(s) + " data len:" + QByteArray::number(chunk);
            oxSrt::logError("oxdp tx _send: ", tail.constData());
            if (removeClient(s))
                dropCaller(s);
            return;
        }
        off += chunk;
    }
    bytesOut.fetch_add(static_cast<uint64_t>(len), std::memory_order_relaxed);
}

oxEndpointFigures st_oxdp::figures()
{
    oxEndpointFigures f = srtListener::figures();
    f.copiesDropped = static_cast<uint64_t>(dropped.load());
    f.hasSendQueue = true;
    return f;
}
