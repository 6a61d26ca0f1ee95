#pragma once
// The busy load of the many-streams benchmark, shared with the benchmarks
// that measure what a stream setting costs on it: N streams, each fed over
// its TCP input in marked, numbered chunks and read by 2 TCP clients and 1
// SRT caller that check every chunk; each run in a private network namespace.
#include "benchCommon.h"
#include <srt/srt.h>

#include <dirent.h>
#include <sys/epoll.h>

#include <algorithm>
#include <atomic>
#include <map>

namespace benchutil {

using Clock = std::chrono::steady_clock;

constexpr int kChunk = 1316;
constexpr int kMarkerLen = 8;
constexpr int kHeader = kMarkerLen + 8; // marker, sequence number
constexpr int kBody = kChunk - kHeader;
const char kMarker[kMarkerLen + 1] = "\xA5OXBNCH\x5A";

inline int inPort(int id) { return 8010 + 20 * id; }
inline int outPort(int id) { return 8020 + 20 * id; }

// IDs 0..n-1; publish, when given, is every stream's "publish" object.
inline std::string streamJson(int n, const std::string& publish = "")
{
    std::string s = "[";
    for (int i = 0; i < n; ++i)
        s += (i ? ", " : "") + std::string("{\"id\": ") + std::to_string(i) + ", \"name\": \"bench" +
             std::to_string(i) + "\"" + (publish.empty() ? "" : ", \"publish\": " + publish) + "}";
    return s + "]";
}

// Runs fn in a forked child inside a private network namespace and returns
// the plain struct it produced; exits when the child fails.
template <typename R, typename F>
R inNamespace(F fn)
{
    int p[2];
    if (pipe(p) != 0)
        die("pipe");
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0)
        die("fork");
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(p[0]);
        enterNetns();
        const R r = fn();
        if (write(p[1], &r, sizeof r) != static_cast<ssize_t>(sizeof r))
            _exit(1);
        std::fflush(stdout);
        _exit(0);
    }
    close(p[1]);
    R r{};
    const ssize_t got = read(p[0], &r, sizeof r);
    close(p[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (got != static_cast<ssize_t>(sizeof r) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "measurement run failed (status %d)\n", status);
        std::exit(1);
    }
    return r;
}

inline int threadCount(pid_t pid)
{
    DIR* d = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
    if (!d)
        return 0;
    int n = 0;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    closedir(d);
    return n;
}

// Returns once the thread count of pid has not changed for stableMs (or
// after timeoutMs): the streams' endpoints have opened what they open.
inline void waitThreadsStable(pid_t pid, int stableMs = 2000, int timeoutMs = 60000)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int last = threadCount(pid);
    auto since = Clock::now();
    while (Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const int n = threadCount(pid);
        if (n != last) {
            last = n;
            since = Clock::now();
        } else if (Clock::now() - since >= std::chrono::milliseconds(stableMs)) {
            return;
        }
    }
}

// SIGTERM, then waits up to timeoutSec for pid to end without reaping it (the
// owner's destructor still collects its status). Returns the seconds it
// took, or -1 when it was still running: teardown of many streams takes
// longer than the shared helper's 5 s.
inline double stopWithin(pid_t pid, double timeoutSec)
{
    const auto t0 = Clock::now();
    kill(pid, SIGTERM);
    while (std::chrono::duration<double>(Clock::now() - t0).count() < timeoutSec) {
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
            return std::chrono::duration<double>(Clock::now() - t0).count();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}


constexpr double kStopLimitSec = 60;

// ---- busy ----

// Checks one reader's byte stream: finds the first marker, then expects whole
// chunks with consecutive sequence numbers and the matching body. A chunk
// that does not match counts as bad and the check looks for the next marker.
struct ChunkCheck {
    std::vector<char> buf;
    size_t off = 0;
    bool synced = false;
    long long firstSeq = -1, nextSeq = -1, good = 0, bad = 0, skipped = 0;
    static const std::vector<char>& pattern()
    {
        static const std::vector<char> p = [] {
            std::vector<char> v(256 + kBody);
            for (size_t i = 0; i < v.size(); ++i)
                v[i] = static_cast<char>(i & 0xff);
            return v;
        }();
        return p;
    }
    static void fill(char* chunk, long long seq)
    {
        std::memcpy(chunk, kMarker, kMarkerLen);
        std::memcpy(chunk + kMarkerLen, &seq, 8);
        std::memcpy(chunk + kHeader, pattern().data() + (seq & 0xff), kBody);
    }
    void feed(const char* p, size_t n)
    {
        buf.insert(buf.end(), p, p + n);
        for (;;) {
            const size_t avail = buf.size() - off;
            if (!synced) {
                const auto it = std::search(buf.begin() + static_cast<long>(off), buf.end(), kMarker,
                                            kMarker + kMarkerLen);
                if (it == buf.end()) {
                    const size_t keep = std::min(avail, static_cast<size_t>(kMarkerLen - 1));
                    skipped += static_cast<long long>(avail - keep);
                    off = buf.size() - keep;
                    break;
                }
                const size_t at = static_cast<size_t>(it - buf.begin());
                skipped += static_cast<long long>(at - off);
                off = at;
                synced = true;
                continue;
            }
            if (avail < static_cast<size_t>(kChunk))
                break;
            const char* c = buf.data() + off;
            long long seq;
            std::memcpy(&seq, c + kMarkerLen, 8);
            const bool ok = std::memcmp(c, kMarker, kMarkerLen) == 0 && (nextSeq < 0 || seq >= nextSeq) &&
                            std::memcmp(c + kHeader, pattern().data() + (seq & 0xff), kBody) == 0;
            if (!ok) {
                ++bad;
                synced = false;
                off += 1;
                continue;
            }
            if (firstSeq < 0)
                firstSeq = seq;
            nextSeq = seq + 1;
            ++good;
            off += kChunk;
        }
        if (off > (1u << 16)) {
            buf.erase(buf.begin(), buf.begin() + static_cast<long>(off));
            off = 0;
        }
    }
    // Chunks missing between the first one seen and the last one sent.
    long long missing(long long lastSent) const { return firstSeq < 0 ? -1 : (lastSent - firstSeq + 1) - good; }
};

// Each caller gets its own local UDP port, and so its own libsrt receive
// thread: with all 50 sharing one port, both programs lost about half of the
// SRT chunks on a loaded machine, on the benchmark's side of the link.
// from, when given, is the caller's own address (host order): oxnode lets
// only a few SRT callers in per address.
inline SRTSOCKET srtCaller(int port, uint32_t from = 0)
{
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    do {
        SRTSOCKET s = srt_create_socket();
        const int latency = 20, conn = 500;
        srt_setsockflag(s, SRTO_LATENCY, &latency, sizeof latency);
        srt_setsockflag(s, SRTO_CONNTIMEO, &conn, sizeof conn);
        if (from) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_addr.s_addr = htonl(from);
            if (srt_bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) == SRT_ERROR) {
                srt_close(s);
                break;
            }
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (srt_connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != SRT_ERROR)
            return s;
        srt_close(s);
    } while (Clock::now() < deadline);
    std::fprintf(stderr, "cannot connect an SRT caller to %d\n", port);
    std::exit(1);
}

struct BusyResult {
    double window = 0, cpu = 0;
    double tcpBytes = 0, srtBytes = 0; // delivered inside the window
    double sentBytes = 0;              // fed inside the window
    double selfCpu = 0;                // this benchmark's own CPU in the window
    long long tcpMissing = 0, tcpBad = 0, tcpSilent = 0;
    long long srtGot = 0, srtSent = 0, srtBad = 0;
};

// publish: every stream's publish policy, as in streamJson; none by default.
inline BusyResult oxnodeBusyRun(const std::string& bin, int streams, double seconds, double rateMbps,
                                const std::string& publish = "")
{
    BusyResult r;
    OxnodeProcess ox(bin, outPort(streams - 1), {"QT_LOGGING_RULES=oxnode.tcp.send.debug=false"},
                     streamJson(streams, publish));
    waitThreadsStable(ox.pid, 1000);
    srt_startup();
    srt_setloglevel(3);

    // Readers first, so that they see the stream from (nearly) its start.
    const int ep = epoll_create1(0);
    std::vector<int> tcpReaders;
    for (int i = 0; i < streams; ++i)
        for (int k = 0; k < 2; ++k) {
            const int fd = connectTo(outPort(i));
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
            epoll_event e{};
            e.events = EPOLLIN;
            e.data.u32 = static_cast<uint32_t>(tcpReaders.size());
            epoll_ctl(ep, EPOLL_CTL_ADD, fd, &e);
            tcpReaders.push_back(fd);
        }
    std::vector<SRTSOCKET> srtReaders;
    const int sep = srt_epoll_create();
    for (int i = 0; i < streams; ++i) {
        // One source address per caller (127.1.0.1 and on), all on lo.
        const SRTSOCKET s = srtCaller(outPort(i), 0x7f010001u + static_cast<uint32_t>(i));
        const bool no = false;
        srt_setsockflag(s, SRTO_RCVSYN, &no, sizeof no);
        const int ev = SRT_EPOLL_IN | SRT_EPOLL_ERR;
        srt_epoll_add_usock(sep, s, &ev);
        srtReaders.push_back(s);
    }
    std::vector<int> sources;
    for (int i = 0; i < streams; ++i)
        sources.push_back(connectTo(inPort(i)));

    std::vector<ChunkCheck> tcpCheck(tcpReaders.size()), srtCheck(srtReaders.size());
    std::map<SRTSOCKET, size_t> srtIndex;
    for (size_t i = 0; i < srtReaders.size(); ++i)
        srtIndex[srtReaders[i]] = i;
    std::atomic<long long> tcpBytes{0}, srtBytes{0}, sentBytes{0};
    std::atomic<bool> running{true};

    std::thread tcpThread([&] {
        std::vector<char> b(1 << 16);
        epoll_event evs[64];
        while (running.load()) {
            const int n = epoll_wait(ep, evs, 64, 100);
            for (int j = 0; j < n; ++j) {
                const uint32_t idx = evs[j].data.u32;
                for (;;) {
                    const ssize_t got = recv(tcpReaders[idx], b.data(), b.size(), 0);
                    if (got <= 0)
                        break;
                    tcpCheck[idx].feed(b.data(), static_cast<size_t>(got));
                    tcpBytes.fetch_add(got, std::memory_order_relaxed);
                }
            }
        }
    });
    std::thread srtThread([&] {
        char b[1500];
        std::vector<SRTSOCKET> ready(srtReaders.size());
        while (running.load()) {
            int rn = static_cast<int>(ready.size());
            if (srt_epoll_wait(sep, ready.data(), &rn, nullptr, nullptr, 100, nullptr, nullptr, nullptr, nullptr) <= 0)
                continue;
            for (int j = 0; j < rn; ++j) {
                const size_t idx = srtIndex[ready[j]];
                for (;;) {
                    const int got = srt_recvmsg(ready[j], b, sizeof b);
                    if (got <= 0)
                        break;
                    srtCheck[idx].feed(b, static_cast<size_t>(got));
                    srtBytes.fetch_add(got, std::memory_order_relaxed);
                }
            }
        }
    });

    // The sources: one chunk per stream every period, 1 s of warm-up first.
    const double period = kChunk * 8.0 / (rateMbps * 1e6);
    const double warmup = 1.0;
    std::vector<char> chunk(kChunk);
    long long seq = 0;
    const auto start = Clock::now();
    double cpu0 = -1, cpu1 = 0;
    long long tcp0 = 0, srt0 = 0, sent0 = 0;
    Clock::time_point w0, w1;
    for (;; ++seq) {
        const double at = seq * period;
        if (cpu0 < 0 && at >= warmup) {
            w0 = Clock::now();
            cpu0 = ox.cpuSec();
            r.selfCpu = -cpuSecondsOf(getpid());
            tcp0 = tcpBytes.load();
            srt0 = srtBytes.load();
            sent0 = sentBytes.load();
        }
        if (at >= warmup + seconds)
            break;
        std::this_thread::sleep_until(start + std::chrono::nanoseconds(static_cast<long long>(at * 1e9)));
        ChunkCheck::fill(chunk.data(), seq);
        for (int fd : sources)
            if (!writeAll(fd, chunk.data(), chunk.size()))
                die("feeding a stream");
        sentBytes.fetch_add(static_cast<long long>(sources.size()) * kChunk, std::memory_order_relaxed);
    }
    w1 = Clock::now();
    cpu1 = ox.cpuSec();
    r.selfCpu += cpuSecondsOf(getpid());
    r.window = std::chrono::duration<double>(w1 - w0).count();
    r.cpu = cpu1 - cpu0;
    r.tcpBytes = static_cast<double>(tcpBytes.load() - tcp0);
    r.srtBytes = static_cast<double>(srtBytes.load() - srt0);
    r.sentBytes = static_cast<double>(sentBytes.load() - sent0);
    const long long lastSeq = seq - 1;

    // Drain: until every TCP reader has the last chunk, or 5 s without progress.
    auto lastProgress = Clock::now();
    long long seen = -1;
    while (Clock::now() - lastProgress < std::chrono::seconds(5)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const long long now = tcpBytes.load() + srtBytes.load();
        if (now != seen) {
            seen = now;
            lastProgress = Clock::now();
        }
        bool all = true;
        for (const auto& c : tcpCheck)
            all = all && c.nextSeq == lastSeq + 1;
        if (all && Clock::now() - lastProgress > std::chrono::milliseconds(300))
            break;
    }
    running.store(false);
    tcpThread.join();
    srtThread.join();
    for (const auto& c : tcpCheck) {
        const long long m = c.missing(lastSeq);
        if (m < 0)
            ++r.tcpSilent;
        else
            r.tcpMissing += m;
        r.tcpBad += c.bad;
    }
    for (const auto& c : srtCheck) {
        if (c.firstSeq >= 0) {
            r.srtGot += c.good;
            r.srtSent += lastSeq - c.firstSeq + 1;
        }
        r.srtBad += c.bad;
    }
    for (int fd : sources)
        close(fd);
    for (int fd : tcpReaders)
        close(fd);
    for (SRTSOCKET s : srtReaders)
        srt_close(s);
    srt_epoll_release(sep);
    close(ep);
    srt_cleanup();
    stopWithin(ox.pid, kStopLimitSec);
    return r;
}

} // namespace benchutil
