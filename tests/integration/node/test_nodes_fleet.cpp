// A fleet against the real oxnode: 5,000 nodes connect and log in at once,
// report their status and keep alive past the liveness bound; every one is
// logged in, none is logged out, and the node list pages and filters them.
#include "node_sim.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFleet = 5000;

// One simulated node on a non-blocking socket.
struct FleetNode
{
    int fd = -1;
    std::string sn;
    std::string in;      // bytes read, not yet framed
    std::string out;     // bytes to send
    std::string session; // from "setToken"
    bool closedByPeer = false;
    int logouts = 0;
};

// Drives every node from one epoll loop: sends what each has queued and
// frames what comes back.
class Fleet
{
public:
    ~Fleet()
    {
        for (FleetNode& n : nodes)
            if (n.fd >= 0)
                ::close(n.fd);
        if (ep >= 0)
            ::close(ep);
    }
    bool open(int count)
    {
        ep = ::epoll_create1(EPOLL_CLOEXEC);
        nodes.resize(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) {
            char sn[16];
            std::snprintf(sn, sizeof sn, "fleet-%05d", i);
            nodes[static_cast<size_t>(i)].sn = sn;
            if (!dial(i))
                return false;
        }
        return true;
    }
    // Connects node i and sends its login at once, as a device does.
    bool dial(int i)
    {
        FleetNode& n = nodes[static_cast<size_t>(i)];
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(8000);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        n.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (n.fd < 0)
            return false;
        if (::connect(n.fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS)
            return false;
        n.in.clear();
        n.out.clear();
        queue(n, nodesim::Node(n.sn, i).loginFrame());
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT | EPOLLET;
        ev.data.u32 = static_cast<uint32_t>(i);
        if (::epoll_ctl(ep, EPOLL_CTL_ADD, n.fd, &ev) != 0)
            return false;
        flush(n);
        return true;
    }
    static void queue(FleetNode& n, const QJsonObject& frame)
    {
        n.out += nodesim::compact(frame);
        n.out.push_back('\0');
    }
    static void queueWithSession(FleetNode& n, QJsonObject frame)
    {
        frame.insert("sessionToken", QString::fromStdString(n.session));
        queue(n, frame);
    }
    void flush(FleetNode& n)
    {
        while (!n.out.empty() && n.fd >= 0) {
            const ssize_t k = ::send(n.fd, n.out.data(), n.out.size(), MSG_NOSIGNAL);
            if (k <= 0)
                return;
            n.out.erase(0, static_cast<size_t>(k));
        }
    }
    void flushAll()
    {
        for (FleetNode& n : nodes)
            flush(n);
    }
    // Runs the loop for up to ms; onToken is called once per node at login.
    void run(int ms, const std::function<void(FleetNode&)>& onToken)
    {
        const auto until = Clock::now() + std::chrono::milliseconds(ms);
        epoll_event evs[256];
        while (Clock::now() < until) {
            const int n = ::epoll_wait(ep, evs, 256, 50);
            for (int i = 0; i < n; ++i) {
                FleetNode& node = nodes[evs[i].data.u32];
                if (evs[i].events & EPOLLOUT)
                    flush(node);
                if (evs[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))
                    read(node, onToken);
            }
        }
    }
    int loggedIn() const
    {
        int k = 0;
        for (const FleetNode& n : nodes)
            k += !n.session.empty();
        return k;
    }
    std::vector<FleetNode> nodes;
    int redials = 0;

private:
    void read(FleetNode& n, const std::function<void(FleetNode&)>& onToken)
    {
        char buf[4096];
        for (;;) {
            const ssize_t k = ::recv(n.fd, buf, sizeof buf, 0);
            if (k == 0 || (k < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                ::epoll_ctl(ep, EPOLL_CTL_DEL, n.fd, nullptr);
                ::close(n.fd);
                n.fd = -1;
                // Closed before its login was answered: a device dials again.
                if (n.session.empty() && dial(static_cast<int>(&n - nodes.data()))) {
                    ++redials;
                    return;
                }
                n.closedByPeer = true;
                return;
            }
            if (k < 0)
                break;
            n.in.append(buf, static_cast<size_t>(k));
        }
        size_t end;
        while ((end = n.in.find('\0')) != std::string::npos) {
            const QJsonObject o = nodesim::parse(n.in.substr(0, end));
            n.in.erase(0, end + 1);
            const QString cmd = o.value("cmd").toString();
            if (cmd == "setToken" && n.session.empty()) {
                n.session = o.value("data").toObject().value("token").toString().toStdString();
                onToken(n);
            } else if (cmd == "logout") {
                ++n.logouts;
            }
        }
        flush(n);
    }
    int ep = -1;
};

TEST(NodesFleet, FiveThousandLogInAtOnceStayOnlineAndPage)
{
    rlimit rl{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &rl), 0);
    rl.rlim_cur = rl.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &rl);
    if (rl.rlim_cur < static_cast<rlim_t>(kFleet) * 2 + 200)
        GTEST_SKIP() << "needs " << kFleet * 2 + 200 << " descriptors, the limit is " << rl.rlim_cur;

    oxt::OxNode oxd;
    ASSERT_TRUE(oxd.dir().writeFile("appcfg.json", "{\"localDevCfg\": false}"));
    oxd.options().readyPorts = {8000};
    ASSERT_TRUE(oxd.start());
    nodesim::Web web;
    ASSERT_TRUE(web.login()) << oxd.process().describe();

    Fleet fleet;
    ASSERT_TRUE(fleet.open(kFleet));
    const auto status = [](FleetNode& n) {
        const int i = std::stoi(n.sn.substr(6));
        Fleet::queueWithSession(n, {{"cmd", "nodeStatus"},
                                    {"data", QJsonObject{{"alias", QString("cam %1").arg(i)},
                                                         {"workMode", i % 4 ? "enc" : "dec"},
                                                         {"version", "1.0"}}}});
    };
    const auto deadline = Clock::now() + std::chrono::seconds(180);
    while (fleet.loggedIn() < kFleet && Clock::now() < deadline)
        fleet.run(500, status);
    ASSERT_EQ(fleet.loggedIn(), kFleet) << oxd.process().describe();
    // Redials: connections that were still silent when room was made.
    std::printf("all %d logged in, %d redials\n", kFleet, fleet.redials);

    // Past the liveness bound (5 s) on keep-alives every 2 s.
    for (int round = 0; round < 4; ++round) {
        for (FleetNode& n : fleet.nodes)
            Fleet::queueWithSession(n, {{"cmd", "keepAlive"}});
        fleet.flushAll();
        fleet.run(2000, status);
    }
    int closed = 0, logouts = 0;
    for (const FleetNode& n : fleet.nodes) {
        closed += n.closedByPeer;
        logouts += n.logouts;
    }
    EXPECT_EQ(closed, 0);
    EXPECT_EQ(logouts, 0);

    const QJsonObject summary = web.post({{"cmd", "getNodeSummary"}}).value("data").toObject();
    EXPECT_EQ(summary.value("online").toInt(), kFleet) << nodesim::compact(summary);
    EXPECT_EQ(summary.value("offline").toInt(), 0);
    EXPECT_EQ(summary.value("byWorkMode").toObject().value("dec").toInt(), kFleet / 4);

    // Nodes are listed in order of first login; the page is the same slice of the whole list.
    const QJsonArray all = web.post({{"cmd", "getNodeList"}}).value("data").toArray();
    ASSERT_EQ(all.size(), kFleet);
    const QJsonObject page = web.post({{"cmd", "getNodeList"}, {"offset", 4990}, {"limit", 20}});
    EXPECT_EQ(page.value("total").toInt(), kFleet);
    const QJsonArray rows = page.value("data").toArray();
    ASSERT_EQ(rows.size(), 10);
    for (int i = 0; i < rows.size(); ++i)
        EXPECT_EQ(rows[i].toObject().value("sn"), all[4990 + i].toObject().value("sn"));
    const QJsonObject found = web.post({{"cmd", "getNodeList"}, {"match", "CAM 123"}, {"workMode", "dec"}});
    // Of cam 123 and cam 1230 to cam 1239, the multiples of four: 1232 and 1236.
    EXPECT_EQ(found.value("total").toInt(), 2) << nodesim::compact(found);
    oxd.expectCleanExit();
}

} // namespace
