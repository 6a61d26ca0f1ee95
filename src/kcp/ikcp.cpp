// KCP control block: segmentation, reassembly, acknowledgement, RTT/RTO,
// retransmission (timeout and fast resend), congestion and flow control.
//
// Buffers and their invariants:
// - snd_queue: messages cut into segments, not yet given a sequence number.
// - snd_buf: segments in flight, slot i holds sn = front()->sn + i; an
//   acknowledged slot becomes a null hole, so an ACK finds its segment by
//   index instead of by a walk. front() and back() are never holes.
// - rcv_buf: received segments waiting for a gap, slot i holds
//   sn = rcv_nxt + i; holes are null.
// - rcv_queue: segments in order, ready for ikcp_recv.
// All sequence and time comparisons go through itimediff, so they survive
// 32-bit wrap-around.
#include "ikcp.h"

#include <cstring>
#include <deque>
#include <new>
#include <utility>
#include <vector>

namespace {

struct Segment {
    IUINT32 conv = 0;
    IUINT32 cmd = 0;
    IUINT32 frg = 0;
    IUINT32 wnd = 0;
    IUINT32 ts = 0;
    IUINT32 sn = 0;
    IUINT32 una = 0;
    IUINT32 len = 0;
    IUINT32 resendts = 0;
    IUINT32 rto = 0;
    IUINT32 fastack = 0;
    IUINT32 xmit = 0;
    char *data = nullptr;  // `len` bytes stored right behind the header
};

// One allocation per segment: the header and its payload.
Segment *segNew(IUINT32 size)
{
    void *mem = ::operator new(sizeof(Segment) + size);
    Segment *seg = new (mem) Segment;
    seg->data = reinterpret_cast<char *>(seg + 1);
    seg->len = size;
    return seg;
}

void segDelete(Segment *seg)
{
    if (seg) {
        seg->~Segment();
        ::operator delete(seg);
    }
}

inline IINT32 itimediff(IUINT32 later, IUINT32 earlier)
{
    return static_cast<IINT32>(later - earlier);
}

inline IUINT32 umin(IUINT32 a, IUINT32 b) { return a <= b ? a : b; }
inline IUINT32 umax(IUINT32 a, IUINT32 b) { return a >= b ? a : b; }
inline IUINT32 ubound(IUINT32 lower, IUINT32 middle, IUINT32 upper)
{
    return umin(umax(lower, middle), upper);
}

inline char *encode8(char *p, IUINT8 v)
{
    *p = static_cast<char>(v);
    return p + 1;
}

inline char *encode16(char *p, IUINT16 v)
{
    p[0] = static_cast<char>(v & 0xff);
    p[1] = static_cast<char>(v >> 8);
    return p + 2;
}

inline char *encode32(char *p, IUINT32 v)
{
    p[0] = static_cast<char>(v & 0xff);
    p[1] = static_cast<char>((v >> 8) & 0xff);
    p[2] = static_cast<char>((v >> 16) & 0xff);
    p[3] = static_cast<char>(v >> 24);
    return p + 4;
}

inline const char *decode8(const char *p, IUINT32 *v)
{
    *v = static_cast<IUINT8>(*p);
    return p + 1;
}

inline const char *decode16(const char *p, IUINT32 *v)
{
    const auto *u = reinterpret_cast<const unsigned char *>(p);
    *v = static_cast<IUINT32>(u[0]) | (static_cast<IUINT32>(u[1]) << 8);
    return p + 2;
}

inline const char *decode32(const char *p, IUINT32 *v)
{
    const auto *u = reinterpret_cast<const unsigned char *>(p);
    *v = static_cast<IUINT32>(u[0]) | (static_cast<IUINT32>(u[1]) << 8) |
         (static_cast<IUINT32>(u[2]) << 16) | (static_cast<IUINT32>(u[3]) << 24);
    return p + 4;
}

char *encodeSeg(char *p, const Segment &seg)
{
    p = encode32(p, seg.conv);
    p = encode8(p, static_cast<IUINT8>(seg.cmd));
    p = encode8(p, static_cast<IUINT8>(seg.frg));
    p = encode16(p, static_cast<IUINT16>(seg.wnd));
    p = encode32(p, seg.ts);
    p = encode32(p, seg.sn);
    p = encode32(p, seg.una);
    p = encode32(p, seg.len);
    return p;
}

}  // namespace

struct IKCPQUEUES {
    std::deque<Segment *> snd_queue;
    std::deque<Segment *> rcv_queue;
    std::deque<Segment *> snd_buf;
    std::deque<Segment *> rcv_buf;
    std::vector<std::pair<IUINT32, IUINT32>> acklist;  // (sn, ts) to acknowledge
    std::vector<char> buffer;                          // one outgoing datagram
    IUINT32 queueBytes = 0;  // the part of nrcv_bytes that sits in rcv_queue
};

namespace {

int kcpOutput(ikcpcb *kcp, const char *data, int size)
{
    if (size <= 0)
        return 0;
    if (!kcp->output)
        return -1;
    return kcp->output(data, size, kcp, kcp->user);
}

// Free slots of the receive queue, as advertised in every segment header.
// The header field is 16 bits wide: a larger window is advertised as the
// largest one that fits instead of wrapping to a small or zero window.
// The reassembly bound is advertised too, in segments of our own size: a
// sender that keeps to the window then never has more out of order here
// than the bound allows, and none of its segments is dropped for it.
IUINT32 wndUnused(const ikcpcb *kcp)
{
    if (kcp->nrcv_que >= kcp->rcv_wnd)
        return 0;
    const IUINT32 room = kcp->rcv_bytes_max > kcp->q->queueBytes ? kcp->rcv_bytes_max - kcp->q->queueBytes : 0;
    IUINT32 wnd = umin(kcp->rcv_wnd - kcp->nrcv_que, room / (kcp->mss + static_cast<IUINT32>(sizeof(Segment))));
    // While the reader cannot take a whole message out, one more segment
    // is always welcome: the window never closes on a half message.
    if (wnd == 0 && ikcp_peeksize(kcp) < 0)
        wnd = 1;
    return umin(wnd, 0xffffu);
}

void trimSndBuf(ikcpcb *kcp)
{
    auto &buf = kcp->q->snd_buf;
    while (!buf.empty() && buf.front() == nullptr)
        buf.pop_front();
    while (!buf.empty() && buf.back() == nullptr)
        buf.pop_back();
}

void shrinkBuf(ikcpcb *kcp)
{
    const auto &buf = kcp->q->snd_buf;
    kcp->snd_una = buf.empty() ? kcp->snd_nxt : buf.front()->sn;
}

void updateAck(ikcpcb *kcp, IINT32 rtt)
{
    // A sample past the ceiling says nothing more than the ceiling does and
    // keeps the sums below far from overflow.
    if (rtt > static_cast<IINT32>(IKCP_RTO_MAX))
        rtt = static_cast<IINT32>(IKCP_RTO_MAX);
    if (kcp->rx_srtt == 0) {
        kcp->rx_srtt = rtt;
        kcp->rx_rttval = rtt / 2;
    } else {
        IINT32 delta = rtt - kcp->rx_srtt;
        if (delta < 0)
            delta = -delta;
        kcp->rx_rttval = (3 * kcp->rx_rttval + delta) / 4;
        kcp->rx_srtt = (7 * kcp->rx_srtt + rtt) / 8;
        if (kcp->rx_srtt < 1)
            kcp->rx_srtt = 1;
    }
    const IUINT32 rto = static_cast<IUINT32>(kcp->rx_srtt) +
                        umax(kcp->interval, 4u * static_cast<IUINT32>(kcp->rx_rttval));
    kcp->rx_rto = static_cast<IINT32>(
        ubound(static_cast<IUINT32>(kcp->rx_minrto), rto, IKCP_RTO_MAX));
}

// Drops every segment in flight below the peer's cumulative acknowledgement.
void parseUna(ikcpcb *kcp, IUINT32 una)
{
    auto &buf = kcp->q->snd_buf;
    while (!buf.empty()) {
        Segment *seg = buf.front();
        if (seg) {
            if (itimediff(una, seg->sn) <= 0)
                break;
            segDelete(seg);
            kcp->nsnd_buf--;
        }
        buf.pop_front();
    }
    trimSndBuf(kcp);
}

void parseAck(ikcpcb *kcp, IUINT32 sn)
{
    if (itimediff(sn, kcp->snd_una) < 0 || itimediff(sn, kcp->snd_nxt) >= 0)
        return;
    auto &buf = kcp->q->snd_buf;
    if (buf.empty())
        return;
    const IUINT32 idx = sn - buf.front()->sn;
    if (idx < buf.size() && buf[idx] && buf[idx]->sn == sn) {
        segDelete(buf[idx]);
        buf[idx] = nullptr;
        kcp->nsnd_buf--;
        trimSndBuf(kcp);
        return;
    }
    // Only when snd_nxt was rewritten by hand with segments in flight do the
    // slots stop matching sequence numbers; then search by value.
    for (auto &slot : buf) {
        if (!slot)
            continue;
        if (slot->sn == sn) {
            segDelete(slot);
            slot = nullptr;
            kcp->nsnd_buf--;
            trimSndBuf(kcp);
            return;
        }
        if (itimediff(sn, slot->sn) < 0)
            return;
    }
}

// Every segment in flight below the highest acknowledged one was skipped once more.
void parseFastack(ikcpcb *kcp, IUINT32 sn)
{
    if (itimediff(sn, kcp->snd_una) < 0 || itimediff(sn, kcp->snd_nxt) >= 0)
        return;
    for (Segment *seg : kcp->q->snd_buf) {
        if (!seg)
            continue;
        if (itimediff(sn, seg->sn) <= 0)
            break;
        seg->fastack++;
    }
}

// Moves the in-order run at the head of rcv_buf to rcv_queue while it has room.
void moveReady(ikcpcb *kcp)
{
    auto &rb = kcp->q->rcv_buf;
    while (!rb.empty() && rb.front() && kcp->nrcv_que < kcp->rcv_wnd) {
        kcp->q->rcv_queue.push_back(rb.front());
        kcp->q->queueBytes += static_cast<IUINT32>(sizeof(Segment)) + rb.front()->len;
        rb.pop_front();
        kcp->nrcv_buf--;
        kcp->nrcv_que++;
        kcp->rcv_nxt++;
    }
}

// What one received segment costs while it is kept for reassembly.
inline IUINT32 rcvCost(IUINT32 len)
{
    return static_cast<IUINT32>(sizeof(Segment)) + len;
}

// Whether a segment inside the receive window may be taken (and so be
// acknowledged): a copy of one already held, any while the reassembly bound
// has room for it, and the one at rcv_nxt while the reader cannot take a
// whole message out: out-of-order segments never block reassembly, and the
// bound is passed by the fragments of one message at most.
bool rcvRoomFor(const ikcpcb *kcp, IUINT32 sn, IUINT32 len)
{
    if (itimediff(sn, kcp->rcv_nxt) < 0)
        return true;  // acknowledged again, not kept
    const auto &rb = kcp->q->rcv_buf;
    const IUINT32 idx = sn - kcp->rcv_nxt;
    if (idx < rb.size() && rb[idx])
        return true;
    if (static_cast<uint64_t>(kcp->nrcv_bytes) + rcvCost(len) <= kcp->rcv_bytes_max)
        return true;
    return idx == 0 && ikcp_peeksize(kcp) < 0;
}

void parseData(ikcpcb *kcp, Segment *seg)
{
    const IUINT32 sn = seg->sn;
    if (itimediff(sn, kcp->rcv_nxt + kcp->rcv_wnd) >= 0 || itimediff(sn, kcp->rcv_nxt) < 0) {
        segDelete(seg);
        return;
    }
    auto &rb = kcp->q->rcv_buf;
    const IUINT32 idx = sn - kcp->rcv_nxt;
    if (idx >= rb.size())
        rb.resize(static_cast<size_t>(idx) + 1, nullptr);
    if (rb[idx]) {
        segDelete(seg);  // duplicate
    } else {
        rb[idx] = seg;
        kcp->nrcv_buf++;
        kcp->nrcv_bytes += rcvCost(seg->len);
    }
    moveReady(kcp);
}

}  // namespace

ikcpcb *ikcp_create(IUINT32 conv, void *user)
{
    auto *kcp = new ikcpcb();  // every field zero until set below
    kcp->q = new IKCPQUEUES;
    kcp->conv = conv;
    kcp->user = user;
    kcp->snd_wnd = IKCP_WND_SND;
    kcp->rcv_wnd = IKCP_WND_RCV;
    kcp->rmt_wnd = IKCP_WND_RCV;
    kcp->mtu = IKCP_MTU_DEF;
    kcp->mss = kcp->mtu - IKCP_OVERHEAD;
    kcp->q->buffer.resize((kcp->mtu + IKCP_OVERHEAD) * 3);
    kcp->rx_rto = IKCP_RTO_DEF;
    kcp->rx_minrto = IKCP_RTO_MIN;
    kcp->interval = IKCP_INTERVAL;
    kcp->ts_flush = IKCP_INTERVAL;
    kcp->ssthresh = IKCP_THRESH_INIT;
    kcp->fastlimit = IKCP_FASTACK_LIMIT;
    kcp->dead_link = IKCP_DEADLINK;
    kcp->rcv_bytes_max = IKCP_RCV_BYTES_DEF;
    return kcp;
}

void ikcp_release(ikcpcb *kcp)
{
    if (!kcp)
        return;
    IKCPQUEUES *q = kcp->q;
    for (auto *list : {&q->snd_queue, &q->rcv_queue, &q->snd_buf, &q->rcv_buf})
        for (Segment *seg : *list)
            segDelete(seg);
    delete q;
    delete kcp;
}

void ikcp_setoutput(ikcpcb *kcp, int (*output)(const char *buf, int len, ikcpcb *kcp, void *user))
{
    kcp->output = output;
}

int ikcp_peeksize(const ikcpcb *kcp)
{
    const auto &rq = kcp->q->rcv_queue;
    if (rq.empty())
        return -1;
    const Segment *first = rq.front();
    if (first->frg == 0)
        return static_cast<int>(first->len);
    if (kcp->nrcv_que < first->frg + 1)
        return -1;
    IUINT32 length = 0;
    for (const Segment *seg : rq) {
        length += seg->len;
        if (seg->frg == 0)
            break;
    }
    return static_cast<int>(length);
}

int ikcp_recv(ikcpcb *kcp, char *buffer, int len)
{
    auto &rq = kcp->q->rcv_queue;
    if (rq.empty())
        return -1;
    const bool ispeek = len < 0;
    if (ispeek)
        len = -len;
    const int peeksize = ikcp_peeksize(kcp);
    if (peeksize < 0)
        return -2;
    if (peeksize > len)
        return -3;
    const bool recover = wndUnused(kcp) == 0;

    int copied = 0;
    size_t i = 0;
    while (i < rq.size()) {
        Segment *seg = rq[i];
        if (buffer) {
            std::memcpy(buffer + copied, seg->data, seg->len);
        }
        copied += static_cast<int>(seg->len);
        const IUINT32 fragment = seg->frg;
        if (ispeek) {
            ++i;
        } else {
            rq.pop_front();
            kcp->nrcv_bytes -= rcvCost(seg->len);
            kcp->q->queueBytes -= rcvCost(seg->len);
            segDelete(seg);
            kcp->nrcv_que--;
        }
        if (fragment == 0)
            break;
    }

    moveReady(kcp);
    // The queue was full, so our last advertised window was 0: tell the
    // peer at once that it may send again instead of waiting for its probe.
    if (recover && wndUnused(kcp) > 0)
        kcp->probe |= IKCP_ASK_TELL;
    return copied;
}

int ikcp_send(ikcpcb *kcp, const char *buffer, int len)
{
    if (len < 0 || kcp->mss == 0)
        return -1;
    auto &sq = kcp->q->snd_queue;
    int sent = 0;

    // Stream mode: top up the last queued segment first.
    if (kcp->stream != 0) {
        if (!sq.empty()) {
            Segment *old = sq.back();
            if (old->len < kcp->mss) {
                const IUINT32 capacity = kcp->mss - old->len;
                const IUINT32 extend = umin(static_cast<IUINT32>(len), capacity);
                Segment *seg = segNew(old->len + extend);
                std::memcpy(seg->data, old->data, old->len);
                if (buffer && extend > 0) {
                    std::memcpy(seg->data + old->len, buffer, extend);
                    buffer += extend;
                }
                seg->frg = 0;
                sq.back() = seg;
                segDelete(old);
                len -= static_cast<int>(extend);
                sent = static_cast<int>(extend);
            }
        }
        if (len <= 0)
            return sent;
    }

    IUINT32 count;
    if (static_cast<IUINT32>(len) <= kcp->mss)
        count = 1;
    else
        count = (static_cast<IUINT32>(len) + kcp->mss - 1) / kcp->mss;
    if (count >= IKCP_WND_RCV) {
        if (kcp->stream != 0 && sent > 0)
            return sent;
        return -2;
    }

    for (IUINT32 i = 0; i < count; i++) {
        const IUINT32 size = umin(static_cast<IUINT32>(len), kcp->mss);
        Segment *seg = segNew(size);
        if (buffer && size > 0) {
            std::memcpy(seg->data, buffer, size);
            buffer += size;
        }
        seg->frg = kcp->stream == 0 ? count - i - 1 : 0;
        sq.push_back(seg);
        kcp->nsnd_que++;
        len -= static_cast<int>(size);
        sent += static_cast<int>(size);
    }
    return kcp->stream != 0 ? sent : 0;
}

int ikcp_input(ikcpcb *kcp, const char *data, long size)
{
    if (!data || size < static_cast<long>(IKCP_OVERHEAD))
        return -1;

    const IUINT32 prev_una = kcp->snd_una;
    IUINT32 maxack = 0;
    bool flag = false;

    while (size >= static_cast<long>(IKCP_OVERHEAD)) {
        IUINT32 conv, cmd, frg, wnd, ts, sn, una, len;
        data = decode32(data, &conv);
        if (conv != kcp->conv)
            return -1;
        data = decode8(data, &cmd);
        data = decode8(data, &frg);
        data = decode16(data, &wnd);
        data = decode32(data, &ts);
        data = decode32(data, &sn);
        data = decode32(data, &una);
        data = decode32(data, &len);
        size -= IKCP_OVERHEAD;
        if (static_cast<unsigned long>(size) < len)
            return -2;
        if (len > umax(IKCP_SEG_DATA_MAX, kcp->mss)) {
            kcp->seg_dropped++;
            return -4;
        }
        if (cmd != IKCP_CMD_PUSH && cmd != IKCP_CMD_ACK && cmd != IKCP_CMD_WASK &&
            cmd != IKCP_CMD_WINS)
            return -3;

        kcp->rmt_wnd = wnd;
        parseUna(kcp, una);
        shrinkBuf(kcp);

        if (cmd == IKCP_CMD_ACK) {
            if (itimediff(kcp->current, ts) >= 0)
                updateAck(kcp, itimediff(kcp->current, ts));
            parseAck(kcp, sn);
            shrinkBuf(kcp);
            if (!flag) {
                flag = true;
                maxack = sn;
            } else if (itimediff(sn, maxack) > 0) {
                maxack = sn;
            }
        } else if (cmd == IKCP_CMD_PUSH) {
            if (itimediff(sn, kcp->rcv_nxt + kcp->rcv_wnd) < 0 && !rcvRoomFor(kcp, sn, len)) {
                kcp->rcv_dropped++;  // not acknowledged: the peer sends it again
            } else if (itimediff(sn, kcp->rcv_nxt + kcp->rcv_wnd) < 0) {
                kcp->q->acklist.emplace_back(sn, ts);
                if (itimediff(sn, kcp->rcv_nxt) >= 0) {
                    Segment *seg = segNew(len);
                    seg->conv = conv;
                    seg->cmd = cmd;
                    seg->frg = frg;
                    seg->wnd = wnd;
                    seg->ts = ts;
                    seg->sn = sn;
                    seg->una = una;
                    if (len > 0)
                        std::memcpy(seg->data, data, len);
                    parseData(kcp, seg);
                }
            }
        } else if (cmd == IKCP_CMD_WASK) {
            kcp->probe |= IKCP_ASK_TELL;
        }
        // IKCP_CMD_WINS carries nothing beyond the window read above.

        data += len;
        size -= static_cast<long>(len);
    }

    if (flag)
        parseFastack(kcp, maxack);

    // Congestion window growth on new cumulative acknowledgements.
    if (itimediff(kcp->snd_una, prev_una) > 0 && kcp->cwnd < kcp->rmt_wnd) {
        const IUINT32 mss = kcp->mss;
        if (kcp->cwnd < kcp->ssthresh) {
            kcp->cwnd++;
            kcp->incr += mss;
        } else {
            if (kcp->incr < mss)
                kcp->incr = mss;
            kcp->incr += (mss * mss) / kcp->incr + (mss / 16);
            if ((kcp->cwnd + 1) * mss <= kcp->incr)
                kcp->cwnd = (kcp->incr + mss - 1) / (mss > 0 ? mss : 1);
        }
        if (kcp->cwnd > kcp->rmt_wnd) {
            kcp->cwnd = kcp->rmt_wnd;
            kcp->incr = kcp->rmt_wnd * mss;
        }
    }
    return 0;
}

void ikcp_flush(ikcpcb *kcp)
{
    if (!kcp->updated)
        return;
    IKCPQUEUES *q = kcp->q;
    const IUINT32 current = kcp->current;
    std::vector<char> &buffer = q->buffer;
    size_t used = 0;

    // Appends `need` bytes' worth of segment, sending the datagram first when
    // it would outgrow the MTU. A segment queued under a larger MTU still
    // fits: the buffer grows rather than overflows.
    auto reserve = [&](size_t need) -> char * {
        if (used + need > kcp->mtu) {
            kcpOutput(kcp, buffer.data(), static_cast<int>(used));
            used = 0;
        }
        if (used + need > buffer.size())
            buffer.resize(used + need);
        char *p = buffer.data() + used;
        used += need;
        return p;
    };

    Segment seg;
    seg.conv = kcp->conv;
    seg.cmd = IKCP_CMD_ACK;
    seg.wnd = wndUnused(kcp);
    seg.una = kcp->rcv_nxt;

    for (const auto &ack : q->acklist) {
        seg.sn = ack.first;
        seg.ts = ack.second;
        encodeSeg(reserve(IKCP_OVERHEAD), seg);
    }
    q->acklist.clear();

    // The peer's window is closed: ask for it now and then, backing off.
    if (kcp->rmt_wnd == 0) {
        if (kcp->probe_wait == 0) {
            kcp->probe_wait = IKCP_PROBE_INIT;
            kcp->ts_probe = current + kcp->probe_wait;
        } else if (itimediff(current, kcp->ts_probe) >= 0) {
            if (kcp->probe_wait < IKCP_PROBE_INIT)
                kcp->probe_wait = IKCP_PROBE_INIT;
            kcp->probe_wait += kcp->probe_wait / 2;
            if (kcp->probe_wait > IKCP_PROBE_LIMIT)
                kcp->probe_wait = IKCP_PROBE_LIMIT;
            kcp->ts_probe = current + kcp->probe_wait;
            kcp->probe |= IKCP_ASK_SEND;
        }
    } else {
        kcp->ts_probe = 0;
        kcp->probe_wait = 0;
    }

    seg.sn = 0;
    seg.ts = 0;
    if (kcp->probe & IKCP_ASK_SEND) {
        seg.cmd = IKCP_CMD_WASK;
        encodeSeg(reserve(IKCP_OVERHEAD), seg);
    }
    if (kcp->probe & IKCP_ASK_TELL) {
        seg.cmd = IKCP_CMD_WINS;
        encodeSeg(reserve(IKCP_OVERHEAD), seg);
    }
    kcp->probe = 0;

    IUINT32 cwnd = umin(kcp->snd_wnd, kcp->rmt_wnd);
    if (kcp->nocwnd == 0)
        cwnd = umin(kcp->cwnd, cwnd);

    // Give queued segments sequence numbers while the window allows.
    while (itimediff(kcp->snd_nxt, kcp->snd_una + cwnd) < 0 && !q->snd_queue.empty()) {
        Segment *newseg = q->snd_queue.front();
        q->snd_queue.pop_front();
        newseg->conv = kcp->conv;
        newseg->cmd = IKCP_CMD_PUSH;
        newseg->wnd = seg.wnd;
        newseg->ts = current;
        newseg->sn = kcp->snd_nxt++;
        newseg->una = kcp->rcv_nxt;
        newseg->resendts = current;
        newseg->rto = static_cast<IUINT32>(kcp->rx_rto);
        newseg->fastack = 0;
        newseg->xmit = 0;
        q->snd_buf.push_back(newseg);
        kcp->nsnd_que--;
        kcp->nsnd_buf++;
    }

    const IUINT32 resent = kcp->fastresend > 0 ? static_cast<IUINT32>(kcp->fastresend) : 0xffffffffu;
    const IUINT32 rtomin = kcp->nodelay == 0 ? static_cast<IUINT32>(kcp->rx_rto) >> 3 : 0;
    bool lost = false;
    bool change = false;

    for (Segment *segment : q->snd_buf) {
        if (!segment)
            continue;
        bool needsend = false;
        if (segment->xmit == 0) {
            needsend = true;
            segment->xmit++;
            segment->rto = static_cast<IUINT32>(kcp->rx_rto);
            segment->resendts = current + segment->rto + rtomin;
        } else if (itimediff(current, segment->resendts) >= 0) {
            needsend = true;
            segment->xmit++;
            kcp->xmit++;
            if (kcp->nodelay == 0) {
                segment->rto += umax(segment->rto, static_cast<IUINT32>(kcp->rx_rto));
            } else {
                const IUINT32 step =
                    kcp->nodelay < 2 ? segment->rto : static_cast<IUINT32>(kcp->rx_rto);
                segment->rto += step / 2;
            }
            segment->resendts = current + segment->rto;
            lost = true;
        } else if (segment->fastack >= resent) {
            if (static_cast<int>(segment->xmit) <= kcp->fastlimit || kcp->fastlimit <= 0) {
                needsend = true;
                segment->xmit++;
                segment->fastack = 0;
                segment->resendts = current + segment->rto;
                change = true;
            }
        }

        if (needsend) {
            segment->ts = current;
            segment->wnd = seg.wnd;
            segment->una = kcp->rcv_nxt;
            char *p = reserve(IKCP_OVERHEAD + segment->len);
            p = encodeSeg(p, *segment);
            if (segment->len > 0)
                std::memcpy(p, segment->data, segment->len);
            if (segment->xmit >= kcp->dead_link)
                kcp->state = static_cast<IUINT32>(-1);
        }
    }

    kcpOutput(kcp, buffer.data(), static_cast<int>(used));

    if (change) {
        const IUINT32 inflight = kcp->snd_nxt - kcp->snd_una;
        kcp->ssthresh = umax(inflight / 2, IKCP_THRESH_MIN);
        kcp->cwnd = kcp->ssthresh + resent;
        kcp->incr = kcp->cwnd * kcp->mss;
    }
    if (lost) {
        kcp->ssthresh = umax(cwnd / 2, IKCP_THRESH_MIN);
        kcp->cwnd = 1;
        kcp->incr = kcp->mss;
    }
    if (kcp->cwnd < 1) {
        kcp->cwnd = 1;
        kcp->incr = kcp->mss;
    }
}

void ikcp_update(ikcpcb *kcp, IUINT32 current)
{
    kcp->current = current;
    if (!kcp->updated) {
        kcp->updated = 1;
        kcp->ts_flush = current;
    }
    IINT32 slap = itimediff(current, kcp->ts_flush);
    // A clock jump of ten seconds or more restarts the flush schedule.
    if (slap >= 10000 || slap < -10000) {
        kcp->ts_flush = current;
        slap = 0;
    }
    if (slap >= 0) {
        kcp->ts_flush += kcp->interval;
        if (itimediff(current, kcp->ts_flush) >= 0)
            kcp->ts_flush = current + kcp->interval;
        ikcp_flush(kcp);
    }
}

IUINT32 ikcp_check(const ikcpcb *kcp, IUINT32 current)
{
    if (!kcp->updated)
        return current;
    IUINT32 ts_flush = kcp->ts_flush;
    if (itimediff(current, ts_flush) >= 10000 || itimediff(current, ts_flush) < -10000)
        ts_flush = current;
    if (itimediff(current, ts_flush) >= 0)
        return current;

    const IINT32 tm_flush = itimediff(ts_flush, current);
    IINT32 tm_packet = 0x7fffffff;
    for (const Segment *seg : kcp->q->snd_buf) {
        if (!seg)
            continue;
        const IINT32 diff = itimediff(seg->resendts, current);
        if (diff <= 0)
            return current;
        if (diff < tm_packet)
            tm_packet = diff;
    }
    IUINT32 minimal = static_cast<IUINT32>(tm_packet < tm_flush ? tm_packet : tm_flush);
    if (minimal >= kcp->interval)
        minimal = kcp->interval;
    return current + minimal;
}

IINT32 ikcp_idle_wait(const ikcpcb *kcp, IUINT32 current)
{
    if (!kcp->updated)
        return 0;
    // ikcp_update flushes only once ts_flush is reached (or far off: a
    // clock jump restarts the schedule at once).
    IINT32 toFlush = itimediff(kcp->ts_flush, current);
    if (toFlush < 0 || toFlush >= 10000)
        toFlush = 0;
    const IKCPQUEUES *q = kcp->q;
    IUINT32 cwnd = umin(kcp->snd_wnd, kcp->rmt_wnd);
    if (kcp->nocwnd == 0)
        cwnd = umin(kcp->cwnd, cwnd);
    if (!q->acklist.empty() || kcp->probe != 0 || kcp->rmt_wnd == 0 ||
        (!q->snd_queue.empty() && itimediff(kcp->snd_nxt, kcp->snd_una + cwnd) < 0))
        return toFlush;
    bool any = false;
    IINT32 earliest = 0;
    for (const Segment *seg : q->snd_buf) {
        if (!seg)
            continue;
        if (kcp->fastresend > 0 && seg->fastack >= static_cast<IUINT32>(kcp->fastresend) &&
            (static_cast<int>(seg->xmit) <= kcp->fastlimit || kcp->fastlimit <= 0))
            return toFlush;  // a fast resend waits for the next flush
        const IINT32 diff = itimediff(seg->resendts, current);
        if (!any || diff < earliest)
            earliest = diff;
        any = true;
    }
    if (!any)
        return -1;
    return earliest > toFlush ? earliest : toFlush;
}

int ikcp_setmtu(ikcpcb *kcp, int mtu)
{
    if (mtu < 50 || mtu < static_cast<int>(IKCP_OVERHEAD))
        return -1;
    kcp->mtu = static_cast<IUINT32>(mtu);
    kcp->mss = kcp->mtu - IKCP_OVERHEAD;
    kcp->q->buffer.resize((kcp->mtu + IKCP_OVERHEAD) * 3);
    return 0;
}

int ikcp_wndsize(ikcpcb *kcp, int sndwnd, int rcvwnd)
{
    if (sndwnd > 0)
        kcp->snd_wnd = static_cast<IUINT32>(sndwnd);
    if (rcvwnd > 0)
        kcp->rcv_wnd = umax(static_cast<IUINT32>(rcvwnd), IKCP_WND_RCV);
    return 0;
}

int ikcp_waitsnd(const ikcpcb *kcp)
{
    return static_cast<int>(kcp->nsnd_buf + kcp->nsnd_que);
}

int ikcp_nodelay(ikcpcb *kcp, int nodelay, int interval, int resend, int nc)
{
    if (nodelay >= 0) {
        kcp->nodelay = static_cast<IUINT32>(nodelay);
        kcp->rx_minrto = nodelay ? static_cast<IINT32>(IKCP_RTO_NDL)
                                 : static_cast<IINT32>(IKCP_RTO_MIN);
    }
    if (interval >= 0) {
        if (interval > 5000)
            interval = 5000;
        else if (interval < 10)
            interval = 10;
        kcp->interval = static_cast<IUINT32>(interval);
    }
    if (resend >= 0)
        kcp->fastresend = resend;
    if (nc >= 0)
        kcp->nocwnd = nc;
    return 0;
}

IUINT32 ikcp_getconv(const void *ptr)
{
    IUINT32 conv;
    decode32(static_cast<const char *>(ptr), &conv);
    return conv;
}
