// The TCP stream ports under abuse from strangers, against the real oxnode:
// what the process keeps for them is bounded (resident memory from /proc),
// and the web API and node port keep answering while it goes on.
#include "node_sim.h"
#include "oxtest.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr long kMiB = 1024;  // in the KiB of /proc


int openFds(pid_t pid)
{
    std::error_code ec;
    int n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++n;
    return n;
}

// "Max open files" of a process: soft and hard.
std::pair<long, long> fileLimits(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/limits");
    std::string line;
    while (std::getline(f, line)) {
        if (line.rfind("Max open files", 0) == 0) {
            std::istringstream in(line.substr(14));
            long soft = -1, hard = -1;
            in >> soft >> hard;
            return {soft, hard};
        }
    }
    return {-1, -1};
}

class TcpAbuse : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(node.dir().writeFile("appcfg.json", "{\"localDevCfg\": false}"));
        // Quiet the per-connection and per-buffer lines: hundreds of peers.
        node.options().env = {{"QT_LOGGING_RULES", "oxnode.tcp.debug=false;oxnode.tcp.send.debug=false"}};
        node.options().readyPorts = {8000, 8001, 8010, 8020};
    }
    void TearDown() override { node.expectCleanExit(); }
    void start()
    {
        ASSERT_TRUE(node.start());
        ASSERT_TRUE(web.login()) << node.process().describe();
    }
    // getStreamList answered, and within a second.
    ::testing::AssertionResult apiAnswersPromptly()
    {
        const auto t0 = std::chrono::steady_clock::now();
        const QJsonObject r = web.post({{"cmd", "getStreamList"}});
        const double s = nodesim::secondsSince(t0);
        if (!r.value("data").isArray())
            return ::testing::AssertionFailure() << "no stream list: " << nodesim::compact(r);
        if (s >= 1.0)
            return ::testing::AssertionFailure() << "answered after " << s << " s";
        return ::testing::AssertionSuccess();
    }
    long rss() { return oxt::rssKb(node.process().pid()); }
    // Waits until the service holds `more` descriptors beyond `base`: accepted.
    ::testing::AssertionResult waitAccepted(int base, int more)
    {
        if (oxt::waitFor([&] { return openFds(node.process().pid()) >= base + more; }, 10000, 20))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << openFds(node.process().pid()) - base << " of " << more << " accepted";
    }
    int fds() { return openFds(node.process().pid()); }

    oxt::OxNode node;
    nodesim::Web web;
};

// n connections to port, from `from` (lo holds all of 127.0.0.0/8).
std::vector<std::unique_ptr<oxt::TcpClient>> connectMany(int port, int n, const std::string& from = {})
{
    std::vector<std::unique_ptr<oxt::TcpClient>> v;
    for (int i = 0; i < n; ++i) {
        v.push_back(std::make_unique<oxt::TcpClient>());
        if (!from.empty())
            v.back()->setLocalAddress(from);
        EXPECT_TRUE(v.back()->connect("127.0.0.1", port)) << "connection " << i;
    }
    return v;
}

TEST_F(TcpAbuse, IdleInputConnectionsCostLittleMemory)
{
    start();
    const long before = rss();
    const int base = fds();
    // From two addresses: one alone holds only a quarter of the slots.
    auto idle = connectMany(8010, 200, "127.0.0.3");
    auto idle2 = connectMany(8010, 200, "127.0.0.4");
    ASSERT_TRUE(waitAccepted(base, 400));
    EXPECT_TRUE(apiAnswersPromptly());
    const long after = rss();
    if (oxt::kMeasureRss) {
        EXPECT_LT(after - before, 10 * kMiB) << "RSS " << before << " -> " << after << " KiB";
    }
    // They are served, not just held: each gets the keep-alive.
    EXPECT_EQ(idle2.back()->recvExactly(1, 3500), "\n");
}

TEST_F(TcpAbuse, ClientsThatNeverReadShareOneBacklog)
{
    start();
    const int base = fds();
    std::vector<std::unique_ptr<oxt::TcpClient>> stuck;
    for (int i = 0; i < 10; ++i) {
        stuck.push_back(std::make_unique<oxt::TcpClient>());
        stuck.back()->setRecvBuffer(4096);
        ASSERT_TRUE(stuck.back()->connect("127.0.0.1", 8020));
    }
    auto source = std::make_unique<oxt::TcpClient>();
    ASSERT_TRUE(source->connect("127.0.0.1", 8010));
    ASSERT_TRUE(waitAccepted(base, 11));
    const long before = rss();
    long peak = before;
    const std::string chunk(64 * 1024, 'm');
    const size_t total = 48u * 1024 * 1024;
    for (size_t sent = 0; sent < total; sent += chunk.size()) {
        ASSERT_TRUE(source->sendAll(chunk, 10000));
        if (sent % (4 * 1024 * 1024) == 0) {
            peak = std::max(peak, rss());
            EXPECT_TRUE(apiAnswersPromptly()) << "after " << sent << " bytes";
        }
    }
    for (auto& c : stuck)
        EXPECT_TRUE(c->waitClosed(10000)) << "each is closed at its write limit";
    peak = std::max(peak, rss());
    if (!oxt::kMeasureRss)
        return;
    EXPECT_LT(peak - before, 64 * kMiB) << "RSS " << before << " -> peak " << peak << " KiB";
    EXPECT_TRUE(oxt::waitFor([&] { return rss() - before < 8 * kMiB; }, 5000, 50))
        << "RSS " << before << " -> " << rss() << " KiB after the clients are gone";
}

TEST_F(TcpAbuse, StreamPortFloodLeavesWebAndNodePortsUsable)
{
    // Started with a low soft limit: the service takes the hard one.
    rlimit mine{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &mine), 0);
    ASSERT_GT(mine.rlim_max, 1024u);
    rlimit lowered = mine;
    lowered.rlim_cur = 1024;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    start();
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &mine), 0);
    const pid_t pid = node.process().pid();
    EXPECT_EQ(fileLimits(pid).first, static_cast<long>(mine.rlim_max));

    // Lowered from outside while it runs; then a flood on the TCP input.
    const auto r = oxt::runCommand({"prlimit", "--pid", std::to_string(pid), "--nofile=256:256"});
    ASSERT_EQ(r.exitCode, 0) << r.out;
    ASSERT_EQ(fileLimits(pid).first, 256);
    auto flood = connectMany(8010, 300);
    ASSERT_TRUE(node.process().waitForOutput("refused: descriptor reserve reached", 10000));

    EXPECT_TRUE(web.login());
    EXPECT_TRUE(apiAnswersPromptly());
    nodesim::Node n("FLOOD-SN-1");
    EXPECT_TRUE(n.login());
}

// One address floods a stream port with more idle connections than the
// endpoint has slots (1000); it holds only its share, and a viewer and a
// source from another address are served meanwhile.
class TcpAddressShare : public TcpAbuse, public ::testing::WithParamInterface<int>
{
};

TEST_P(TcpAddressShare, OneAddressCannotTakeEverySlot)
{
    rlimit mine{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &mine), 0);
    ASSERT_GE(mine.rlim_max, 2000u) << "the flood needs descriptors";
    rlimit raised = mine;
    raised.rlim_cur = mine.rlim_max;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    start();
    auto flood = connectMany(GetParam(), 1100, "127.0.0.1");
    ASSERT_TRUE(node.process().waitForOutput("refused: connections from this address reached their share", 10000));
    EXPECT_TRUE(flood.back()->waitClosed(5000)) << "beyond its share the address is closed at accept";

    oxt::TcpClient viewer, source;
    viewer.setLocalAddress("127.0.0.2");
    source.setLocalAddress("127.0.0.2");
    ASSERT_TRUE(viewer.connect("127.0.0.1", 8020));
    ASSERT_TRUE(source.connect("127.0.0.1", 8010));
    const std::string chunk(1316, 'v');
    std::string got;
    EXPECT_TRUE(oxt::waitFor([&] {
        source.sendAll(chunk);
        got += viewer.recvSome(20);
        return got.find_first_not_of('\n') != std::string::npos;
    }, 10000, 10)) << "the other address's viewer got nothing";
    EXPECT_FALSE(viewer.peerClosed());
    EXPECT_TRUE(apiAnswersPromptly());
    flood.clear();
}

INSTANTIATE_TEST_SUITE_P(OutputAndInput, TcpAddressShare, ::testing::Values(8020, 8010),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return info.param == 8020 ? "output" : "input";
                         });

}  // namespace
