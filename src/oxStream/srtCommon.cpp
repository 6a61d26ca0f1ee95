#include "srtCommon.h"
#include "service/logLimit.h"
#include "service/logging.h"
#include "srtPoller.h"

#include <QByteArray>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <netdb.h>
#include <sys/socket.h>

namespace oxSrt {

namespace {

std::once_flag libraryOnce;
int firstStartupResult = 0;
std::atomic<int> attempts{0};

// Runs on libsrt's threads (and the endpoints' threads): Qt logging is thread
// safe. Most of what libsrt says is about a peer's packets, so every line
// counts against the budget of peer lines.
void libLogHandler(void*, int level, const char*, int, const char*, const char* message)
{
    // An operator who turned the library's debug on wants every line.
    const bool debug = lcSrtLib().isDebugEnabled();
    if (!debug && !peerLineAllowed(peerLine::chatter))
        return;
    size_t len = std::strlen(message);
    while (len > 0 && (message[len - 1] == '\n' || message[len - 1] == '\r'))
        --len;
    if (level <= 4) // LOG_CRIT, LOG_ERR, LOG_WARNING
        qCWarning(lcSrtLib, "%.*s", static_cast<int>(len), message);
    else
        qCDebug(lcSrtLib, "%.*s", static_cast<int>(len), message);
}

void endLibrary()
{
    Poller::shutdown(); // its thread must not be inside the library now
    // Qt's logging may already be partly torn down this late: let libsrt
    // write its last words to stderr itself.
    srt_setloghandler(nullptr, nullptr);
    srt_setloglevel(3);
    srt_cleanup();
}

void startLibrary()
{
    // Construct the categories now, so that they are destroyed only after
    // endLibrary has run at exit.
    (void)lcSrt();
    (void)lcSrtLib();
    srt_setlogflags(SRT_LOGF_DISABLE_TIME | SRT_LOGF_DISABLE_EOL);
    srt_setloghandler(nullptr, &libLogHandler);
    srt_setloglevel(libLogLevel());
    firstStartupResult = srt_startup();
    std::atexit(&endLibrary);
}

} // namespace

int startup()
{
    bool first = false;
    std::call_once(libraryOnce, [&first] {
        startLibrary();
        first = true;
    });
    attempts.fetch_add(1);
    return first ? firstStartupResult : 1;
}

void cleanup()
{
    attempts.fetch_sub(1);
}

int openAttempts()
{
    return attempts.load();
}

void setLogLevel(int level)
{
    srt_setloglevel(level);
}

int libLogLevel()
{
    return lcSrtLib().isDebugEnabled() ? kLibDebugLogLevel : kLibLogLevel;
}

void logError(const char* prefix, const char* suffix)
{
    if (!peerLineAllowed(peerLine::chatter))
        return;
    qCDebug(lcSrt, "%s%s%s", prefix, srt_getlasterror_str(), suffix);
}

bool openListener(int port, const ListenTexts& texts, SRTSOCKET* sock,
                  const std::function<void(SRTSOCKET)>& beforeListen)
{
    *sock = SRT_INVALID_SOCK;
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* res = nullptr;
    const QByteArray service = QByteArray::number(port);
    if (getaddrinfo(nullptr, service.constData(), &hints, &res) != 0 || !res) {
        qCDebug(lcSrt, "illegal port number or port is busy.\n");
        return false;
    }
    const SRTSOCKET s = srt_create_socket();
    if (s == SRT_INVALID_SOCK) {
        logError("srt_socket: ");
        freeaddrinfo(res);
        return false;
    }
    const bool no = false;
    const int latency = kLatencyMs;
    // The flow window first: libsrt cuts the receive buffer down to it.
    const int flowWindow = kFlowWindowPackets;
    const int receiveBuffer = kReceiveBufferBytes;
    const int sendBuffer = kSendBufferBytes;
    const char* failed = nullptr;
    if (srt_setsockopt(s, 0, SRTO_RCVSYN, &no, sizeof no) == SRT_ERROR)
        failed = "srt_setsockopt: ";
    else if (srt_setsockflag(s, SRTO_LATENCY, &latency, sizeof latency) == SRT_ERROR)
        failed = "srt_setsockflag SRTO_LATENCY error: ";
    else if (srt_setsockflag(s, SRTO_FC, &flowWindow, sizeof flowWindow) == SRT_ERROR)
        failed = "srt_setsockflag SRTO_FC error: ";
    else if (srt_setsockflag(s, SRTO_RCVBUF, &receiveBuffer, sizeof receiveBuffer) == SRT_ERROR)
        failed = "srt_setsockflag SRTO_RCVBUF error: ";
    else if (srt_setsockflag(s, SRTO_SNDBUF, &sendBuffer, sizeof sendBuffer) == SRT_ERROR)
        failed = "srt_setsockflag SRTO_SNDBUF error: ";
    else if (srt_bind(s, res->ai_addr, static_cast<int>(res->ai_addrlen)) == SRT_ERROR)
        failed = "srt_bind: ";
    freeaddrinfo(res);
    if (!failed) {
        qCDebug(lcSrt, "server is ready at port: %d", port);
        if (beforeListen)
            beforeListen(s);
        if (srt_listen(s, 10) == SRT_ERROR)
            failed = texts.listen;
    }
    if (failed) {
        logError(failed);
        srt_close(s);
        return false;
    }
    *sock = s;
    return true;
}

SRTSOCKET acceptCaller(SRTSOCKET listener, const char* acceptText, bool withHandle)
{
    sockaddr_storage addr{};
    int addrLen = sizeof addr;
    const SRTSOCKET c = srt_accept(listener, reinterpret_cast<sockaddr*>(&addr), &addrLen);
    if (c == SRT_INVALID_SOCK) {
        logError(acceptText);
        return SRT_INVALID_SOCK;
    }
    if (!peerLineAllowed(peerLine::chatter))
        return c;
    char host[1025] = "";
    char serv[32] = "";
    getnameinfo(reinterpret_cast<sockaddr*>(&addr), static_cast<socklen_t>(addrLen), host, sizeof host, serv,
                sizeof serv, NI_NUMERICHOST | NI_NUMERICSERV);
    if (withHandle)
        qCDebug(lcSrt, "oxdp tx new connection: %s:%s socket fd:%d", host, serv, c);
    else
        qCDebug(lcSrt, "oxdp tx new connection: %s:%s", host, serv);
    return c;
}

bool isGone(SRT_SOCKSTATUS state)
{
    return state == SRTS_BROKEN || state == SRTS_CLOSED || state == SRTS_NONEXIST;
}

bool connectFailed(SRTSOCKET s)
{
    const SRT_SOCKSTATUS state = srt_getsockstate(s);
    if (state == SRTS_BROKEN)
        return srt_getrejectreason(s) != SRT_REJ_UNKNOWN;
    return isGone(state);
}

} // namespace oxSrt
