// Publish policy benchmark: how long a switch between two publishers leaves
// the viewers without data, whether any MPEG-TS packet is torn by it, and
// what the policies cost on a busy relay.
//
// Switches: stream 0 with the policy "failover", priority sr_tcp then
// sr_oxdp. Two publishers from this program send a synthetic MPEG-TS at
// --rate Mbit/s each (7 packets per write or SRT message): the primary over
// the TCP input on PID 0x101, the backup over SRT into the same port on PID
// 0x102. Every packet has continuity counters, a payload filled with its
// publisher's byte, and every --gop packets the adaptation field's random
// access indicator (a key frame). A TCP viewer reads the output, cuts it into
// 188-byte packets and timestamps each packet's first and last byte as it
// arrives. Forced switches: "switchStreamPublisher" hands the stream to the
// backup, then the primary takes it back after returnMs ("return"). Loss
// switches: the primary stops sending; after lossMs the backup takes over;
// the primary resumes and takes it back. The gap of a switch is the time
// from the last byte of the old publisher's PID to the first byte of the new
// one's at the viewer (a loss switch includes the lossMs of silence by
// design; "over lossMs" is what the relay adds). Torn: a packet boundary at
// the viewer without 0x47; mixed: a packet whose payload is not its PID's
// publisher's; both must be 0. CC gaps: continuity breaks inside one
// publisher's run (packets lost by the relay, not at a switch).
//
// Cost: the busy load of bench_streams (busyStreams.h: 50 streams fed
// --rate Mbit/s over TCP, 2 TCP + 1 SRT readers each, every chunk checked)
// with every stream on "all", then "single", then "failover", in the same
// run, --busy-rounds times (2 by default) in turn; relay CPU per delivered GB
// and throughput of each policy, summed over its rounds, against "all".
//
// Each phase is a child in a private network namespace with a deadline
// (SIGALRM); oxnode dies with it.
//
//   bench_failover [--oxnode PATH] [--switches N] [--loss-ms MS] [--return-ms MS]
//                  [--gop PACKETS] [--rate MBPS] [--busy-streams M]
//                  [--busy-seconds S] [--busy-rounds R] [--switch-only | --busy-only]
#include "busyStreams.h"
#include "oxStream/publishGate.h"

#include <QLoggingCategory>

#include <poll.h>

#include <mutex>
#include <numeric>

using namespace benchutil;

namespace {

constexpr size_t kPkt = 188;
constexpr int kPacketsPerWrite = 7; // 1316 bytes, one SRT live message
constexpr int kPrimaryPid = 0x101;
constexpr int kBackupPid = 0x102;
constexpr uint8_t kPrimaryFill = 0xA1;
constexpr uint8_t kBackupFill = 0xB2;
constexpr int kSwitchPhaseLimitSec = 900;

struct Options {
    std::string bin = OXNODE_BIN;
    int switches = 20;
    int lossMs = 300;
    int returnMs = 500;
    int gop = 532; // about 0.2 s at 4 Mbit/s
    double rate = 4;
    int busyStreams = 50;
    double busySeconds = 10;
    int busyRounds = 2;
};

// Synthetic TS of one publisher: PID, fill byte, continuity counter, a random
// access point every gop packets.
struct TsSource {
    int pid;
    uint8_t fill;
    int gop;
    long long n = 0;
    void next(char* out)
    {
        auto* b = reinterpret_cast<uint8_t*>(out);
        const bool rap = n % gop == 0;
        b[0] = 0x47;
        b[1] = static_cast<uint8_t>((rap ? 0x40 : 0) | ((pid >> 8) & 0x1f));
        b[2] = static_cast<uint8_t>(pid & 0xff);
        size_t at = 4;
        if (rap) {
            b[3] = static_cast<uint8_t>(0x30 | (n & 0xf));
            b[4] = 1;    // adaptation field: its flags byte only
            b[5] = 0x40; // random_access_indicator
            at = 6;
        } else {
            b[3] = static_cast<uint8_t>(0x10 | (n & 0xf));
        }
        std::memset(b + at, fill, kPkt - at);
        ++n;
    }
};

// One publisher on a thread of its own, paced at rate; sends nothing while
// paused (the connection stays).
class Publisher
{
public:
    Publisher(int pid, uint8_t fill, int gop, double rateMbps, bool srt, int port)
        : src{pid, fill, gop}, srt(srt)
    {
        if (srt) {
            sock = srtCaller(port);
        } else {
            fd = connectTo(port);
        }
        period = kPacketsPerWrite * kPkt * 8.0 / (rateMbps * 1e6);
        worker = std::thread([this] { loop(); });
    }
    ~Publisher()
    {
        stop.store(true);
        worker.join();
        if (srt)
            srt_close(sock);
        else
            close(fd);
    }
    std::atomic<bool> paused{false};
    std::atomic<bool> failed{false};
    std::atomic<long long> sentPackets{0};

private:
    void loop()
    {
        char chunk[kPacketsPerWrite * kPkt];
        const auto start = Clock::now();
        for (long long i = 0; !stop.load(); ++i) {
            std::this_thread::sleep_until(start + std::chrono::nanoseconds(static_cast<long long>(i * period * 1e9)));
            if (paused.load())
                continue;
            for (int k = 0; k < kPacketsPerWrite; ++k)
                src.next(chunk + k * kPkt);
            const bool ok = srt ? srt_sendmsg(sock, chunk, sizeof chunk, -1, 0) == static_cast<int>(sizeof chunk)
                                : writeAll(fd, chunk, sizeof chunk);
            if (!ok) {
                failed.store(true);
                return;
            }
            sentPackets.fetch_add(kPacketsPerWrite);
        }
    }
    TsSource src;
    bool srt;
    int fd = -1;
    SRTSOCKET sock = SRT_INVALID_SOCK;
    double period = 0;
    std::atomic<bool> stop{false};
    std::thread worker;
};

struct SwitchSeen {
    int from, to;
    double gapMs;
};

// The TCP viewer: packets checked as they come, a switch noted whenever the
// PID changes, with the gap from the old PID's last byte to the new one's first.
class Viewer
{
public:
    explicit Viewer(int port)
    {
        fd = connectTo(port);
        worker = std::thread([this] { loop(); });
    }
    ~Viewer()
    {
        finish();
        close(fd);
    }
    // Stops reading; the counters below are final from then on.
    void finish()
    {
        stop.store(true);
        if (worker.joinable())
            worker.join();
    }
    size_t switchCount()
    {
        std::lock_guard<std::mutex> g(lock);
        return seen.size();
    }
    int currentPid()
    {
        std::lock_guard<std::mutex> g(lock);
        return curPid;
    }
    // The first switch after the first `after` ones that goes to pid, within timeoutMs.
    bool waitSwitchTo(int pid, size_t after, int timeoutMs, SwitchSeen* out)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < deadline) {
            {
                std::lock_guard<std::mutex> g(lock);
                for (size_t i = after; i < seen.size(); ++i)
                    if (seen[i].to == pid) {
                        *out = seen[i];
                        return true;
                    }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    bool waitPid(int pid, int timeoutMs)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < deadline) {
            if (currentPid() == pid)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    long long packets = 0, torn = 0, mixed = 0, ccGaps = 0; // read after finish()

private:
    void loop()
    {
        std::vector<char> buf(256 * 1024);
        std::string pending;
        Clock::time_point pendingStart;
        while (!stop.load()) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
            if (n <= 0)
                return;
            const auto now = Clock::now();
            if (pending.empty())
                pendingStart = now;
            pending.append(buf.data(), static_cast<size_t>(n));
            size_t at = 0;
            bool first = true;
            while (pending.size() - at >= kPkt) {
                const auto* b = reinterpret_cast<const uint8_t*>(pending.data() + at);
                if (b[0] != 0x47) {
                    ++torn;
                    // Resynchronise at the next sync byte.
                    while (at < pending.size() && static_cast<uint8_t>(pending[at]) != 0x47)
                        ++at;
                    first = false;
                    continue;
                }
                const auto started = first ? pendingStart : now;
                first = false;
                check(b, started, now);
                at += kPkt;
            }
            pending.erase(0, at);
            if (!pending.empty() && at > 0)
                pendingStart = now;
        }
    }
    void check(const uint8_t* b, Clock::time_point started, Clock::time_point ended)
    {
        ++packets;
        const int pid = ((b[1] & 0x1f) << 8) | b[2];
        const uint8_t fill = pid == kPrimaryPid ? kPrimaryFill : kBackupFill;
        const size_t payload = (b[3] & 0x20) ? 5 + b[4] : 4;
        bool clean = (pid == kPrimaryPid || pid == kBackupPid) && payload < kPkt;
        for (size_t i = payload; clean && i < kPkt; ++i)
            clean = b[i] == fill;
        if (!clean)
            ++mixed;
        const int cc = b[3] & 0xf;
        std::lock_guard<std::mutex> g(lock);
        if (pid == curPid && cc != ((lastCc + 1) & 0xf))
            ++ccGaps;
        if (curPid >= 0 && pid != curPid)
            seen.push_back({curPid, pid, std::chrono::duration<double, std::milli>(started - lastEnd).count()});
        curPid = pid;
        lastCc = cc;
        lastEnd = ended;
    }
    int fd = -1;
    std::atomic<bool> stop{false};
    std::thread worker;
    std::mutex lock;
    std::vector<SwitchSeen> seen;
    int curPid = -1, lastCc = 0;
    Clock::time_point lastEnd;
};

double percentile(std::vector<double> v, double q)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5))];
}

void printKind(const char* kind, const std::vector<double>& gaps, int wanted, int timeouts, double over = 0)
{
    std::printf("  %-8s %5zu/%-3d %10.1f %10.1f %10.1f", kind, gaps.size(), wanted, percentile(gaps, 0.5),
                percentile(gaps, 0.99), gaps.empty() ? -1.0 : *std::max_element(gaps.begin(), gaps.end()));
    if (over > 0)
        std::printf("   over lossMs: p50 %.1f p99 %.1f", percentile(gaps, 0.5) - over, percentile(gaps, 0.99) - over);
    if (timeouts)
        std::printf("   (%d timed out)", timeouts);
    std::printf("\n");
}

struct SwitchResult {
    long long torn = 0, mixed = 0, ccGaps = 0, packets = 0;
    int done = 0;
};

SwitchResult switchRun(const Options& o)
{
    alarm(kSwitchPhaseLimitSec);
    SwitchResult r;
    const std::string publish = "{\"mode\": \"failover\", \"priority\": [\"sr_tcp\", \"sr_oxdp\"], \"lossMs\": " +
                                std::to_string(o.lossMs) + ", \"returnMs\": " + std::to_string(o.returnMs) + "}";
    OxnodeProcess ox(o.bin, outPort(0), {}, streamJson(1, publish));
    // The web API may come up after the stream's ports.
    std::string token;
    for (const auto deadline = Clock::now() + std::chrono::seconds(15); token.empty() && Clock::now() < deadline;) {
        token = webToken();
        if (token.empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (token.empty()) {
        std::fprintf(stderr, "no web API session\n");
        std::exit(1);
    }
    srt_startup();
    srt_setloglevel(3);
    std::vector<double> forced, loss, back;
    int forcedTimeouts = 0, lossTimeouts = 0, backTimeouts = 0;
    {
        Viewer viewer(outPort(0));
        Publisher primary(kPrimaryPid, kPrimaryFill, o.gop, o.rate, false, inPort(0));
        if (!viewer.waitPid(kPrimaryPid, 10000)) {
            std::fprintf(stderr, "the viewer never saw the primary\n");
            std::exit(1);
        }
        Publisher backup(kBackupPid, kBackupFill, o.gop, o.rate, true, inPort(0));
        // The backup has sent a key frame or two (kept, ready for a switch).
        const auto sent = Clock::now() + std::chrono::seconds(10);
        while (backup.sentPackets.load() < 3LL * o.gop && Clock::now() < sent)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));

        const int switchLimit = 5000 + o.lossMs;
        const int returnLimit = 5000 + o.returnMs;
        // Back to the primary after a switch, noting the gap of the return.
        auto takeBack = [&](size_t after) {
            SwitchSeen s{};
            if (viewer.waitSwitchTo(kPrimaryPid, after, returnLimit, &s))
                back.push_back(s.gapMs);
            else
                ++backTimeouts;
            return viewer.waitPid(kPrimaryPid, returnLimit);
        };
        const std::string cmd = "{\"cmd\": \"switchStreamPublisher\", \"id\": 0, \"token\": \"" + token + "\"}";
        for (int i = 0; i < o.switches; ++i) {
            const size_t before = viewer.switchCount();
            if (jsonField(apiPost(cmd), "results") != "success") {
                ++forcedTimeouts;
                continue;
            }
            SwitchSeen s{};
            if (!viewer.waitSwitchTo(kBackupPid, before, switchLimit, &s)) {
                ++forcedTimeouts;
                continue;
            }
            forced.push_back(s.gapMs);
            if (!takeBack(before + 1))
                break;
        }
        for (int i = 0; i < o.switches && viewer.currentPid() == kPrimaryPid; ++i) {
            const size_t before = viewer.switchCount();
            primary.paused.store(true);
            SwitchSeen s{};
            const bool ok = viewer.waitSwitchTo(kBackupPid, before, switchLimit, &s);
            primary.paused.store(false);
            if (!ok) {
                ++lossTimeouts;
                continue;
            }
            loss.push_back(s.gapMs);
            if (!takeBack(before + 1))
                break;
        }
        if (primary.failed.load() || backup.failed.load())
            std::fprintf(stderr, "a publisher's connection failed\n");
        viewer.finish();
        r.packets = viewer.packets;
        r.torn = viewer.torn;
        r.mixed = viewer.mixed;
        r.ccGaps = viewer.ccGaps;
    }
    std::printf("\nswitches: stream on failover (sr_tcp, then sr_oxdp), lossMs %d, returnMs %d; TCP primary and "
                "SRT backup at %.1f Mbit/s each, a key frame every %d packets\n",
                o.lossMs, o.returnMs, o.rate, o.gop);
    std::printf("  gap at the TCP viewer, old publisher's last byte to the new one's first (ms)\n");
    std::printf("  %-8s %9s %10s %10s %10s\n", "kind", "done", "p50", "p99", "max");
    printKind("forced", forced, o.switches, forcedTimeouts);
    printKind("loss", loss, o.switches, lossTimeouts, o.lossMs);
    printKind("return", back, 2 * o.switches, backTimeouts);
    r.done = static_cast<int>(forced.size() + loss.size());
    srt_cleanup();
    return r;
}

} // namespace

// The gate alone, in this process: nanoseconds per 1316-byte chunk of one
// publisher that owns the stream, clock read included as the relay reads it,
// against the "all" path (a test of the mode and the emit call). Noise-free
// beside the busy load, whose windows spread by several per cent.
struct GateCost {
    double direct = 0, single = 0, failover = 0;
    double piecesPerChunk = 0; // fan-outs per chunk in "failover": more than 1 when reads split packets
};

struct Relayed {
    size_t bytes = 0, pieces = 0;
};

void countEmit(void* ctx, const uint8_t*, size_t len, bool)
{
    auto* r = static_cast<Relayed*>(ctx);
    r->bytes += len;
    ++r->pieces;
}

// chunkBytes: a multiple of 188 is what a muxer or an SRT message hands
// over; other sizes are TCP reads that split packets.
double gateNs(publishPolicy::Mode mode, bool ts, size_t chunkBytes, double* piecesPerChunk = nullptr)
{
    constexpr int kChunks = 200000;
    constexpr int kGop = 532;
    std::vector<char> ring(kGop * kPkt * chunkBytes / std::gcd(chunkBytes, kGop * kPkt)); // whole groups and chunks
    TsSource src{kPrimaryPid, kPrimaryFill, kGop};
    for (int i = 0; i < kGop; ++i)
        src.next(ring.data() + i * kPkt);
    if (!ts)
        for (int i = 0; i < kGop; ++i)
            ring[i * kPkt] = 0; // no sync byte where TS has one: relayed as plain bytes
    for (size_t i = 1; i * kGop * kPkt < ring.size(); ++i)
        std::memcpy(ring.data() + i * kGop * kPkt, ring.data(), kGop * kPkt);
    const size_t chunksInRing = ring.size() / chunkBytes;
    publishGate gate;
    publishPolicy policy;
    policy.mode = mode;
    gate.setPolicy(policy);
    const publishGate::publisher who{publishInput::tcp, 1, "bench"};
    Relayed relayed;
    size_t at = 0;
    auto offer = [&] {
        const auto* d = reinterpret_cast<const uint8_t*>(ring.data() + at * chunkBytes);
        at = at + 1 == chunksInRing ? 0 : at + 1;
        if (gate.relaysAll()) {
            countEmit(&relayed, d, chunkBytes, true);
            return;
        }
        const int64_t nowNs =
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
        gate.offer(who, d, chunkBytes, nowNs, &countEmit, &relayed);
    };
    for (int i = 0; i < 2000; ++i) // detection, ownership, the first key frame
        offer();
    const Relayed before = relayed;
    double best = 0;
    for (int round = 0; round < 5; ++round) {
        const auto t0 = Clock::now();
        for (int i = 0; i < kChunks; ++i)
            offer();
        const double ns = std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / kChunks;
        best = round == 0 ? ns : std::min(best, ns);
    }
    // Bytes held back as the residue of a split packet come out with the next chunk.
    if (relayed.bytes - before.bytes + kPkt < 5u * kChunks * chunkBytes)
        std::printf("  (the gate did not relay every chunk: its figure is not the owner's path)\n");
    if (piecesPerChunk)
        *piecesPerChunk = static_cast<double>(relayed.pieces - before.pieces) / (5.0 * kChunks);
    return best;
}

GateCost gateCost(bool ts, size_t chunkBytes)
{
    GateCost g;
    g.direct = gateNs(publishPolicy::Mode::all, ts, chunkBytes);
    g.single = gateNs(publishPolicy::Mode::single, ts, chunkBytes);
    g.failover = gateNs(publishPolicy::Mode::failover, ts, chunkBytes, &g.piecesPerChunk);
    return g;
}

int main(int argc, char** argv)
{
    Options o;
    bool switches = true, busy = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--oxnode" && hasValue)
            o.bin = argv[++i];
        else if (a == "--switches" && hasValue)
            o.switches = std::max(1, std::stoi(argv[++i]));
        else if (a == "--loss-ms" && hasValue)
            o.lossMs = std::max(50, std::stoi(argv[++i]));
        else if (a == "--return-ms" && hasValue)
            o.returnMs = std::max(0, std::stoi(argv[++i]));
        else if (a == "--gop" && hasValue)
            o.gop = std::max(1, std::stoi(argv[++i]));
        else if (a == "--rate" && hasValue)
            o.rate = std::max(0.1, std::stod(argv[++i]));
        else if (a == "--busy-streams" && hasValue)
            o.busyStreams = std::max(1, std::min(100, std::stoi(argv[++i])));
        else if (a == "--busy-seconds" && hasValue)
            o.busySeconds = std::max(1.0, std::stod(argv[++i]));
        else if (a == "--busy-rounds" && hasValue)
            o.busyRounds = std::max(1, std::stoi(argv[++i]));
        else if (a == "--switch-only")
            busy = false;
        else if (a == "--busy-only")
            switches = false;
        else {
            std::fprintf(stderr,
                         "usage: %s [--oxnode PATH] [--switches N] [--loss-ms MS] [--return-ms MS] [--gop PACKETS]\n"
                         "          [--rate MBPS] [--busy-streams M] [--busy-seconds S] [--busy-rounds R]\n"
                         "          [--switch-only|--busy-only]\n",
                         argv[0]);
            return 2;
        }
    }
    o.bin = absolutePath(o.bin);
    signal(SIGPIPE, SIG_IGN);
    std::printf("figures on a shared machine are noisy; compare ratios from the same run\n");

    if (switches) {
        const SwitchResult r = inNamespace<SwitchResult>([&] { return switchRun(o); });
        std::printf("  viewer: %lld packets, torn %lld, mixed %lld (both must be 0), CC gaps inside a run %lld\n",
                    r.packets, r.torn, r.mixed, r.ccGaps);
        std::fflush(stdout);
    }
    if (busy) {
        std::printf("\nbusy: %d streams, each fed %.1f Mbit/s over TCP, read by 2 TCP + 1 SRT clients; %d round(s) of "
                    "all, single, failover, %.0f s window each, summed per policy\n",
                    o.busyStreams, o.rate, o.busyRounds, o.busySeconds);
        std::printf("  %-9s %8s %9s %12s %11s %10s %14s %9s %10s\n", "policy", "CPU %", "fed Mb/s", "out Mb/s",
                    "CPU s/GB", "TCP lost", "SRT got/sent", "CPU/GB x", "thru x");
        // Rounds interleave the policies, so that load from elsewhere on the
        // machine falls on all three alike; each policy's figures are summed.
        const char* modes[3] = {"all", "single", "failover"};
        BusyResult sum[3];
        for (int round = 0; round < o.busyRounds; ++round)
            for (int m = 0; m < 3; ++m) {
                const std::string publish = std::string("{\"mode\": \"") + modes[m] + "\"}";
                const BusyResult r = inNamespace<BusyResult>([&] {
                    alarm(static_cast<unsigned>(o.busySeconds) + 300);
                    return oxnodeBusyRun(o.bin, o.busyStreams, o.busySeconds, o.rate, publish);
                });
                BusyResult& t = sum[m];
                t.window += r.window;
                t.cpu += r.cpu;
                t.tcpBytes += r.tcpBytes;
                t.srtBytes += r.srtBytes;
                t.sentBytes += r.sentBytes;
                t.tcpMissing += r.tcpMissing;
                t.tcpBad += r.tcpBad;
                t.tcpSilent += r.tcpSilent;
                t.srtGot += r.srtGot;
                t.srtSent += r.srtSent;
                t.srtBad += r.srtBad;
            }
        double baseCost = 0, baseThru = 0;
        for (int m = 0; m < 3; ++m) {
            const BusyResult& r = sum[m];
            const double outBytes = r.tcpBytes + r.srtBytes;
            const double cost = outBytes > 0 ? r.cpu / (outBytes / 1e9) : 0;
            const double thru = r.window > 0 ? outBytes * 8 / 1e6 / r.window : 0;
            if (m == 0) {
                baseCost = cost;
                baseThru = thru;
            }
            char srt[48];
            std::snprintf(srt, sizeof srt, "%lld/%lld", r.srtGot, r.srtSent);
            std::printf("  %-9s %8.1f %9.1f %12.1f %11.3f %10lld %14s %9.3f %10.3f\n", modes[m],
                        100 * r.cpu / r.window, r.sentBytes * 8 / 1e6 / r.window, thru, cost, r.tcpMissing, srt,
                        baseCost > 0 ? cost / baseCost : 0, baseThru > 0 ? thru / baseThru : 0);
            if (r.tcpBad || r.tcpSilent || r.srtBad)
                std::printf("    FAULT: %lld corrupted TCP chunks, %lld TCP readers got nothing, %lld corrupted SRT "
                            "chunks\n",
                            r.tcpBad, r.tcpSilent, r.srtBad);
        }
        std::printf("  target: CPU/GB of single and failover within 1.03x of all\n");
        // The same cost without the load's noise: what the gate adds per chunk
        // fed, against what relaying that chunk cost in "all" above.
        const double chunksFed = sum[0].sentBytes / (kPkt * kPacketsPerWrite);
        const double relayNs = chunksFed > 0 ? sum[0].cpu * 1e9 / chunksFed : 0;
        std::printf("  the gate alone (this process, best of 5 x 200,000 chunks, one owner): ns per chunk, what it adds\n"
                    "  to the %.1f us the relay spent per chunk fed in \"all\", and fan-outs per chunk:\n",
                    relayNs / 1000);
        QLoggingCategory::setFilterRules(QStringLiteral("oxnode.stream.info=false"));
        struct { const char* name; bool ts; size_t bytes; } kinds[] = {
            {"TS, 1316-byte chunks", true, kPkt * kPacketsPerWrite},
            {"TS, 1000-byte reads", true, 1000},
            {"bytes, 1316-byte chunks", false, kPkt * kPacketsPerWrite},
        };
        for (const auto& k : kinds) {
            const GateCost g = gateCost(k.ts, k.bytes);
            auto share = [&](double ns) { return relayNs > 0 ? 100 * (ns - g.direct) / relayNs : 0; };
            std::printf("  %-24s all %5.1f   single %5.1f (%+.2f%%)   failover %5.1f (%+.2f%%)   %.2f per chunk\n",
                        k.name, g.direct, g.single, share(g.single), g.failover, share(g.failover), g.piecesPerChunk);
        }
    }
    return 0;
}
