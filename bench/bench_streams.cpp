// Many-streams benchmark: what oxnode costs with many streams configured and
// nothing flowing, and what it costs per delivered bit with many streams busy.
//
// Idle: N streams (stream.json in the working directory, IDs 0..N-1), started
// and left to settle, then the process CPU (utime + stime from /proc) over a
// window, its threads and RSS. In the same run, the floor set by the SRT
// library: a process (this program, --srt-floor N) that holds the 2·N idle
// libsrt listeners those streams need (one UDP port each, as the port plan
// has it) and does nothing else; the ratio oxnode / floor is printed.
//
// Busy: 50 streams, each fed 4 Mbit/s over its TCP input in 1316-byte chunks
// and read by 2 TCP clients and 1 SRT caller. Each chunk carries a marker, a
// sequence number and a body derived from it, so every reader checks what it
// gets: TCP readers must get every chunk from the first one they see on,
// unchanged (any loss is a fault); for SRT the chunks received against those
// sent are reported. CPU of the relay over the measured window, and CPU
// seconds per delivered Gbit (TCP and SRT deliveries together). "bench %" is
// this program's own CPU in the window: on two cores it competes with the
// relay, so a high figure there means the relay's figures are squeezed too.
//
// Both programs (oxnode and oxnode-basic) are measured. Every run is a child
// process in a private network namespace of its own; the relays die with it
// (PR_SET_PDEATHSIG), so an interrupted benchmark leaves no process behind.
//
//   bench_streams [--oxnode PATH] [--basic PATH] [--n 1,10,100] [--seconds S]
//                 [--settle S] [--busy-streams M] [--busy-seconds S]
//                 [--rate MBPS] [--idle-only | --busy-only] [--threads]
// --threads adds, for every idle run, the CPU and wake-ups per thread name.
// "stop s" is the time from SIGTERM to exit (-1: still running after 60 s).
#include "busyStreams.h"

#include <dirent.h>
#include <poll.h>
#include <sys/epoll.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <map>
#include <memory>

using namespace benchutil;

namespace {

// Per-thread view for --threads: name, CPU and context switches.
struct ThreadSample {
    std::string comm;
    double cpu = 0;
    long long vcs = 0, nvcs = 0;
};

std::map<pid_t, ThreadSample> sampleThreads(pid_t pid)
{
    std::map<pid_t, ThreadSample> out;
    const std::string base = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(base.c_str());
    if (!d)
        return out;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        const pid_t tid = std::atoi(e->d_name);
        ThreadSample t;
        std::ifstream c(base + "/" + e->d_name + "/comm");
        std::getline(c, t.comm);
        // Run time in ns from schedstat: utime + stime per thread come in whole
        // clock ticks and miss most of a thread that only wakes briefly.
        std::ifstream ss(base + "/" + e->d_name + "/schedstat");
        unsigned long long ns = 0;
        t.cpu = (ss >> ns) ? static_cast<double>(ns) / 1e9 : cpuSecondsOf(pid, tid);
        std::ifstream st(base + "/" + e->d_name + "/status");
        std::string line;
        while (std::getline(st, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                t.vcs = std::atoll(line.c_str() + 24);
            else if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                t.nvcs = std::atoll(line.c_str() + 27);
        }
        out[tid] = t;
    }
    closedir(d);
    return out;
}

void printThreadBreakdown(const std::map<pid_t, ThreadSample>& a, const std::map<pid_t, ThreadSample>& b,
                          double seconds)
{
    struct Group {
        int threads = 0;
        double cpu = 0;
        long long wakes = 0;
    };
    std::map<std::string, Group> groups;
    for (const auto& [tid, end] : b) {
        const auto it = a.find(tid);
        if (it == a.end())
            continue; // born inside the window
        // One row per kind of thread: "SRT:RcvQ:w17" counts as "SRT:RcvQ:w".
        std::string kind = end.comm;
        while (!kind.empty() && std::isdigit(static_cast<unsigned char>(kind.back())))
            kind.pop_back();
        Group& g = groups[kind];
        ++g.threads;
        g.cpu += end.cpu - it->second.cpu;
        g.wakes += (end.vcs - it->second.vcs) + (end.nvcs - it->second.nvcs);
    }
    std::vector<std::pair<std::string, Group>> rows(groups.begin(), groups.end());
    std::sort(rows.begin(), rows.end(), [](const auto& x, const auto& y) { return x.second.cpu > y.second.cpu; });
    std::printf("      %-18s %7s %9s %12s %14s\n", "thread name", "threads", "CPU %", "switches/s", "per thread/s");
    for (const auto& [name, g] : rows)
        std::printf("      %-18s %7d %9.2f %12.0f %14.1f\n", name.c_str(), g.threads, 100.0 * g.cpu / seconds,
                    g.wakes / seconds, g.wakes / seconds / g.threads);
}

struct IdleResult {
    double cpuPct = 0; // of one core
    int threads = 0;
    double rssMiB = 0;
    double stopSec = 0; // SIGTERM to exit, -1 when over the limit
};

// CPU, threads and RSS of pid over a window of `seconds`.
IdleResult measureIdle(pid_t pid, double seconds, bool perThread)
{
    const auto t0 = sampleThreads(pid);
    const double c0 = cpuSecondsOf(pid);
    const auto w0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double c1 = cpuSecondsOf(pid);
    const double wall = std::chrono::duration<double>(Clock::now() - w0).count();
    IdleResult r;
    r.cpuPct = 100.0 * (c1 - c0) / wall;
    r.threads = threadCount(pid);
    r.rssMiB = rssKbOf(pid) / 1024.0;
    if (perThread)
        printThreadBreakdown(t0, sampleThreads(pid), wall);
    return r;
}

// --srt-floor N: 2·N idle libsrt listeners on the ports N streams use, then
// nothing until killed. Writes one byte to stdout once they all listen.
[[noreturn]] void srtFloor(int n)
{
    prctl(PR_SET_NAME, "srt-floor");
    srt_startup();
    srt_setloglevel(3);
    std::vector<SRTSOCKET> held;
    for (int i = 0; i < n; ++i) {
        for (int port : {inPort(i), outPort(i)}) {
            const SRTSOCKET s = srt_create_socket();
            const int latency = 20;
            srt_setsockflag(s, SRTO_LATENCY, &latency, sizeof latency);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(port));
            a.sin_addr.s_addr = htonl(INADDR_ANY);
            if (srt_bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == SRT_ERROR || srt_listen(s, 10) == SRT_ERROR) {
                std::fprintf(stderr, "srt floor: port %d: %s\n", port, srt_getlasterror_str());
                _exit(1);
            }
            held.push_back(s);
        }
    }
    if (write(1, "r", 1) != 1)
        _exit(1);
    for (;;)
        pause();
}

IdleResult floorRun(int n, double seconds, bool perThread)
{
    int p[2];
    if (pipe(p) != 0)
        die("pipe");
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(p[1], 1);
        close(p[0]);
        const std::string ns = std::to_string(n);
        execl("/proc/self/exe", "bench_streams", "--srt-floor", ns.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(p[1]);
    char c = 0;
    if (read(p[0], &c, 1) != 1) {
        std::fprintf(stderr, "srt floor process did not start\n");
        std::exit(1);
    }
    close(p[0]);
    waitThreadsStable(pid, 1000);
    const IdleResult r = measureIdle(pid, seconds, perThread);
    terminate(pid);
    return r;
}

IdleResult oxnodeIdleRun(const std::string& bin, int n, double seconds, double settle, bool perThread)
{
    OxnodeProcess ox(bin, outPort(n - 1), {}, streamJson(n));
    waitThreadsStable(ox.pid);
    std::this_thread::sleep_for(std::chrono::duration<double>(settle));
    IdleResult r = measureIdle(ox.pid, seconds, perThread);
    r.stopSec = stopWithin(ox.pid, kStopLimitSec);
    return r;
}

std::vector<int> parseList(const std::string& s)
{
    std::vector<int> v;
    std::stringstream in(s);
    std::string tok;
    while (std::getline(in, tok, ','))
        if (!tok.empty())
            v.push_back(std::max(1, std::min(100, std::stoi(tok))));
    return v;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "--srt-floor")
        srtFloor(std::stoi(argv[2]));

    std::string bins[2] = {OXNODE_BIN, OXNODE_BASIC_BIN};
    const char* names[2] = {"oxnode", "oxnode-basic"};
    std::vector<int> ns = {1, 10, 100};
    double seconds = 10, settle = 2, busySeconds = 10, rate = 4;
    int busyStreams = 50;
    bool idle = true, busy = true, perThread = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--oxnode" && hasValue)
            bins[0] = argv[++i];
        else if (a == "--basic" && hasValue)
            bins[1] = argv[++i];
        else if (a == "--n" && hasValue)
            ns = parseList(argv[++i]);
        else if (a == "--seconds" && hasValue)
            seconds = std::stod(argv[++i]);
        else if (a == "--settle" && hasValue)
            settle = std::stod(argv[++i]);
        else if (a == "--busy-streams" && hasValue)
            busyStreams = std::max(1, std::min(100, std::stoi(argv[++i])));
        else if (a == "--busy-seconds" && hasValue)
            busySeconds = std::stod(argv[++i]);
        else if (a == "--rate" && hasValue)
            rate = std::stod(argv[++i]);
        else if (a == "--idle-only")
            busy = false;
        else if (a == "--busy-only")
            idle = false;
        else if (a == "--threads")
            perThread = true;
        else {
            std::fprintf(stderr,
                         "usage: %s [--oxnode PATH] [--basic PATH] [--n 1,10,100] [--seconds S] [--settle S]\n"
                         "          [--busy-streams M] [--busy-seconds S] [--rate MBPS] [--idle-only|--busy-only] "
                         "[--threads]\n",
                         argv[0]);
            return 2;
        }
    }
    for (auto& b : bins)
        b = absolutePath(b);
    signal(SIGPIPE, SIG_IGN);
    std::printf("figures on a shared machine are noisy; compare ratios from the same run\n");

    if (idle) {
        std::printf("\nidle streams: CPU over %.0f s after settling (%% of one core)\n", seconds);
        std::printf("  %5s %-13s %8s %8s %9s %10s %10s %8s %8s\n", "N", "program", "CPU %", "threads", "RSS MiB",
                    "floor CPU%", "floor thr", "ratio", "stop s");
        for (int n : ns) {
            if (perThread)
                std::printf("  -- SRT floor, %d listeners\n", 2 * n);
            const IdleResult fl =
                inNamespace<IdleResult>([&] { return floorRun(n, seconds, perThread); });
            for (int p = 0; p < 2; ++p) {
                if (perThread)
                    std::printf("  -- %s, %d streams\n", names[p], n);
                const IdleResult r =
                    inNamespace<IdleResult>([&] { return oxnodeIdleRun(bins[p], n, seconds, settle, perThread); });
                std::printf("  %5d %-13s %8.2f %8d %9.1f %10.2f %10d %8.2f %8.2f\n", n, names[p], r.cpuPct,
                            r.threads, r.rssMiB, fl.cpuPct, fl.threads, fl.cpuPct > 0 ? r.cpuPct / fl.cpuPct : 0.0,
                            r.stopSec);
                std::fflush(stdout);
            }
        }
    }
    if (busy) {
        std::printf("\nbusy: %d streams, each fed %.1f Mbit/s over TCP in %d-byte chunks, read by 2 TCP + 1 SRT "
                    "clients; %.0f s window\n",
                    busyStreams, rate, kChunk, busySeconds);
        std::printf("  %-13s %8s %9s %9s %9s %11s %10s %14s %8s\n", "program", "CPU %", "fed Mb/s", "TCP Mb/s",
                    "SRT Mb/s", "CPU s/Gbit", "TCP lost", "SRT got/sent", "bench %");
        double perGbit[2] = {0, 0};
        for (int p = 0; p < 2; ++p) {
            const BusyResult r =
                inNamespace<BusyResult>([&] { return oxnodeBusyRun(bins[p], busyStreams, busySeconds, rate); });
            const double deliveredGbit = (r.tcpBytes + r.srtBytes) * 8 / 1e9;
            perGbit[p] = deliveredGbit > 0 ? r.cpu / deliveredGbit : 0;
            char srt[48];
            std::snprintf(srt, sizeof srt, "%lld/%lld", r.srtGot, r.srtSent);
            std::printf("  %-13s %8.1f %9.1f %9.1f %9.1f %11.3f %10lld %14s %8.1f\n", names[p], 100 * r.cpu / r.window,
                        r.sentBytes * 8 / 1e6 / r.window, r.tcpBytes * 8 / 1e6 / r.window,
                        r.srtBytes * 8 / 1e6 / r.window, perGbit[p], r.tcpMissing, srt, 100 * r.selfCpu / r.window);
            if (r.tcpBad || r.tcpSilent || r.srtBad)
                std::printf("    FAULT: %lld corrupted TCP chunks, %lld TCP readers got nothing, %lld corrupted SRT "
                            "chunks\n",
                            r.tcpBad, r.tcpSilent, r.srtBad);
            if (r.tcpMissing)
                std::printf("    FAULT: TCP readers lost %lld chunks\n", r.tcpMissing);
            std::fflush(stdout);
        }
        if (perGbit[1] > 0)
            std::printf("  CPU per delivered Gbit, oxnode / oxnode-basic: %.2f\n", perGbit[0] / perGbit[1]);
    }
    return 0;
}
