#pragma once
// Access rules of a stream at its SRT listeners. libsrt calls the listen
// callback on its own handshake thread for every caller, before any
// handshake work: a caller outside the allow-list is refused there, and for
// a protected direction the new socket gets the passphrase, so that libsrt
// (encryption enforced) refuses a caller without the right one.
//
// Every caller let through holds a place until it is gone: at most
// kMaxCallersPerEndpoint per listener, kMaxCallersPerAddress per IPv4 address
// and kMaxCallersPerProcess in all, counted over every listener of the
// process. Beyond a cap the callback refuses the caller (SRT_REJX_OVERLOAD)
// before libsrt builds anything for it, with a line that names the cap. With
// the buffers of srtCommon.h a caller costs about 260 KiB (most of it sized by
// the flow window the caller announces, 8192 packets for libsrt's defaults).
//
// The listener's thread tells the gate which callers it accepted and lost;
// after each poll the gate hands back the callers that rules changed since
// their admission now refuse, logs handshakes that never completed and gives
// back the places of callers that are gone.
#include <srt/srt.h>

#include <QString>

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <vector>

class oxStreamType;

class srtAccessGate
{
public:
    // Handshakes a listener waits for at once; beyond, the oldest counts as failed.
    static constexpr int kMaxPendingHandshakes = 64;
    // A caller let through the callback that is not accepted within this
    // time failed the handshake (with a passphrase set: a missing or wrong one;
    // without one it is forgotten silently).
    static constexpr int kHandshakeGraceMs = 3000;
    // Callers holding a place at once, see above.
    static constexpr int kMaxCallersPerEndpoint = 128;
    static constexpr int kMaxCallersPerAddress = 16;
    static constexpr int kMaxCallersPerProcess = 512;

    srtAccessGate(oxStreamType* endpoint, bool output);
    ~srtAccessGate();
    srtAccessGate(const srtAccessGate&) = delete;
    srtAccessGate& operator=(const srtAccessGate&) = delete;

    // Listener thread, before srt_listen.
    void install(SRTSOCKET listener, int port);
    // Listener thread.
    void admitted(SRTSOCKET caller);
    void gone(SRTSOCKET caller);
    void attemptEnded();
    // Listener thread, after each poll: callers to close now. Cheap while the
    // rules stay as they were.
    std::vector<SRTSOCKET> refusedNow();

private:
    // libsrt's handshake thread.
    static int listenCallback(void* opaque, SRTSOCKET ns, int hsVersion, const sockaddr* peer, const char* streamId);
    int check(SRTSOCKET ns, const sockaddr* peer);
    void logFailedHandshakes();
    // Handshake thread: a place for ns, or the text of the cap that refuses it.
    const char* takePlace(SRTSOCKET ns, uint32_t address);
    // Listener thread, and the handshake thread before it refuses a caller:
    // gives back the places of callers that are gone.
    void releaseGonePlaces();
    void releasePlace(SRTSOCKET caller);
    void releaseAllPlaces();

    struct Caller {
        SRTSOCKET socket;
        uint32_t address; // host byte order, 0 when not IPv4
        QString passphrase; // the one in force when it was admitted
    };
    // A caller between the callback and srt_accept, which returns the same socket.
    struct Pending {
        SRTSOCKET socket;
        uint32_t address;
        QString passphrase; // what the callback gave the socket
        std::chrono::steady_clock::time_point since;
    };

    oxStreamType* const endpoint;
    const bool output;
    int port = -1;
    unsigned seenGeneration = 0; // listener thread
    std::vector<Caller> callers; // listener thread

    std::mutex pendingLock; // between libsrt's handshake thread and the listener thread
    std::deque<Pending> pending;

    // The callers holding a place, with their address; guarded by the
    // process's lock of places (srtAccess.cpp), never held across a libsrt call.
    std::unordered_map<SRTSOCKET, uint32_t> places;
};
