// Each flag of the program profile, with both of its values, against the one
// core library: what the reduced program does differently is data, not a
// separate build.
#include "node/oxNode.h"
#include "service/oxProfile.h"
#include "service/oxServices.h"
#include "oxStream.h"
#include "oxStreamBuffers.h"
#include "node/nodeServer.h"
#include "node/oxTcpClientSocket.h"
#include "sr_oxdp/sr_oxdp.h"
#include "st_oxdp/st_oxdp.h"
#include "st_tcp/st_tcp.h"

#include "oxsocket.h"
#include "oxtest.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QStringList>
#include <QTcpSocket>

#include <memory>
#include <string>
#include <thread>

#include <unistd.h>

namespace {

// Selects a profile for one case and restores the previous one after it.
class ScopedProfile
{
public:
    explicit ScopedProfile(const oxProfile& p) { oxProfile::select(p); }
    ~ScopedProfile() { oxProfile::select(saved); }

private:
    const oxProfile saved = oxProfile::current();
};

QStringList sortedKeys(const QJsonObject& o)
{
    QStringList k = o.keys();
    k.sort();
    return k;
}

TEST(Profile, TheTwoProgramsDifferInEveryFlag)
{
    const oxProfile full = oxProfile::full();
    const oxProfile basic = oxProfile::basic();
    EXPECT_NE(full.liveStatus, basic.liveStatus);
    EXPECT_EQ(full.srtUrlLatencyMs, 20);
    EXPECT_EQ(basic.srtUrlLatencyMs, 35);
    EXPECT_NE(full.tcpOutputListensOnlyWhileStarted, basic.tcpOutputListensOnlyWhileStarted);
    EXPECT_NE(full.tcpOutputSendGate, basic.tcpOutputSendGate);
    EXPECT_NE(full.streamCommandsOnCallerThread, basic.streamCommandsOnCallerThread);
    EXPECT_NE(full.nodeKeepsNumber, basic.nodeKeepsNumber);
}

// liveStatus and srtUrlLatencyMs, as the SRT endpoints report them. Port 50
// is refused, so nothing is opened.
struct SrtProfileCase {
    const char* name;
    bool liveStatus;
    int urlLatencyMs;
    QStringList statusKeys;
};

class SrtProfile : public ::testing::TestWithParam<SrtProfileCase>
{
};

TEST_P(SrtProfile, StatusKeysAndUrlFollowTheProfile)
{
    oxProfile p = oxProfile::full();
    p.liveStatus = GetParam().liveStatus;
    p.srtUrlLatencyMs = GetParam().urlLatencyMs;
    ScopedProfile scoped(p);
    oxStream owner(nullptr, 0, QJsonObject());
    const QJsonObject cfg{{"name", "p"}, {"port", 50}};
    std::unique_ptr<oxStreamType> eps[] = {std::make_unique<sr_oxdp>(2, cfg), std::make_unique<st_oxdp>(2, cfg)};
    ::testing::internal::CaptureStdout();
    for (auto& ep : eps) {
        ep->stream = &owner;
        ep->start();
        EXPECT_EQ(sortedKeys(ep->getStatus()), GetParam().statusKeys) << qPrintable(ep->type);
        EXPECT_TRUE(ep->url.endsWith(QStringLiteral(":50?latency=%1").arg(GetParam().urlLatencyMs)))
            << qPrintable(ep->url);
    }
    ::testing::internal::GetCapturedStdout();
}

INSTANTIATE_TEST_SUITE_P(
    Flags, SrtProfile,
    ::testing::Values(SrtProfileCase{"LiveStatus", true, 20,
                                     {"band", "banduse", "id", "name", "pktDrop", "pktLoss", "rtt", "srtReady", "type",
                                      "url"}},
                      SrtProfileCase{"ConfigurationOnly", false, 35, {"id", "name", "type", "url"}}),
    [](const auto& info) { return std::string(info.param.name); });

// liveStatus in the stream list of the service.
class ServiceProfile : public ::testing::TestWithParam<bool>
{
protected:
    void SetUp() override
    {
        previous = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(dir.path())));
    }
    void TearDown() override { QDir::setCurrent(previous); }
    oxt::TempDir dir;
    QString previous;
};

// A stream whose one endpoint tells configuration and status apart.
struct TellingEndpoint : oxStreamType {
    void start() override {}
    void stop() override {}
    QJsonObject getCfg() override { return {{"reported", "cfg"}}; }
    QJsonObject getStatus() override { return {{"reported", "status"}}; }
};

class TellingStream : public oxStream
{
public:
    TellingStream() : oxStream(nullptr, 7, QJsonObject()) {}

protected:
    void createEndpoints() override { inList.append(new TellingEndpoint); }
};

TEST_P(ServiceProfile, StreamListReportsLiveStatusOrConfiguration)
{
    oxProfile p = oxProfile::full();
    p.liveStatus = GetParam();
    ScopedProfile scoped(p);
    oxServices services;
    auto* s = new TellingStream; // owned by the service from here on
    services.streams.append(s);
    s->start();
    QCoreApplication::sendPostedEvents();
    ASSERT_TRUE(s->isRunning());
    const QJsonObject reported = services.getStreamList().last().toObject();
    EXPECT_EQ(reported.value("inList").toArray().at(0).toObject().value("reported").toString(),
              GetParam() ? "status" : "cfg");
}

INSTANTIATE_TEST_SUITE_P(Flags, ServiceProfile, ::testing::Bool());

// The two TCP output flags. Each row proves its behaviour by what a client
// receives: TCP keeps order, so a buffer held back by the gate would have
// arrived before the one that follows it.
struct TcpProfileCase {
    const char* name;
    bool listensOnlyWhileStarted;
    bool sendGate;
};

class TcpOutputProfile : public ::testing::TestWithParam<TcpProfileCase>
{
};

void offer(st_tcp& out, const std::string& bytes)
{
    std::unique_ptr<oxStreamBuf> b(oxStreamBuf::createStreamBuf(
        BUF_STREAM_H265, bytes.data(), static_cast<int>(bytes.size()), static_cast<int>(bytes.size()), nullptr));
    out.putBufIn(b.get());
}

int freeTcpPort()
{
    for (int port = 30000 + static_cast<int>(::getpid() % 20000);; port = 30000 + (port + 7) % 30000) {
        const int fd = oxt::holdTcpPort(port);
        if (fd >= 0) {
            ::close(fd);
            return port;
        }
    }
}

TEST_P(TcpOutputProfile, ListeningAndTheSendGateFollowTheProfile)
{
    const TcpProfileCase& c = GetParam();
    oxProfile p = oxProfile::full();
    p.tcpOutputListensOnlyWhileStarted = c.listensOnlyWhileStarted;
    p.tcpOutputSendGate = c.sendGate;
    ScopedProfile scoped(p);
    oxStream owner(nullptr, 0, QJsonObject());
    const int port = freeTcpPort();
    st_tcp out(1, QJsonObject{{"name", "p_tcpTx"}, {"port", port}});
    out.stream = &owner;
    oxt::TcpClient client;
    ASSERT_TRUE(client.connect("127.0.0.1", port));
    if (!c.listensOnlyWhileStarted) {
        // Served before start.
        ASSERT_TRUE(oxt::waitFor([&] { return out.getStatus().value("linkStatus").toBool(); }));
        offer(out, "before-start|");
        if (!c.sendGate) {
            EXPECT_EQ(client.recvUntil('|'), "before-start|");
        }
    }
    out.start();
    // The gate opens once the connection is counted, a moment after accept.
    ASSERT_TRUE(oxt::waitFor([&] {
        offer(out, "started|");
        return client.recvUntil('|', 20) == "started|";
    }, 5000, 0));
    offer(out, "sync#");
    std::string drained = client.recvUntil('#');
    for (size_t at; (at = drained.find("started|")) != std::string::npos;)
        drained.erase(at, 8);
    EXPECT_EQ(drained, "sync#");
    out.stop();
    if (c.listensOnlyWhileStarted) {
        EXPECT_TRUE(client.waitClosed()) << "stop ends the network threads and their connections";
    } else {
        offer(out, "stopped|");
        out.start();
        offer(out, "end|");
        EXPECT_EQ(client.recvUntil('|'), c.sendGate ? "end|" : "stopped|");
    }
}

INSTANTIATE_TEST_SUITE_P(Flags, TcpOutputProfile,
                         ::testing::Values(TcpProfileCase{"AlwaysListeningGated", false, true},
                                           TcpProfileCase{"AlwaysListeningUngated", false, false},
                                           TcpProfileCase{"ListeningWhileStartedUngated", true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// streamCommandsOnCallerThread: start from another thread runs there at once,
// or waits for the main thread's event loop.
class QuietStream : public oxStream
{
public:
    QuietStream() : oxStream(nullptr, 0, QJsonObject()) {}

protected:
    void createEndpoints() override {}
};

class StreamCommandProfile : public ::testing::TestWithParam<bool>
{
};

TEST_P(StreamCommandProfile, StartFromAnotherThreadRunsThereOrIsQueued)
{
    oxProfile p = oxProfile::full();
    p.streamCommandsOnCallerThread = GetParam();
    ScopedProfile scoped(p);
    QuietStream s;
    std::thread([&s] { s.start(); }).join();
    EXPECT_EQ(s.isRunning(), GetParam());
    QCoreApplication::sendPostedEvents();
    EXPECT_TRUE(s.isRunning());
}

INSTANTIATE_TEST_SUITE_P(Flags, StreamCommandProfile, ::testing::Bool());

// nodeKeepsNumber: the "id" of a later login.
class NodeNumberProfile : public ServiceProfile
{
};

TEST_P(NodeNumberProfile, LoginWithAnotherIdKeepsOrTakesIt)
{
    oxProfile p = oxProfile::full();
    p.nodeKeepsNumber = GetParam();
    ScopedProfile scoped(p);
    oxServices services;
    std::unique_ptr<oxNode> node(oxNode::createNew(3, QStringLiteral("SN-00001"), &services));
    ASSERT_NE(node, nullptr);
    nodeServer port;
    ASSERT_TRUE(port.listen(0, 4, 4, 0));
    oxTcpClientSocket* c = nullptr;
    QObject::connect(&port, &nodeServer::newClient, [&c](oxTcpClientSocket* arrived) { c = arrived; });
    port.start();
    QTcpSocket peer;
    peer.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port.listenPort()));
    ASSERT_TRUE(oxt::waitFor([&c] { return c != nullptr; }));
    node->tcpLogin(c, QJsonObject{{"cmd", "nodeLogin"}, {"token", services.nodeTokenMd5}, {"id", 9}});
    EXPECT_EQ(node->id, GetParam() ? 3 : 9);
}

INSTANTIATE_TEST_SUITE_P(Flags, NodeNumberProfile, ::testing::Bool());

} // namespace
