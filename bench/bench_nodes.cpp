// Node session benchmark: oxnode with "localDevCfg" false and N simulated
// nodes logged in over TCP 8000, each sending a "nodeStatus" report every
// second. Prints the main thread's CPU share and the memory per node, and
// the time of one web "getNodeList" (median of 5) against a "getStreamList"
// measured in the same step as baseline, for 1000 and then 5000 nodes.
// Runs in a private network namespace.
//
//   bench_nodes [--oxnode PATH] [--seconds S] [--counts 1000,5000]
#include "benchCommon.h"
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
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

bool writeAll(int fd, const std::string& s)
{
    size_t off = 0;
    while (off < s.size()) {
        const ssize_t w = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (w <= 0)
            return false;
        off += static_cast<size_t>(w);
    }
    return true;
}

// Blocking read of one zero-terminated frame.
std::string readFrame(int fd)
{
    std::string f;
    char c;
    while (recv(fd, &c, 1, 0) == 1) {
        if (c == '\0')
            return f;
        f.push_back(c);
    }
    return {};
}

struct SimNode {
    int fd = -1;
    std::string sn;
    std::string token;
    std::string statusFrame;
};

bool loginNode(SimNode& n, int index)
{
    char sn[32];
    std::snprintf(sn, sizeof sn, "bench-%05d", index);
    n.sn = sn;
    n.fd = connectTo(8000);
    const std::string login = nodeLoginFrame(index, n.sn);
    if (!writeAll(n.fd, login))
        return false;
    for (;;) {
        const std::string reply = readFrame(n.fd);
        if (reply.empty())
            return false;
        if (reply.find("\"setToken\"") == std::string::npos)
            continue; // e.g. a discovery frame
        n.token = jsonField(reply, "token");
        break;
    }
    n.statusFrame = nodeStatusFrame(n.token, nodeStatusBody(n.sn));
    const int flags = fcntl(n.fd, F_GETFL);
    fcntl(n.fd, F_SETFL, flags | O_NONBLOCK);
    return true;
}

// Every node sends one status report per second; what the service sends
// (discovery frames, logouts) is drained.
struct Run {
    long reports = 0;
    long logouts = 0;
    long sendFailures = 0;
};

// Sends a report for every node whose last one is a second old or more.
void pump(std::vector<SimNode>& nodes, std::vector<double>& lastSent, Run& run)
{
    static std::vector<char> buf(64 * 1024);
    const double now = nowSec();
    lastSent.resize(nodes.size(), 0);
    for (size_t i = 0; i < nodes.size(); ++i) {
        if (now - lastSent[i] >= 1.0) {
            lastSent[i] = lastSent[i] == 0 ? now : lastSent[i] + 1.0;
            if (send(nodes[i].fd, nodes[i].statusFrame.data(), nodes[i].statusFrame.size(), MSG_NOSIGNAL) > 0)
                ++run.reports;
            else if (++run.sendFailures == 1)
                std::fprintf(stderr, "send to node %zu: %s\n", i, std::strerror(errno));
        }
        for (;;) {
            const ssize_t r = recv(nodes[i].fd, buf.data(), buf.size(), 0);
            if (r <= 0)
                break;
            if (std::string(buf.data(), static_cast<size_t>(r)).find("\"logout\"") != std::string::npos)
                ++run.logouts;
        }
    }
}

Run drive(std::vector<SimNode>& nodes, std::vector<double>& lastSent, double seconds)
{
    Run run;
    const double end = nowSec() + seconds;
    while (nowSec() < end) {
        pump(nodes, lastSent, run);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return run;
}



struct Timing {
    double wallMs;    // median of five requests
    double mainCpuMs; // oxnode's main thread, per request (mean of the five)
    size_t bytes;
};

Timing timeRequest(const OxnodeProcess& ox, const std::string& json)
{
    std::vector<double> ms;
    Timing t{};
    const double c0 = ox.mainThreadCpu();
    for (int i = 0; i < 5; ++i) {
        const double t0 = nowSec();
        t.bytes = apiPost(json).size();
        ms.push_back(1000 * (nowSec() - t0));
    }
    t.mainCpuMs = 1000 * (ox.mainThreadCpu() - c0) / 5;
    std::sort(ms.begin(), ms.end());
    t.wallMs = ms[2];
    return t;
}

} // namespace

int main(int argc, char** argv)
{
    std::string bin = OXNODE_BIN;
    double seconds = 10;
    std::vector<int> counts = {1000, 5000};
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--oxnode")
            bin = argv[i + 1];
        else if (a == "--seconds")
            seconds = std::atof(argv[i + 1]);
        else if (a == "--counts") {
            counts.clear();
            std::stringstream ss(argv[i + 1]);
            std::string t;
            while (std::getline(ss, t, ','))
                counts.push_back(std::atoi(t.c_str()));
        }
    }
    signal(SIGPIPE, SIG_IGN);
    raiseFileLimit(65536); // inherited by oxnode
    enterNetns();
    OxnodeProcess ox(bin, 8001); // web server up: start-up is over
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // let start-up allocations settle
    const long rss0 = ox.rssKb();
    std::printf("oxnode pid %d, idle RSS %ld KiB, %.0f s per step, each node reports once a second\n", ox.pid, rss0,
                seconds);
    std::printf("%8s %12s %14s %16s %14s %10s %10s\n", "nodes", "login s", "main thread %", "reports/s",
                "RSS KiB/node", "logouts", "send fail");
    std::vector<SimNode> nodes;
    std::vector<double> lastSent;
    Run loginRun; // nodes already logged in keep reporting while others log in
    for (int target : counts) {
        const double l0 = nowSec();
        while (static_cast<int>(nodes.size()) < target) {
            SimNode n;
            if (!loginNode(n, static_cast<int>(nodes.size())))
                die("login refused or connection lost");
            nodes.push_back(std::move(n));
            if (nodes.size() % 50 == 0)
                pump(nodes, lastSent, loginRun);
        }
        const double loginSec = nowSec() - l0;
        drive(nodes, lastSent, 2); // warm-up: every node has reported before measuring
        const double c0 = ox.mainThreadCpu();
        const double w0 = nowSec();
        const Run run = drive(nodes, lastSent, seconds);
        const double wall = nowSec() - w0;
        const double cpu = ox.mainThreadCpu() - c0;
        const long rss = ox.rssKb();
        std::printf("%8zu %12.2f %14.1f %16.0f %14.2f %10ld %10ld\n", nodes.size(), loginSec, 100.0 * cpu / wall,
                    static_cast<double>(run.reports) / wall,
                    static_cast<double>(rss - rss0) / static_cast<double>(nodes.size()), run.logouts + loginRun.logouts,
                    run.sendFailures + loginRun.sendFailures);
        const std::string token = webToken();
        const Timing list = timeRequest(ox, R"({"cmd":"getNodeList","token":")" + token + "\"}");
        const Timing base = timeRequest(ox, R"({"cmd":"getStreamList","token":")" + token + "\"}");
        std::printf("%8s getNodeList %.1f ms wall, %.1f ms main thread (%zu bytes); baseline getStreamList %.1f ms"
                    " wall, %.1f ms main thread; wall ratio %.1f\n",
                    "", list.wallMs, list.mainCpuMs, list.bytes, base.wallMs, base.mainCpuMs, list.wallMs / base.wallMs);
        std::fflush(stdout);
    }
    for (SimNode& n : nodes)
        close(n.fd);
    if (std::getenv("BENCH_KEEP_LOG"))
        std::system(("grep -v -E \"~oxTcp|disconnect !!|New Connect|设备注册|New node\" " + ox.dir + "/oxnode.log | sort | uniq -c | sort -rn | head -20 >&2").c_str());
    return 0;
}
