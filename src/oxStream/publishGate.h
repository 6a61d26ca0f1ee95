#pragma once
// Which publisher's bytes a stream relays, when its publish policy is not
// "all": one publisher connection owns the stream at a time; what the others
// send is dropped (counted, and logged once per connection).
//
// Threads: offer() runs on the inputs' receiving threads (TCP workers, the
// SRT poll thread, KCP session threads, pull threads), possibly several at
// once. They serialise on `mediaLock`, which only they take: the decision
// and the owner's fan-out (the emit callback) run under it, so the bytes of
// an old and a new owner never interleave at an output. The main thread sets
// the policy through atomics and reads the figures through atomics and a
// sequence-checked copy of the active publisher; it never takes mediaLock.
//
// MPEG-TS sources (a 0x47 sync byte every 188 bytes, found per connection)
// are relayed in whole packets only: a partial packet at the end of a chunk
// waits for the rest, so a switch never tears a packet of either source.
// With atKeyframe a new owner comes in at a packet whose adaptation field
// has the random access indicator (after the PAT/PMT right before it); a
// waiting publisher keeps what it sent since its last such packet (at most
// kMaxKeptBytes) so that a switch can start there at once. Only TS packet
// headers are read; the media is never decoded. Other sources switch on
// chunk boundaries.
#include "publishPolicy.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

class publishGate
{
public:
    // One publisher connection as its input knows it; conn is unique within
    // the input for the connection's life, addr (may be null) is read only
    // when the connection is first seen.
    struct publisher {
        publishInput input = publishInput::tcp;
        uint64_t conn = 0;
        const char* addr = nullptr;
        bool backup = false; // a stream's second pull source: ranked right after the first
    };
    // Receives the bytes to relay; inChunk: [data, data + len) lies within
    // the chunk given to offer (else it is the gate's own copy, valid only
    // during the call).
    using emitFn = void (*)(void* ctx, const uint8_t* data, size_t len, bool inChunk);

    enum class Reason : uint8_t { none = 0, first, loss, back, forced };
    static const char* reasonName(Reason r); // "", "first", "loss", "return", "forced"

    static constexpr size_t kTsPacket = 188;
    // What a waiting publisher keeps since its last random access point, and
    // what all of a stream's waiting publishers keep together: past either,
    // the oldest GOP is let go and a switch waits for the next key frame.
    static constexpr size_t kMaxKeptBytes = 4u * 1024u * 1024u;
    static constexpr size_t kMaxKeptBytesPerStream = 16u * 1024u * 1024u;
    // Packets (PAT, PMT) just before a random access point that start with it.
    static constexpr size_t kPsiLeadPackets = 4;
    // Bytes a connection's first data is searched for TS sync in; sync means
    // kSyncPackets sync bytes 188 apart.
    static constexpr size_t kSyncPackets = 4;
    static constexpr size_t kDetectBytes = kTsPacket * (kSyncPackets + 1);
    // Publisher connections tracked at once (all inputs); chunks of further
    // ones are dropped. Far above the publishers of an honest stream.
    static constexpr size_t kMaxPublishers = 4096;
    // Reads up to this size that complete a packet begun in the read before
    // are joined to its start (one copy, one area per stream), so they go out
    // in one piece; a larger read costs one more fan-out instead of the copy.
    static constexpr size_t kJoinBytes = 16u * 1024u;
    // A connection silent this long is forgotten (its state freed).
    static constexpr int64_t kForgetAfterMs = 10000;

    publishGate();
    ~publishGate();
    publishGate(const publishGate&) = delete;
    publishGate& operator=(const publishGate&) = delete;

    // Any thread, no lock: true while the policy is "all" (nothing gated).
    bool relaysAll() const { return (packedPolicy.load(std::memory_order_relaxed) & kModeMask) == 0; }
    // Main thread: takes effect with the next chunk; a change starts afresh
    // (no owner, nothing kept).
    void setPolicy(const publishPolicy& p);
    // Main thread: the next chunk of a publisher other than the owner (the
    // next-ranked one in failover) takes over at once.
    void forceSwitch();

    // Receiving threads: the connection closed. When it owned the stream,
    // the next publisher that sends takes over at once (no lossMs to wait).
    void gone(const publisher& who);

    // Receiving threads. nowNs: a monotonic clock; streamId: for log lines.
    void offer(const publisher& who, const uint8_t* data, size_t len, int64_t nowNs, emitFn emit, void* ctx);

    // Any thread, lock-free.
    struct figures {
        uint64_t switches = 0;
        uint64_t droppedBytes = 0;
        bool active = false;
        publishInput input = publishInput::tcp;
        std::string address;
        int64_t lastSwitchMs = 0; // wall clock; 0: never
        Reason lastReason = Reason::none;
    };
    figures snapshot() const;
    int streamId = -1; // for log lines; set before the first offer

private:
    struct conn;
    enum class Kind : uint8_t { unknown, ts, raw };
    struct run; // the bytes of one offer being gathered for emission

    conn* find(const publisher& who, int64_t nowNs);
    void sweep(int64_t nowNs);
    void resetLocked();
    bool mayTake(const conn& c, int64_t nowNs, Reason* why) const;
    bool ownerAlive(int64_t nowNs) const;
    void take(conn& c, Reason why);
    void feedRaw(conn& c, const uint8_t* p, size_t n, bool inChunk, bool may, Reason why, run& out);
    // Returns the bytes used; fewer than n when sync was lost there.
    size_t feedTs(conn& c, const uint8_t* p, size_t n, bool inChunk, bool may, Reason why, run& out);
    // One whole packet of c; false when it was not a packet (sync lost).
    bool packet(conn& c, const uint8_t* pkt, bool inChunk, bool may, Reason why, run& out);
    void keep(conn& c, const uint8_t* pkt);
    void dropKept(conn& c);
    void noteDropped(conn& c, size_t n);
    void publishActive(const conn* c);

    std::mutex mediaLock; // receiving threads only
    std::vector<uint8_t> joinArea; // mediaLock: see kJoinBytes
    // Guarded by mediaLock.
    std::unordered_map<uint64_t, std::unique_ptr<conn>> conns;
    conn* owner = nullptr;
    bool everOwned = false; // a takeover after an owner is one for loss
    publishPolicy policy;
    uint64_t appliedPacked = 0;
    int64_t lastSweepNs = 0;
    size_t keptTotal = 0;
    uint64_t appliedForce = 0;

    // Set on the main thread, read by the receiving threads: the whole
    // policy in one word (pack/unpack), so it is never read half changed.
    static constexpr uint64_t kModeMask = 3;
    static uint64_t pack(const publishPolicy& p);
    static publishPolicy unpack(uint64_t v);
    std::atomic<uint64_t> packedPolicy{0};
    std::atomic<uint64_t> forceRequests{0};

    // Written under mediaLock, read anywhere.
    std::atomic<uint64_t> switchCount{0};
    std::atomic<uint64_t> dropped{0};
    std::atomic<int64_t> lastSwitchMs{0};
    std::atomic<uint8_t> lastReason{0};
    // The active publisher, written under mediaLock with a sequence number
    // (odd while it changes) so that readers never see half of it.
    static constexpr size_t kAddressChars = 64;
    std::atomic<uint64_t> activeSeq{0};
    std::atomic<int> activeInput{-1};
    std::atomic<char> activeAddress[kAddressChars];
};
