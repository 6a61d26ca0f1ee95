#pragma once
// What the two oxdp endpoints share: the process-wide libsrt lifetime, its log
// routing and level, and the one place that turns a libsrt error into a log line.
//
// libsrt is started once for the process and ended once, at exit. Each
// listening attempt of an endpoint still calls startup()/cleanup() around its
// work, but those only count attempts: one endpoint's attempt ending can never
// tear the library down under another endpoint's live sockets.
#include <srt/srt.h>

#include <functional>

namespace oxSrt {

// Latency of every oxdp socket, in milliseconds.
constexpr int kLatencyMs = 20;
// Largest SRT live-mode message payload.
constexpr int kMaxMessage = 1316;
// srt_epoll_add_usock event mask: SRT_EPOLL_IN | SRT_EPOLL_ERR.
constexpr int kPollEvents = int(SRT_EPOLL_IN) | int(SRT_EPOLL_ERR);
// libsrt's own log: warnings and errors only (LOG_WARNING), unless the
// operator turns on debug of the category oxnode.srt.lib (QT_LOGGING_RULES),
// then everything (LOG_DEBUG). At debug level libsrt writes several lines for
// every handshake datagram, which anyone can send.
constexpr int kLibLogLevel = 4;
constexpr int kLibDebugLogLevel = 7;

// Every socket of a listener, and the callers it accepts, are sized for a live
// relay of kLiveBitRateMbps, instead of libsrt's defaults (a 25600-packet
// flow window and an 8192-packet receive buffer, about 1 MiB per caller).
constexpr int kLiveBitRateMbps = 20;
// Packets in flight and in the receive buffer: half a second of
// kLiveBitRateMbps in kMaxMessage payloads (about 950), far above the 20 ms
// latency plus a long round trip.
constexpr int kFlowWindowPackets = 1024;
// libsrt counts its buffers in packets of MSS less the UDP/IP headers (1472 bytes).
constexpr int kBufferPacketBytes = 1472;
constexpr int kReceiveBufferBytes = kFlowWindowPackets * kBufferPacketBytes;
// The sender keeps a packet until it is acknowledged or, in live mode, at
// least one second old: two seconds of kLiveBitRateMbps, so a send never
// waits for room below twice that rate.
constexpr int kSendBufferPackets = 4096;
constexpr int kSendBufferBytes = kSendBufferPackets * kBufferPacketBytes;

// Any thread. The first call in the process starts libsrt, routes its log into
// the category oxnode.srt.lib and arranges srt_cleanup at process exit; every
// call counts one open attempt. Returns srt_startup's result for the first
// call, 1 ("already started") afterwards.
int startup();
// Any thread. Ends one attempt; never ends the library.
void cleanup();
// Attempts between startup() and cleanup() right now (for tests).
int openAttempts();

// Any thread: srt_setloglevel. libsrt's level is process-wide.
void setLogLevel(int level);
// kLibDebugLogLevel when debug of oxnode.srt.lib is on, kLibLogLevel otherwise.
int libLogLevel();

// Any thread. Writes prefix followed by srt_getlasterror_str() of the calling
// thread to the oxnode.srt debug log, then suffix, e.g. "srt_bind: Operation not supported...".
// Callers can cause these, so they count against the process's budget of
// peer lines (service/logLimit.h).
void logError(const char* prefix, const char* suffix = "");

// Log texts of the setup steps that differ between the two endpoints.
struct ListenTexts {
    const char* listen;      // srt_listen failed
    const char* epollCreate; // srt_epoll_create of the process's poll set failed
    const char* epollAdd;    // srt_epoll_add_usock of the listener failed
};

// The setup of one listening attempt, run on the endpoint's own thread: a
// non-blocking-receive SRT socket with kLatencyMs latency and the buffer
// sizes above, bound to UDP port
// on all IPv4 addresses, listening (backlog 10). Options of the listening
// socket belong here, before srt_listen: beforeListen, when set, is given the
// bound socket right before srt_listen. Every failure is logged with its
// specified text; whatever was opened is released again and false returned.
// The caller puts the socket into the process's poll set (srtPoller.h).
bool openListener(int port, const ListenTexts& texts, SRTSOCKET* sock,
                  const std::function<void(SRTSOCKET)>& beforeListen = {});

// Accepts one caller on a listening socket and logs
// "oxdp tx new connection: host:port" (plus " socket fd:<handle>" when
// withHandle), within the budget of peer lines. SRT_INVALID_SOCK, with acceptText and the error logged, on failure.
SRTSOCKET acceptCaller(SRTSOCKET listener, const char* acceptText, bool withHandle);

// True for the states of a caller that is gone (broken, closed, nonexistent).
bool isGone(SRT_SOCKSTATUS state);

// For a socket connecting in the background: true once the attempt failed.
// libsrt reads it as broken for a moment while it completes the handshake;
// an attempt that really failed carries a reason (a timeout, a refusal).
bool connectFailed(SRTSOCKET s);

} // namespace oxSrt
