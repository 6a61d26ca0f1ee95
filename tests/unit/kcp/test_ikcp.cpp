// The KCP control block on its own: wire bytes, return codes, timers and
// delivery over a simulated link with a simulated clock (no sockets, no
// real time). Everything random comes from a seeded generator.
#include "ikcp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

// ---- helpers -------------------------------------------------------------

// Small deterministic generator (splitmix64), the same on every platform.
class Rng {
public:
    explicit Rng(uint64_t seed) : s_(seed) {}
    uint64_t next()
    {
        uint64_t z = (s_ += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(next() % n); }

private:
    uint64_t s_;
};

std::string randomBytes(Rng &rng, size_t n)
{
    std::string s(n, '\0');
    for (auto &c : s)
        c = static_cast<char>(rng.below(256));
    return s;
}

void put32(std::string &s, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

// A segment built by hand, byte by byte; `len` may disagree with the payload.
std::string segBytes(uint32_t conv, uint8_t cmd, uint8_t frg, uint16_t wnd, uint32_t ts,
                     uint32_t sn, uint32_t una, uint32_t len, const std::string &payload = {})
{
    std::string s;
    put32(s, conv);
    s.push_back(static_cast<char>(cmd));
    s.push_back(static_cast<char>(frg));
    s.push_back(static_cast<char>(wnd & 0xff));
    s.push_back(static_cast<char>(wnd >> 8));
    put32(s, ts);
    put32(s, sn);
    put32(s, una);
    put32(s, len);
    return s + payload;
}

std::string pushSeg(uint32_t conv, uint32_t sn, const std::string &payload, uint8_t frg = 0,
                    uint32_t ts = 0, uint32_t una = 0)
{
    return segBytes(conv, 81, frg, 128, ts, sn, una, static_cast<uint32_t>(payload.size()),
                    payload);
}

struct WireSeg {
    uint32_t conv, cmd, frg, wnd, ts, sn, una, len;
    std::string data;
};

uint32_t get32(const std::string &s, size_t at)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--)
        v = (v << 8) | static_cast<uint8_t>(s[at + i]);
    return v;
}

// The test's own decoder of one datagram; fails the test on a malformed one.
std::vector<WireSeg> parseDatagram(const std::string &d)
{
    std::vector<WireSeg> out;
    size_t at = 0;
    while (at < d.size()) {
        EXPECT_GE(d.size() - at, 24u) << "trailing bytes in datagram";
        if (d.size() - at < 24)
            break;
        WireSeg w;
        w.conv = get32(d, at);
        w.cmd = static_cast<uint8_t>(d[at + 4]);
        w.frg = static_cast<uint8_t>(d[at + 5]);
        w.wnd = static_cast<uint8_t>(d[at + 6]) | (static_cast<uint8_t>(d[at + 7]) << 8);
        w.ts = get32(d, at + 8);
        w.sn = get32(d, at + 12);
        w.una = get32(d, at + 16);
        w.len = get32(d, at + 20);
        at += 24;
        EXPECT_LE(w.len, d.size() - at) << "segment longer than datagram";
        if (w.len > d.size() - at)
            break;
        w.data = d.substr(at, w.len);
        at += w.len;
        out.push_back(w);
    }
    return out;
}

// Collects what a control block hands to its output hook.
struct Capture {
    std::vector<std::string> datagrams;
    static int output(const char *buf, int len, ikcpcb *, void *user)
    {
        static_cast<Capture *>(user)->datagrams.emplace_back(buf, static_cast<size_t>(len));
        return len;
    }
    std::vector<WireSeg> segments() const
    {
        std::vector<WireSeg> all;
        for (const auto &d : datagrams)
            for (auto &w : parseDatagram(d))
                all.push_back(w);
        return all;
    }
    size_t count(uint32_t cmd) const
    {
        size_t n = 0;
        for (const auto &w : segments())
            n += w.cmd == cmd;
        return n;
    }
};

struct KcpDeleter {
    void operator()(ikcpcb *k) const { ikcp_release(k); }
};
using KcpPtr = std::unique_ptr<ikcpcb, KcpDeleter>;

// Congestion control off, so that the first flush already sends data
// (the congestion window starts at zero).
KcpPtr makeCaptured(uint32_t conv, Capture *cap)
{
    KcpPtr k(ikcp_create(conv, cap));
    ikcp_setoutput(k.get(), &Capture::output);
    ikcp_nodelay(k.get(), -1, -1, -1, 1);
    return k;
}

// Takes every complete message out of a control block.
std::vector<std::string> drain(ikcpcb *k)
{
    std::vector<std::string> out;
    for (int size; (size = ikcp_peeksize(k)) >= 0;) {
        std::string msg(static_cast<size_t>(size), '\0');
        const int n = ikcp_recv(k, msg.empty() ? nullptr : &msg[0], size);
        EXPECT_EQ(n, size);
        if (n != size)
            break;
        out.push_back(msg);
    }
    return out;
}

// ---- simulated link ------------------------------------------------------

struct LinkProfile {
    uint32_t lossPct = 0;
    uint32_t dupPct = 0;
    uint32_t delayMs = 5;
    uint32_t jitterMs = 0;  // extra random delay, which also reorders
};

// Two control blocks joined by a lossy in-memory link and one simulated
// millisecond clock. Side 0 is `a`, side 1 is `b`.
class SimLink {
public:
    SimLink(const LinkProfile &profile, uint64_t seed, uint32_t conv = 0x42)
        : profile_(profile), rng_(seed)
    {
        for (int i = 0; i < 2; i++) {
            ends_[i].link = this;
            ends_[i].side = i;
            ends_[i].kcp.reset(ikcp_create(conv, &ends_[i]));
            ikcp_setoutput(ends_[i].kcp.get(), &SimLink::output);
        }
    }

    ikcpcb *a() { return ends_[0].kcp.get(); }
    ikcpcb *b() { return ends_[1].kcp.get(); }
    uint32_t now() const { return now_; }

    // Returns true to drop a datagram sent by `side`, before the random loss.
    std::function<bool(int side, const std::string &bytes)> dropFilter;
    // Every datagram handed to the output hook, with its send time.
    std::vector<std::pair<uint32_t, std::string>> sent[2];

    // Advances the clock one millisecond: delivers what is due, then updates both.
    void tick()
    {
        now_++;
        while (!inflight_.empty() && inflight_.begin()->first <= now_) {
            auto node = inflight_.extract(inflight_.begin());
            const auto &pkt = node.mapped();
            ikcp_input(ends_[pkt.first].kcp.get(), pkt.second.data(),
                       static_cast<long>(pkt.second.size()));
        }
        ikcp_update(a(), now_);
        ikcp_update(b(), now_);
    }

    // Ticks until cond holds or simulated time runs out; returns cond.
    bool runUntil(const std::function<bool()> &cond, uint32_t maxMs)
    {
        const uint32_t end = now_ + maxMs;
        while (!cond()) {
            if (now_ >= end)
                return false;
            tick();
        }
        return true;
    }

private:
    struct End {
        SimLink *link = nullptr;
        int side = 0;
        KcpPtr kcp;
    };

    static int output(const char *buf, int len, ikcpcb *, void *user)
    {
        auto *end = static_cast<End *>(user);
        end->link->transmit(end->side, std::string(buf, static_cast<size_t>(len)));
        return len;
    }

    void transmit(int from, const std::string &bytes)
    {
        EXPECT_LE(bytes.size(), 1400u) << "datagram beyond the MTU";
        sent[from].emplace_back(now_, bytes);
        if (dropFilter && dropFilter(from, bytes))
            return;
        if (rng_.below(100) < profile_.lossPct)
            return;
        const int copies = rng_.below(100) < profile_.dupPct ? 2 : 1;
        for (int i = 0; i < copies; i++) {
            const uint32_t due = now_ + profile_.delayMs + rng_.below(profile_.jitterMs + 1);
            inflight_.emplace(due, std::make_pair(1 - from, bytes));
        }
    }

    LinkProfile profile_;
    Rng rng_;
    uint32_t now_ = 0;
    End ends_[2];
    std::multimap<uint32_t, std::pair<int, std::string>> inflight_;
};

// ---- defaults and settings -----------------------------------------------

TEST(IkcpSettings, CreateUsesStandardDefaults)
{
    KcpPtr k(ikcp_create(7, nullptr));
    EXPECT_EQ(k->conv, 7u);
    EXPECT_EQ(k->mtu, 1400u);
    EXPECT_EQ(k->mss, 1376u);
    EXPECT_EQ(k->snd_wnd, 32u);
    EXPECT_EQ(k->rcv_wnd, 128u);
    EXPECT_EQ(k->rmt_wnd, 128u);
    EXPECT_EQ(k->rx_rto, 200);
    EXPECT_EQ(k->rx_minrto, 100);
    EXPECT_EQ(k->interval, 100u);
    EXPECT_EQ(k->dead_link, 20u);
    EXPECT_EQ(k->fastlimit, 5);
    EXPECT_EQ(k->ssthresh, 2u);
    EXPECT_EQ(k->state, 0u);
    EXPECT_EQ(k->stream, 0);
    EXPECT_EQ(ikcp_waitsnd(k.get()), 0);
}

struct NodelayCase {
    const char *name;
    int nodelay, interval, resend, nc;
    uint32_t wantNodelay, wantInterval;
    int32_t wantMinRto;
    int wantResend, wantNc;
};

class IkcpNodelay : public ::testing::TestWithParam<NodelayCase> {};

TEST_P(IkcpNodelay, AppliesAndClampsSettings)
{
    const auto &c = GetParam();
    KcpPtr k(ikcp_create(1, nullptr));
    EXPECT_EQ(ikcp_nodelay(k.get(), c.nodelay, c.interval, c.resend, c.nc), 0);
    EXPECT_EQ(k->nodelay, c.wantNodelay);
    EXPECT_EQ(k->interval, c.wantInterval);
    EXPECT_EQ(k->rx_minrto, c.wantMinRto);
    EXPECT_EQ(k->fastresend, c.wantResend);
    EXPECT_EQ(k->nocwnd, c.wantNc);
}

INSTANTIATE_TEST_SUITE_P(
    Table, IkcpNodelay,
    ::testing::Values(
        NodelayCase{"SessionSettingsRaiseIntervalTo10", 1, 1, 5, 1, 1, 10, 30, 5, 1},
        NodelayCase{"IntervalBelow10Gives10", 0, 9, 0, 0, 0, 10, 100, 0, 0},
        NodelayCase{"IntervalAbove5000Gives5000", 0, 5001, 0, 0, 0, 5000, 100, 0, 0},
        NodelayCase{"TurboModeKeepsInterval", 2, 20, 2, 1, 2, 20, 30, 2, 1},
        NodelayCase{"NegativeArgumentsChangeNothing", -1, -1, -1, -1, 0, 100, 100, 0, 0}),
    [](const auto &info) { return std::string(info.param.name); });

struct WndCase {
    const char *name;
    int snd, rcv;
    uint32_t wantSnd, wantRcv;
};

class IkcpWndsize : public ::testing::TestWithParam<WndCase> {};

TEST_P(IkcpWndsize, SetsWindowsWithReceiveFloor)
{
    const auto &c = GetParam();
    KcpPtr k(ikcp_create(1, nullptr));
    EXPECT_EQ(ikcp_wndsize(k.get(), c.snd, c.rcv), 0);
    EXPECT_EQ(k->snd_wnd, c.wantSnd);
    EXPECT_EQ(k->rcv_wnd, c.wantRcv);
}

INSTANTIATE_TEST_SUITE_P(
    Table, IkcpWndsize,
    ::testing::Values(WndCase{"SessionWindows", 10240, 10240, 10240, 10240},
                      WndCase{"ReceiveWindowNeverBelowFragmentLimit", 64, 10, 64, 128},
                      WndCase{"ZeroKeepsBoth", 0, 0, 32, 128},
                      WndCase{"NegativeKeepsBoth", -5, -5, 32, 128}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(IkcpSettings, SetmtuRejectsTooSmallAndSetsMss)
{
    KcpPtr k(ikcp_create(1, nullptr));
    EXPECT_EQ(ikcp_setmtu(k.get(), 49), -1);
    EXPECT_EQ(k->mtu, 1400u);
    EXPECT_EQ(ikcp_setmtu(k.get(), 50), 0);
    EXPECT_EQ(k->mss, 26u);
    EXPECT_EQ(ikcp_setmtu(k.get(), 1400), 0);
    EXPECT_EQ(k->mss, 1376u);
}

TEST(IkcpSettings, GetconvReadsLittleEndian)
{
    const unsigned char d[] = {0x78, 0x56, 0x34, 0x12, 81};
    EXPECT_EQ(ikcp_getconv(d), 0x12345678u);
}

// ---- wire format ---------------------------------------------------------

TEST(IkcpWire, PushSegmentBytesMatchLayout)
{
    Capture cap;
    KcpPtr k = makeCaptured(0x01020304, &cap);
    ikcp_wndsize(k.get(), 32, 0x0123);
    k->snd_nxt = k->snd_una = 0x05060708;
    k->rcv_nxt = 0x090a0b0c;
    ASSERT_EQ(ikcp_send(k.get(), "xyz", 3), 0);
    ikcp_update(k.get(), 0x0d0e0f10);

    ASSERT_EQ(cap.datagrams.size(), 1u);
    const std::string want = std::string("\x04\x03\x02\x01"  // conv
                                         "\x51"              // PUSH
                                         "\x00"              // frg
                                         "\x23\x01"          // wnd
                                         "\x10\x0f\x0e\x0d"  // ts
                                         "\x08\x07\x06\x05"  // sn
                                         "\x0c\x0b\x0a\x09"  // una
                                         "\x03\x00\x00\x00"  // len
                                         "xyz",
                                         27);
    EXPECT_EQ(cap.datagrams[0], want);
}

TEST(IkcpWire, HandBuiltPushIsDeliveredAndAckedWithItsSnAndTs)
{
    Capture cap;
    KcpPtr k = makeCaptured(0xa1b2c3d4, &cap);
    k->rcv_nxt = 0x00010000;
    const std::string d =
        segBytes(0xa1b2c3d4, 81, 0, 32, 0x11223344, 0x00010000, 0, 5, "hello");
    ASSERT_EQ(ikcp_input(k.get(), d.data(), static_cast<long>(d.size())), 0);
    EXPECT_EQ(k->rmt_wnd, 32u);
    EXPECT_EQ(k->rcv_nxt, 0x00010001u);

    ikcp_update(k.get(), 1000);  // ACK leaves while the message is still queued
    ASSERT_EQ(cap.datagrams.size(), 1u);
    const std::string want = std::string("\xd4\xc3\xb2\xa1"  // conv
                                         "\x52"              // ACK
                                         "\x00"              // frg
                                         "\x7f\x00"          // wnd: 128 - 1 queued
                                         "\x44\x33\x22\x11"  // ts of the acked segment
                                         "\x00\x00\x01\x00"  // sn of the acked segment
                                         "\x01\x00\x01\x00"  // una: next expected
                                         "\x00\x00\x00\x00",  // len
                                         24);
    EXPECT_EQ(cap.datagrams[0], want);
    EXPECT_EQ(drain(k.get()), std::vector<std::string>{"hello"});
}

TEST(IkcpWire, SeveralSegmentsInOneDatagramAreAllTaken)
{
    Capture cap;
    KcpPtr k = makeCaptured(9, &cap);
    const std::string d = pushSeg(9, 0, "one") + pushSeg(9, 1, "two") + pushSeg(9, 2, "three");
    ASSERT_EQ(ikcp_input(k.get(), d.data(), static_cast<long>(d.size())), 0);
    EXPECT_EQ(drain(k.get()), (std::vector<std::string>{"one", "two", "three"}));
    ikcp_update(k.get(), 1);
    ASSERT_EQ(cap.datagrams.size(), 1u);  // three ACKs packed in one datagram
    const auto segs = parseDatagram(cap.datagrams[0]);
    ASSERT_EQ(segs.size(), 3u);
    for (uint32_t i = 0; i < 3; i++) {
        EXPECT_EQ(segs[i].cmd, 82u);
        EXPECT_EQ(segs[i].sn, i);
        EXPECT_EQ(segs[i].una, 3u);
    }
}

TEST(IkcpWire, AckFromPeerRemovesSegmentAndSamplesRtt)
{
    Capture cap;
    KcpPtr k = makeCaptured(5, &cap);
    ASSERT_EQ(ikcp_send(k.get(), "abc", 3), 0);
    ikcp_update(k.get(), 1000);
    ASSERT_EQ(ikcp_waitsnd(k.get()), 1);
    ikcp_update(k.get(), 1040);
    const std::string ack = segBytes(5, 82, 0, 128, 1000, 0, 1, 0);
    ASSERT_EQ(ikcp_input(k.get(), ack.data(), static_cast<long>(ack.size())), 0);
    EXPECT_EQ(ikcp_waitsnd(k.get()), 0);
    EXPECT_EQ(k->snd_una, 1u);
    EXPECT_EQ(k->rx_srtt, 40);
}

TEST(IkcpWire, SmallMessagesArePackedUpToMtu)
{
    Capture cap;
    KcpPtr k = makeCaptured(3, &cap);
    ikcp_nodelay(k.get(), 1, 10, 0, 1);
    const std::string msg(500, 'm');
    for (int i = 0; i < 10; i++)
        ASSERT_EQ(ikcp_send(k.get(), msg.data(), 500), 0);
    ikcp_update(k.get(), 1);
    // 524 bytes a segment: two fit in 1400, a third does not.
    ASSERT_EQ(cap.datagrams.size(), 5u);
    for (const auto &d : cap.datagrams) {
        EXPECT_EQ(d.size(), 1048u);
        EXPECT_EQ(parseDatagram(d).size(), 2u);
    }
}

TEST(IkcpWire, AcksArePackedUpToMtu)
{
    Capture cap;
    KcpPtr k = makeCaptured(3, &cap);
    std::string d;
    for (uint32_t sn = 0; sn < 100; sn++)
        d += pushSeg(3, sn, "");
    ASSERT_EQ(ikcp_input(k.get(), d.data(), static_cast<long>(d.size())), 0);
    ikcp_update(k.get(), 1);
    ASSERT_EQ(cap.datagrams.size(), 2u);
    EXPECT_EQ(cap.datagrams[0].size(), 58u * 24u);  // 58 headers fit in 1400
    EXPECT_EQ(cap.datagrams[1].size(), 42u * 24u);
}

TEST(IkcpWire, AdvertisedWindowSaturatesAt16Bits)
{
    Capture cap;
    KcpPtr k = makeCaptured(3, &cap);
    ikcp_wndsize(k.get(), 32, 70000);
    k->rcv_bytes_max = 0xffffffffu;
    ASSERT_EQ(ikcp_send(k.get(), "a", 1), 0);
    ikcp_update(k.get(), 1);
    const auto segs = cap.segments();
    ASSERT_EQ(segs.size(), 1u);
    EXPECT_EQ(segs[0].wnd, 0xffffu);  // not 70000 & 0xffff
}

TEST(IkcpWire, AdvertisedWindowKeepsWithinTheReassemblyBound)
{
    Capture cap;
    KcpPtr k = makeCaptured(3, &cap);
    ikcp_wndsize(k.get(), 32, 10240);
    k->rcv_bytes_max = 100000;
    ASSERT_EQ(ikcp_send(k.get(), "a", 1), 0);
    ikcp_update(k.get(), 1);
    const auto segs = cap.segments();
    ASSERT_EQ(segs.size(), 1u);
    EXPECT_LE(segs[0].wnd, 100000u / k->mss);
    EXPECT_GE(segs[0].wnd, 100000u / (k->mss + 200));
}

// ---- malformed input -----------------------------------------------------

struct BadInputCase {
    const char *name;
    std::function<std::string()> bytes;
    int want;
};

class IkcpBadInput : public ::testing::TestWithParam<BadInputCase> {};

TEST_P(IkcpBadInput, IsRejectedWithItsCode)
{
    const auto &c = GetParam();
    Capture cap;
    KcpPtr k = makeCaptured(0x77, &cap);
    const std::string d = c.bytes();
    EXPECT_EQ(ikcp_input(k.get(), d.data(), static_cast<long>(d.size())), c.want);
    EXPECT_EQ(ikcp_peeksize(k.get()), -1);
    EXPECT_EQ(k->nrcv_buf, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, IkcpBadInput,
    ::testing::Values(
        BadInputCase{"EmptyDatagram", [] { return std::string(); }, -1},
        BadInputCase{"ShorterThanHeader", [] { return pushSeg(0x77, 0, "").substr(0, 23); }, -1},
        BadInputCase{"ForeignConv", [] { return pushSeg(0x78, 0, "data"); }, -1},
        BadInputCase{"LenBeyondDatagram",
                     [] { return segBytes(0x77, 81, 0, 128, 0, 0, 0, 5, "abcd"); }, -2},
        BadInputCase{"HugeLen",
                     [] { return segBytes(0x77, 81, 0, 128, 0, 0, 0, 0xffffffffu, "abcd"); }, -2},
        BadInputCase{"SegmentOf65000Bytes",
                     [] { return segBytes(0x77, 81, 0, 128, 0, 1, 0, 65000, std::string(65000, 'x')); }, -4},
        BadInputCase{"UnknownCommand", [] { return segBytes(0x77, 99, 0, 128, 0, 0, 0, 0); }, -3},
        BadInputCase{"CommandZero", [] { return segBytes(0x77, 0, 0, 128, 0, 0, 0, 0); }, -3}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(IkcpBadInputMisc, NullDataIsRejected)
{
    KcpPtr k(ikcp_create(1, nullptr));
    EXPECT_EQ(ikcp_input(k.get(), nullptr, 100), -1);
}

TEST(IkcpBadInputMisc, LongestHonestSegmentIsTakenOneByteMoreIsNot)
{
    KcpPtr k(ikcp_create(1, nullptr));
    const std::string longest(IKCP_SEG_DATA_MAX, 'a');
    const std::string d = pushSeg(1, 0, longest) + pushSeg(1, 1, longest + "b");
    EXPECT_EQ(ikcp_input(k.get(), d.data(), static_cast<long>(d.size())), -4);
    EXPECT_EQ(drain(k.get()), std::vector<std::string>{longest});
    EXPECT_EQ(k->seg_dropped, 1u);
}

TEST(IkcpBadInputMisc, TruncatedSecondSegmentKeepsTheFirst)
{
    KcpPtr k(ikcp_create(1, nullptr));
    const std::string d = pushSeg(1, 0, "ok") + segBytes(1, 81, 0, 128, 0, 1, 0, 10, "short");
    EXPECT_EQ(ikcp_input(k.get(), d.data(), static_cast<long>(d.size())), -2);
    EXPECT_EQ(drain(k.get()), std::vector<std::string>{"ok"});
}

TEST(IkcpBadInputMisc, TrailingBytesShorterThanHeaderAreIgnored)
{
    KcpPtr k(ikcp_create(1, nullptr));
    const std::string d = pushSeg(1, 0, "ok") + std::string(10, '\x01');
    EXPECT_EQ(ikcp_input(k.get(), d.data(), static_cast<long>(d.size())), 0);
    EXPECT_EQ(drain(k.get()), std::vector<std::string>{"ok"});
}

TEST(IkcpBadInputMisc, SegmentOutsideReceiveWindowIsNeitherKeptNorAcked)
{
    Capture cap;
    KcpPtr k = makeCaptured(1, &cap);
    const std::string d = pushSeg(1, 128, "far");  // rcv_nxt 0, rcv_wnd 128
    EXPECT_EQ(ikcp_input(k.get(), d.data(), static_cast<long>(d.size())), 0);
    EXPECT_EQ(k->nrcv_buf, 0u);
    ikcp_update(k.get(), 1);
    EXPECT_EQ(cap.count(82), 0u);
}

// ---- reassembly bound -----------------------------------------------------

TEST(IkcpReassembly, OutOfOrderBytesStopAtTheBoundUnacknowledgedUntilTheGapFills)
{
    Capture cap;
    KcpPtr k = makeCaptured(1, &cap);
    ikcp_wndsize(k.get(), 10240, 10240);
    const uint32_t n = 10240;
    auto payload = [](uint32_t sn) { return std::string(1376, static_cast<char>('a' + sn % 26)); };
    for (uint32_t sn = 1; sn < n; sn++) {
        const std::string d = pushSeg(1, sn, payload(sn));
        ASSERT_EQ(ikcp_input(k.get(), d.data(), static_cast<long>(d.size())), 0);
    }
    const uint32_t kept = k->nrcv_buf;
    EXPECT_LE(k->nrcv_bytes, IKCP_RCV_BYTES_DEF);
    EXPECT_GT(k->nrcv_bytes, IKCP_RCV_BYTES_DEF - 2000);
    EXPECT_EQ(k->rcv_dropped, n - 1 - kept);
    ikcp_update(k.get(), 1);
    EXPECT_EQ(cap.count(82), kept) << "only what was kept is acknowledged";

    // The segment at rcv_nxt is taken over the bound; then the rest fits again.
    const std::string first = pushSeg(1, 0, payload(0));
    ASSERT_EQ(ikcp_input(k.get(), first.data(), static_cast<long>(first.size())), 0);
    std::vector<std::string> got = drain(k.get());
    ASSERT_EQ(got.size(), kept + 1);
    EXPECT_EQ(k->nrcv_bytes, 0u);
    for (uint32_t sn = kept + 1; sn < n; sn++) {
        const std::string d = pushSeg(1, sn, payload(sn));
        ASSERT_EQ(ikcp_input(k.get(), d.data(), static_cast<long>(d.size())), 0);
    }
    for (auto &m : drain(k.get()))
        got.push_back(std::move(m));
    ASSERT_EQ(got.size(), n);
    for (uint32_t sn = 0; sn < n; sn++)
        ASSERT_EQ(got[sn], payload(sn)) << sn;
}

// ---- send and receive return codes ---------------------------------------

struct SendLimitCase {
    const char *name;
    int len;
    int want;
    uint32_t wantQueued;
};

class IkcpSendLimit : public ::testing::TestWithParam<SendLimitCase> {};

TEST_P(IkcpSendLimit, ReturnsCodeForLength)
{
    const auto &c = GetParam();
    KcpPtr k(ikcp_create(1, nullptr));
    ikcp_wndsize(k.get(), 10240, 10240);  // the limit is the peer's, not our window
    std::vector<char> data(c.len > 0 ? static_cast<size_t>(c.len) : 1, 'd');
    EXPECT_EQ(ikcp_send(k.get(), data.data(), c.len), c.want);
    EXPECT_EQ(k->nsnd_que, c.wantQueued);
}

INSTANTIATE_TEST_SUITE_P(
    Table, IkcpSendLimit,
    ::testing::Values(SendLimitCase{"NegativeLength", -1, -1, 0},
                      SendLimitCase{"EmptyMessageIsOneSegment", 0, 0, 1},
                      SendLimitCase{"MaxFragments127", 127 * 1376, 0, 127},
                      SendLimitCase{"Fragments128Refused", 127 * 1376 + 1, -2, 0},
                      SendLimitCase{"FarTooLarge", 1000 * 1376, -2, 0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(IkcpRecv, ReturnCodesAndPeek)
{
    KcpPtr k(ikcp_create(1, nullptr));
    char buf[16];
    EXPECT_EQ(ikcp_recv(k.get(), buf, sizeof buf), -1);  // nothing queued

    // First of two fragments only: incomplete.
    std::string d = pushSeg(1, 0, "first-", 1);
    ASSERT_EQ(ikcp_input(k.get(), d.data(), static_cast<long>(d.size())), 0);
    EXPECT_EQ(ikcp_peeksize(k.get()), -1);
    EXPECT_EQ(ikcp_recv(k.get(), buf, sizeof buf), -2);

    d = pushSeg(1, 1, "second", 0);
    ASSERT_EQ(ikcp_input(k.get(), d.data(), static_cast<long>(d.size())), 0);
    EXPECT_EQ(ikcp_peeksize(k.get()), 12);
    EXPECT_EQ(ikcp_recv(k.get(), buf, 11), -3);  // too small: stays queued
    EXPECT_EQ(k->nrcv_que, 2u);
    EXPECT_EQ(ikcp_recv(k.get(), buf, -16), 12);  // peek
    EXPECT_EQ(std::string(buf, 12), "first-second");
    EXPECT_EQ(k->nrcv_que, 2u);
    std::memset(buf, 0, sizeof buf);
    EXPECT_EQ(ikcp_recv(k.get(), buf, 12), 12);
    EXPECT_EQ(std::string(buf, 12), "first-second");
    EXPECT_EQ(ikcp_recv(k.get(), buf, sizeof buf), -1);
}

TEST(IkcpRecv, StreamModeCoalescesWrites)
{
    Capture cap;
    KcpPtr k = makeCaptured(1, &cap);
    k->stream = 1;
    EXPECT_EQ(ikcp_send(k.get(), "ab", 2), 2);
    EXPECT_EQ(ikcp_send(k.get(), "cd", 2), 2);
    EXPECT_EQ(k->nsnd_que, 1u);
    ikcp_update(k.get(), 1);
    const auto segs = cap.segments();
    ASSERT_EQ(segs.size(), 1u);
    EXPECT_EQ(segs[0].data, "abcd");
    EXPECT_EQ(segs[0].frg, 0u);
}

// ---- fragmentation -------------------------------------------------------

struct FragCase {
    const char *name;
    int size;
    std::vector<uint32_t> lens;  // payload of each segment on the wire
};

class IkcpFragment : public ::testing::TestWithParam<FragCase> {};

TEST_P(IkcpFragment, SplitsAtMssCountsDownAndReassembles)
{
    const auto &c = GetParam();
    SimLink link({}, 1);
    ikcp_nodelay(link.a(), 1, 10, 0, 1);
    ikcp_wndsize(link.a(), 256, 256);
    Rng rng(static_cast<uint64_t>(c.size) + 1);
    const std::string msg = randomBytes(rng, static_cast<size_t>(c.size));
    ASSERT_EQ(ikcp_send(link.a(), msg.data(), c.size), 0);
    EXPECT_EQ(link.a()->nsnd_que, c.lens.size());

    std::vector<std::string> got;
    ASSERT_TRUE(link.runUntil(
        [&] {
            for (auto &m : drain(link.b()))
                got.push_back(m);
            return !got.empty();
        },
        5000));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], msg);

    std::vector<WireSeg> pushes;
    for (const auto &d : link.sent[0])
        for (auto &w : parseDatagram(d.second))
            if (w.cmd == 81)
                pushes.push_back(w);
    ASSERT_EQ(pushes.size(), c.lens.size());
    for (size_t i = 0; i < pushes.size(); i++) {
        EXPECT_EQ(pushes[i].frg, c.lens.size() - 1 - i) << "segment " << i;
        EXPECT_EQ(pushes[i].len, c.lens[i]) << "segment " << i;
        EXPECT_EQ(pushes[i].sn, i);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, IkcpFragment,
    ::testing::Values(FragCase{"Empty", 0, {0}},
                      FragCase{"OneByte", 1, {1}},
                      FragCase{"ExactlyMss1376", 1376, {1376}},
                      FragCase{"Mss1377", 1377, {1376, 1}},
                      FragCase{"Mtu1400", 1400, {1376, 24}},
                      FragCase{"Mtu1401", 1401, {1376, 25}},
                      FragCase{"TwoMss2752", 2752, {1376, 1376}},
                      FragCase{"TwoMss2753", 2753, {1376, 1376, 1}},
                      FragCase{"TwoMtu2800", 2800, {1376, 1376, 48}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(IkcpFragmentMisc, ShrinkingMtuWithQueuedSegmentsDoesNotOverflow)
{
    Capture cap;
    KcpPtr k = makeCaptured(1, &cap);
    const std::string msg(1376, 'q');
    ASSERT_EQ(ikcp_send(k.get(), msg.data(), 1376), 0);
    ASSERT_EQ(ikcp_setmtu(k.get(), 60), 0);
    ikcp_update(k.get(), 1);
    const auto segs = cap.segments();
    ASSERT_EQ(segs.size(), 1u);
    EXPECT_EQ(segs[0].data, msg);
}

// ---- windows and probing -------------------------------------------------

struct WindowCase {
    const char *name;
    int sndWnd;
    int peerWnd;  // advertised by the peer through WINS; -1 for none
    int nocwnd;
    int flushes;
    uint32_t wantInFlight;
};

class IkcpWindow : public ::testing::TestWithParam<WindowCase> {};

TEST_P(IkcpWindow, SenderStopsAtTheSmallestWindow)
{
    const auto &c = GetParam();
    Capture cap;
    KcpPtr k = makeCaptured(1, &cap);
    ikcp_nodelay(k.get(), 0, 10, 0, c.nocwnd);
    ikcp_wndsize(k.get(), c.sndWnd, 0);
    if (c.peerWnd >= 0) {
        const std::string wins = segBytes(1, 84, 0, static_cast<uint16_t>(c.peerWnd), 0, 0, 0, 0);
        ASSERT_EQ(ikcp_input(k.get(), wins.data(), static_cast<long>(wins.size())), 0);
    }
    for (int i = 0; i < 100; i++)
        ASSERT_EQ(ikcp_send(k.get(), "x", 1), 0);
    for (int i = 0; i < c.flushes; i++)
        ikcp_update(k.get(), static_cast<uint32_t>(1 + 10 * i));  // well before any RTO
    EXPECT_EQ(cap.count(81), c.wantInFlight);
    EXPECT_EQ(k->nsnd_buf, c.wantInFlight);
    EXPECT_EQ(k->nsnd_que, 100 - c.wantInFlight);
    EXPECT_EQ(k->snd_nxt, c.wantInFlight);
}

INSTANTIATE_TEST_SUITE_P(
    Table, IkcpWindow,
    ::testing::Values(WindowCase{"SendWindow32", 32, -1, 1, 3, 32},
                      WindowCase{"RemoteWindow20", 1000, 20, 1, 3, 20},
                      WindowCase{"RemoteWindowZero", 1000, 0, 1, 3, 0},
                      WindowCase{"CongestionWindowStartsAtOne", 32, -1, 0, 2, 1}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(IkcpWindowProbe, ZeroWindowIsProbedWithBackoffAndReopened)
{
    SimLink link({0, 0, 5, 0}, 3);
    ikcp_nodelay(link.a(), 1, 10, 0, 1);
    ikcp_nodelay(link.b(), 1, 10, 0, 1);
    ikcp_wndsize(link.a(), 512, 128);
    const int total = 300;
    for (int i = 0; i < total; i++) {
        const std::string m = std::to_string(i);
        ASSERT_EQ(ikcp_send(link.a(), m.data(), static_cast<int>(m.size())), 0);
    }
    // The receiver does not read: its queue fills and its window closes.
    ASSERT_TRUE(link.runUntil([&] { return link.a()->rmt_wnd == 0; }, 5000));
    const uint32_t closedAt = link.now();
    EXPECT_EQ(link.b()->nrcv_que, 128u);
    const uint32_t stuckAt = link.a()->snd_nxt;

    link.runUntil([] { return false; }, 7000 + 10500 + 100);
    std::vector<uint32_t> wasks;
    for (const auto &d : link.sent[0])
        for (const auto &w : parseDatagram(d.second))
            if (w.cmd == 83)
                wasks.push_back(d.first);
    ASSERT_EQ(wasks.size(), 2u);
    EXPECT_GE(wasks[0] - closedAt, 7000u);
    EXPECT_LE(wasks[0] - closedAt, 7000u + 20u);
    EXPECT_GE(wasks[1] - wasks[0], 10500u);  // probe wait grows by half
    EXPECT_LE(wasks[1] - wasks[0], 10500u + 10u);
    EXPECT_EQ(link.a()->probe_wait, 15750u);
    EXPECT_EQ(link.a()->snd_nxt, stuckAt);  // nothing new while closed

    size_t winsAfterWask = 0;
    for (const auto &d : link.sent[1])
        for (const auto &w : parseDatagram(d.second))
            if (w.cmd == 84 && d.first >= wasks[0]) {
                winsAfterWask++;
                EXPECT_EQ(w.wnd, 0u);
            }
    EXPECT_EQ(winsAfterWask, 2u);

    // Reading reopens the window: the receiver tells at once, no probe needed.
    std::vector<std::string> got = drain(link.b());
    const size_t winsBefore = link.sent[1].size();
    link.tick();
    link.runUntil([&] { return link.sent[1].size() > winsBefore; }, 20);
    bool told = false;
    for (size_t i = winsBefore; i < link.sent[1].size(); i++)
        for (const auto &w : parseDatagram(link.sent[1][i].second))
            told |= (w.cmd == 84 && w.wnd > 0);
    EXPECT_TRUE(told);
    ASSERT_TRUE(link.runUntil(
        [&] {
            for (auto &m : drain(link.b()))
                got.push_back(m);
            return got.size() == static_cast<size_t>(total);
        },
        5000));
    for (int i = 0; i < total; i++)
        EXPECT_EQ(got[static_cast<size_t>(i)], std::to_string(i));
}

// ---- RTT, RTO and retransmission -----------------------------------------

struct RttCase {
    const char *name;
    int nodelay, interval;
    int32_t minRtoOverride;  // 0: keep what ikcp_nodelay set
    std::vector<int32_t> rtts;
    int32_t wantSrtt, wantRttval, wantRto;
};

class IkcpRtt : public ::testing::TestWithParam<RttCase> {};

TEST_P(IkcpRtt, EstimatesSmoothedRttAndBoundedRto)
{
    const auto &c = GetParam();
    KcpPtr k(ikcp_create(1, nullptr));
    ikcp_nodelay(k.get(), c.nodelay, c.interval, 0, 0);
    if (c.minRtoOverride)
        k->rx_minrto = c.minRtoOverride;
    const uint32_t now = 100000;
    ikcp_update(k.get(), now);
    for (int32_t rtt : c.rtts) {
        const std::string ack =
            segBytes(1, 82, 0, 128, now - static_cast<uint32_t>(rtt), 0, 0, 0);
        ASSERT_EQ(ikcp_input(k.get(), ack.data(), static_cast<long>(ack.size())), 0);
    }
    EXPECT_EQ(k->rx_srtt, c.wantSrtt);
    EXPECT_EQ(k->rx_rttval, c.wantRttval);
    EXPECT_EQ(k->rx_rto, c.wantRto);
}

INSTANTIATE_TEST_SUITE_P(
    Table, IkcpRtt,
    ::testing::Values(
        RttCase{"FirstSample", 0, 100, 0, {100}, 100, 50, 300},
        RttCase{"SecondSampleSmooths", 0, 100, 0, {100, 60}, 95, 47, 283},
        RttCase{"IntervalFloorsVariance", 0, 50, 0, {200, 200, 200, 200, 200, 200, 200, 200}, 200, 12, 250},
        RttCase{"BoundedByNormalMinRto", 0, 10, 0, {1}, 1, 0, 100},
        RttCase{"BoundedByNodelayMinRto", 1, 10, 0, {1}, 1, 0, 30},
        RttCase{"BoundedByOwnerMinRto", 1, 10, 450, {1}, 1, 0, 450},
        RttCase{"SampleAndRtoBoundedByCeiling", 0, 100, 0, {50000}, 5000, 2500, 5000},
        RttCase{"FutureTimestampIgnored", 0, 100, 0, {-5}, 0, 0, 200}),
    [](const auto &info) { return std::string(info.param.name); });

// ACKs whose timestamps the peer chose: `back` is how far before the clock
// each claims its segment left (negative: from the future).
struct CraftedAckCase {
    const char *name;
    uint32_t now;
    std::vector<int64_t> back;
    bool sampled;  // whether the RTT estimate may move at all
};

class IkcpCraftedAck : public ::testing::TestWithParam<CraftedAckCase> {};

TEST_P(IkcpCraftedAck, KeepsTheRtoWithinItsBounds)
{
    const auto &c = GetParam();
    KcpPtr k(ikcp_create(1, nullptr));
    ikcp_nodelay(k.get(), 1, 1, 5, 1);  // the oxlat session's settings
    k->rx_minrto = 450;
    ikcp_update(k.get(), c.now);
    for (int64_t back : c.back) {
        const std::string ack = segBytes(1, 82, 0, 128, c.now - static_cast<uint32_t>(back), 0, 0, 0);
        ASSERT_EQ(ikcp_input(k.get(), ack.data(), static_cast<long>(ack.size())), 0);
        EXPECT_LE(k->rx_rto, static_cast<int32_t>(IKCP_RTO_MAX));
        if (c.sampled) {
            EXPECT_GE(k->rx_rto, k->rx_minrto);
        }
        EXPECT_GE(k->rx_srtt, 0);
        EXPECT_GE(k->rx_rttval, 0);
    }
    if (!c.sampled) {
        EXPECT_EQ(k->rx_srtt, 0);
        EXPECT_EQ(k->rx_rto, static_cast<int32_t>(IKCP_RTO_DEF));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, IkcpCraftedAck,
    ::testing::Values(
        CraftedAckCase{"OldestTimestampRepeated", 100000, {0x7fffffff, 0x7fffffff, 0x7fffffff}, true},
        CraftedAckCase{"HonestThenOldest", 100000, {20, 20, 20, 0x7fffffff, 0x7fffffff}, true},
        CraftedAckCase{"AlternatingOldestAndNewest", 7, {0x7fffffff, 0, 0x7fffffff, 0, 0x7fffffff}, true},
        CraftedAckCase{"JustPastTheCeiling", 0xfffffff0u, {5001, 5001, 5001, 5001}, true},
        CraftedAckCase{"FromTheFuture", 100000, {-1, -1000}, false},
        CraftedAckCase{"HalfTheClockAwayReadsAsFuture", 100000, {0x80000000ll}, false},
        CraftedAckCase{"TimestampZeroWhenTheClockWrapsSoon", 0xfffffff0u, {0xfffffff0ll}, false}),
    [](const auto &info) { return std::string(info.param.name); });

struct BackoffCase {
    const char *name;
    int nodelay;
    std::vector<uint32_t> wantGaps;  // between consecutive transmissions of sn 0
};

class IkcpBackoff : public ::testing::TestWithParam<BackoffCase> {};

TEST_P(IkcpBackoff, RetransmitsWithGrowingTimeoutOnDeadLink)
{
    const auto &c = GetParam();
    SimLink link({100, 0, 5, 0}, 11);  // drops everything
    ikcp_nodelay(link.a(), c.nodelay, 10, 0, 1);
    ASSERT_EQ(ikcp_send(link.a(), "lost", 4), 0);
    link.runUntil([] { return false; }, 10000);

    std::vector<uint32_t> times;
    for (const auto &d : link.sent[0])
        for (const auto &w : parseDatagram(d.second))
            if (w.cmd == 81 && w.sn == 0)
                times.push_back(d.first);
    ASSERT_GT(times.size(), c.wantGaps.size());
    for (size_t i = 0; i < c.wantGaps.size(); i++) {
        const uint32_t gap = times[i + 1] - times[i];
        // Flushes happen on a 10 ms grid, so a resend may come up to one interval late.
        EXPECT_GE(gap, c.wantGaps[i]) << "gap " << i;
        EXPECT_LT(gap, c.wantGaps[i] + 10) << "gap " << i;
    }
    EXPECT_EQ(link.a()->xmit, times.size() - 1);  // every resend was by timeout
}

INSTANTIATE_TEST_SUITE_P(
    Table, IkcpBackoff,
    ::testing::Values(
        // rto 200 (+ rx_rto/8 on the first send), then doubling
        BackoffCase{"NormalModeDoubles", 0, {225, 400, 800, 1600, 3200}},
        // rto grows by half of itself
        BackoffCase{"NodelayGrowsByHalf", 1, {200, 300, 450, 675}},
        // rto grows by half of rx_rto (200) each time
        BackoffCase{"Nodelay2GrowsByHalfRto", 2, {200, 300, 400, 500, 600}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(IkcpBackoffMisc, DeadLinkAfterTwentyTransmissions)
{
    SimLink link({100, 0, 5, 0}, 12);
    ikcp_nodelay(link.a(), 2, 10, 0, 1);
    ASSERT_EQ(ikcp_send(link.a(), "lost", 4), 0);
    int transmissions = 0;
    ASSERT_TRUE(link.runUntil(
        [&] {
            transmissions = static_cast<int>(link.sent[0].size());
            if (transmissions < 20) {
                EXPECT_EQ(link.a()->state, 0u) << "after " << transmissions;
            }
            return link.a()->state == 0xffffffffu;
        },
        60000));
    EXPECT_EQ(transmissions, 20);
}

struct FastResendCase {
    const char *name;
    int resend;
    bool wantFast;
};

class IkcpFastResend : public ::testing::TestWithParam<FastResendCase> {};

TEST_P(IkcpFastResend, LaterAcksTriggerResendBeforeRto)
{
    const auto &c = GetParam();
    SimLink link({0, 0, 5, 0}, 21);
    ikcp_nodelay(link.a(), 1, 10, c.resend, 1);
    ikcp_nodelay(link.b(), 1, 10, 0, 1);
    bool droppedFirst = false;
    link.dropFilter = [&](int side, const std::string &bytes) {
        if (side != 0 || droppedFirst)
            return false;
        for (const auto &w : parseDatagram(bytes))
            if (w.cmd == 81 && w.sn == 0)
                return droppedFirst = true;
        return false;
    };

    std::vector<std::string> got;
    auto collect = [&] {
        for (auto &m : drain(link.b()))
            got.push_back(m);
    };
    // One message per flush interval, so each ACK comes back in its own datagram.
    for (int i = 0; i < 4; i++) {
        const std::string m = "msg" + std::to_string(i);
        ASSERT_EQ(ikcp_send(link.a(), m.data(), static_cast<int>(m.size())), 0);
        link.runUntil([] { return false; }, 10);
        collect();
    }
    ASSERT_TRUE(link.runUntil(
        [&] {
            collect();
            return got.size() == 4;
        },
        2000));
    EXPECT_EQ(got, (std::vector<std::string>{"msg0", "msg1", "msg2", "msg3"}));

    std::vector<uint32_t> times;
    for (const auto &d : link.sent[0])
        for (const auto &w : parseDatagram(d.second))
            if (w.cmd == 81 && w.sn == 0)
                times.push_back(d.first);
    ASSERT_EQ(times.size(), 2u);
    const uint32_t gap = times[1] - times[0];
    if (c.wantFast) {
        EXPECT_LT(gap, 100u) << "resend should follow two later ACKs";
        EXPECT_EQ(link.a()->xmit, 0u) << "no resend by timeout";
    } else {
        EXPECT_GE(gap, 200u) << "without fast resend only the RTO resends";
        EXPECT_EQ(link.a()->xmit, 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, IkcpFastResend,
                         ::testing::Values(FastResendCase{"ResendAfterTwoSkips", 2, true},
                                           FastResendCase{"ResendOffWaitsForRto", 0, false}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(IkcpCheck, ReportsNextFlushOrDueResend)
{
    Capture cap;
    KcpPtr k = makeCaptured(1, &cap);
    EXPECT_EQ(ikcp_check(k.get(), 500), 500u);  // never updated: now
    ikcp_nodelay(k.get(), 1, 10, 0, 1);
    ASSERT_EQ(ikcp_send(k.get(), "a", 1), 0);
    ikcp_update(k.get(), 1000);
    const uint32_t next = ikcp_check(k.get(), 1001);
    EXPECT_GT(next, 1001u);
    EXPECT_LE(next, 1010u);
    EXPECT_EQ(ikcp_check(k.get(), 1010), 1010u);  // flush due
}

TEST(IkcpCheck, IdleWaitCountsOnlyFlushesThatHaveWork)
{
    Capture cap;
    KcpPtr k = makeCaptured(1, &cap);
    ikcp_nodelay(k.get(), 1, 10, 0, 1);
    EXPECT_EQ(ikcp_idle_wait(k.get(), 500), 0) << "never updated";
    ikcp_update(k.get(), 1000);
    EXPECT_EQ(ikcp_idle_wait(k.get(), 1001), -1) << "nothing to do";
    ASSERT_EQ(ikcp_send(k.get(), "a", 1), 0);
    EXPECT_EQ(ikcp_idle_wait(k.get(), 1001), 9) << "next flush";
    ikcp_update(k.get(), 1010);
    ASSERT_EQ(cap.count(81), 1u);
    EXPECT_EQ(ikcp_idle_wait(k.get(), 1011), static_cast<int32_t>(IKCP_RTO_DEF) - 1) << "its resend";
    const std::string push = pushSeg(1, 0, "b");
    ASSERT_EQ(ikcp_input(k.get(), push.data(), static_cast<long>(push.size())), 0);
    EXPECT_EQ(ikcp_idle_wait(k.get(), 1011), 9) << "an ACK to send";
    const std::string ack = segBytes(1, 82, 0, 128, 1010, 0, 1, 0);
    ASSERT_EQ(ikcp_input(k.get(), ack.data(), static_cast<long>(ack.size())), 0);
    ikcp_update(k.get(), 1020);
    EXPECT_EQ(ikcp_idle_wait(k.get(), 1021), -1) << "all sent and acknowledged";
}

// ---- delivery over lossy links -------------------------------------------

struct LossyCase {
    const char *name;
    LinkProfile link;
    int nodelay, interval, resend, nc;
    int wnd;
    uint32_t startSn;  // first sequence number of both directions
    uint64_t seed;
};

class IkcpLossy : public ::testing::TestWithParam<LossyCase> {};

// Each run (also under --gtest_repeat) takes the next seed of the row.
std::atomic<uint64_t> lossyRun{0};

TEST_P(IkcpLossy, DeliversEveryMessageIntactAndInOrderBothWays)
{
    const auto &c = GetParam();
    const uint64_t seed = c.seed * 1000003u + lossyRun++;
    SCOPED_TRACE("seed " + std::to_string(seed));
    SimLink link(c.link, seed);
    ikcpcb *ends[2] = {link.a(), link.b()};
    for (ikcpcb *k : ends) {
        ikcp_nodelay(k, c.nodelay, c.interval, c.resend, c.nc);
        if (c.wnd > 0)
            ikcp_wndsize(k, c.wnd, c.wnd);
        k->snd_una = k->snd_nxt = k->rcv_nxt = c.startSn;
    }

    Rng rng(seed ^ 0x5eed);
    std::vector<std::string> sent[2];
    for (int side = 0; side < 2; side++) {
        for (int i = 0; i < 400; i++) {
            const size_t size = 1 + rng.below(i % 10 == 0 ? 6000 : 1400);
            sent[side].push_back(randomBytes(rng, size));
            const auto &m = sent[side].back();
            ASSERT_EQ(ikcp_send(ends[side], m.data(), static_cast<int>(m.size())), 0);
        }
    }
    std::vector<std::string> got[2];  // got[i]: received by side i
    const bool done = link.runUntil(
        [&] {
            for (int side = 0; side < 2; side++)
                for (auto &m : drain(ends[side]))
                    got[side].push_back(std::move(m));
            return got[0].size() >= sent[1].size() && got[1].size() >= sent[0].size();
        },
        30 * 60 * 1000);
    EXPECT_TRUE(done) << "delivered " << got[1].size() << " and " << got[0].size();
    ASSERT_EQ(got[1].size(), sent[0].size());
    ASSERT_EQ(got[0].size(), sent[1].size());
    for (size_t i = 0; i < sent[0].size(); i++)
        ASSERT_EQ(got[1][i], sent[0][i]) << "a->b message " << i;
    for (size_t i = 0; i < sent[1].size(); i++)
        ASSERT_EQ(got[0][i], sent[1][i]) << "b->a message " << i;
    // Every message acknowledged in the end. Resend timeouts double without a
    // bound in normal mode, so a tail that keeps being lost can take long.
    EXPECT_TRUE(link.runUntil(
        [&] { return ikcp_waitsnd(link.a()) == 0 && ikcp_waitsnd(link.b()) == 0; },
        3 * 3600 * 1000));
    if (c.startSn != 0) {
        EXPECT_LT(link.a()->snd_nxt, 2000u) << "sequence numbers wrapped";
        EXPECT_EQ(link.a()->snd_nxt, link.b()->rcv_nxt);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, IkcpLossy,
    ::testing::Values(
        LossyCase{"CleanLinkDefaults", {0, 0, 5, 0}, 0, 10, 0, 0, 0, 0, 1},
        LossyCase{"Loss10Dup5Reorder", {10, 5, 10, 20}, 1, 10, 2, 1, 128, 0, 2},
        LossyCase{"Loss30Dup10HeavyReorderCongestion", {30, 10, 20, 60}, 0, 20, 0, 0, 0, 0, 3},
        LossyCase{"Loss5TurboWideWindow", {5, 2, 3, 10}, 2, 10, 2, 1, 256, 0, 4},
        LossyCase{"SessionSettingsLoss15", {15, 5, 8, 30}, 1, 1, 5, 1, 10240, 0, 5},
        LossyCase{"WrapAroundClean", {0, 0, 5, 0}, 1, 10, 2, 1, 64, 0xfffffff0u, 6},
        LossyCase{"WrapAroundLossyReorder", {20, 5, 10, 40}, 1, 10, 2, 1, 64, 0xffffffc0u, 7}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
