// Clients that try to hold every worker of the web server: silent WebSockets
// and request bodies trickled one byte at a time, each reconnecting as soon
// as it is let go. All the while another client must get its API reply and
// its static file within 2 s. OXTEST_FLOOD_CLIENTS=N runs a larger flood.
#include "oxtest.h"
#include "web/webCgi.h"

#include <QJsonArray>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

int msSince(Clock::time_point t)
{
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

int floodClients()
{
    const char* n = std::getenv("OXTEST_FLOOD_CLIENTS");
    return n && std::atoi(n) > 0 ? std::atoi(n) : 32;
}

// The offenders, on a thread of their own: n raw sockets that send their
// opening bytes, then (slow body) one more byte a second or (WebSocket, half
// a head, idle) nothing, and are opened again 100 ms after the server lets
// one go. From another address than the client that must be served, when
// one is given.
class Flood
{
public:
    enum Kind { SilentWebSocket, SlowBody, HalfHead, Idle };

    Flood(Kind kind, int n, std::string from = {}) : kind(kind), from(std::move(from)), slots(static_cast<size_t>(n)) {}
    ~Flood() { stop(); }

    void start() { thread = std::thread([this] { run(); }); }
    void stop()
    {
        done = true;
        if (thread.joinable())
            thread.join();
        for (Slot& s : slots)
            closeSlot(s, false);
    }

    std::atomic<int> released{0};      // connections the server ended
    std::atomic<int> upgraded{0};      // "101" seen
    std::atomic<int> refused{0};       // "503" seen
    std::atomic<int> longestHeldMs{0}; // from connect to the server's close
    std::atomic<int> mostOpenUpgraded{0};

private:
    struct Slot {
        int fd = -1;
        Clock::time_point opened, lastByte, reopenAt;
        std::string head;  // what the server sent, up to its first line
        bool upgraded = false;
    };

    std::string opening() const
    {
        if (kind == SilentWebSocket)
            return "GET /websocket HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                   "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
        if (kind == HalfHead)
            return "POST /api/post HTTP/1.1\r\nHost: x\r\n";
        if (kind == Idle)
            return {};
        return "POST /api/post HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\n{";
    }

    void open(Slot& s)
    {
        s = Slot{};
        s.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(8001);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, from.c_str(), &local.sin_addr);
        const std::string bytes = opening();
        if (s.fd < 0 || (!from.empty() && ::bind(s.fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
            || ::connect(s.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0
            || ::send(s.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) {
            closeSlot(s, false);
            s.reopenAt = Clock::now() + std::chrono::milliseconds(100);
            return;
        }
        ::fcntl(s.fd, F_SETFL, O_NONBLOCK);
        s.opened = s.lastByte = Clock::now();
    }

    void closeSlot(Slot& s, bool byServer)
    {
        if (s.fd < 0)
            return;
        ::close(s.fd);
        s.fd = -1;
        if (byServer) {
            ++released;
            const int held = msSince(s.opened);
            int prev = longestHeldMs.load();
            while (held > prev && !longestHeldMs.compare_exchange_weak(prev, held)) {
            }
        }
        s.reopenAt = Clock::now() + std::chrono::milliseconds(100);
    }

    void run()
    {
        while (!done) {
            std::vector<pollfd> fds;
            std::vector<Slot*> of;
            int openUpgraded = 0;
            for (Slot& s : slots) {
                if (s.fd < 0 && Clock::now() >= s.reopenAt)
                    open(s);
                if (s.fd < 0)
                    continue;
                if (kind == SlowBody && msSince(s.lastByte) >= 1000) {
                    ::send(s.fd, " ", 1, MSG_NOSIGNAL);
                    s.lastByte = Clock::now();
                }
                openUpgraded += s.upgraded;
                fds.push_back({s.fd, POLLIN, 0});
                of.push_back(&s);
            }
            mostOpenUpgraded = std::max(mostOpenUpgraded.load(), openUpgraded);
            ::poll(fds.data(), fds.size(), 20);
            for (size_t i = 0; i < fds.size(); ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                Slot& s = *of[i];
                char buf[4096];
                const ssize_t n = ::recv(s.fd, buf, sizeof buf, 0);
                if (n > 0) {
                    if (s.head.size() < 12) {
                        s.head.append(buf, static_cast<size_t>(std::min<ssize_t>(n, 12)));
                        if (s.head.rfind("HTTP/1.1 101", 0) == 0 && !s.upgraded) {
                            s.upgraded = true;
                            ++upgraded;
                        } else if (s.head.rfind("HTTP/1.1 503", 0) == 0) {
                            ++refused;
                        }
                    }
                    continue;
                }
                closeSlot(s, true);
            }
        }
    }

    const Kind kind;
    const std::string from;
    std::vector<Slot> slots;
    std::atomic<bool> done{false};
    std::thread thread;
};

class WebFloods : public ::testing::Test
{
protected:
    void SetUp() override
    {
        node.dir().writeFile("web/index.html", "<h1>oxnode</h1>");
        ASSERT_TRUE(node.start());
        const QJsonObject login = oxt::apiPost(
            8001, {{"cmd", "login"}, {"user", "admin"}, {"passMd5", QString::fromStdString(oxt::md5Hex("73519046"))}});
        token = login.value("token").toString();
        ASSERT_FALSE(token.isEmpty());
    }
    void TearDown() override { node.expectCleanExit(); }

    // Asks for the stream list and a static file, each on a new connection,
    // over and over for durationMs; the slowest answer time, or -1 after a
    // failed or wrong answer.
    int slowestAnswerMs(int durationMs)
    {
        int slowest = 0;
        const Clock::time_point until = Clock::now() + std::chrono::milliseconds(durationMs);
        while (Clock::now() < until) {
            Clock::time_point t = Clock::now();
            oxt::HttpResponse list = oxt::httpRequest(
                8001, "POST", "/api/post", "{\"cmd\":\"getStreamList\",\"token\":\"" + token.toStdString() + "\"}", {},
                10000, true);
            if (!list.ok || list.body.find("\"cmd\":\"streamList\"") == std::string::npos) {
                ADD_FAILURE() << "getStreamList: " << list.error << "\n" << oxt::tail(list.raw, 300);
                return -1;
            }
            slowest = std::max(slowest, msSince(t));
            t = Clock::now();
            oxt::HttpResponse page = oxt::httpRequest(8001, "GET", "/", {}, {}, 10000);
            if (!page.ok || page.body != "<h1>oxnode</h1>") {
                ADD_FAILURE() << "GET /: " << page.error << "\n" << oxt::tail(page.raw, 300);
                return -1;
            }
            slowest = std::max(slowest, msSince(t));
        }
        return slowest;
    }

    oxt::OxNode node;
    QString token;
};

TEST_F(WebFloods, SilentWebSocketsAreCappedAndClosedWhileOthersAreServed)
{
    Flood flood(Flood::SilentWebSocket, floodClients());
    flood.start();
    ASSERT_TRUE(oxt::waitFor([&] { return flood.upgraded >= webThread::kMaxWebSockets; }, 10000));
    // Long enough for the first silent ones to be closed and replaced.
    const int slowest = slowestAnswerMs(webThread::kWebSocketIdleMs + 1500);
    flood.stop();
    std::printf("%d silent WebSockets: slowest answer %d ms, %d upgraded, %d refused, %d closed, longest open %d ms\n",
                floodClients(), slowest, flood.upgraded.load(), flood.refused.load(), flood.released.load(),
                flood.longestHeldMs.load());
    EXPECT_GE(slowest, 0);
    EXPECT_LT(slowest, 2000);
    EXPECT_LE(flood.mostOpenUpgraded.load(), webThread::kMaxWebSockets);
    EXPECT_GT(flood.refused.load(), 0);
    EXPECT_GT(flood.upgraded.load(), webThread::kMaxWebSockets) << "silent ones were closed and others upgraded";
    EXPECT_LT(flood.longestHeldMs.load(), webThread::kWebSocketIdleMs + 2000);
}

TEST_F(WebFloods, TrickledBodiesAreCutAtTheDeadlineWhileOthersAreServed)
{
    Flood flood(Flood::SlowBody, floodClients());
    flood.start();
    // A byte a second never lets a single read time out; only the deadline
    // of the whole request ends them.
    const int slowest = slowestAnswerMs(webThread::kRequestDeadlineMs + 1500);
    flood.stop();
    std::printf("%d trickled bodies: slowest answer %d ms, %d cut, longest held %d ms\n", floodClients(), slowest,
                flood.released.load(), flood.longestHeldMs.load());
    EXPECT_GE(slowest, 0);
    EXPECT_LT(slowest, 2000);
    EXPECT_GE(flood.released.load(), floodClients() / 2);
    EXPECT_LT(flood.longestHeldMs.load(), webThread::kRequestDeadlineMs + 2000);
}

// One address holding many connections, idle or with half a request head
// each, gets its share of the workers; everyone else is served.
class WebFloodsFromOneAddress : public WebFloods, public ::testing::WithParamInterface<Flood::Kind>
{
};

TEST_P(WebFloodsFromOneAddress, IsCutBeyondItsShareWhileOthersAreServed)
{
    Flood flood(GetParam(), 500, "127.0.0.2");
    flood.start();
    ASSERT_TRUE(oxt::waitFor([&] { return flood.released >= 200; }, 15000)) << flood.released.load();
    const int slowest = slowestAnswerMs(3000);
    flood.stop();
    std::printf("500 connections from one address: slowest answer %d ms, %d cut\n", slowest, flood.released.load());
    EXPECT_GE(slowest, 0);
    EXPECT_LT(slowest, 2000);
    const int lines = node.process().countOccurrences("web client 127.0.0.2 refused");
    EXPECT_GE(lines, 1);
    EXPECT_LE(lines, 20) << "one line a second at most";
}

INSTANTIATE_TEST_SUITE_P(Kinds, WebFloodsFromOneAddress, ::testing::Values(Flood::HalfHead, Flood::Idle),
                         [](const ::testing::TestParamInfo<Flood::Kind>& info) {
                             return info.param == Flood::HalfHead ? std::string("HalfHeads") : std::string("Idle");
                         });

} // namespace
