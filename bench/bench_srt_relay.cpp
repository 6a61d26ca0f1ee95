// SRT relay benchmark: oxnode's stream 0 (SRT in on UDP 8010, SRT out on UDP
// 8020) against srt-live-transmit used as a relay (listener in, listener out),
// in the same run, on the same machine, in a private network namespace.
//
// The source is a paced sender written here on libsrt (1316-byte messages
// carrying a sequence number); the receivers are libsrt callers that count
// bytes and sequence gaps. srt-live-transmit relays to one output only, so
// with K receivers it is compared as K relays (one per receiver, each fed its
// own copy of the source): the way one would serve K callers with it.
//
// Figures: delivered rate, relay CPU, bytes delivered per relay CPU-second and
// oxnode's ratio to srt-live-transmit on that measure; then the highest
// loss-free source rate at 20 ms latency for each relay (K = 1); then what
// libsrt's debug log level (7, set by the endpoints) costs inside oxnode.
//
//   bench_srt_relay [--oxnode PATH] [--seconds S] [--rate MBPS] [--passphrase P]
// With --passphrase only oxnode is measured, once with P as the stream's
// publish and read passphrase (AES, libsrt's default key length) and once
// without: what the encryption costs the relay.
// (OXBENCH_KEEP=1 keeps the relays' working directories and logs in /tmp;
// OXBENCH_LOG_ONLY=1 runs only the log-level comparison.)
#include "benchCommon.h"
#include <srt/srt.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace benchutil;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kMsg = 1316;
// Set by --passphrase for the protected runs: the callers' SRTO_PASSPHRASE and
// the stream's passphrases in both directions.
std::string gPassphrase;



SRTSOCKET connectCaller(int port, int timeoutMs = 10000)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        SRTSOCKET s = srt_create_socket();
        const int latency = 20, conn = 300;
        srt_setsockflag(s, SRTO_LATENCY, &latency, sizeof latency);
        srt_setsockflag(s, SRTO_CONNTIMEO, &conn, sizeof conn);
        if (!gPassphrase.empty())
            srt_setsockflag(s, SRTO_PASSPHRASE, gPassphrase.c_str(), static_cast<int>(gPassphrase.size()));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (srt_connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != SRT_ERROR)
            return s;
        srt_close(s);
    } while (Clock::now() < deadline);
    std::fprintf(stderr, "cannot connect to %d\n", port);
    std::exit(1);
}

// A relay process: oxnode (stream 0) or srt-live-transmit (listener -> listener).
struct Relay {
    pid_t pid = -1;
    std::string dir;
    Relay(const std::vector<std::string>& argv, const std::vector<std::string>& env, bool oxnodeDir, int streamId = 0)
    {
        char tmpl[] = "/tmp/oxsrtbenchXXXXXX";
        dir = mkdtemp(tmpl);
        if (oxnodeDir) {
            mkdir((dir + "/web").c_str(), 0755);
            std::ofstream(dir + "/appcfg.json") << "{\"localDevCfg\": false}";
            std::ofstream(dir + "/stream.json")
                << "[{\"id\": " << streamId << ", \"name\": \"bench\""
                << (gPassphrase.empty() ? std::string()
                                        : ", \"access\": {\"publishPassphrase\": \"" + gPassphrase
                                              + "\", \"readPassphrase\": \"" + gPassphrase + "\"}")
                << "}]";
        }
        pid = fork();
        if (pid == 0) {
            if (chdir(dir.c_str()) != 0)
                _exit(127);
            const int log = open("relay.log", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(log, 1);
            dup2(log, 2);
            for (const auto& e : env)
                putenv(const_cast<char*>(e.c_str()));
            std::vector<char*> args;
            for (const auto& a : argv)
                args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
    }
    ~Relay()
    {
        terminate(pid);
        std::string cmd = getenv("OXBENCH_KEEP") ? "true" : "rm -rf " + dir;
        if (std::system(cmd.c_str()) != 0) {
        }
    }
    long logLines() const
    {
        std::ifstream f(dir + "/relay.log");
        long n = 0;
        std::string l;
        while (std::getline(f, l))
            ++n;
        return n;
    }
};

struct Receiver {
    SRTSOCKET s = SRT_INVALID_SOCK;
    std::atomic<bool> run{true};
    std::atomic<long long> bytes{0};
    long long first = -1, last = -1, count = 0, gaps = 0;
    std::thread t;
    explicit Receiver(int port)
    {
        s = connectCaller(port);
        const int to = 200;
        srt_setsockflag(s, SRTO_RCVTIMEO, &to, sizeof to);
        t = std::thread([this] {
            char buf[1500];
            while (run.load()) {
                const int n = srt_recvmsg(s, buf, sizeof buf);
                if (n == SRT_ERROR) {
                    if (srt_getlasterror(nullptr) == SRT_EASYNCRCV)
                        continue;
                    break;
                }
                long long seq;
                std::memcpy(&seq, buf, sizeof seq);
                if (first < 0)
                    first = seq;
                else if (seq != last + 1)
                    gaps += seq > last ? seq - last - 1 : 0;
                last = std::max(last, seq);
                ++count;
                bytes.fetch_add(n);
            }
        });
    }
    void stop()
    {
        run.store(false);
        if (t.joinable())
            t.join();
    }
    ~Receiver()
    {
        stop();
        srt_close(s);
    }
};

// Sends numbered messages to every socket of `to` at rateMbps for seconds;
// a short warm-up first (lost start-up packets are not counted against the
// relay: the receivers count from the first message they see).
long long paceSend(const std::vector<SRTSOCKET>& to, double rateMbps, double seconds, long long seq0)
{
    const double msgsPerSec = rateMbps * 1e6 / 8.0 / kMsg;
    char msg[kMsg];
    std::memset(msg, 'x', sizeof msg);
    const auto start = Clock::now();
    long long seq = seq0;
    for (long long i = 0;; ++i) {
        const auto due = start + std::chrono::nanoseconds(static_cast<long long>(i * 1e9 / msgsPerSec));
        if (due - start > std::chrono::duration<double>(seconds))
            break;
        if (Clock::now() < due)
            std::this_thread::sleep_until(due);
        std::memcpy(msg, &seq, sizeof seq);
        for (SRTSOCKET s : to)
            srt_sendmsg(s, msg, kMsg, -1, 0);
        ++seq;
    }
    return seq;
}

struct Result {
    double deliveredMbps = 0;  // summed over receivers
    double relayCpu = 0;       // seconds
    double wall = 0;
    long long lost = 0;        // gaps plus missing tail, summed
};

// One measured run: K receivers, one source stream, either through oxnode
// (one relay) or through K srt-live-transmit relays.
Result runOnce(bool oxnode, const std::string& bin, int k, double rateMbps, double seconds,
               const std::vector<std::string>& env = {}, long* logLines = nullptr)
{
    // Every run on ports of its own: nothing left over from the previous run
    // (sockets still closing, relays still exiting) can interfere.
    static int run = 0;
    ++run;
    std::vector<std::unique_ptr<Relay>> relays;
    std::vector<int> inPorts, outPorts;
    if (oxnode) {
        relays.push_back(std::make_unique<Relay>(std::vector<std::string>{bin}, env, true, run));
        inPorts.push_back(8010 + 20 * run);
        for (int i = 0; i < k; ++i)
            outPorts.push_back(8020 + 20 * run);
    } else {
        for (int i = 0; i < k; ++i) {
            const int in = 30000 + 20 * run + 2 * i, out = in + 1;
            relays.push_back(std::make_unique<Relay>(
                std::vector<std::string>{"srt-live-transmit", "-chunk:1316", "-q",
                                         "srt://:" + std::to_string(in) + "?mode=listener&latency=20",
                                         "srt://:" + std::to_string(out) + "?mode=listener&latency=20"},
                env, false));
            inPorts.push_back(in);
            outPorts.push_back(out);
        }
    }
    std::vector<std::unique_ptr<Receiver>> rx;
    std::vector<SRTSOCKET> tx;
    if (oxnode) {
        for (int p : outPorts)
            rx.push_back(std::make_unique<Receiver>(p));
        tx.push_back(connectCaller(inPorts[0]));
    } else {
        // srt-live-transmit accepts its source first, then its output caller.
        for (int i = 0; i < k; ++i)
            tx.push_back(connectCaller(inPorts[static_cast<size_t>(i)]));
        for (int p : outPorts)
            rx.push_back(std::make_unique<Receiver>(p));
    }
    // Warm-up until every receiver hears the stream.
    long long seq = 0;
    for (int i = 0; i < 200; ++i) {
        seq = paceSend(tx, 5, 0.02, seq);
        bool all = true;
        for (auto& r : rx)
            all = all && r->bytes.load() > 0;
        if (all)
            break;
    }
    std::vector<long long> base;
    for (auto& r : rx)
        base.push_back(r->bytes.load());
    double cpu0 = 0;
    for (auto& r : relays)
        cpu0 += cpuSecondsOf(r->pid);
    const auto t0 = Clock::now();
    seq = paceSend(tx, rateMbps, seconds, seq);
    const double sendWall = std::chrono::duration<double>(Clock::now() - t0).count();
    // Let the tail arrive (latency is 20 ms; allow for queues).
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    double cpu1 = 0;
    for (auto& r : relays)
        cpu1 += cpuSecondsOf(r->pid);
    Result res;
    res.wall = sendWall;
    res.relayCpu = cpu1 - cpu0;
    for (size_t i = 0; i < rx.size(); ++i) {
        rx[i]->stop();
        res.deliveredMbps += static_cast<double>(rx[i]->bytes.load() - base[i]) * 8 / 1e6 / sendWall;
        const long long expected = rx[i]->first < 0 ? seq : seq - rx[i]->first;
        res.lost += expected - rx[i]->count;
    }
    if (logLines)
        *logLines = relays[0]->logLines();
    for (SRTSOCKET s : tx)
        srt_close(s);
    rx.clear();
    relays.clear();
    return res;
}

void printRow(const char* what, int k, const Result& r)
{
    std::printf("  %-22s K=%d  delivered %8.1f Mbit/s  relay CPU %5.2f s (%5.1f%%)  %7.1f Mbit per CPU-s  lost %lld\n",
                what, k, r.deliveredMbps, r.relayCpu, 100 * r.relayCpu / r.wall,
                r.relayCpu > 0 ? r.deliveredMbps * r.wall / r.relayCpu : 0.0, r.lost);
}

} // namespace

int main(int argc, char** argv)
{
    std::string bin = OXNODE_BIN;
    double seconds = 5;
    double rate = 100;
    std::string passphrase;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--oxnode"))
            bin = argv[i + 1];
        else if (!std::strcmp(argv[i], "--seconds"))
            seconds = std::atof(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--rate"))
            rate = std::atof(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--passphrase"))
            passphrase = argv[i + 1];
    }
    signal(SIGPIPE, SIG_IGN);
    enterNetns();
    srt_startup();
    srt_setloglevel(3);

    if (!passphrase.empty()) {
        std::printf("oxnode SRT relay with and without passphrase, source %.0f Mbit/s for %.0f s\n", rate, seconds);
        for (int k : {1, 4}) {
            gPassphrase.clear();
            const Result plain = runOnce(true, bin, k, rate, seconds);
            gPassphrase = passphrase;
            const Result encrypted = runOnce(true, bin, k, rate, seconds);
            gPassphrase.clear();
            printRow("oxnode, no passphrase", k, plain);
            printRow("oxnode, passphrase", k, encrypted);
            std::printf("  relay CPU with passphrase / without: %.2f\n",
                        encrypted.relayCpu / std::max(plain.relayCpu, 1e-3));
        }
        srt_cleanup();
        return 0;
    }

    const bool logOnly = getenv("OXBENCH_LOG_ONLY") != nullptr; // just the log-level part
    if (!logOnly) {
    std::printf("SRT relay, source %.0f Mbit/s for %.0f s, 1316-byte messages, latency 20 ms\n", rate, seconds);
    for (int k : {1, 4}) {
        const Result ox = runOnce(true, bin, k, rate, seconds);
        const Result slt = runOnce(false, bin, k, rate, seconds);
        printRow("oxnode", k, ox);
        printRow(k == 1 ? "srt-live-transmit" : "srt-live-transmit x4", k, slt);
        const double eOx = ox.deliveredMbps * ox.wall / std::max(ox.relayCpu, 1e-3);
        const double eSlt = slt.deliveredMbps * slt.wall / std::max(slt.relayCpu, 1e-3);
        std::printf("  ratio (oxnode / srt-live-transmit, delivered bits per relay CPU-second): %.2f\n", eOx / eSlt);
    }

    std::printf("Highest loss-free source rate, K=1 (2 s per step):\n");
    for (bool oxnode : {true, false}) {
        double best = 0;
        for (double r : {25.0, 50.0, 100.0, 200.0, 300.0, 400.0, 600.0, 800.0}) {
            const Result res = runOnce(oxnode, bin, 1, r, 2);
            std::printf("  %-18s %5.0f Mbit/s: delivered %6.1f, lost %lld, relay CPU %5.1f%%\n",
                        oxnode ? "oxnode" : "srt-live-transmit", r, res.deliveredMbps, res.lost,
                        100 * res.relayCpu / res.wall);
            if (res.lost != 0)
                break;
            best = r;
        }
        std::printf("  => %s: %.0f Mbit/s loss-free\n", oxnode ? "oxnode" : "srt-live-transmit", best);
    }
    }

    std::printf("libsrt log level 7 inside oxnode (K=1, %.0f Mbit/s):\n", rate);
    long linesOn = 0, linesOff = 0;
    const Result on = runOnce(true, bin, 1, rate, seconds, {}, &linesOn);
    const Result off = runOnce(true, bin, 1, rate, seconds, {"QT_LOGGING_RULES=oxnode.srt.lib.debug=false"}, &linesOff);
    printRow("oxnode, lib log on", 1, on);
    printRow("oxnode, lib log off", 1, off);
    std::printf("  log lines written per run: %ld with oxnode.srt.lib on, %ld with it off\n", linesOn, linesOff);
    srt_cleanup();
    return 0;
}
