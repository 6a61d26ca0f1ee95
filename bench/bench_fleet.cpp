// Fleet benchmark: N simulated nodes against oxnode's node port (TCP 8000),
// and the same N as MQTT clients against mosquitto in the same run, as the
// baseline. Each node or client keeps alive every 2 s and reports a 400-byte
// status every 5 s, spread evenly over time; at most W logins are in flight.
//
// For each N, each system is started cold in turn and measured in two phases:
//   storm   every client connects and logs in at once: the time until all
//           have logged in, failed attempts (retried after 0.5-1.5 s), the
//           kernel's listen-queue overflows, and CPU;
//   steady  the load for S seconds: whole-process CPU, main-thread CPU,
//           memory per client above idle (VmRSS), logouts.
// For oxnode also getStreamList p50/p99 on the web API during each phase,
// and at the end getNodeList: one page ("offset" 0, "limit" 100) and the
// whole list. With --stream 1, oxnode also relays a 20 Mbit/s TCP stream
// (stream 0) from 2 s before the storm to the end: its latency by phase and
// whether a chunk was lost (oxnode's CPU and memory then include the stream). Then one table per N with the ratios oxnode / mosquitto, and a
// summary over every N.
//
// Clients bind to several 127/8 source addresses so that ephemeral ports
// never run out; two epoll threads drive them, each frame a prebuilt buffer
// and one send. Runs in a private network namespace (needs root).
//
//   bench_fleet [--oxnode PATH] [--mosquitto PATH] [--counts 1000,5000,19000]
//               [--inflight W] [--steady S] [--storm-timeout S] [--stream 1]
//               [--mqtt-discovery 1]
// With --mqtt-discovery 1 every MQTT client also subscribes to one topic
// that one of them publishes to once a second: mosquitto then writes every
// client a message a second, as oxnode writes every node its discovery frame.
// BENCH_FLEET_LOG=1 prints the storm's progress every 5 s and oxnode's most
// frequent log lines of each run.
#include "benchCommon.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/syscall.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <queue>
#include <random>
#include <string_view>

using namespace benchutil;

namespace {

using Clock = std::chrono::steady_clock;

double nowSec()
{
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

// Load per client: a keep-alive every 2 s, a status report every 5 s.
constexpr int kTickMs = 10;
constexpr int kKeepAliveTicks = 2000 / kTickMs;
constexpr int kStatusTicks = 5000 / kTickMs;
constexpr size_t kStatusBytes = 400;
// MQTT keep-alive in CONNECT: the broker drops a client silent for 1.5 times
// this, close to oxnode's rule of more than 5 s silent.
constexpr int kMqttKeepAliveSec = 5;
const char* const kDiscoveryTopic = "fleet/discovery";
// Clients per source address: far below the ephemeral port range.
constexpr int kClientsPerSource = 5000;
// Descriptors kept for everything but the clients (oxnode's own, the web
// requests, the benchmark's files).
constexpr rlim_t kFdMargin = 1000;
// A client whose connect and login have not completed by then gives up and
// tries again, as a device would.
constexpr double kLoginGiveUpSec = 30;
// Bytes a client queues when the server does not read; past that it drops frames.
constexpr size_t kMaxQueuedBytes = 64 * 1024;
constexpr int kSimThreads = 2;
constexpr int kMosquittoPort = 1883;
constexpr int kWebProbeGapMs = 50;

enum class Proto { Node, Mqtt };

// Counters shared by the simulator threads and the main thread.
struct Counters {
    std::atomic<long> attempts{0};
    std::atomic<long> failures{0}; // attempts that ended without a login
    // Of them: connect failed, refused ("logout" frame or CONNACK refusal),
    // closed by the server, no login within kLoginGiveUpSec.
    std::atomic<long> connectErrors{0}, refused{0}, closedEarly{0}, giveUps{0};
    std::atomic<long> distinct{0}; // clients logged in at least once
    std::atomic<long> up{0};       // logged in now
    std::atomic<long> logouts{0};  // closed or logged out by the server after login
    std::atomic<long> frames{0};
    std::atomic<long> dropped{0};  // frames not sent: the server did not read
    std::atomic<double> lastFirstLogin{0};
};

// MQTT remaining length.
void mqttLength(std::string& out, size_t n)
{
    do {
        uint8_t b = n % 128;
        n /= 128;
        if (n)
            b |= 0x80;
        out.push_back(static_cast<char>(b));
    } while (n);
}

void mqttString(std::string& out, const std::string& s)
{
    out.push_back(static_cast<char>(s.size() >> 8));
    out.push_back(static_cast<char>(s.size() & 0xff));
    out += s;
}

std::string mqttConnect(const std::string& clientId)
{
    std::string v;
    mqttString(v, "MQTT");
    v.push_back(4);    // 3.1.1
    v.push_back(0x02); // clean session
    v.push_back(0);
    v.push_back(kMqttKeepAliveSec);
    mqttString(v, clientId);
    std::string p(1, '\x10');
    mqttLength(p, v.size());
    return p + v;
}

std::string mqttPublish(const std::string& topic, const std::string& payload)
{
    std::string v;
    mqttString(v, topic);
    v += payload; // QoS 0: no packet identifier
    std::string p(1, '\x30');
    mqttLength(p, v.size());
    return p + v;
}

std::string serialOf(int id)
{
    char sn[32];
    std::snprintf(sn, sizeof sn, "fleet-%06d", id);
    return sn;
}

struct Client {
    enum State : uint8_t { Waiting, Connecting, LoggingIn, Up };
    int id = 0;
    int fd = -1;
    State state = Waiting;
    bool everUp = false;
    double startedAt = 0;
    std::string rx;
    std::string out;
    std::string keepAlive;
    std::string status;
};

// One simulator thread: its share of the clients on one epoll set, their
// periodic frames on two timing wheels of kTickMs slots.
class SimThread {
public:
    // discovery (MQTT only): every client subscribes to one topic, and the
    // first client of a publishing thread publishes to it once a second, so
    // that the broker writes one message a second to every client, as
    // oxnode writes each node its discovery frame.
    SimThread(Proto proto, int port, std::vector<int> ids, int inflight, Counters& c, bool discovery = false,
              bool publishing = false)
        : proto(proto)
        , discovery(discovery && proto == Proto::Mqtt)
        , publishing(publishing)
        , port(port)
        , limit(std::max(1, inflight))
        , counters(c)
        , rng(static_cast<unsigned>(ids.empty() ? 0 : ids.front()) + 1)
    {
        clients.resize(ids.size());
        keepAliveWheel.resize(kKeepAliveTicks);
        statusWheel.resize(kStatusTicks);
        for (size_t i = 0; i < ids.size(); ++i) {
            clients[i].id = ids[i];
            ready.push_back(static_cast<int>(i));
            keepAliveWheel[i % kKeepAliveTicks].push_back(static_cast<int>(i));
            statusWheel[(i * 7 + 3) % kStatusTicks].push_back(static_cast<int>(i));
        }
        ep = epoll_create1(EPOLL_CLOEXEC);
        if (ep < 0)
            die("epoll_create1");
        if (proto == Proto::Mqtt)
            pingReq = std::string("\xc0\x00", 2);
        if (this->discovery) {
            std::string v("\x00\x01", 2); // packet id
            mqttString(v, kDiscoveryTopic);
            v.push_back(0); // QoS 0
            subscribe = "\x82";
            mqttLength(subscribe, v.size());
            subscribe += v;
            discoveryPublish = mqttPublish(kDiscoveryTopic, "{\"cmd\":\"discovery\",\"sn\":\"0000000000\"}");
        }
    }
    ~SimThread()
    {
        for (Client& c : clients)
            if (c.fd >= 0)
                close(c.fd);
        close(ep);
    }

    void run(const std::atomic<bool>& stop, double t0)
    {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        tidReady = true;
        epoch = t0;
        epoll_event evs[512];
        double nextScan = t0 + 0.5;
        while (!stop.load(std::memory_order_relaxed)) {
            const double now = nowSec();
            while (!retries.empty() && retries.top().first <= now) {
                ready.push_back(retries.top().second);
                retries.pop();
            }
            while (inflight < limit && !ready.empty()) {
                const int i = ready.front();
                ready.pop_front();
                start(i, now);
            }
            tick(now);
            if (now >= nextScan) {
                nextScan = now + 0.5;
                for (size_t i = 0; i < clients.size(); ++i) {
                    const Client& c = clients[i];
                    if ((c.state == Client::Connecting || c.state == Client::LoggingIn) &&
                        now - c.startedAt > kLoginGiveUpSec) {
                        fail(static_cast<int>(i), counters.giveUps);
                    }
                }
            }
            const int n = epoll_wait(ep, evs, 512, 5);
            for (int k = 0; k < n; ++k)
                handle(static_cast<int>(evs[k].data.u32), evs[k].events);
        }
    }

    pid_t threadId() const { return tidReady ? tid.load() : 0; }

private:
    void start(int i, double now)
    {
        Client& c = clients[i];
        counters.attempts.fetch_add(1, std::memory_order_relaxed);
        c.startedAt = now;
        c.rx.clear();
        c.out.clear();
        c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (c.fd < 0) {
            c.state = Client::Connecting;
            ++inflight;
            fail(i, counters.connectErrors);
            return;
        }
        const int one = 1;
        setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // The port is picked at connect, per destination: sources never run dry.
        setsockopt(c.fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
        sockaddr_in src{};
        src.sin_family = AF_INET;
        src.sin_addr.s_addr = htonl(0x7f000002u + static_cast<uint32_t>(c.id / kClientsPerSource));
        bind(c.fd, reinterpret_cast<sockaddr*>(&src), sizeof src);
        sockaddr_in dst{};
        dst.sin_family = AF_INET;
        dst.sin_port = htons(static_cast<uint16_t>(port));
        dst.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        c.state = Client::Connecting;
        ++inflight;
        if (connect(c.fd, reinterpret_cast<sockaddr*>(&dst), sizeof dst) != 0 && errno != EINPROGRESS) {
            fail(i, counters.connectErrors);
            return;
        }
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT;
        ev.data.u32 = static_cast<uint32_t>(i);
        epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &ev);
    }

    void watchOutput(int i, bool on)
    {
        epoll_event ev{};
        ev.events = EPOLLIN | (on ? EPOLLOUT : 0u);
        ev.data.u32 = static_cast<uint32_t>(i);
        epoll_ctl(ep, EPOLL_CTL_MOD, clients[i].fd, &ev);
    }

    // False when the connection is gone.
    bool flush(int i)
    {
        Client& c = clients[i];
        while (!c.out.empty()) {
            const ssize_t w = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (w < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK)
                    return true;
                return false;
            }
            c.out.erase(0, static_cast<size_t>(w));
        }
        watchOutput(i, false);
        return true;
    }

    void sendFrame(int i, const std::string& frame)
    {
        Client& c = clients[i];
        if (!c.out.empty()) {
            if (c.out.size() + frame.size() > kMaxQueuedBytes) {
                counters.dropped.fetch_add(1, std::memory_order_relaxed);
                return;
            }
            c.out += frame;
            counters.frames.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        const ssize_t w = send(c.fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w == static_cast<ssize_t>(frame.size())) {
            counters.frames.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            closed(i);
            return;
        }
        c.out.assign(frame, w > 0 ? static_cast<size_t>(w) : 0, std::string::npos);
        counters.frames.fetch_add(1, std::memory_order_relaxed);
        watchOutput(i, true);
    }

    void tick(double now)
    {
        const long target = static_cast<long>((now - epoch) * 1000 / kTickMs);
        // A simulator that fell far behind skips ahead rather than bursting.
        if (target - lastTick > kStatusTicks)
            lastTick = target - kStatusTicks;
        while (lastTick < target) {
            ++lastTick;
            for (int i : keepAliveWheel[static_cast<size_t>(lastTick % kKeepAliveTicks)])
                if (clients[i].state == Client::Up)
                    sendFrame(i, proto == Proto::Mqtt ? pingReq : clients[i].keepAlive);
            for (int i : statusWheel[static_cast<size_t>(lastTick % kStatusTicks)])
                if (clients[i].state == Client::Up)
                    sendFrame(i, clients[i].status);
            if (publishing && discovery && lastTick % (1000 / kTickMs) == 0 && !clients.empty()
                && clients[0].state == Client::Up)
                sendFrame(0, discoveryPublish);
        }
    }

    void handle(int i, uint32_t events)
    {
        Client& c = clients[i];
        if (c.fd < 0)
            return;
        if (c.state == Client::Connecting) {
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
            if (err || (events & (EPOLLERR | EPOLLHUP))) {
                fail(i, counters.connectErrors);
                return;
            }
            if (!(events & EPOLLOUT))
                return;
            c.state = Client::LoggingIn;
            c.out = proto == Proto::Node ? nodeLoginFrame(c.id, serialOf(c.id)) : mqttConnect(serialOf(c.id));
            if (!flush(i))
                fail(i, counters.closedEarly);
            return;
        }
        if ((events & EPOLLOUT) && !flush(i)) {
            closed(i);
            return;
        }
        if (!(events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
            return;
        char buf[16384];
        for (;;) {
            const ssize_t r = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
            if (r > 0) {
                c.rx.append(buf, static_cast<size_t>(r));
                if (!(proto == Proto::Node ? parseNode(i) : parseMqtt(i)))
                    return;
                if (static_cast<size_t>(r) < sizeof buf)
                    return;
                continue;
            }
            if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            closed(i);
            return;
        }
    }

    // False once the connection is closed.
    bool parseNode(int i)
    {
        Client& c = clients[i];
        size_t from = 0;
        for (;;) {
            const size_t end = c.rx.find('\0', from);
            if (end == std::string::npos)
                break;
            const std::string_view frame(c.rx.data() + from, end - from);
            from = end + 1;
            if (frame.find("\"logout\"") != std::string_view::npos) {
                if (c.state == Client::Up)
                    closed(i);
                else
                    fail(i, counters.refused);
                return false;
            }
            if (c.state == Client::LoggingIn && frame.find("\"setToken\"") != std::string_view::npos) {
                const std::string token = jsonField(std::string(frame), "token");
                c.keepAlive = nodeKeepAliveFrame(token);
                c.status = nodeStatusFrame(token, nodeStatusBody(serialOf(c.id), kStatusBytes, token.size()));
                loggedIn(i);
            }
        }
        c.rx.erase(0, from);
        return true;
    }

    bool parseMqtt(int i)
    {
        Client& c = clients[i];
        size_t at = 0;
        for (;;) {
            size_t len = 0, k = at + 1;
            int shift = 0;
            bool complete = false;
            while (k < c.rx.size() && shift <= 21) {
                const uint8_t b = static_cast<uint8_t>(c.rx[k++]);
                len |= static_cast<size_t>(b & 0x7f) << shift;
                shift += 7;
                if (!(b & 0x80)) {
                    complete = true;
                    break;
                }
            }
            if (!complete || c.rx.size() < k + len)
                break;
            const uint8_t type = static_cast<uint8_t>(c.rx[at]) >> 4;
            if (type == 2 && c.state == Client::LoggingIn) { // CONNACK
                if (len < 2 || c.rx[k + 1] != 0) {
                    fail(i, counters.refused);
                    return false;
                }
                std::string payload = "{" + nodeStatusBody(serialOf(c.id), kStatusBytes) + "}";
                payload.resize(kStatusBytes, ' ');
                c.status = mqttPublish("fleet/" + serialOf(c.id) + "/status", payload);
                loggedIn(i);
                if (discovery)
                    sendFrame(i, subscribe);
            }
            at = k + len;
        }
        c.rx.erase(0, at);
        return true;
    }

    void loggedIn(int i)
    {
        Client& c = clients[i];
        c.state = Client::Up;
        --inflight;
        counters.up.fetch_add(1, std::memory_order_relaxed);
        if (!c.everUp) {
            c.everUp = true;
            counters.distinct.fetch_add(1, std::memory_order_relaxed);
            counters.lastFirstLogin.store(nowSec(), std::memory_order_relaxed);
        }
    }

    void drop(int i)
    {
        Client& c = clients[i];
        if (c.fd >= 0)
            close(c.fd); // also leaves the epoll set
        c.fd = -1;
        c.rx.clear();
        c.out.clear();
        std::uniform_real_distribution<double> backoff(0.5, 1.5);
        retries.emplace(nowSec() + backoff(rng), i);
        c.state = Client::Waiting;
    }

    // An attempt that ended before its login.
    void fail(int i, std::atomic<long>& cause)
    {
        --inflight;
        counters.failures.fetch_add(1, std::memory_order_relaxed);
        cause.fetch_add(1, std::memory_order_relaxed);
        drop(i);
    }

    // The server closed the connection or logged the client out.
    void closed(int i)
    {
        Client& c = clients[i];
        if (c.state != Client::Up) {
            fail(i, counters.closedEarly);
            return;
        }
        counters.up.fetch_sub(1, std::memory_order_relaxed);
        counters.logouts.fetch_add(1, std::memory_order_relaxed);
        drop(i);
    }

    const Proto proto;
    const bool discovery;
    const bool publishing;
    const int port;
    const int limit;
    Counters& counters;
    std::mt19937 rng;
    int ep = -1;
    std::vector<Client> clients;
    std::deque<int> ready;
    std::priority_queue<std::pair<double, int>, std::vector<std::pair<double, int>>, std::greater<>> retries;
    std::vector<std::vector<int>> keepAliveWheel, statusWheel;
    std::string pingReq;
    std::string subscribe;        // discovery: SUBSCRIBE to kDiscoveryTopic
    std::string discoveryPublish; // discovery: what the publishing client sends each second
    int inflight = 0;
    double epoch = 0;
    long lastTick = 0;
    std::atomic<pid_t> tid{0};
    std::atomic<bool> tidReady{false};
};

// The simulator: kSimThreads threads sharing N clients and W logins in flight.
class Simulator {
public:
    Simulator(Proto proto, int port, int n, int inflight, bool discovery = false)
    {
        for (int t = 0; t < kSimThreads; ++t) {
            std::vector<int> ids;
            for (int id = t; id < n; id += kSimThreads)
                ids.push_back(id);
            sims.push_back(std::make_unique<SimThread>(proto, port, std::move(ids), inflight / kSimThreads, counters,
                                                       discovery, t == 0));
        }
    }
    void start()
    {
        t0 = nowSec();
        for (auto& s : sims)
            threads.emplace_back([this, &s] { s->run(stop, t0); });
    }
    // Stops the threads, then closes every connection.
    ~Simulator()
    {
        stop = true;
        for (auto& t : threads)
            t.join();
    }
    double cpuSec() const
    {
        double sum = 0;
        for (const auto& s : sims)
            if (s->threadId())
                sum += cpuSecondsOf(getpid(), s->threadId());
        return sum;
    }

    Counters counters;
    double t0 = 0;

private:
    std::atomic<bool> stop{false};
    std::vector<std::unique_ptr<SimThread>> sims;
    std::vector<std::thread> threads;
};

// Listen-queue overflows of this namespace (TcpExt ListenOverflows).
long listenOverflows()
{
    std::ifstream f("/proc/net/netstat");
    std::string head, values;
    while (std::getline(f, head) && std::getline(f, values)) {
        if (head.rfind("TcpExt:", 0) != 0)
            continue;
        std::istringstream h(head), v(values);
        std::string name, value;
        while (h >> name && v >> value)
            if (name == "ListenOverflows")
                return std::atol(value.c_str());
    }
    return 0;
}

long readLong(const char* path)
{
    std::ifstream f(path);
    long v = -1;
    f >> v;
    return v;
}

// getStreamList latencies taken every kWebProbeGapMs, by phase.
class WebProbe {
public:
    explicit WebProbe(std::string token)
        : request(R"({"cmd":"getStreamList","token":")" + token + "\"}")
    {
        worker = std::thread([this] {
            while (!stop) {
                const int p = phase;
                const double t0 = nowSec();
                const bool ok = !apiPost(request).empty();
                const double ms = 1000 * (nowSec() - t0);
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    samples[p].push_back(ms);
                    if (!ok)
                        ++failed[p];
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(kWebProbeGapMs));
            }
        });
    }
    ~WebProbe() { finish(); }
    void finish()
    {
        stop = true;
        if (worker.joinable())
            worker.join();
    }
    std::atomic<int> phase{0};

    struct Figures {
        double p50 = -1, p99 = -1;
        size_t count = 0;
        long failed = 0;
    };
    Figures of(int p)
    {
        std::lock_guard<std::mutex> lock(mutex);
        Figures f;
        std::vector<double> v = samples[p];
        f.count = v.size();
        f.failed = failed[p];
        if (v.empty())
            return f;
        std::sort(v.begin(), v.end());
        f.p50 = v[v.size() / 2];
        f.p99 = v[std::min(v.size() - 1, static_cast<size_t>(static_cast<double>(v.size()) * 0.99))];
        return f;
    }

private:
    const std::string request;
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::map<int, std::vector<double>> samples;
    std::map<int, long> failed;
    std::thread worker;
};

// A 20 Mbit/s TCP stream through stream 0 (TCP in 8010, TCP out 8020)
// while the fleet runs: 1316-byte chunks, each stamped with its send time,
// its number and the phase; the viewer's latency per chunk by phase, and
// whether every chunk arrived whole and in order.
class StreamProbe {
public:
    explicit StreamProbe(const WebProbe& phaseOf)
        : phases(phaseOf)
    {
        viewer = connectTo(8020);
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // let the service register it
        source = connectTo(8010);
        reader = std::thread([this] { readLoop(); });
        drain = std::thread([this] { // oxnode sends keep-alive newlines to the source
            char b[64];
            while (recv(source, b, sizeof b, 0) > 0) {
            }
        });
        sender = std::thread([this] { sendLoop(); });
    }
    ~StreamProbe() { finish(); }
    // Stops sending and waits (10 s at most) for the viewer to have every chunk.
    void finish()
    {
        if (!sender.joinable())
            return;
        stop = true;
        sender.join();
        const double deadline = nowSec() + 10;
        while (received < sent && !broken && nowSec() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        shutdown(viewer, SHUT_RDWR);
        shutdown(source, SHUT_RDWR);
        reader.join();
        drain.join();
        close(viewer);
        close(source);
    }
    WebProbe::Figures of(int p)
    {
        std::lock_guard<std::mutex> lock(mutex);
        WebProbe::Figures f;
        std::vector<double> v = latencyMs[p];
        f.count = v.size();
        if (v.empty())
            return f;
        std::sort(v.begin(), v.end());
        f.p50 = v[v.size() / 2];
        f.p99 = v[std::min(v.size() - 1, static_cast<size_t>(static_cast<double>(v.size()) * 0.99))];
        return f;
    }
    long chunksSent() const { return sent; }
    long chunksMissing() const { return sent - received; }
    bool outOfOrder() const { return broken; }

private:
    static constexpr size_t kChunk = 1316;
    struct Stamp {
        int64_t sentNs;
        int64_t number;
        int32_t phase;
    };
    static int64_t nowNs()
    {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    void sendLoop()
    {
        const double interval = kChunk * 8 / 20e6;
        std::vector<char> buf(kChunk, 'p');
        const auto start = std::chrono::steady_clock::now();
        for (int64_t i = 0; !stop; ++i) {
            std::this_thread::sleep_until(start + std::chrono::duration<double>(interval * static_cast<double>(i)));
            const Stamp st{nowNs(), i, phases.phase.load()};
            std::memcpy(buf.data(), &st, sizeof st);
            if (!writeAll(source, buf.data(), kChunk))
                break;
            ++sent;
        }
    }
    void readLoop()
    {
        std::vector<char> buf(kChunk);
        for (int64_t expect = 0; readAll(viewer, buf.data(), kChunk); ++expect) {
            Stamp st;
            std::memcpy(&st, buf.data(), sizeof st);
            if (st.number != expect) {
                broken = true;
                return;
            }
            {
                std::lock_guard<std::mutex> lock(mutex);
                latencyMs[st.phase].push_back(static_cast<double>(nowNs() - st.sentNs) / 1e6);
            }
            ++received;
        }
    }

    const WebProbe& phases;
    int viewer = -1, source = -1;
    std::atomic<bool> stop{false}, broken{false};
    std::atomic<long> sent{0}, received{0};
    std::mutex mutex;
    std::map<int, std::vector<double>> latencyMs;
    std::thread reader, drain, sender;
};

struct Figures {
    bool ran = false;
    int n = 0;
    bool allUp = false;
    double allUpSec = -1; // from the first connect to the last first login
    long upAfterStorm = 0;
    long attempts = 0, failures = 0, connectErrors = 0, refused = 0, closedEarly = 0, giveUps = 0;
    long stormLogouts = 0, steadyLogouts = 0, upAtEnd = 0, everAtEnd = 0;
    long overflows = 0;
    double stormCpu = 0, stormMain = 0, steadyCpu = 0, steadyMain = 0; // % of one core
    long rssIdleKb = 0, rssEndKb = 0;
    double framesPerSec = 0, simCpu = 0;
    long dropped = 0;
    // oxnode only
    WebProbe::Figures webStorm, webSteady;
    WebProbe::Figures streamIdle, streamStorm, streamSteady; // latency of the 20 Mbit/s stream
    long streamChunks = 0, streamMissing = 0;
    bool streamOutOfOrder = false;
    double pageMs = -1, wholeMs = -1;
    WebProbe::Figures info, forward; // getNodeInfo, a command forwarded to one node (p50/p99 of 100)
    double summaryMs = -1;
    size_t pageBytes = 0, wholeBytes = 0;
    long offlineListed = -1;

    // Over the clients that logged in by the end (each has its record then).
    double kibPerClient() const
    {
        return everAtEnd ? static_cast<double>(rssEndKb - rssIdleKb) / static_cast<double>(everAtEnd) : 0;
    }
};

struct Options {
    std::string oxnode = OXNODE_BIN;
    std::string mosquitto = "/usr/sbin/mosquitto";
    std::vector<int> counts = {1000, 5000, 19000};
    int inflight = 2000;
    double steady = 30;
    double stormTimeout = 180;
    bool stream = false; // oxnode relays a 20 Mbit/s stream meanwhile (its CPU and memory count then)
    bool mqttDiscovery = false; // mosquitto also writes every client one message a second
};

// The storm and steady phases against a server already listening on port.
// pid is the server process, main its main thread (0: not measured apart).
// probe (may be null) is told the phase; extra runs at the end of the
// steady phase while the load still runs.
template <typename AtEnd>
void measure(Figures& f, const Options& o, Proto proto, int port, pid_t pid, WebProbe* probe, AtEnd atEnd)
{
    f.ran = true;
    f.rssIdleKb = rssKbOf(pid);
    Simulator sim(proto, port, f.n, o.inflight, o.mqttDiscovery);
    const long overflow0 = listenOverflows();
    double c0 = cpuSecondsOf(pid), m0 = cpuSecondsOf(pid, pid);
    if (probe)
        probe->phase = 1;
    sim.start();
    const double deadline = sim.t0 + o.stormTimeout;
    const bool progress = std::getenv("BENCH_FLEET_LOG") != nullptr;
    double nextProgress = sim.t0 + 1;
    while (sim.counters.distinct < f.n && nowSec() < deadline && rssKbOf(pid) >= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (progress && nowSec() >= nextProgress) {
            std::fprintf(stderr, "  storm %s %4.0f s: %ld logged in, %ld failed attempts\n",
                         proto == Proto::Node ? "oxnode" : "mosquitto", nowSec() - sim.t0,
                         sim.counters.distinct.load(), sim.counters.failures.load());
            nextProgress += 5;
        }
    }
    double t1 = nowSec();
    f.allUp = sim.counters.distinct >= f.n;
    f.allUpSec = f.allUp ? sim.counters.lastFirstLogin - sim.t0 : t1 - sim.t0;
    f.upAfterStorm = sim.counters.distinct;
    f.stormCpu = 100 * (cpuSecondsOf(pid) - c0) / (t1 - sim.t0);
    f.stormMain = 100 * (cpuSecondsOf(pid, pid) - m0) / (t1 - sim.t0);
    f.overflows = listenOverflows() - overflow0;
    f.stormLogouts = sim.counters.logouts;

    if (probe)
        probe->phase = 2;
    c0 = cpuSecondsOf(pid);
    m0 = cpuSecondsOf(pid, pid);
    const long frames0 = sim.counters.frames;
    const double s0 = sim.cpuSec();
    const double steadyEnd = t1 + o.steady;
    while (nowSec() < steadyEnd && rssKbOf(pid) >= 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const double t2 = nowSec();
    f.steadyCpu = 100 * (cpuSecondsOf(pid) - c0) / (t2 - t1);
    f.steadyMain = 100 * (cpuSecondsOf(pid, pid) - m0) / (t2 - t1);
    f.framesPerSec = static_cast<double>(sim.counters.frames - frames0) / (t2 - t1);
    f.simCpu = 100 * (sim.cpuSec() - s0) / (t2 - t1);
    f.rssEndKb = rssKbOf(pid);
    f.steadyLogouts = sim.counters.logouts - f.stormLogouts;
    f.upAtEnd = sim.counters.up;
    f.everAtEnd = sim.counters.distinct;
    if (probe)
        probe->phase = 3;
    atEnd();
    f.attempts = sim.counters.attempts;
    f.failures = sim.counters.failures;
    f.connectErrors = sim.counters.connectErrors;
    f.refused = sim.counters.refused;
    f.closedEarly = sim.counters.closedEarly;
    f.giveUps = sim.counters.giveUps;
    f.dropped = sim.counters.dropped;
}

long countOf(const std::string& text, const std::string& what)
{
    long n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + what.size()))
        ++n;
    return n;
}

Figures runOxnode(const Options& o, int n)
{
    Figures f;
    f.n = n;
    OxnodeProcess ox(o.oxnode, 8001);
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // start-up allocations settle
    const std::string token = webToken();
    if (token.empty()) {
        std::fprintf(stderr, "oxnode: no web login\n");
        return f;
    }
    WebProbe probe(token);
    std::unique_ptr<StreamProbe> stream;
    if (o.stream) {
        stream = std::make_unique<StreamProbe>(probe);
        std::this_thread::sleep_for(std::chrono::seconds(2)); // the stream's latency before the fleet comes
    }
    measure(f, o, Proto::Node, 8000, ox.pid, &probe, [&] {
        probe.finish();
        if (stream)
            stream->finish();
        const std::string page = R"({"cmd":"getNodeList","token":")" + token + R"(","offset":0,"limit":100})";
        std::vector<double> ms;
        for (int i = 0; i < 5; ++i) {
            const double t0 = nowSec();
            f.pageBytes = apiPost(page, 8001, 30000).size();
            ms.push_back(1000 * (nowSec() - t0));
        }
        std::sort(ms.begin(), ms.end());
        f.pageMs = ms[2];
        // One node at a time, spread over the fleet, while the load runs.
        const auto timed = [&](const char* body) {
            std::vector<double> v;
            for (int i = 0; i < 100; ++i) {
                const std::string request = R"({"token":")" + token + R"(","sn":")" + serialOf(i * 7919 % n) + "\"," + body;
                const double t0 = nowSec();
                apiPost(request);
                v.push_back(1000 * (nowSec() - t0));
            }
            std::sort(v.begin(), v.end());
            WebProbe::Figures w;
            w.count = v.size();
            w.p50 = v[v.size() / 2];
            w.p99 = v[v.size() * 99 / 100];
            return w;
        };
        f.info = timed(R"("cmd":"getNodeInfo"})");
        f.forward = timed(R"("cmd":"getCompProperty","data":{"compName":"enc","propName":"bitrate"}})");
        const double s0 = nowSec();
        apiPost(R"({"cmd":"getNodeSummary","token":")" + token + "\"}", 8001, 30000);
        f.summaryMs = 1000 * (nowSec() - s0);
        const double t0 = nowSec();
        const std::string whole = apiPost(R"({"cmd":"getNodeList","token":")" + token + "\"}", 8001, 60000);
        f.wholeMs = 1000 * (nowSec() - t0);
        f.wholeBytes = whole.size();
        if (!whole.empty())
            f.offlineListed = countOf(whole, "\"online\":false");
    });
    f.webStorm = probe.of(1);
    f.webSteady = probe.of(2);
    if (stream) {
        f.streamIdle = stream->of(0);
        f.streamStorm = stream->of(1);
        f.streamSteady = stream->of(2);
        f.streamChunks = stream->chunksSent();
        f.streamMissing = stream->chunksMissing();
        f.streamOutOfOrder = stream->outOfOrder();
    }
    if (std::getenv("BENCH_FLEET_LOG")) // oxnode's most frequent log lines, numbers folded
        std::system(("sed 's/[0-9][0-9]*/#/g' " + ox.dir + "/oxnode.log 2>/dev/null | sort | uniq -c | sort -rn 2>/dev/null | head -15 >&2 || true").c_str());
    return f;
}

// mosquitto on a loopback port with a generated configuration; pid -1 when
// it could not be started.
struct MosquittoProcess {
    pid_t pid = -1;
    std::string dir;

    explicit MosquittoProcess(const std::string& bin)
    {
        char tmpl[] = "/tmp/oxbenchmqXXXXXX";
        if (!mkdtemp(tmpl))
            die("mkdtemp");
        dir = tmpl;
        std::ofstream(dir + "/mosquitto.conf") << "listener " << kMosquittoPort << " 127.0.0.1\n"
                                               << "allow_anonymous true\n"
                                               << "max_connections -1\n"
                                               << "persistence false\n"
                                               << "log_dest stderr\n"
                                               << "log_type error\n"
                                               << "log_type warning\n";
        pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            const int log = open((dir + "/mosquitto.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(log, 1);
            dup2(log, 2);
            execl(bin.c_str(), bin.c_str(), "-c", (dir + "/mosquitto.conf").c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        const double deadline = nowSec() + 10;
        while (nowSec() < deadline) {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(kMosquittoPort);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const bool up = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            close(fd);
            if (up)
                return;
            if (waitpid(pid, nullptr, WNOHANG) == pid)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::fprintf(stderr, "mosquitto did not start (log in %s)\n", dir.c_str());
        terminate(pid);
        pid = -1;
    }
    MosquittoProcess(const MosquittoProcess&) = delete;
    MosquittoProcess& operator=(const MosquittoProcess&) = delete;
    ~MosquittoProcess()
    {
        if (pid > 0)
            endOxnode(pid, dir, "mosquitto");
    }
};

Figures runMosquitto(const Options& o, int n)
{
    Figures f;
    f.n = n;
    MosquittoProcess mq(o.mosquitto);
    if (mq.pid <= 0)
        return f;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    measure(f, o, Proto::Mqtt, kMosquittoPort, mq.pid, nullptr, [] {});
    return f;
}

std::string ratio(double a, double b)
{
    if (b <= 0 || a < 0)
        return "-";
    char s[32];
    std::snprintf(s, sizeof s, "%.1f", a / b);
    return s;
}

std::string num(double v, const char* fmt = "%.1f")
{
    char s[64];
    std::snprintf(s, sizeof s, fmt, v);
    return s;
}

void row(const char* what, const std::string& ox, const std::string& mq, const std::string& r = "")
{
    std::printf("  %-44s %16s %16s %8s\n", what, ox.c_str(), mq.c_str(), r.c_str());
}

void printTable(const Options& o, const Figures& x, const Figures& m)
{
    const auto both = [&](auto get) { return std::make_pair(get(x), m.ran ? get(m) : std::string("-")); };
    std::printf("\nN = %d (%d simulator threads, %d logins in flight, steady %.0f s, expected %.0f frames/s)\n", x.n,
                kSimThreads, o.inflight, o.steady, 0.7 * x.n);
    row("", "oxnode", "mosquitto", "ratio");
    auto allUp = both([](const Figures& f) { return (f.allUp ? "" : ">") + num(f.allUpSec, "%.2f") + " s"; });
    row("all logged in after", allUp.first, allUp.second, m.ran && x.allUp && m.allUp ? ratio(x.allUpSec, m.allUpSec) : "-");
    auto up = both([](const Figures& f) { return std::to_string(f.upAfterStorm) + "/" + std::to_string(f.n); });
    row("logged in at the end of the storm", up.first, up.second);
    auto att = both([](const Figures& f) { return std::to_string(f.attempts) + "/" + std::to_string(f.failures); });
    row("login attempts / failed", att.first, att.second);
    auto why = both([](const Figures& f) {
        return std::to_string(f.connectErrors) + "/" + std::to_string(f.refused) + "/" + std::to_string(f.closedEarly) +
               "/" + std::to_string(f.giveUps);
    });
    row("failed: connect/refused/closed/gave up at 30 s", why.first, why.second);
    auto ov = both([](const Figures& f) { return std::to_string(f.overflows); });
    row("listen queue overflows in the storm", ov.first, ov.second);
    auto sc = both([](const Figures& f) { return num(f.stormCpu) + " %"; });
    row("CPU in the storm, whole process", sc.first, sc.second, m.ran ? ratio(x.stormCpu, m.stormCpu) : "-");
    row("CPU in the storm, main thread", num(x.stormMain) + " %", "");
    auto cpu = both([](const Figures& f) { return num(f.steadyCpu) + " %"; });
    row("CPU steady, whole process", cpu.first, cpu.second, m.ran ? ratio(x.steadyCpu, m.steadyCpu) : "-");
    row("CPU steady, main thread", num(x.steadyMain) + " %", "");
    auto us = both([](const Figures& f) {
        return f.framesPerSec > 0 ? num(10000 * f.steadyCpu / f.framesPerSec, "%.1f") + " us" : std::string("-");
    });
    row("CPU per frame, steady", us.first, us.second,
        m.ran && x.framesPerSec > 0 && m.framesPerSec > 0
            ? ratio(x.steadyCpu / x.framesPerSec, m.steadyCpu / m.framesPerSec) : "-");
    auto mem = both([](const Figures& f) { return num(f.kibPerClient(), "%.2f") + " KiB"; });
    row("memory per node above idle (of those ever in)", mem.first, mem.second, m.ran ? ratio(x.kibPerClient(), m.kibPerClient()) : "-");
    auto rss = both([](const Figures& f) { return std::to_string(f.rssIdleKb) + "->" + std::to_string(f.rssEndKb); });
    row("VmRSS KiB idle -> end", rss.first, rss.second);
    auto lo = both([](const Figures& f) {
        return std::to_string(f.stormLogouts) + "/" + std::to_string(f.steadyLogouts);
    });
    row("logouts storm / steady", lo.first, lo.second);
    auto ue = both([](const Figures& f) { return std::to_string(f.upAtEnd) + "/" + std::to_string(f.everAtEnd); });
    row("logged in at the end / ever", ue.first, ue.second);
    row("listed offline at the end (getNodeList)", x.offlineListed < 0 ? "-" : std::to_string(x.offlineListed), "");
    auto fr = both([](const Figures& f) { return num(f.framesPerSec, "%.0f") + "/" + std::to_string(f.dropped); });
    row("frames sent /s / dropped (server not reading)", fr.first, fr.second);
    auto sim = both([](const Figures& f) { return num(f.simCpu) + " %"; });
    row("simulator CPU, steady", sim.first, sim.second);
    const auto web = [](const WebProbe::Figures& w) {
        return w.count ? num(w.p50) + "/" + num(w.p99) + " ms" : std::string("-");
    };
    row("getStreamList p50/p99, storm", web(x.webStorm), "",
        "n=" + std::to_string(x.webStorm.count) + (x.webStorm.failed ? " fail=" + std::to_string(x.webStorm.failed) : ""));
    row("getStreamList p50/p99, steady", web(x.webSteady), "",
        "n=" + std::to_string(x.webSteady.count) + (x.webSteady.failed ? " fail=" + std::to_string(x.webSteady.failed) : ""));
    const auto lat = [](const WebProbe::Figures& w) {
        return w.count ? num(w.p50, "%.2f") + "/" + num(w.p99, "%.2f") + " ms" : std::string("-");
    };
    if (x.streamChunks > 0) {
        row("20 Mbit/s stream p50/p99, before", lat(x.streamIdle), "");
        row("20 Mbit/s stream p50/p99, storm", lat(x.streamStorm), "",
            x.streamStorm.count ? "added p99 " + num(x.streamStorm.p99 - x.streamIdle.p99, "%.2f") + " ms" : "");
        row("20 Mbit/s stream p50/p99, steady", lat(x.streamSteady), "",
            x.streamSteady.count ? "added p99 " + num(x.streamSteady.p99 - x.streamIdle.p99, "%.2f") + " ms" : "");
        row("20 Mbit/s stream chunks sent / missing", std::to_string(x.streamChunks) + "/" + std::to_string(x.streamMissing), "",
            x.streamOutOfOrder ? "OUT OF ORDER" : "in order");
    }
    row("getNodeList offset 0 limit 100 (median of 5)", num(x.pageMs) + " ms", "", std::to_string(x.pageBytes) + " B");
    row("getNodeList whole list", num(x.wholeMs) + " ms", "", std::to_string(x.wholeBytes) + " B");
    row("getNodeInfo p50/p99 (100, one node each)", lat(x.info), "");
    row("command forwarded to a node p50/p99 (100)", lat(x.forward), "");
    row("getNodeSummary", num(x.summaryMs) + " ms", "");
    std::fflush(stdout);
}

std::vector<int> parseCounts(const char* text)
{
    std::vector<int> v;
    std::stringstream ss(text);
    std::string t;
    while (std::getline(ss, t, ','))
        if (std::atoi(t.c_str()) > 0)
            v.push_back(std::atoi(t.c_str()));
    return v;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) {
            std::fprintf(stderr, "%s needs a value\n", a.c_str());
            return 2;
        }
        const char* v = argv[++i];
        if (a == "--oxnode")
            o.oxnode = v;
        else if (a == "--mosquitto")
            o.mosquitto = v;
        else if (a == "--counts")
            o.counts = parseCounts(v);
        else if (a == "--inflight")
            o.inflight = std::max(kSimThreads, std::atoi(v));
        else if (a == "--steady")
            o.steady = std::max(1.0, std::atof(v));
        else if (a == "--storm-timeout")
            o.stormTimeout = std::max(1.0, std::atof(v));
        else if (a == "--stream")
            o.stream = std::atoi(v) != 0;
        else if (a == "--mqtt-discovery")
            o.mqttDiscovery = std::atoi(v) != 0;
        else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    const rlim_t limit = raiseFileLimit(1 << 20); // inherited by both servers
    const int maxN = limit > kFdMargin ? static_cast<int>(limit - kFdMargin) : 0;
    std::vector<int> counts;
    for (int n : o.counts) {
        if (n > maxN) {
            std::printf("note: %d clients do not fit a descriptor limit of %llu (%llu kept for the rest): %d instead\n",
                        n, static_cast<unsigned long long>(limit), static_cast<unsigned long long>(kFdMargin), maxN);
            n = maxN;
        }
        if (n > 0 && std::find(counts.begin(), counts.end(), n) == counts.end())
            counts.push_back(n);
    }
    enterNetns();
    const bool haveMosquitto = access(o.mosquitto.c_str(), X_OK) == 0;
    std::printf("descriptor limit %llu; in the namespace somaxconn %ld, tcp_max_syn_backlog %ld; %d cores\n",
                static_cast<unsigned long long>(limit), readLong("/proc/sys/net/core/somaxconn"),
                readLong("/proc/sys/net/ipv4/tcp_max_syn_backlog"), static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)));
    if (!haveMosquitto)
        std::printf("mosquitto is not installed (%s): oxnode's figures alone\n", o.mosquitto.c_str());
    std::fflush(stdout);
    std::vector<std::pair<Figures, Figures>> all;
    for (int n : counts) {
        Figures x = runOxnode(o, n);
        Figures m;
        if (haveMosquitto)
            m = runMosquitto(o, n);
        printTable(o, x, m);
        all.emplace_back(x, m);
    }
    std::printf("\nsummary: steady CPU of the whole process (main thread), time until all logged in,"
                " memory per node above idle\n");
    std::printf("%8s %24s %12s %22s %22s %24s %12s %12s\n", "nodes", "oxnode CPU (main)", "mosquitto",
                "all in ox / mq (s)", "KiB/node ox / mq", "getStreamList p99", "page", "whole list");
    for (const auto& [x, m] : all) {
        const std::string cpu = num(x.steadyCpu) + "% (" + num(x.steadyMain) + "%)";
        const std::string mcpu = m.ran ? num(m.steadyCpu) + "%" : "-";
        const std::string in = num(x.allUpSec, "%.2f") + (x.allUp ? "" : "+") + " / " +
                               (m.ran ? num(m.allUpSec, "%.2f") + (m.allUp ? "" : "+") : "-");
        const std::string mem = num(x.kibPerClient(), "%.2f") + " / " + (m.ran ? num(m.kibPerClient(), "%.2f") : "-");
        const std::string p99 = num(x.webStorm.p99) + " / " + num(x.webSteady.p99) + " ms";
        std::printf("%8d %24s %12s %22s %22s %24s %9.1f ms %9.0f ms\n", x.n, cpu.c_str(), mcpu.c_str(), in.c_str(),
                    mem.c_str(), p99.c_str(), x.pageMs, x.wholeMs);
    }
    std::printf("(getStreamList p99: storm / steady; page: getNodeList offset 0 limit 100; \"+\": not all logged in"
                " by the storm deadline, the time is the deadline)\n");
    return 0;
}
