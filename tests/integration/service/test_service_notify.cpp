// The service manager's notify protocol, against a socket this test listens
// on: READY=1 only once the web port accepts, WATCHDOG=1 from every heart
// tick, STOPPING=1 on SIGTERM, and nothing at all without NOTIFY_SOCKET.
#include "oxtest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : path_(path)
    {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        path.copy(addr.sun_path, sizeof addr.sun_path - 1);
        bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~NotifySocket()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool bound() const { return bound_; }
    // The next message, or empty when none arrives in time.
    std::string next(int timeoutMs)
    {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return {};
        char buf[512];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }

private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
};

TEST(ServiceNotify, ReadyOnceTheWebPortAcceptsThenWatchdogEveryTickAndStoppingAtTheEnd)
{
    oxt::OxNode node;
    NotifySocket manager(node.dir().file("notify.sock"));
    ASSERT_TRUE(manager.bound());
    node.options().env.push_back({"NOTIFY_SOCKET", node.dir().file("notify.sock")});
    node.options().readyPorts = {};
    ASSERT_TRUE(node.start());

    std::string first = manager.next(15000);
    ASSERT_EQ(first, "READY=1") << node.process().describe();
    // Whatever is ready must already accept when the manager hears of it.
    EXPECT_TRUE(oxt::tcpPortInUse(8001));
    EXPECT_TRUE(oxt::tcpPortInUse(8000));
    EXPECT_TRUE(oxt::tcpPortInUse(8010));
    EXPECT_TRUE(oxt::tcpPortInUse(8020));

    int watchdogs = 0;
    for (int i = 0; i < 10 && watchdogs < 3; ++i) {
        const std::string m = manager.next(3000);
        ASSERT_FALSE(m.empty()) << "the heart tick stopped notifying";
        if (m == "WATCHDOG=1")
            ++watchdogs;
    }
    EXPECT_EQ(watchdogs, 3);

    ASSERT_EQ(node.stop(), 0);
    std::string last;
    for (std::string m; !(m = manager.next(0)).empty();)
        last = m;
    EXPECT_EQ(last, "STOPPING=1");
    node.expectCleanExit();
}

TEST(ServiceNotify, NothingIsSentWithoutTheVariable)
{
    oxt::OxNode node;
    NotifySocket manager(node.dir().file("notify.sock"));
    ASSERT_TRUE(manager.bound());
    ASSERT_TRUE(node.start());
    // Two heart ticks would have notified by now.
    EXPECT_EQ(manager.next(2500), "");
    node.expectCleanExit();
}

} // namespace
