// The real oxnode relaying stream 0 (and others) over TCP, in a private
// network namespace: sources on 8010 + 20*N, clients on 8020 + 20*N.
#include "oxtest.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

const std::vector<int> kStream0Ports = {8010, 8020};

std::string randomBytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(rng());
    return s;
}

int localPort(const oxt::TcpClient& c)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(c.fd(), reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// Connects a client and waits until the service has logged the connection,
// so that no relayed byte can be missed by a client still connecting.
std::unique_ptr<oxt::TcpClient> connectClient(oxt::OxNode& node, int port, int recvBuffer = 0)
{
    auto c = std::make_unique<oxt::TcpClient>();
    if (recvBuffer)
        c->setRecvBuffer(recvBuffer);
    EXPECT_TRUE(c->connect("127.0.0.1", port));
    const std::string line = "127.0.0.1:" + std::to_string(localPort(*c)) + " connected!";
    EXPECT_TRUE(node.process().waitForOutput(line, 5000)) << line;
    return c;
}

// Both programs relay TCP the same way; every case runs against each.
class TcpRelay : public ::testing::TestWithParam<const char*>
{
protected:
    void start(const std::vector<int>& ports = kStream0Ports)
    {
        node.options().readyPorts = ports;
        ASSERT_TRUE(node.start(GetParam()));
    }
    void TearDown() override { node.expectCleanExit(); }
    oxt::OxNode node;
};

TEST_P(TcpRelay, FirstStartWritesBothFilesWithDefaults)
{
    start();
    EXPECT_EQ(node.dir().readFile("appcfg.json"),
              "{\n    \"localDevCfg\": true,\n    \"nicName\": \"\",\n    \"nodeToken\": \"73519046\",\n"
              "    \"password\": \"73519046\",\n    \"serverIP\": \"\",\n    \"username\": \"admin\",\n"
              "    \"webPort\": 8001\n}\n");
    const std::string streams = node.dir().readFile("stream.json");
    EXPECT_NE(streams.find("\"id\": 0,"), std::string::npos) << streams;
    EXPECT_NE(streams.find("\"name\": \"Not Set\","), std::string::npos) << streams;
    EXPECT_TRUE(node.process().waitForOutput("stream 0 start"));
}

TEST_P(TcpRelay, StreamZeroRelaysByteExactToEveryClient)
{
    start();
    std::vector<std::unique_ptr<oxt::TcpClient>> clients;
    for (int i = 0; i < 4; ++i)
        clients.push_back(connectClient(node, 8020));
    auto source = connectClient(node, 8010);
    const std::string payload = randomBytes(3 * 1024 * 1024 + 17, 1);
    for (size_t off = 0; off < payload.size(); off += 65536)
        ASSERT_TRUE(source->sendAll(payload.substr(off, 65536)));
    for (auto& c : clients) {
        const std::string got = c->recvExactly(payload.size(), 20000);
        ASSERT_EQ(got.size(), payload.size());
        EXPECT_TRUE(got == payload) << "relayed bytes differ";
    }
}

TEST_P(TcpRelay, SourcesComeAndGoAndClientsLeaveWithoutDisturbingOthers)
{
    start();
    auto stay = connectClient(node, 8020);
    auto leave = connectClient(node, 8020);
    {
        auto first = connectClient(node, 8010);
        ASSERT_TRUE(first->sendAll("first-source;"));
        EXPECT_EQ(stay->recvExactly(13), "first-source;");
        EXPECT_EQ(leave->recvExactly(13), "first-source;");
    } // the first source disconnects mid-stream
    leave->close();
    auto second = connectClient(node, 8010);
    ASSERT_TRUE(second->sendAll("second-source;"));
    EXPECT_EQ(stay->recvExactly(14), "second-source;");
    // Two sources at once both reach the output.
    auto third = connectClient(node, 8010);
    ASSERT_TRUE(third->sendAll("T"));
    ASSERT_TRUE(second->sendAll("S"));
    const std::string both = stay->recvExactly(2);
    EXPECT_TRUE(both == "TS" || both == "ST") << both;
}

TEST_P(TcpRelay, SourceReceivesKeepAliveNewlines)
{
    start();
    auto source = connectClient(node, 8010);
    EXPECT_EQ(source->recvExactly(1, 3500), "\n");
    EXPECT_EQ(source->recvExactly(1, 3500), "\n");
}

TEST_P(TcpRelay, ClientThatNeverReadsIsClosedAtItsQueueLimitOthersKeepReceiving)
{
    start();
    auto stuck = connectClient(node, 8020, 4096);
    auto reader = connectClient(node, 8020);
    auto source = connectClient(node, 8010);
    const std::string chunk = randomBytes(64 * 1024, 2);
    const size_t total = 48u * 1024 * 1024; // well past 16 MiB plus socket buffers
    size_t received = 0;
    bool identical = true;
    for (size_t sent = 0; sent < total; sent += chunk.size()) {
        ASSERT_TRUE(source->sendAll(chunk, 10000));
        const std::string got = reader->recvExactly(chunk.size(), 10000);
        identical = identical && got == chunk;
        received += got.size();
    }
    EXPECT_EQ(received, total);
    EXPECT_TRUE(identical);
    EXPECT_TRUE(stuck->waitClosed(10000)) << "a client that never reads must be dropped";
}

TEST_P(TcpRelay, PortInUseIsLoggedAndTheRestOfTheStreamWorks)
{
    const int held = oxt::holdTcpPort(8020);
    ASSERT_GE(held, 0);
    start({8010});
    EXPECT_TRUE(node.process().waitForOutput("st_tcp::st_tcp 失败：8020"));
    ::close(held);
    auto source = connectClient(node, 8010);
    ASSERT_TRUE(source->sendAll("nobody listens"));
    EXPECT_EQ(source->recvExactly(1, 3500), "\n");
}

TEST_P(TcpRelay, InputPortInUseIsLoggedAndOutputStillListens)
{
    const int held = oxt::holdTcpPort(8010);
    ASSERT_GE(held, 0);
    start({8020});
    EXPECT_TRUE(node.process().waitForOutput("========================"));
    ::close(held);
}

TEST_P(TcpRelay, StreamHundredFromFileListensOnItsPorts)
{
    node.dir().writeFile("stream.json", "[{\"id\": 100, \"name\": \"cam\"}]");
    start({10010, 10020});
    auto client = connectClient(node, 10020);
    auto source = connectClient(node, 10010);
    ASSERT_TRUE(source->sendAll("hundred"));
    EXPECT_EQ(client->recvExactly(7), "hundred");
    EXPECT_FALSE(oxt::tcpPortInUse(8010));
}

TEST_P(TcpRelay, TwoStreamsAreIndependent)
{
    node.dir().writeFile("stream.json", "[{\"id\": 0, \"name\": \"a\"}, {\"id\": 2, \"name\": \"b\"}]");
    start({8010, 8020, 8050, 8060});
    auto c0 = connectClient(node, 8020);
    auto c2 = connectClient(node, 8060);
    auto s2 = connectClient(node, 8050);
    ASSERT_TRUE(s2->sendAll("to-two"));
    EXPECT_EQ(c2->recvExactly(6), "to-two");
    EXPECT_EQ(c0->recvSome(300), "");
}

INSTANTIATE_TEST_SUITE_P(Programs, TcpRelay, ::testing::Values(OXNODE_BIN, OXNODE_BASIC_BIN),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.index == 0 ? "oxnode" : "oxnode_basic");
                         });

} // namespace
