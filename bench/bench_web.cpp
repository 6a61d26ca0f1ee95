// Web API benchmark: requests per second and p99 latency of "getStreamList"
// with 10 streams, for 1 and 16 concurrent keep-alive clients, against
// oxnode and, as a baseline in the same run, against a minimal blocking
// HTTP responder built in here that answers a fixed reply of the same size.
// Runs in a private network namespace.
//
// With --metrics: GET /metrics against oxnode with 100 streams instead, one
// keep-alive client: its latency and what one reading costs the main thread
// (CPU time of the main thread per request).
//
// With --https: the same requests over TLS on the HTTPS port beside plain
// HTTP to the same oxnode, and new connections per second (each a full
// handshake and one request) over both.
//
//   bench_web [--oxnode PATH] [--seconds S] [--cmd getStreamList] [--metrics 1] [--https 1]
#include "benchCommon.h"

#include <openssl/ssl.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
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
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using namespace benchutil;

namespace {

using Clock = std::chrono::steady_clock;





// A client connection, plain or TLS.
struct Link {
    int fd = -1;
    SSL* ssl = nullptr;
    ssize_t read(char* p, size_t n) { return ssl ? SSL_read(ssl, p, static_cast<int>(n)) : recv(fd, p, n, 0); }
    bool write(const std::string& s)
    {
        if (!ssl)
            return writeAll(fd, s.data(), s.size());
        return SSL_write(ssl, s.data(), static_cast<int>(s.size())) == static_cast<int>(s.size());
    }
    void close()
    {
        if (ssl)
            SSL_free(ssl);
        if (fd >= 0)
            ::close(fd);
        ssl = nullptr;
        fd = -1;
    }
};

// Connects to port, with a TLS handshake when tls is set; fd -1 on failure.
Link openLink(int port, SSL_CTX* tls)
{
    Link l;
    l.fd = connectTo(port);
    if (!tls)
        return l;
    l.ssl = SSL_new(tls);
    SSL_set_fd(l.ssl, l.fd);
    if (SSL_connect(l.ssl) != 1)
        l.close();
    return l;
}

// Reads one API reply: a head ending in an empty line (LF or CRLF),
// "Content-Length" body bytes and, for oxnode's format, one extra LF.
// buf keeps bytes that arrived beyond the reply.
bool readReply(Link& link, std::string& buf, std::string* body, std::string* raw = nullptr, bool extraLf = true)
{
    char tmp[65536];
    size_t headEnd;
    size_t sepLen = 2;
    for (;;) {
        headEnd = buf.find("\n\n");
        const size_t crlf = buf.find("\r\n\r\n");
        if (crlf != std::string::npos && (headEnd == std::string::npos || crlf < headEnd)) {
            headEnd = crlf;
            sepLen = 4;
        }
        if (headEnd != std::string::npos)
            break;
        const ssize_t r = link.read(tmp, sizeof tmp);
        if (r <= 0)
            return false;
        buf.append(tmp, static_cast<size_t>(r));
    }
    const size_t cl = buf.find("Content-Length: ");
    if (cl == std::string::npos || cl > headEnd)
        return false;
    const size_t len = std::strtoul(buf.c_str() + cl + 16, nullptr, 10);
    const size_t total = headEnd + sepLen + len + (extraLf ? 1 : 0);  // + the extra LF of API replies
    while (buf.size() < total) {
        const ssize_t r = link.read(tmp, sizeof tmp);
        if (r <= 0)
            return false;
        buf.append(tmp, static_cast<size_t>(r));
    }
    if (body)
        *body = buf.substr(headEnd + sepLen, len);
    if (raw)
        *raw = buf.substr(0, total);
    buf.erase(0, total);
    return true;
}

std::string postRequest(const std::string& json)
{
    return "POST /api/post HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: "
        + std::to_string(json.size()) + "\r\n\r\n" + json;
}

// The baseline: accepts connections and answers every request head (bodies
// are read by Content-Length) with the same fixed bytes, one thread each.
struct BaselineServer {
    int listenFd = -1;
    std::string reply;
    std::thread acceptor;
    std::vector<std::thread> handlers;
    std::atomic<bool> stop{false};

    BaselineServer(int port, std::string fixedReply) : reply(std::move(fixedReply))
    {
        listenFd = socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        if (bind(listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listenFd, 64) != 0)
            die("baseline listen");
        acceptor = std::thread([this] {
            for (;;) {
                const int c = accept(listenFd, nullptr, nullptr);
                if (c < 0 || stop)
                    break;
                const int on = 1;
                setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                handlers.emplace_back([this, c] { serve(c); });
            }
        });
    }
    void serve(int c)
    {
        std::string buf;
        char tmp[65536];
        for (;;) {
            size_t headEnd;
            while ((headEnd = buf.find("\r\n\r\n")) == std::string::npos) {
                const ssize_t r = recv(c, tmp, sizeof tmp, 0);
                if (r <= 0) {
                    close(c);
                    return;
                }
                buf.append(tmp, static_cast<size_t>(r));
            }
            size_t len = 0;
            const size_t cl = buf.find("Content-Length: ");
            if (cl != std::string::npos && cl < headEnd)
                len = std::strtoul(buf.c_str() + cl + 16, nullptr, 10);
            while (buf.size() < headEnd + 4 + len) {
                const ssize_t r = recv(c, tmp, sizeof tmp, 0);
                if (r <= 0) {
                    close(c);
                    return;
                }
                buf.append(tmp, static_cast<size_t>(r));
            }
            buf.erase(0, headEnd + 4 + len);
            if (!writeAll(c, reply.data(), reply.size())) {
                close(c);
                return;
            }
        }
    }
    ~BaselineServer()
    {
        stop = true;
        shutdown(listenFd, SHUT_RDWR);
        close(listenFd);
        acceptor.join();
        for (auto& t : handlers)
            t.join();
    }
};

std::string tenStreams()
{
    std::string streams = "[";
    for (int i = 0; i < 10; ++i)
        streams += (i ? ", " : "") + std::string("{\"id\": ") + std::to_string(i) + ", \"name\": \"stream" + std::to_string(i) + "\"}";
    return streams + "]";
}

struct Result {
    double requestsPerSec = 0;
    double p50us = 0, p99us = 0;
    size_t failures = 0;
};

// n keep-alive clients, each sending request after request for `seconds`
// (over TLS when tls is set). With fresh: every request on a new connection.
Result drive(int port, int n, const std::string& request, double seconds, SSL_CTX* tls = nullptr, bool fresh = false)
{
    std::vector<std::vector<double>> lat(static_cast<size_t>(n));
    std::atomic<size_t> failures{0};
    std::vector<std::thread> clients;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    for (int i = 0; i < n; ++i) {
        clients.emplace_back([&, i] {
            Link link = openLink(port, tls);
            std::string buf;
            auto& mine = lat[static_cast<size_t>(i)];
            while (Clock::now() < end) {
                const auto t0 = Clock::now();
                if (fresh) {
                    link.close();
                    link = openLink(port, tls);
                    buf.clear();
                }
                if (link.fd < 0 || !link.write(request) || !readReply(link, buf, nullptr)) {
                    ++failures;
                    break;
                }
                mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
            }
            link.close();
        });
    }
    for (auto& t : clients)
        t.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::vector<double> all;
    for (auto& v : lat)
        all.insert(all.end(), v.begin(), v.end());
    std::sort(all.begin(), all.end());
    Result r;
    r.failures = failures;
    r.requestsPerSec = static_cast<double>(all.size()) / elapsed;
    if (!all.empty()) {
        r.p50us = all[all.size() / 2];
        r.p99us = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    }
    return r;
}

void print(const char* what, int n, const Result& r, double baseRps)
{
    std::printf("%-9s clients %2d  %9.0f req/s  p50 %8.1f us  p99 %8.1f us", what, n, r.requestsPerSec, r.p50us, r.p99us);
    if (baseRps > 0)
        std::printf("  ratio %.2f", r.requestsPerSec / baseRps);
    if (r.failures)
        std::printf("  (%zu failed connections)", r.failures);
    std::printf("\n");
}

int benchMetrics(const std::string& bin, double seconds)
{
    std::string streams = "[";
    for (int i = 0; i < 100; ++i)
        streams += (i ? ", " : "") + std::string("{\"id\": ") + std::to_string(i) + ", \"name\": \"stream" + std::to_string(i) + "\"}";
    streams += "]";
    OxnodeProcess ox(bin, 8001, {}, streams);
    // Every stream is up once its last output port listens.
    close(connectTo(8020 + 20 * 99));
    const std::string request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    Link fd = openLink(8001, nullptr);
    std::string buf, body;
    if (!fd.write(request) || !readReply(fd, buf, &body, nullptr, false))
        die("metrics");
    std::printf("GET /metrics with 100 streams: %zu bytes, %zu lines, %.0f s\n", body.size(),
                static_cast<size_t>(std::count(body.begin(), body.end(), '\n')), seconds);
    // What the main thread spends anyway (heart ticks of 100 streams), to subtract.
    const double idle0 = cpuSecondsOf(ox.pid, ox.pid);
    const auto idleStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double idlePerSec = (cpuSecondsOf(ox.pid, ox.pid) - idle0)
        / std::chrono::duration<double>(Clock::now() - idleStart).count();
    std::vector<double> lat;
    const auto busyStart = Clock::now();
    const double cpu0 = cpuSecondsOf(ox.pid, ox.pid);
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        const auto t0 = Clock::now();
        if (!fd.write(request) || !readReply(fd, buf, &body, nullptr, false))
            die("metrics");
        lat.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    const double cpu = cpuSecondsOf(ox.pid, ox.pid) - cpu0
        - idlePerSec * std::chrono::duration<double>(Clock::now() - busyStart).count();
    fd.close();
    std::sort(lat.begin(), lat.end());
    std::printf("requests %zu  latency p50 %.2f ms  p99 %.2f ms  main thread %.2f ms CPU per request\n", lat.size(),
                lat[lat.size() / 2], lat[std::min(lat.size() - 1, lat.size() * 99 / 100)],
                1000.0 * cpu / static_cast<double>(lat.size()));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::string bin = OXNODE_BIN;
    double seconds = 3;
    std::string cmd = "getStreamList";
    bool metrics = false;
    bool https = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--oxnode")
            bin = argv[i + 1];
        else if (a == "--seconds")
            seconds = std::stod(argv[i + 1]);
        else if (a == "--cmd")
            cmd = argv[i + 1];
        else if (a == "--metrics")
            metrics = std::string(argv[i + 1]) == "1";
        else if (a == "--https")
            https = std::string(argv[i + 1]) == "1";
    }
    signal(SIGPIPE, SIG_IGN);
    enterNetns();
    if (metrics)
        return benchMetrics(bin, seconds);

    OxnodeProcess ox(bin, 8001, {}, tenStreams(),
                     https ? "{\"localDevCfg\": false, \"httpsPort\": 8443}" : "{\"localDevCfg\": false}");
    Link fd = openLink(8001, nullptr);
    std::string buf, body;
    const std::string digest = "be29c95f50acd28940de27f3dd1df1f9";  // MD5 of the default password "73519046"
    const std::string login = postRequest("{\"cmd\":\"login\",\"user\":\"admin\",\"passMd5\":\"" + digest + "\"}");
    if (!fd.write(login) || !readReply(fd, buf, &body))
        die("login");
    const size_t at = body.find("\"token\":\"");
    if (at == std::string::npos) {
        std::fprintf(stderr, "login refused: %s\n", body.c_str());
        return 1;
    }
    const std::string token = body.substr(at + 9, 32);
    const std::string request = postRequest("{\"cmd\":\"" + cmd + "\",\"token\":\"" + token + "\"}");
    // The baseline answers with oxnode's own reply bytes: the same size.
    std::string reply;
    if (!fd.write(request) || !readReply(fd, buf, &body, &reply))
        die("getStreamList");
    fd.close();
    std::printf("%s with 10 streams: reply %zu bytes, %.0f s per run\n", cmd.c_str(), reply.size(), seconds);

    if (https) {
        // Full handshakes every time: no session is resumed.
        SSL_CTX* tls = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_session_cache_mode(tls, SSL_SESS_CACHE_OFF);
        close(connectTo(8443));
        for (int n : {1, 16}) {
            const Result plain = drive(8001, n, request, seconds);
            print("http", n, plain, 0);
            print("https", n, drive(8443, n, request, seconds, tls), plain.requestsPerSec);
        }
        for (int n : {1, 4}) {
            const Result plain = drive(8001, n, request, seconds, nullptr, true);
            print("http-new", n, plain, 0);
            print("https-new", n, drive(8443, n, request, seconds, tls, true), plain.requestsPerSec);
        }
        SSL_CTX_free(tls);
        return 0;
    }

    BaselineServer baseline(9001, reply);
    for (int n : {1, 16}) {
        const Result base = drive(9001, n, request, seconds);
        print("baseline", n, base, 0);
        const Result r = drive(8001, n, request, seconds);
        print("oxnode", n, r, base.requestsPerSec);
    }
    return 0;
}
