// oxlat relay benchmark: a KCP client built on our ikcp pushes into oxnode's
// stream 0 oxlat input (UDP 8011) through a user-space UDP proxy that delays
// every datagram by 20 ms in each direction and drops a given share of them;
// a TCP client reads the relayed bytes from TCP 8020. Next to it, the TCP
// path over the same 20 ms delay (a user-space TCP proxy in front of TCP
// 8010). Loss is not modelled for TCP: a user-space proxy only sees the byte
// stream, and dropping bytes there would corrupt it rather than make the
// kernel retransmit. Runs in a private network namespace.
//
//   bench_oxlat [--oxnode PATH] [--mb N] [--seconds S]
#include "benchCommon.h"
#include "ikcp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace benchutil;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kDelayMs = 20;
constexpr size_t kRecord = 1316;

int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

IUINT32 nowMs()
{
    return static_cast<IUINT32>(nowNs() / 1000000);
}



sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

bool udpPortBound(int port)
{
    std::ifstream in("/proc/net/udp");
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string slot, local;
        f >> slot >> local;
        const auto colon = local.find(':');
        if (colon != std::string::npos && std::stoi(local.substr(colon + 1), nullptr, 16) == port)
            return true;
    }
    return false;
}

// oxnode opens its oxlat ports after the TCP ones.
void waitUdpPortBound(int port)
{
    while (!udpPortBound(port))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// Datagrams from the client (on frontPort) go to targetPort and back, each
// held kDelayMs and dropped with probability `loss`, in both directions.
class LossyUdpProxy
{
public:
    LossyUdpProxy(int frontPort, int targetPort, double loss) : loss_(loss), target_(loopback(targetPort))
    {
        front_ = socket(AF_INET, SOCK_DGRAM, 0);
        back_ = socket(AF_INET, SOCK_DGRAM, 0);
        const int big = 4 * 1024 * 1024;
        for (int fd : {front_, back_}) {
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
            setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
        }
        sockaddr_in a = loopback(frontPort);
        if (bind(front_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            die("proxy bind");
        thread_ = std::thread([this] { run(); });
    }
    ~LossyUdpProxy()
    {
        stop_ = true;
        thread_.join();
        close(front_);
        close(back_);
    }

private:
    struct Pending {
        int64_t due;
        bool toTarget;
        std::string bytes;
    };
    void run()
    {
        std::mt19937 rng(42);
        std::uniform_real_distribution<double> coin(0, 1);
        std::deque<Pending> queue;
        std::vector<char> buf(65536);
        while (!stop_) {
            int timeoutMs = 1;
            pollfd p[2] = {{front_, POLLIN, 0}, {back_, POLLIN, 0}};
            poll(p, 2, timeoutMs);
            for (int i = 0; i < 2; ++i) {
                for (;;) {
                    sockaddr_in from{};
                    socklen_t len = sizeof from;
                    const ssize_t n = recvfrom(p[i].fd, buf.data(), buf.size(), MSG_DONTWAIT,
                                               reinterpret_cast<sockaddr*>(&from), &len);
                    if (n < 0)
                        break;
                    if (i == 0) {
                        client_ = from;
                        haveClient_ = true;
                    }
                    if (coin(rng) < loss_)
                        continue;
                    queue.push_back({nowNs() + kDelayMs * 1000000LL, i == 0, std::string(buf.data(), static_cast<size_t>(n))});
                }
            }
            const int64_t now = nowNs();
            while (!queue.empty() && queue.front().due <= now) {
                const Pending& d = queue.front();
                if (d.toTarget)
                    sendto(back_, d.bytes.data(), d.bytes.size(), 0, reinterpret_cast<const sockaddr*>(&target_),
                           sizeof target_);
                else if (haveClient_)
                    sendto(front_, d.bytes.data(), d.bytes.size(), 0, reinterpret_cast<const sockaddr*>(&client_),
                           sizeof client_);
                queue.pop_front();
            }
        }
    }
    double loss_;
    sockaddr_in target_;
    sockaddr_in client_{};
    bool haveClient_ = false;
    int front_ = -1, back_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// One TCP connection relayed to targetPort with kDelayMs added to every byte
// in each direction (unbounded buffering: it models delay, not a bottleneck).
class DelayTcpProxy
{
public:
    DelayTcpProxy(int frontPort, int targetPort) : targetPort_(targetPort)
    {
        listen_ = socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a = loopback(frontPort);
        if (bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listen_, 4) != 0)
            die("tcp proxy listen");
        acceptor_ = std::thread([this] {
            const int c = accept(listen_, nullptr, nullptr);
            const int t = connectTo(targetPort_);
            const int one = 1;
            setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            fds_[0] = c;
            fds_[1] = t;
            pipes_.emplace_back([this] { pump(fds_[0], fds_[1]); });
            pipes_.emplace_back([this] { pump(fds_[1], fds_[0]); });
        });
    }
    ~DelayTcpProxy()
    {
        acceptor_.join();
        for (int fd : fds_)
            if (fd >= 0)
                shutdown(fd, SHUT_RDWR);
        for (auto& t : pipes_)
            t.join();
        for (int fd : fds_)
            if (fd >= 0)
                close(fd);
        close(listen_);
    }

private:
    void pump(int from, int to)
    {
        std::mutex m;
        std::deque<std::pair<int64_t, std::string>> q;
        std::atomic<bool> done{false};
        std::thread writer([&] {
            for (;;) {
                std::pair<int64_t, std::string> item;
                {
                    std::lock_guard<std::mutex> g(m);
                    if (q.empty()) {
                        if (done)
                            return;
                    } else if (q.front().first <= nowNs()) {
                        item = std::move(q.front());
                        q.pop_front();
                    }
                }
                if (item.second.empty()) {
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                    continue;
                }
                if (!writeAll(to, item.second.data(), item.second.size()))
                    return;
            }
        });
        std::vector<char> buf(65536);
        for (;;) {
            const ssize_t n = recv(from, buf.data(), buf.size(), 0);
            if (n <= 0)
                break;
            std::lock_guard<std::mutex> g(m);
            q.emplace_back(nowNs() + kDelayMs * 1000000LL, std::string(buf.data(), static_cast<size_t>(n)));
        }
        done = true;
        writer.join();
        shutdown(to, SHUT_WR);
    }
    int targetPort_;
    int listen_ = -1;
    int fds_[2] = {-1, -1};
    std::thread acceptor_;
    std::vector<std::thread> pipes_;
};

// KCP client on a thread of its own, sending to the proxy's front port.
class KcpClient
{
public:
    explicit KcpClient(int port) : to_(loopback(port))
    {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        const int big = 4 * 1024 * 1024;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
        kcp_ = ikcp_create(0x0B0E0C01, this);
        kcp_->output = [](const char* buf, int len, ikcpcb*, void* user) {
            auto* self = static_cast<KcpClient*>(user);
            sendto(self->fd_, buf, static_cast<size_t>(len), 0, reinterpret_cast<const sockaddr*>(&self->to_),
                   sizeof self->to_);
            return len;
        };
        ikcp_nodelay(kcp_, 1, 10, 2, 1);
        ikcp_wndsize(kcp_, 1024, 1024);
        ikcp_setmtu(kcp_, 1400);
        thread_ = std::thread([this] { run(); });
    }
    ~KcpClient()
    {
        stop_ = true;
        thread_.join();
        ikcp_release(kcp_);
        close(fd_);
    }
    void send(const char* p, int n)
    {
        std::lock_guard<std::mutex> g(m_);
        ikcp_send(kcp_, p, n);
    }
    int waitSnd()
    {
        std::lock_guard<std::mutex> g(m_);
        return ikcp_waitsnd(kcp_);
    }
    uint32_t retransmits()
    {
        std::lock_guard<std::mutex> g(m_);
        return kcp_->xmit;
    }

private:
    void run()
    {
        std::vector<char> buf(65536);
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            poll(&p, 1, 1);
            std::lock_guard<std::mutex> g(m_);
            for (;;) {
                const ssize_t n = recv(fd_, buf.data(), buf.size(), MSG_DONTWAIT);
                if (n < 0)
                    break;
                if (n >= 24)
                    ikcp_input(kcp_, buf.data(), n);
            }
            ikcp_update(kcp_, nowMs());
            while (ikcp_recv(kcp_, buf.data(), static_cast<int>(buf.size())) > 0) {
            } // oxnode's keep-alives
        }
    }
    sockaddr_in to_;
    int fd_ = -1;
    ikcpcb* kcp_ = nullptr;
    std::mutex m_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct Record {
    char magic[4];
    uint32_t seq;
    int64_t sentNs;
};

struct Result {
    double mbitPerSec = 0;
    double p50ms = 0, p99ms = 0;
    size_t samples = 0;
};

// Everything is sent as kRecord-byte records, so the relayed byte stream is
// aligned on them; warm-up records ("WARM") are skipped by the reader.
template <typename SendFn>
Result measure(SendFn sendRecord, const std::function<int()>& backlog, int readerFd, double seconds, size_t bulkBytes)
{
    std::atomic<bool> warmSeen{false};
    std::atomic<size_t> bulkGot{0};
    std::atomic<bool> done{false};
    std::vector<double> lat; // reader thread until it is joined
    std::atomic<size_t> latSeen{0};
    const size_t latCount = static_cast<size_t>(seconds * 20e6 / (kRecord * 8));
    const size_t bulkRecords = bulkBytes / kRecord;
    int64_t bulkEndNs = 0;
    std::thread reader([&] {
        std::vector<char> rec(kRecord);
        size_t dataSeen = 0;
        while (dataSeen < latCount + bulkRecords && readAll(readerFd, rec.data(), kRecord)) {
            Record r;
            std::memcpy(&r, rec.data(), sizeof r);
            if (std::memcmp(r.magic, "WARM", 4) == 0) {
                warmSeen = true;
                continue;
            }
            ++dataSeen;
            if (std::memcmp(r.magic, "LATE", 4) == 0) {
                lat.push_back(static_cast<double>(nowNs() - r.sentNs) / 1e6);
                ++latSeen;
            } else
                bulkGot += kRecord;
        }
        bulkEndNs = nowNs();
        done = true;
    });
    std::vector<char> rec(kRecord, 'x');
    auto stamp = [&](const char* magic, uint32_t seq) {
        Record r;
        std::memcpy(r.magic, magic, 4);
        r.seq = seq;
        r.sentNs = nowNs();
        std::memcpy(rec.data(), &r, sizeof r);
        sendRecord(rec.data(), kRecord);
    };
    // Warm up until the path is established (oxnode adopts the conversation).
    for (uint32_t i = 0; !warmSeen; ++i) {
        stamp("WARM", i);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Let the retransmissions of what the warm-up left in flight (sent
    // before oxnode adopted the conversation) settle first.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    // Paced latency records at 20 Mbit/s.
    const double interval = kRecord * 8 / 20e6;
    const auto start = Clock::now();
    for (size_t i = 0; i < latCount; ++i) {
        std::this_thread::sleep_until(start + std::chrono::duration<double>(interval * static_cast<double>(i)));
        stamp("LATE", static_cast<uint32_t>(i));
    }
    // Bulk, as fast as the sender's backlog allows.
    while (latSeen < latCount && !done)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const int64_t bulkStart = nowNs();
    for (size_t i = 0; i < bulkRecords; ++i) {
        while (backlog() > 2048)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        stamp("BULK", static_cast<uint32_t>(i));
    }
    reader.join();
    Result res;
    res.mbitPerSec = static_cast<double>(bulkGot.load()) * 8 / (static_cast<double>(bulkEndNs - bulkStart) / 1e9) / 1e6;
    std::sort(lat.begin(), lat.end());
    res.samples = lat.size();
    if (!lat.empty()) {
        res.p50ms = lat[lat.size() / 2];
        res.p99ms = lat[std::min(lat.size() - 1, lat.size() * 99 / 100)];
    }
    return res;
}

void print(const char* path, const Result& r, const std::string& extra = {})
{
    std::printf("%-22s %8.1f Mbit/s   latency p50 %7.2f ms  p99 %7.2f ms  (added p50 %6.2f, p99 %6.2f; n=%zu)%s\n",
                path, r.mbitPerSec, r.p50ms, r.p99ms, r.p50ms - kDelayMs, r.p99ms - kDelayMs, r.samples,
                extra.c_str());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    std::string bin = OXNODE_BIN;
    size_t mb = 20;
    double seconds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--oxnode")
            bin = argv[i + 1];
        else if (a == "--mb")
            mb = std::stoul(argv[i + 1]);
        else if (a == "--seconds")
            seconds = std::stod(argv[i + 1]);
    }
    signal(SIGPIPE, SIG_IGN);
    enterNetns();
    std::printf("oxlat vs TCP through a %d ms (each way) user-space proxy; latency at 20 Mbit/s in %zu-byte records for "
                "%.0f s, then %zu MiB bulk\n",
                kDelayMs, kRecord, seconds, mb);
    std::printf("latency = proxy delay (%d ms one way) + what oxnode and the transport add\n", kDelayMs);
    for (double loss : {0.0, 0.01, 0.05}) {
        OxnodeProcess ox(bin, 8020, {"QT_LOGGING_RULES=oxnode.tcp.send.debug=false"});
        waitUdpPortBound(8011);
        const int reader = connectTo(8020);
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // let the service register the reader
        LossyUdpProxy proxy(9011, 8011, loss);
        KcpClient client(9011);
        const Result r = measure([&](const char* p, size_t n) { client.send(p, static_cast<int>(n)); },
                                 [&] { return client.waitSnd(); }, reader, seconds, mb * 1024 * 1024);
        char label[64];
        std::snprintf(label, sizeof label, "oxlat %.0f%% loss", loss * 100);
        print(label, r, "  client resends " + std::to_string(client.retransmits()));
        close(reader);
    }
    {
        OxnodeProcess ox(bin, 8020, {"QT_LOGGING_RULES=oxnode.tcp.send.debug=false"});
        waitUdpPortBound(8011);
        const int reader = connectTo(8020);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        DelayTcpProxy proxy(9010, 8010);
        const int src = connectTo(9010);
        std::thread drain([src] { // oxnode's keep-alive newlines come back through the proxy
            char b[64];
            while (recv(src, b, sizeof b, 0) > 0) {
            }
        });
        const Result r = measure([&](const char* p, size_t n) { writeAll(src, p, n); }, [] { return 0; }, reader,
                                 seconds, mb * 1024 * 1024);
        print("tcp (no loss model)", r);
        shutdown(src, SHUT_RDWR);
        drain.join();
        close(src);
        close(reader);
    }
    return 0;
}
