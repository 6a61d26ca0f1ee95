// The real oxnode with an independent KCP peer (kcp-go, tests/kcppeer), in a
// private network namespace: a peer pushing into the oxlat input UDP
// 8011 + 20*N reaches the stream's TCP (and SRT) clients, and a peer that has
// sent one datagram to the oxlat output UDP 8021 + 20*N receives what a TCP
// source pushes into 8010 + 20*N. Skipped when OX_KCPPEER is not set.
#include "oxtest.h"

#include <gtest/gtest.h>

#include <QJsonObject>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Must stay identical to seededBytes in tests/kcppeer/main.go.
std::string seededBytes(size_t n, uint32_t seed)
{
    std::string out(n, '\0');
    uint32_t state = seed;
    for (auto& c : out) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<char>(state >> 24);
    }
    return out;
}

// Random bytes without 0: the pulling peer drops one-byte 0 messages (the
// session's keep-alives), and no piece of this payload can look like one.
std::string bytesWithoutZero(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(1 + rng() % 255);
    return s;
}

// True while some IPv4 socket of this namespace is bound to the UDP port.
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

int localPort(const oxt::TcpClient& c)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(c.fd(), reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

std::unique_ptr<oxt::TcpClient> connectClient(oxt::OxNode& node, int port)
{
    auto c = std::make_unique<oxt::TcpClient>();
    EXPECT_TRUE(c->connect("127.0.0.1", port));
    const std::string line = "127.0.0.1:" + std::to_string(localPort(*c)) + " connected!";
    EXPECT_TRUE(node.process().waitForOutput(line, 5000)) << line;
    return c;
}

bool onPath(const std::string& tool)
{
    return oxt::runCommand({"sh", "-c", "command -v " + tool}, 5000).exitCode == 0;
}

class OxlatBase
{
protected:
    // Starts oxnode with stream n only; returns false (with a failure) when it could not.
    ::testing::AssertionResult startStream(int n)
    {
        const char* p = std::getenv("OX_KCPPEER");
        peerBin = p ? p : "";
        if (n != 0)
            node.dir().writeFile("stream.json", "[{\"id\": " + std::to_string(n) + ", \"name\": \"lat\"}]");
        node.dir().writeFile("appcfg.json", "{\"localDevCfg\": false}");
        node.options().readyPorts = {8010 + 20 * n, 8020 + 20 * n};
        return node.start();
    }
    // The session binds its socket about a second after the stream starts.
    ::testing::AssertionResult waitUdpBound(int port)
    {
        if (oxt::waitFor([&] { return udpPortBound(port); }, 10000))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "UDP " << port << " never bound";
    }
    std::string peerBin;
    oxt::OxNode node;
};

#define REQUIRE_KCPPEER()                                                                                       \
    do {                                                                                                        \
        if (!std::getenv("OX_KCPPEER"))                                                                         \
            GTEST_SKIP() << "OX_KCPPEER is not set: build the kcp-go peer with tests/kcppeer/build.sh PATH and " \
                            "export OX_KCPPEER=PATH";                                                          \
    } while (0)

class Oxlat : public OxlatBase, public ::testing::TestWithParam<int>
{
protected:
    void SetUp() override
    {
        REQUIRE_KCPPEER();
        n = GetParam();
        ASSERT_TRUE(startStream(n));
    }
    void TearDown() override
    {
        if (std::getenv("OX_KCPPEER"))
            node.expectCleanExit();
    }
    int n = 0;
};

TEST_P(Oxlat, KcpPeerPushingIntoTheInputReachesTcpClientsByteExact)
{
    auto client = connectClient(node, 8020 + 20 * n);
    const int in = 8011 + 20 * n;
    ASSERT_TRUE(waitUdpBound(in));
    const size_t size = 2 * 1000 * 1000 + 123;
    node.dir().mkdir("peer");
    oxt::Process peer;
    ASSERT_TRUE(peer.start({peerBin, "send", "-dial", "127.0.0.1:" + std::to_string(in), "-bytes",
                            std::to_string(size), "-seed", "7", "-hold", "-timeout", "60s"},
                           node.dir().file("peer")))
        << peer.error();
    // The peer dials in its own conversation; the session adopts it after
    // eleven datagrams and a fresh session, and KCP resends what was lost.
    const std::string got = client->recvExactly(size, 30000);
    ASSERT_EQ(got.size(), size) << peer.describe();
    EXPECT_TRUE(got == seededBytes(size, 7)) << "relayed bytes differ";
    EXPECT_TRUE(node.process().waitForOutput("CONV 出错"));
    peer.terminate(5000);
}

TEST_P(Oxlat, KcpPeerThatSentOneDatagramToTheOutputReceivesWhatTcpSourcesPush)
{
    const int out = 8021 + 20 * n;
    ASSERT_TRUE(waitUdpBound(out));
    const std::string payload = bytesWithoutZero(1500 * 1000 + 77, 3);
    node.dir().mkdir("peer");
    const std::string outFile = node.dir().file("peer/got.bin");
    oxt::Process peer;
    ASSERT_TRUE(peer.start({peerBin, "recv", "-knock", "127.0.0.1:" + std::to_string(out), "-bytes",
                            std::to_string(payload.size()), "-skipzero", "-out", outFile, "-timeout", "60s"},
                           node.dir().file("peer")))
        << peer.error();
    ASSERT_TRUE(peer.waitForOutput("knocked from", 5000, oxt::Process::Stderr)) << peer.describe();
    auto source = connectClient(node, 8010 + 20 * n);
    for (size_t off = 0; off < payload.size(); off += 65536)
        ASSERT_TRUE(source->sendAll(payload.substr(off, 65536)));
    ASSERT_TRUE(oxt::waitFor([&] { return !peer.running(); }, 30000)) << peer.describe();
    ASSERT_EQ(peer.exitStatus(), 0) << peer.describe();
    const std::string got = oxt::readWholeFile(outFile);
    ASSERT_EQ(got.size(), payload.size());
    EXPECT_TRUE(got == payload) << "relayed bytes differ";
}

INSTANTIATE_TEST_SUITE_P(Streams, Oxlat, ::testing::Values(0, 2),
                         [](const auto& info) { return "Stream" + std::to_string(info.param); });

class OxlatToSrt : public OxlatBase, public ::testing::Test
{
protected:
    void TearDown() override
    {
        if (started)
            node.expectCleanExit();
    }
    bool started = false;
};

// libsrt may lose the first packets of a fresh connection, so the KCP peer
// sends filler ('W') first; the SRT client must see some filler, exactly the
// payload, and filler again.
TEST_F(OxlatToSrt, KcpPeerPushingIntoTheInputReachesSrtClients)
{
    REQUIRE_KCPPEER();
    if (!onPath("srt-live-transmit"))
        GTEST_SKIP() << "srt-live-transmit is not installed";
    ASSERT_TRUE(startStream(0));
    started = true;
    ASSERT_TRUE(waitUdpBound(8011));
    node.dir().mkdir("sink");
    node.dir().mkdir("peer");
    oxt::Process sink;
    const int acceptedBefore = node.process().countOccurrences("socket fd:");
    ASSERT_TRUE(sink.start({"srt-live-transmit", "-chunk:1316", "srt://127.0.0.1:8020?mode=caller&latency=20",
                            "file://con"},
                           node.dir().file("sink"), {}, node.dir().file("sink")))
        << sink.error();
    ASSERT_TRUE(oxt::waitFor([&] { return node.process().countOccurrences("socket fd:") > acceptedBefore; }, 10000))
        << "the SRT client was not accepted: " << sink.describe();

    const std::string filler(256 * 1024, 'W');
    const std::string payload = seededBytes(1000 * 1000, 11);
    // Trailing filler too: srt-live-transmit writes its output in whole blocks.
    ASSERT_TRUE(node.dir().writeFile("peer/in.bin", filler + payload + filler));
    oxt::Process peer;
    ASSERT_TRUE(peer.start({peerBin, "send", "-dial", "127.0.0.1:8011", "-stdin", "-hold", "-timeout", "60s"},
                           node.dir().file("peer"), {}, {}, node.dir().file("peer/in.bin")))
        << peer.error();
    const std::string tail = payload.substr(payload.size() - 4096);
    ASSERT_TRUE(oxt::waitFor([&] { return sink.stdoutText().find(tail) != std::string::npos; }, 30000, 20))
        << "SRT client got " << sink.stdoutText().size() << " bytes; " << peer.describe();
    const std::string got = sink.stdoutText();
    // Filler, the payload, filler (the payload may itself begin with 'W').
    const size_t lead = payload.find_first_not_of('W');
    const size_t firstNonFiller = got.find_first_not_of('W');
    ASSERT_NE(firstNonFiller, std::string::npos);
    ASSERT_GE(firstNonFiller, lead);
    const size_t pre = firstNonFiller - lead;
    ASSERT_GE(got.size(), pre + payload.size());
    EXPECT_TRUE(got.compare(pre, payload.size(), payload) == 0) << "relayed bytes differ";
    EXPECT_EQ(got.find_first_not_of('W', pre + payload.size()), std::string::npos) << "only filler after the payload";
    peer.terminate(5000);
    sink.terminate(5000);
}

// ---- hostile input ---------------------------------------------------------


// One KCP segment header (little-endian) followed by `payload`.
std::string segment(uint32_t conv, uint8_t cmd, uint32_t sn, const std::string& payload)
{
    std::string s(24, '\0');
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            s[at + static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xff);
    };
    put32(0, conv);
    s[4] = static_cast<char>(cmd);
    s[6] = static_cast<char>(128);
    put32(12, sn);
    put32(20, static_cast<uint32_t>(payload.size()));
    return s + payload;
}

class OxlatAbuse : public OxlatBase, public ::testing::Test
{
protected:
    void TearDown() override
    {
        if (started)
            node.expectCleanExit();
    }
    bool started = false;
};

// A stranger takes over the output's conversation (as any peer may) and
// then sends segments far longer than any MTU, out of order: they are
// refused on input, memory stays flat and the web API keeps answering.
TEST_F(OxlatAbuse, OversizedSegmentsInAnAdoptedConversationCostNoMemory)
{
    node.options().readyPorts = {8001, 8010, 8020};
    ASSERT_TRUE(startStream(0));
    started = true;
    const int out = 8021;
    ASSERT_TRUE(waitUdpBound(out));

    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(out);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto sendDatagram = [&](const std::string& d) {
        return ::sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
               static_cast<ssize_t>(d.size());
    };
    const uint32_t conv = 0x0badc0de;
    for (int i = 0; i < 12; ++i)
        ASSERT_TRUE(sendDatagram(segment(conv, 81, 0, "x")));
    // The next session speaks our conversation: it acknowledges segment 0.
    ASSERT_TRUE(oxt::waitFor(
        [&] {
            sendDatagram(segment(conv, 81, 0, "x"));
            pollfd p{fd, POLLIN, 0};
            char buf[1500];
            if (::poll(&p, 1, 100) <= 0 || ::recv(fd, buf, sizeof buf, 0) < 4)
                return false;
            uint32_t c;
            std::memcpy(&c, buf, 4);
            return c == conv;
        },
        10000, 0))
        << "the conversation was not adopted";

    oxt::HttpConnection http(8001);
    const QJsonObject login = http.apiPost(
        {{"cmd", "login"}, {"user", "admin"}, {"passMd5", QString::fromStdString(oxt::md5Hex("73519046"))}});
    const QString token = login.value("token").toString();
    ASSERT_FALSE(token.isEmpty());
    auto apiMs = [&] {
        const auto t0 = std::chrono::steady_clock::now();
        const QJsonObject r = http.apiPost({{"cmd", "getStreamList"}, {"token", token}});
        EXPECT_TRUE(r.contains("data"));
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    };

    const long before = oxt::rssKb(node.process().pid());
    long peak = before;
    long slowest = 0;
    const std::string payload(65000, 'A');
    for (uint32_t i = 0; i < 10300; ++i) {
        sendDatagram(segment(conv, 81, 2 + i, payload)); // the receiver may drop some: that is allowed
        if (i % 1000 == 999) {
            peak = std::max(peak, oxt::rssKb(node.process().pid()));
            slowest = std::max<long>(slowest, apiMs());
        }
    }
    peak = std::max(peak, oxt::rssKb(node.process().pid()));
    slowest = std::max<long>(slowest, apiMs());
    ::close(fd);
    EXPECT_LT(peak - before, 64 * 1024) << "RSS " << before << " kB before, " << peak << " kB at the peak";
    EXPECT_LT(slowest, 1000) << "slowest API answer in ms";
    EXPECT_TRUE(node.process().waitForOutput("segments longer than 1476 bytes refused"));
}

} // namespace
