#include "publishGate.h"
#include "service/logLimit.h"
#include "service/logging.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

constexpr int64_t kNsPerMs = 1000000;
constexpr int64_t kSweepEveryNs = 1000 * kNsPerMs;

// First offset (below 188) from which every packet start within the first
// kDetectBytes holds a sync byte, or -1.
int syncOffset(const uint8_t* p, size_t n)
{
    const size_t window = std::min(n, publishGate::kDetectBytes);
    for (size_t o = 0; o < publishGate::kTsPacket; ++o) {
        if (o + (std::min<size_t>(publishGate::kSyncPackets, window / publishGate::kTsPacket) - 1) * publishGate::kTsPacket >= window)
            break;
        bool ok = true;
        for (size_t k = o; k < window && ok; k += publishGate::kTsPacket)
            ok = p[k] == 0x47;
        if (ok)
            return static_cast<int>(o);
    }
    return -1;
}

// The adaptation field's random access indicator.
bool isRandomAccess(const uint8_t* pkt)
{
    return (pkt[3] & 0x20) && pkt[4] > 0 && (pkt[5] & 0x40);
}

// A packet that starts a PAT section (PID 0, payload unit start).
bool startsPat(const uint8_t* pkt)
{
    return (pkt[1] & 0x40) && (pkt[1] & 0x1f) == 0 && pkt[2] == 0;
}

} // namespace

// One publisher connection. Touched only under mediaLock.
struct publishGate::conn {
    uint64_t key = 0;
    publishInput input = publishInput::tcp;
    int rank = -1; // in the policy's priority; -1: not listed
    std::string addr;
    int64_t lastNs = 0;
    int64_t steadySinceNs = 0;
    Kind kind = Kind::unknown;
    std::vector<uint8_t> scratch; // first bytes, until TS or not is known
    uint8_t residue[kTsPacket];   // start of a packet whose rest has not come yet
    size_t residueLen = 0;
    std::vector<uint8_t> kept;    // whole packets since a random access point (with its PAT/PMT)
    bool keptAtRap = false;
    std::vector<uint8_t> lead;    // a PAT and the few packets after it
    bool dropLogged = false;
    bool waitLogged = false;
};

// The bytes one offer relays, gathered into as few fan-outs as possible:
// neighbouring ranges of the same area go out together.
struct publishGate::run {
    emitFn emit;
    void* ctx;
    const uint8_t* start = nullptr;
    size_t len = 0;
    bool inChunk = false;
    void add(const uint8_t* p, size_t n, bool chunk)
    {
        if (len && chunk == inChunk && start + len == p) {
            len += n;
            return;
        }
        flush();
        start = p;
        len = n;
        inChunk = chunk;
    }
    void flush()
    {
        if (len)
            emit(ctx, start, len, inChunk);
        len = 0;
    }
};

const char* publishGate::reasonName(Reason r)
{
    switch (r) {
    case Reason::first: return "first";
    case Reason::loss: return "loss";
    case Reason::back: return "return";
    case Reason::forced: return "forced";
    default: return "";
    }
}

publishGate::publishGate()
{
    for (auto& c : activeAddress)
        c.store(0, std::memory_order_relaxed);
}

publishGate::~publishGate() = default;

uint64_t publishGate::pack(const publishPolicy& p)
{
    uint64_t prio = 0;
    for (int i = 0; i < kPublishInputs; ++i) {
        const uint64_t v = i < p.priorityCount ? static_cast<uint64_t>(p.priority[static_cast<size_t>(i)]) + 1 : 0;
        prio |= v << (3 * i);
    }
    return static_cast<uint64_t>(p.mode) | (static_cast<uint64_t>(p.atKeyframe) << 2)
        | (static_cast<uint64_t>(p.lossMs) << 3) | (static_cast<uint64_t>(p.returnMs) << 20) | (prio << 40);
}

publishPolicy publishGate::unpack(uint64_t v)
{
    publishPolicy p;
    p.mode = static_cast<publishPolicy::Mode>(v & kModeMask);
    p.atKeyframe = (v >> 2) & 1;
    p.lossMs = static_cast<int>((v >> 3) & 0x1ffff);
    p.returnMs = static_cast<int>((v >> 20) & 0xfffff);
    p.priorityCount = 0;
    for (int i = 0; i < kPublishInputs; ++i) {
        const uint64_t in = (v >> (40 + 3 * i)) & 7;
        if (in)
            p.priority[static_cast<size_t>(p.priorityCount++)] = static_cast<publishInput>(in - 1);
    }
    return p;
}

void publishGate::setPolicy(const publishPolicy& p)
{
    packedPolicy.store(pack(p), std::memory_order_release);
}

void publishGate::forceSwitch()
{
    forceRequests.fetch_add(1);
}

publishGate::figures publishGate::snapshot() const
{
    figures f;
    f.switches = switchCount.load(std::memory_order_relaxed);
    f.droppedBytes = dropped.load(std::memory_order_relaxed);
    f.lastSwitchMs = lastSwitchMs.load(std::memory_order_relaxed);
    f.lastReason = static_cast<Reason>(lastReason.load(std::memory_order_relaxed));
    for (;;) {
        const uint64_t s1 = activeSeq.load(std::memory_order_acquire);
        if (s1 & 1)
            continue;
        const int in = activeInput.load(std::memory_order_relaxed);
        char addr[kAddressChars];
        for (size_t i = 0; i < kAddressChars; ++i)
            addr[i] = activeAddress[i].load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (activeSeq.load(std::memory_order_relaxed) != s1)
            continue;
        f.active = in >= 0;
        f.input = static_cast<publishInput>(in < 0 ? 0 : in);
        addr[kAddressChars - 1] = 0;
        f.address = addr;
        return f;
    }
}

void publishGate::publishActive(const conn* c)
{
    activeSeq.fetch_add(1, std::memory_order_relaxed); // odd: changing
    std::atomic_thread_fence(std::memory_order_release);
    activeInput.store(c ? static_cast<int>(c->input) : -1, std::memory_order_relaxed);
    for (size_t i = 0; i < kAddressChars; ++i)
        activeAddress[i].store(c && i < c->addr.size() ? c->addr[i] : 0, std::memory_order_relaxed);
    activeSeq.fetch_add(1, std::memory_order_release);
}

void publishGate::resetLocked()
{
    conns.clear();
    owner = nullptr;
    everOwned = false;
    keptTotal = 0;
    publishActive(nullptr);
}

void publishGate::gone(const publisher& who)
{
    if (relaysAll())
        return;
    std::lock_guard<std::mutex> g(mediaLock);
    auto it = conns.find((static_cast<uint64_t>(who.input) << 56) ^ who.conn);
    if (it == conns.end())
        return;
    dropKept(*it->second);
    if (it->second.get() == owner) {
        owner = nullptr;
        publishActive(nullptr);
    }
    conns.erase(it);
}

publishGate::conn* publishGate::find(const publisher& who, int64_t nowNs)
{
    const uint64_t key = (static_cast<uint64_t>(who.input) << 56) ^ who.conn;
    auto it = conns.find(key);
    if (it != conns.end())
        return it->second.get();
    if (conns.size() >= kMaxPublishers) {
        if (peerLineAllowed())
            qCWarning(lcStream, "stream %d: %zu publishers send at once (at most %zu): a further one is not relayed",
                      streamId, conns.size(), kMaxPublishers);
        return nullptr;
    }
    auto c = std::make_unique<conn>();
    c->key = key;
    c->input = who.input;
    const int rank = policy.rankOf(who.input);
    c->rank = rank < 0 ? -1 : 2 * rank + (who.backup ? 1 : 0);
    if (who.addr)
        c->addr = std::string(who.addr).substr(0, kAddressChars - 1);
    c->steadySinceNs = nowNs;
    conn* raw = c.get();
    conns.emplace(key, std::move(c));
    return raw;
}

void publishGate::sweep(int64_t nowNs)
{
    lastSweepNs = nowNs;
    const int64_t forgetNs = std::max<int64_t>(kForgetAfterMs, 2 * int64_t(policy.lossMs)) * kNsPerMs;
    for (auto it = conns.begin(); it != conns.end();) {
        conn* c = it->second.get();
        if (nowNs - c->lastNs <= forgetNs) {
            ++it;
            continue;
        }
        dropKept(*c);
        if (c == owner) {
            owner = nullptr;
            publishActive(nullptr);
        }
        it = conns.erase(it);
    }
}

bool publishGate::ownerAlive(int64_t nowNs) const
{
    return owner && nowNs - owner->lastNs <= int64_t(policy.lossMs) * kNsPerMs;
}

bool publishGate::mayTake(const conn& c, int64_t nowNs, Reason* why) const
{
    const int64_t lossNs = int64_t(policy.lossMs) * kNsPerMs;
    if (policy.mode == publishPolicy::Mode::single) {
        if (ownerAlive(nowNs))
            return false;
        *why = everOwned ? Reason::loss : Reason::first;
        return true;
    }
    if (c.rank < 0)
        return false;
    if (!ownerAlive(nowNs)) {
        // The best-ranked publisher that is sending gets the stream.
        for (const auto& kv : conns) {
            const conn* o = kv.second.get();
            if (o != &c && o != owner && o->rank >= 0 && o->rank < c.rank && nowNs - o->lastNs <= lossNs)
                return false;
        }
        *why = everOwned ? Reason::loss : Reason::first;
        return true;
    }
    if (owner->rank >= 0 && c.rank >= owner->rank)
        return false;
    if (nowNs - c.steadySinceNs < int64_t(policy.returnMs) * kNsPerMs)
        return false;
    *why = Reason::back;
    return true;
}

void publishGate::take(conn& c, Reason why)
{
    const conn* was = owner;
    owner = &c;
    everOwned = true;
    switchCount.fetch_add(1, std::memory_order_relaxed);
    const int64_t wallMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
    lastSwitchMs.store(wallMs, std::memory_order_relaxed);
    lastReason.store(static_cast<uint8_t>(why), std::memory_order_relaxed);
    publishActive(&c);
    appliedForce = forceRequests.load(); // any switch answers a request for one
    if (why == Reason::forced) {
        // Ranks count again from the switch: a higher-ranked publisher takes
        // the stream back only after returnMs more of steady sending.
        for (auto& kv : conns)
            kv.second->steadySinceNs = c.lastNs;
    }
    if (peerLineAllowed(peerLine::chatter))
        qCInfo(lcStream, "stream %d: publisher %s on %s now relayed (%s; before: %s)", streamId,
               qUtf8Printable(logSafeText(QByteArray::fromStdString(c.addr))), publishPolicy::inputName(c.input),
               reasonName(why), was ? publishPolicy::inputName(was->input) : "none");
}

void publishGate::noteDropped(conn& c, size_t n)
{
    dropped.fetch_add(n, std::memory_order_relaxed);
    // Nobody owns the stream yet: these bytes come before a point where the
    // stream can start (a key frame, a packet start), no rival holds it.
    const bool waiting = owner == nullptr;
    bool& logged = waiting ? c.waitLogged : c.dropLogged;
    if (logged)
        return;
    logged = true;
    if (!peerLineAllowed())
        return;
    const QString addr = logSafeText(QByteArray::fromStdString(c.addr));
    if (waiting)
        qCInfo(lcStream, "stream %d: publisher %s on %s relayed from its first key frame or packet start", streamId,
               qUtf8Printable(addr), publishPolicy::inputName(c.input));
    else
        qCInfo(lcStream, "stream %d: publisher %s on %s not relayed while another one publishes", streamId,
               qUtf8Printable(addr), publishPolicy::inputName(c.input));
}

void publishGate::dropKept(conn& c)
{
    keptTotal -= c.kept.capacity();
    std::vector<uint8_t>().swap(c.kept);
    c.keptAtRap = false;
}

void publishGate::keep(conn& c, const uint8_t* pkt)
{
    if (isRandomAccess(pkt)) {
        const size_t before = c.kept.capacity();
        const size_t need = c.lead.size() + kTsPacket;
        if (keptTotal - before + std::max(before, need) > kMaxKeptBytesPerStream) {
            dropKept(c);
            c.lead.clear();
            return;
        }
        c.kept.assign(c.lead.begin(), c.lead.end());
        c.kept.insert(c.kept.end(), pkt, pkt + kTsPacket);
        keptTotal += c.kept.capacity() - before;
        c.keptAtRap = true;
        c.lead.clear();
        return;
    }
    if (c.keptAtRap) {
        const size_t before = c.kept.capacity();
        const size_t grown = c.kept.size() + kTsPacket > before ? std::max<size_t>(2 * before, 64 * kTsPacket) : before;
        if (c.kept.size() + kTsPacket > kMaxKeptBytes || keptTotal - before + grown > kMaxKeptBytesPerStream) {
            dropKept(c); // the next key frame starts a new group
        } else {
            c.kept.reserve(grown);
            c.kept.insert(c.kept.end(), pkt, pkt + kTsPacket);
            keptTotal += c.kept.capacity() - before;
        }
    }
    if (startsPat(pkt))
        c.lead.assign(pkt, pkt + kTsPacket);
    else if (!c.lead.empty() && c.lead.size() < kPsiLeadPackets * kTsPacket)
        c.lead.insert(c.lead.end(), pkt, pkt + kTsPacket);
    else
        c.lead.clear();
}

bool publishGate::packet(conn& c, const uint8_t* pkt, bool inChunk, bool may, Reason why, run& out)
{
    if (pkt[0] != 0x47)
        return false;
    if (owner == &c) {
        out.add(pkt, kTsPacket, inChunk);
        return true;
    }
    if (may) {
        if (!policy.atKeyframe) {
            take(c, why);
            out.add(pkt, kTsPacket, inChunk);
            return true;
        }
        if (isRandomAccess(pkt)) {
            take(c, why);
            out.add(c.lead.data(), c.lead.size(), false);
            out.flush();
            c.lead.clear();
            dropKept(c);
            out.add(pkt, kTsPacket, inChunk);
            return true;
        }
        // Replaying the kept group puts viewers up to a group of pictures
        // behind for good: worth it when the stream went dark, not when the
        // owner is alive and a higher-ranked publisher takes it back.
        if (c.keptAtRap && why != Reason::back) {
            take(c, why);
            out.add(c.kept.data(), c.kept.size(), false);
            out.flush();
            dropKept(c);
            c.lead.clear();
            out.add(pkt, kTsPacket, inChunk);
            return true;
        }
    }
    noteDropped(c, kTsPacket);
    if (policy.atKeyframe)
        keep(c, pkt);
    return true;
}

size_t publishGate::feedTs(conn& c, const uint8_t* p, size_t n, bool inChunk, bool may, Reason why, run& out)
{
    size_t used = 0;
    if (c.residueLen) {
        const size_t t = std::min(kTsPacket - c.residueLen, n);
        std::memcpy(c.residue + c.residueLen, p, t);
        c.residueLen += t;
        used = t;
        if (c.residueLen < kTsPacket)
            return used;
        c.residueLen = 0;
        packet(c, c.residue, false, may, why, out); // starts with the sync byte it was kept for
        out.flush(); // the residue area is written again below
    }
    while (n - used >= kTsPacket) {
        if (!packet(c, p + used, inChunk, may, why, out)) {
            // Lost sync: look for it again from the next byte; what the
            // owner relayed so far ends on a packet boundary.
            out.flush();
            c.kind = Kind::unknown;
            dropKept(c);
            c.lead.clear();
            if (owner != &c)
                noteDropped(c, 1);
            return used + 1;
        }
        used += kTsPacket;
    }
    if (n > used) {
        out.flush();
        std::memcpy(c.residue, p + used, n - used);
        c.residueLen = n - used;
    }
    return n;
}

void publishGate::feedRaw(conn& c, const uint8_t* p, size_t n, bool inChunk, bool may, Reason why, run& out)
{
    if (owner != &c) {
        if (!may) {
            noteDropped(c, n);
            return;
        }
        take(c, why);
    }
    out.add(p, n, inChunk);
}

void publishGate::offer(const publisher& who, const uint8_t* data, size_t len, int64_t nowNs, emitFn emit, void* ctx)
{
    if (!len)
        return;
    std::lock_guard<std::mutex> g(mediaLock);
    const uint64_t packed = packedPolicy.load(std::memory_order_acquire);
    if (packed != appliedPacked) {
        appliedPacked = packed;
        policy = unpack(packed);
        resetLocked();
    }
    if ((packed & kModeMask) == 0) {
        emit(ctx, data, len, true);
        return;
    }
    if (nowNs - lastSweepNs > kSweepEveryNs)
        sweep(nowNs);
    conn* c = find(who, nowNs);
    if (!c) {
        dropped.fetch_add(len, std::memory_order_relaxed);
        return;
    }
    if (c->lastNs == 0 || nowNs - c->lastNs > int64_t(policy.lossMs) * kNsPerMs)
        c->steadySinceNs = nowNs;
    c->lastNs = nowNs;

    Reason why = Reason::none;
    bool may = false;
    if (owner != c) {
        may = mayTake(*c, nowNs, &why);
        const uint64_t force = forceRequests.load(std::memory_order_relaxed);
        if (!may && force != appliedForce) {
            const bool eligible = policy.mode == publishPolicy::Mode::single || c->rank >= 0;
            if (eligible) {
                may = true;
                why = Reason::forced;
            }
        }
    }

    run out{emit, ctx};
    const uint8_t* p = data;
    size_t n = len;
    bool fromChunk = true;
    if (c->kind == Kind::ts && c->residueLen && len <= kJoinBytes) {
        // The packet split over the last read and this one would go out as a
        // piece of its own: one more fan-out, and one more SRT message, per read.
        joinArea.assign(c->residue, c->residue + c->residueLen);
        joinArea.insert(joinArea.end(), data, data + len);
        c->residueLen = 0;
        p = joinArea.data();
        n = joinArea.size();
        fromChunk = false;
    }
    while (n > 0) {
        if (c->kind == Kind::ts) {
            const size_t used = feedTs(*c, p, n, fromChunk, may, why, out);
            p += used;
            n -= used;
            continue;
        }
        if (c->kind == Kind::raw) {
            feedRaw(*c, p, n, fromChunk, may, why, out);
            break;
        }
        if (c->scratch.empty() && n >= kDetectBytes) {
            const int o = syncOffset(p, n);
            if (o < 0) {
                c->kind = Kind::raw;
                continue;
            }
            if (o > 0 && owner != c)
                noteDropped(*c, static_cast<size_t>(o));
            p += o;
            n -= static_cast<size_t>(o);
            c->kind = Kind::ts;
            continue;
        }
        if (c->scratch.empty() && n % kTsPacket == 0 && n >= 2 * kTsPacket && syncOffset(p, n) == 0) {
            // A short first chunk of whole packets (an SRT message, a muxer's
            // write): TS from its first byte, without waiting for more.
            c->kind = Kind::ts;
            continue;
        }
        const size_t take = std::min(n, kDetectBytes - c->scratch.size());
        c->scratch.insert(c->scratch.end(), p, p + take);
        p += take;
        n -= take;
        if (c->scratch.size() < kDetectBytes)
            break;
        std::vector<uint8_t> held;
        held.swap(c->scratch);
        const int o = syncOffset(held.data(), held.size());
        if (o < 0) {
            c->kind = Kind::raw;
            feedRaw(*c, held.data(), held.size(), false, may, why, out);
        } else {
            if (o > 0 && owner != c)
                noteDropped(*c, static_cast<size_t>(o));
            c->kind = Kind::ts;
            feedTs(*c, held.data() + o, held.size() - static_cast<size_t>(o), false, may, why, out);
        }
        out.flush(); // held goes now
        if (owner == c)
            may = false;
    }
    out.flush();
}
