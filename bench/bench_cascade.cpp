// Origin and edges: one oxnode (the origin) is fed 20 Mbit/s on its TCP input;
// two more (the edges), each in a network namespace of its own joined to the
// origin's by a veth pair, pull the stream from the origin's SRT output with
// their pull source and serve 20 TCP viewers each. In the same run 40 TCP
// viewers read the origin directly, for comparison.
//
// Every 1316-byte chunk carries a sequence number and the time it was sent,
// so each viewer checks that no byte is lost or reordered and measures the
// latency from the origin's input to itself.
//
//   bench_cascade [seconds]   (default 10; needs root)
#include "benchCommon.h"

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>

using namespace benchutil;

namespace {

constexpr size_t kChunk = 1316;
constexpr double kRateBitsPerSec = 20e6;
constexpr int kEdges = 2;
constexpr int kViewersPerEdge = 20;
constexpr int kOriginViewers = 40;
constexpr uint32_t kMagic = 0x0c0ffee5;

int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void run(const std::string& cmd)
{
    if (std::system(cmd.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", cmd.c_str());
        std::exit(1);
    }
}

int connectHost(const std::string& host, int port, int attempts = 3000)
{
    for (int i = 0; i < attempts; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, host.c_str(), &a.sin_addr);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
            return fd;
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    die("connect");
}

// An edge: a namespace held by a sleeping process, a veth pair to the
// origin's namespace, and oxnode in it with a pull source in stream.json.
struct Edge {
    pid_t holder = -1;
    pid_t pid = -1;
    std::string dir;
    std::string addr;

    Edge(const std::string& bin, int index)
    {
        const std::string net = "198.18." + std::to_string(index + 1) + ".";
        addr = net + "2";
        holder = fork();
        if (holder == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (unshare(CLONE_NEWNET) != 0)
                _exit(1);
            execlp("sleep", "sleep", "infinity", static_cast<char*>(nullptr));
            _exit(127);
        }
        const std::string self = "/proc/self/ns/net";
        const std::string theirs = "/proc/" + std::to_string(holder) + "/ns/net";
        for (int i = 0; i < 1000; ++i) {
            char a[64] = "", b[64] = "";
            if (readlink(self.c_str(), a, 63) > 0 && readlink(theirs.c_str(), b, 63) > 0 && std::strcmp(a, b) != 0)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        const std::string in = "nsenter -t " + std::to_string(holder) + " -n ";
        const std::string va = "cas" + std::to_string(index) + "a", vb = "cas" + std::to_string(index) + "b";
        run("ip link add " + va + " type veth peer name " + vb + " netns " + std::to_string(holder));
        run("ip addr add " + net + "1/24 dev " + va + " && ip link set " + va + " up");
        run(in + "ip link set lo up && " + in + "ip addr add " + addr + "/24 dev " + vb + " && " + in + "ip link set "
            + vb + " up");

        dir = makeOxnodeDir("[{\"id\": 0, \"name\": \"edge\", \"pullUrl\": \"oxdp://" + net + "1:8020\"}]");
        const std::string program = absolutePath(bin);
        const std::string holderPid = std::to_string(holder);
        pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (chdir(dir.c_str()) != 0)
                _exit(127);
            const int log = open("oxnode.log", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(log, 1);
            dup2(log, 2);
            execlp("nsenter", "nsenter", "-t", holderPid.c_str(), "-n", program.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(connectHost(addr, 8020));
    }
    ~Edge()
    {
        endOxnode(pid, dir, "edge oxnode");
        kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
    }
};

// One TCP viewer: reassembles chunks, checks their sequence, keeps latencies.
struct Viewer {
    int fd = -1;
    int group = 0; // 0: origin, 1..: edge
    std::string pending;
    uint32_t nextSeq = 0;
    uint64_t bytes = 0;
    uint64_t broken = 0; // chunks that were not the next one expected
    std::vector<double> latUs;
};

void readViewers(std::vector<Viewer*> viewers, const std::atomic<bool>& done)
{
    std::vector<pollfd> fds;
    for (Viewer* v : viewers)
        fds.push_back({v->fd, POLLIN, 0});
    char buf[65536];
    while (!done.load()) {
        if (poll(fds.data(), fds.size(), 100) <= 0)
            continue;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            Viewer& v = *viewers[i];
            const ssize_t n = recv(v.fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n <= 0)
                continue;
            const int64_t t = nowNs();
            v.bytes += static_cast<uint64_t>(n);
            v.pending.append(buf, static_cast<size_t>(n));
            size_t off = 0;
            while (v.pending.size() - off >= kChunk) {
                uint32_t magic, seq;
                int64_t sent;
                std::memcpy(&magic, v.pending.data() + off, 4);
                std::memcpy(&seq, v.pending.data() + off + 4, 4);
                std::memcpy(&sent, v.pending.data() + off + 8, 8);
                if (magic != kMagic || seq != v.nextSeq)
                    ++v.broken;
                v.nextSeq = seq + 1;
                v.latUs.push_back(static_cast<double>(t - sent) / 1e3);
                off += kChunk;
            }
            v.pending.erase(0, off);
        }
    }
}

double pct(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(v.size() * p))];
}

} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10;
    std::signal(SIGPIPE, SIG_IGN);
    enterNetns();
    OxnodeProcess origin(OXNODE_BIN, 8020);
    std::vector<std::unique_ptr<Edge>> edges;
    for (int i = 0; i < kEdges; ++i)
        edges.push_back(std::make_unique<Edge>(OXNODE_BIN, i));
    // The edges' pull sources connect within a second or two; their logs say when.
    for (auto& e : edges) {
        for (int i = 0; i < 1000; ++i) {
            std::ifstream f(e->dir + "/oxnode.log");
            std::string log((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
            if (log.find("pull source oxdp://") != std::string::npos && log.find(" connected") != std::string::npos)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    std::vector<Viewer> viewers(kOriginViewers + kEdges * kViewersPerEdge);
    for (size_t i = 0; i < viewers.size(); ++i) {
        const int group = i < size_t(kOriginViewers) ? 0 : 1 + int(i - kOriginViewers) / kViewersPerEdge;
        viewers[i].group = group;
        viewers[i].fd = group == 0 ? connectTo(8020) : connectHost(edges[group - 1]->addr, 8020);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // every viewer registered before the first byte
    std::atomic<bool> done{false};
    std::vector<std::thread> readers;
    constexpr int kReaders = 4;
    for (int r = 0; r < kReaders; ++r) {
        std::vector<Viewer*> mine;
        for (size_t i = r; i < viewers.size(); i += kReaders)
            mine.push_back(&viewers[i]);
        readers.emplace_back(readViewers, mine, std::cref(done));
    }

    const int source = connectTo(8010);
    const double chunksPerSec = kRateBitsPerSec / 8 / kChunk;
    const int64_t periodNs = static_cast<int64_t>(1e9 / chunksPerSec);
    std::vector<double> cpu0;
    cpu0.push_back(origin.cpuSec());
    for (auto& e : edges)
        cpu0.push_back(cpuSecondsOf(e->pid));
    const int64_t start = nowNs();
    const int64_t total = static_cast<int64_t>(seconds * chunksPerSec);
    char chunk[kChunk];
    std::memset(chunk, 'x', sizeof chunk);
    for (int64_t seq = 0; seq < total; ++seq) {
        const int64_t due = start + seq * periodNs;
        while (nowNs() < due)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        const uint32_t s32 = static_cast<uint32_t>(seq);
        const int64_t t = nowNs();
        std::memcpy(chunk, &kMagic, 4);
        std::memcpy(chunk + 4, &s32, 4);
        std::memcpy(chunk + 8, &t, 8);
        if (!writeAll(source, chunk, kChunk))
            die("source write");
    }
    const double elapsed = static_cast<double>(nowNs() - start) / 1e9;
    std::vector<double> cpu;
    cpu.push_back(origin.cpuSec() - cpu0[0]);
    for (size_t i = 0; i < edges.size(); ++i)
        cpu.push_back(cpuSecondsOf(edges[i]->pid) - cpu0[i + 1]);
    // Let the last chunks arrive (the SRT hop holds them for its latency).
    const uint64_t want = static_cast<uint64_t>(total) * kChunk;
    for (int i = 0; i < 300; ++i) {
        bool all = true;
        for (const Viewer& v : viewers)
            all = all && v.bytes >= want;
        if (all)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    done.store(true);
    for (auto& t : readers)
        t.join();
    close(source);

    std::printf("Cascade: origin fed %.0f Mbit/s for %.1f s (%lld chunks of %zu bytes), %d edges pulling over SRT\n",
                kRateBitsPerSec / 1e6, elapsed, static_cast<long long>(total), kChunk, kEdges);
    for (int g = 0; g <= kEdges; ++g) {
        std::vector<double> lat;
        uint64_t bytes = 0, broken = 0, shortViewers = 0;
        int n = 0;
        for (const Viewer& v : viewers) {
            if (v.group != g)
                continue;
            ++n;
            bytes += v.bytes;
            broken += v.broken;
            shortViewers += v.bytes < want;
            lat.insert(lat.end(), v.latUs.begin(), v.latUs.end());
        }
        std::printf("%-8s %2d viewers: delivered %7.1f Mbit/s in all, lost/reordered chunks %llu, short viewers %llu, "
                    "latency from the origin's input p50 %7.2f ms p99 %7.2f ms, CPU of the instance %5.1f %%\n",
                    g == 0 ? "origin" : ("edge " + std::to_string(g)).c_str(), n, bytes * 8 / elapsed / 1e6,
                    static_cast<unsigned long long>(broken), static_cast<unsigned long long>(shortViewers),
                    pct(lat, 0.5) / 1e3, pct(lat, 0.99) / 1e3, 100 * cpu[g] / elapsed);
    }
    for (const Viewer& v : viewers)
        close(v.fd);
    edges.clear();
    return 0;
}
