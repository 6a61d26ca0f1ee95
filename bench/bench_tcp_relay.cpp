// TCP relay benchmark: oxnode's stream 0 (TCP 8010 -> 8020) against a minimal
// relay built in here (one blocking read loop writing to K sockets), measured
// in the same run on the same machine. Runs in a private network namespace.
//
// CPU is counted alike on both sides: every thread of the relaying process
// (the baseline runs in a process of its own), over the same window, from
// just before the source connects until the last client has its last byte;
// start-up, connecting the clients and shutdown are outside it.
//
//   bench_tcp_relay [--oxnode PATH] [--mb N] [--seconds S] [--rounds R] [--clients K]
#include "benchCommon.h"
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace benchutil;

namespace {

using Clock = std::chrono::steady_clock;

double nowSec()
{
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}




int listenOn(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 64) != 0)
        die("baseline listen");
    return fd;
}



// Same read size as oxnode's TCP input, so that the ratio compares the relays
// and not their buffer sizes.
constexpr size_t kRelayReadSize = 256 * 1024;

// The baseline, in a child process: accept K clients on outPort, then one
// source on inPort, and copy every read to every client with blocking writes.
struct BaselineRelay {
    pid_t pid = -1;

    BaselineRelay(int inPort, int outPort, int k)
    {
        const int inListen = listenOn(inPort);
        const int outListen = listenOn(outPort);
        pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            run(inListen, outListen, k);
            _exit(0);
        }
        close(inListen);
        close(outListen);
    }
    static void run(int inListen, int outListen, int k)
    {
        std::vector<int> clients;
        const int one = 1;
        for (int i = 0; i < k; ++i) {
            clients.push_back(accept(outListen, nullptr, nullptr));
            setsockopt(clients.back(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
        const int src = accept(inListen, nullptr, nullptr);
        std::vector<char> buf(kRelayReadSize);
        for (;;) {
            const ssize_t r = recv(src, buf.data(), buf.size(), 0);
            if (r <= 0)
                break;
            for (int c : clients)
                writeAll(c, buf.data(), static_cast<size_t>(r));
        }
    }
    ~BaselineRelay()
    {
        int status = 0;
        waitpid(pid, &status, 0);
    }
};

// How far the source may run ahead of the slowest reader: half the relay's
// 16 MiB per-connection write limit.
constexpr size_t kMaxAhead = 8u * 1024 * 1024;

struct Throughput {
    double gbitPerSec = 0;
    double seconds = 0;
    double relayCpuSec = 0; // of process `relay`, over the transfer window
};

// One source pushing `bytes` as fast as it can, K clients reading all of it.
Throughput pushAndRead(int inPort, int outPort, int k, size_t bytes, bool waitClientsLogged, pid_t relay)
{
    std::vector<int> clients;
    for (int i = 0; i < k; ++i)
        clients.push_back(connectTo(outPort));
    if (waitClientsLogged)
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // let the service register them
    const int src = connectTo(inPort);
    std::vector<char> chunk(64 * 1024, 'x');
    std::atomic<int> done{0}, short_{0};
    const double cpu0 = processCpuPrecise(relay);
    const double t0 = nowSec();
    // Bytes each reader has so far: the source stays at most kMaxAhead ahead
    // of the slowest, so that a reader squeezed off the CPU on a loaded
    // machine is not cut at the relay's write limit (a bench fault, not the
    // relay's).
    std::unique_ptr<std::atomic<size_t>[]> progress(new std::atomic<size_t>[clients.size()]());
    std::vector<std::thread> readers;
    for (size_t i = 0; i < clients.size(); ++i) {
        const int c = clients[i];
        std::atomic<size_t>* mine = &progress[i];
        readers.emplace_back([c, bytes, mine, &done, &short_] {
            std::vector<char> buf(256 * 1024);
            size_t got = 0;
            while (got < bytes) {
                const ssize_t r = recv(c, buf.data(), std::min(buf.size(), bytes - got), 0);
                if (r <= 0)
                    break;
                got += static_cast<size_t>(r);
                mine->store(got, std::memory_order_relaxed);
            }
            if (got < bytes)
                short_.fetch_add(1);
            mine->store(bytes, std::memory_order_relaxed); // a reader that gave up holds nobody back
            done.fetch_add(1);
        });
    }
    const auto slowest = [&] {
        size_t m = bytes;
        for (size_t i = 0; i < clients.size(); ++i)
            m = std::min(m, progress[i].load(std::memory_order_relaxed));
        return m;
    };
    std::thread drain([src] { // oxnode sends keep-alive newlines to the source
        char b[64];
        while (recv(src, b, sizeof b, 0) > 0) {
        }
    });
    for (size_t sent = 0; sent < bytes; sent += chunk.size()) {
        while (sent > slowest() + kMaxAhead)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        writeAll(src, chunk.data(), std::min(chunk.size(), bytes - sent));
    }
    for (auto& t : readers)
        t.join();
    const double t1 = nowSec();
    const double cpu1 = processCpuPrecise(relay);
    shutdown(src, SHUT_RDWR);
    close(src);
    drain.join();
    for (int c : clients)
        close(c);
    if (short_.load() > 0)
        die("a client was cut off before it had every byte"); // a figure from it would be wrong
    Throughput r;
    r.seconds = t1 - t0;
    r.relayCpuSec = cpu1 - cpu0;
    r.gbitPerSec = static_cast<double>(bytes) * k * 8 / r.seconds / 1e9;
    return r;
}

struct Latency {
    double p50us = 0, p99us = 0;
};

// 20 Mbit/s in 1316-byte chunks, each stamped with its send time.
Latency pacedLatency(int inPort, int outPort, double seconds, bool waitClientsLogged)
{
    const int client = connectTo(outPort);
    if (waitClientsLogged)
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const int src = connectTo(inPort);
    const size_t chunk = 1316;
    const double interval = chunk * 8 / 20e6;
    const size_t count = static_cast<size_t>(seconds / interval);
    std::vector<double> lat;
    lat.reserve(count);
    std::thread reader([&] {
        std::vector<char> buf(chunk);
        for (size_t i = 0; i < count; ++i) {
            if (!readAll(client, buf.data(), chunk))
                break;
            int64_t ts;
            std::memcpy(&ts, buf.data(), sizeof ts);
            lat.push_back(static_cast<double>(nowNs() - ts) / 1000.0);
        }
    });
    std::thread drain([src] {
        char b[64];
        while (recv(src, b, sizeof b, 0) > 0) {
        }
    });
    std::vector<char> buf(chunk, 'p');
    const auto start = Clock::now();
    for (size_t i = 0; i < count; ++i) {
        std::this_thread::sleep_until(start + std::chrono::duration<double>(interval * static_cast<double>(i)));
        const int64_t ts = nowNs();
        std::memcpy(buf.data(), &ts, sizeof ts);
        writeAll(src, buf.data(), chunk);
    }
    reader.join();
    shutdown(src, SHUT_RDWR);
    close(src);
    drain.join();
    close(client);
    std::sort(lat.begin(), lat.end());
    Latency l;
    if (!lat.empty()) {
        l.p50us = lat[lat.size() / 2];
        l.p99us = lat[std::min(lat.size() - 1, lat.size() * 99 / 100)];
    }
    return l;
}

// The per-buffer "tcp send" line is on by default; off is what the targets are about.
std::vector<std::string> debugEnv(bool debugLine)
{
    if (debugLine)
        return {};
    return {"QT_LOGGING_RULES=oxnode.tcp.send.debug=false"};
}

// Unpinned is how operators run it, and the figure that counts. Pinned (with
// two or more CPUs allowed), the relay (either one) runs on the second CPU
// and this process's source and readers on the first: left to the
// scheduler the same relay's figures spread more from run to run on a
// 2-core machine, depending on which threads happen to share a core, while
// pinned both relays get the same single core.
bool pinning = false;
int kRelayCpu = 1;
int kClientCpu = 0;
cpu_set_t allowedCpus; // as this process started

// The first two CPUs this process may run on (a container or taskset may
// leave it CPUs other than 0 and 1); false when it has fewer than two.
bool choosePinning()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return false;
    allowedCpus = set;
    std::vector<int> cpus;
    for (int c = 0; c < CPU_SETSIZE && cpus.size() < 2; ++c)
        if (CPU_ISSET(c, &set))
            cpus.push_back(c);
    if (cpus.size() < 2)
        return false;
    kClientCpu = cpus[0];
    kRelayCpu = cpus[1];
    return true;
}

void runOn(int cpu)
{
    if (!pinning)
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0)
        die("sched_setaffinity");
}

// Forks the relay on its CPU (a child inherits the forking thread's CPU set),
// then comes back to the clients' CPU.
template <typename Relay, typename... Args>
std::unique_ptr<Relay> startRelay(Args&&... args)
{
    runOn(kRelayCpu);
    auto relay = std::make_unique<Relay>(std::forward<Args>(args)...);
    runOn(kClientCpu);
    return relay;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Throughput and CPU per GB of both relays, at one and at ten clients.
void compareRelays(const std::string& bin, size_t bytes, int rounds, const std::vector<int>& clientCounts)
{
    for (int k : clientCounts) {
        const size_t perClient = k == 1 ? bytes : bytes / 4;
        const double gb = static_cast<double>(perClient) * k / 1e9;
        // Baseline and oxnode alternate inside each round, so that a noisy
        // neighbour hurts both sides of a ratio alike.
        std::vector<double> baseRate, baseCpu, rate[2], cpu[2], ratio[2], cpuRatio[2];
        for (int round = 0; round < rounds; ++round) {
            double b;
            {
                const auto relay = startRelay<BaselineRelay>(9010, 9020, k);
                const Throughput t = pushAndRead(9010, 9020, k, perClient, false, relay->pid);
                b = t.gbitPerSec;
                baseRate.push_back(b);
                baseCpu.push_back(t.relayCpuSec / gb);
            }
            for (int turn : {0, 1}) {
                // Which oxnode run comes first alternates from round to round.
                const int debugLine = (turn + round) % 2;
                const auto ox = startRelay<OxnodeProcess>(bin, 8020, debugEnv(debugLine != 0));
                const Throughput t = pushAndRead(8010, 8020, k, perClient, true, ox->pid);
                rate[debugLine].push_back(t.gbitPerSec);
                cpu[debugLine].push_back(t.relayCpuSec / gb);
                ratio[debugLine].push_back(t.gbitPerSec / b);
                cpuRatio[debugLine].push_back(cpu[debugLine].back() / baseCpu.back());
            }
        }
        std::printf("K=%-2d baseline        %7.2f Gbit/s  %6.3f CPU s/GB\n", k, median(baseRate), median(baseCpu));
        for (int debugLine : {0, 1}) {
            std::printf("K=%-2d oxnode debug %-3s %7.2f Gbit/s  %6.3f CPU s/GB  ratio %.2f  (rounds:", k,
                        debugLine ? "on" : "off", median(rate[debugLine]), median(cpu[debugLine]),
                        median(ratio[debugLine]));
            for (double r : ratio[debugLine])
                std::printf(" %.2f", r);
            // Paired within each round, so that a slow round counts against both sides.
            std::printf(")\n     CPU per GB against the baseline %.2f  (rounds:", median(cpuRatio[debugLine]));
            for (double r : cpuRatio[debugLine])
                std::printf(" %.2f", r);
            std::printf(")\n");
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::string bin = OXNODE_BIN;
    size_t mb = 1024;
    double latSeconds = 3;
    int rounds = 3;
    std::vector<int> clientCounts{1, 10};
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--oxnode")
            bin = argv[i + 1];
        else if (a == "--mb")
            mb = std::stoul(argv[i + 1]);
        else if (a == "--seconds")
            latSeconds = std::stod(argv[i + 1]);
        else if (a == "--rounds")
            rounds = std::max(1, std::stoi(argv[i + 1]));
        else if (a == "--clients")
            clientCounts = {std::max(1, std::stoi(argv[i + 1]))};
    }
    signal(SIGPIPE, SIG_IGN);
    enterNetns();
    const bool canPin = choosePinning();
    const size_t bytes = mb * 1024 * 1024;

    std::printf("TCP relay, one source, %zu MiB per client, 64 KiB writes, median of %d rounds\n", mb, rounds);
    std::printf("CPU: all threads of the relaying process, transfer window only\n");
    for (const bool pin : {false, true}) {
        if (pin && !canPin)
            break;
        pinning = pin;
        if (pin)
            std::printf("pinned: relay on CPU %d, source and readers on CPU %d\n", kRelayCpu, kClientCpu);
        else
            std::printf("unpinned (as operators run it)\n");
        compareRelays(bin, bytes, rounds, clientCounts);
    }
    if (pinning) {
        pinning = false;
        sched_setaffinity(0, sizeof allowedCpus, &allowedCpus);
    }

    std::printf("Added latency at 20 Mbit/s, 1316-byte chunks, %.0f s\n", latSeconds);
    Latency baseLat;
    {
        const auto relay = startRelay<BaselineRelay>(9010, 9020, 1);
        baseLat = pacedLatency(9010, 9020, latSeconds, false);
    }
    std::printf("baseline        p50 %7.1f us  p99 %7.1f us\n", baseLat.p50us, baseLat.p99us);
    for (bool debugLine : {false, true}) {
        const auto ox = startRelay<OxnodeProcess>(bin, 8020, debugEnv(debugLine));
        const Latency l = pacedLatency(8010, 8020, latSeconds, true);
        std::printf("oxnode debug %-3s p50 %7.1f us  p99 %7.1f us\n", debugLine ? "on" : "off", l.p50us, l.p99us);
    }
    return 0;
}
