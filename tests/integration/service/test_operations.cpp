// The operator's view of a running relay: GET /metrics read with the
// reference Prometheus parser (python3-prometheus-client) against a relay
// whose byte counts the test knows, its access rule, and the commands that
// list and close the clients of a stream, against real TCP, SRT
// (srt-live-transmit) and KCP (tests/kcppeer) peers.
#include "oxtest.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

// Debian's interpreter, whose package holds the parser (not whatever python3 comes first on PATH).
const char kPython[] = "/usr/bin/python3";
const std::string kPassword = "73519046";

// Prints every sample of the text in argv[1] as one JSON array.
const char kParser[] = R"(
import json, sys
from prometheus_client.parser import text_string_to_metric_families
out = []
for fam in text_string_to_metric_families(open(sys.argv[1], encoding='utf-8').read()):
    for s in fam.samples:
        out.append({'family': fam.name, 'type': fam.type, 'name': s.name, 'labels': s.labels, 'value': s.value})
print(json.dumps(out))
)";

struct Sample {
    std::string name;
    std::map<std::string, std::string> labels;
    double value = 0;
};

bool onPath(const std::string& tool)
{
    return oxt::runCommand({"sh", "-c", "command -v " + tool}, 5000).exitCode == 0;
}

bool haveParser()
{
    return oxt::runCommand({kPython, "-c", "import prometheus_client.parser"}, 10000).exitCode == 0;
}

int localPort(const oxt::TcpClient& c)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(c.fd(), reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

class Operations : public ::testing::Test
{
protected:
    void start()
    {
        node.dir().writeFile("appcfg.json", "{\"localDevCfg\": false}");
        node.options().readyPorts = {8001, 8010, 8020};
        ASSERT_TRUE(node.start());
    }
    void TearDown() override
    {
        if (started)
            node.expectCleanExit();
    }

    std::unique_ptr<oxt::TcpClient> connectClient(int port)
    {
        auto c = std::make_unique<oxt::TcpClient>();
        EXPECT_TRUE(c->connect("127.0.0.1", port));
        const std::string line = "127.0.0.1:" + std::to_string(localPort(*c)) + " connected!";
        EXPECT_TRUE(node.process().waitForOutput(line, 10000)) << line;
        return c;
    }

    QJsonObject call(QJsonObject request)
    {
        if (token.isEmpty()) {
            const QJsonObject r = oxt::apiPost(8001, {{"cmd", "login"},
                                                      {"user", "admin"},
                                                      {"passMd5", QString::fromStdString(oxt::md5Hex(kPassword))}});
            token = r.value("token").toString();
            EXPECT_FALSE(token.isEmpty());
        }
        request.insert("token", token);
        return oxt::apiPost(8001, request);
    }

    // The clients of one endpoint of stream 0, as the service lists them.
    QJsonArray clientsOf(const QString& endpoint)
    {
        const QJsonObject r = call({{"cmd", "getStreamClients"}, {"id", 0}});
        const QJsonObject data = r.value("data").toObject();
        for (const char* list : {"inList", "outList"}) {
            for (const QJsonValue& ep : data.value(list).toArray()) {
                if (ep.toObject().value("type").toString() == endpoint)
                    return ep.toObject().value("clients").toArray();
            }
        }
        return {};
    }

    QJsonObject closeClient(const QString& endpoint, const QString& peer)
    {
        return call({{"cmd", "closeStreamClient"}, {"id", 0}, {"endpoint", endpoint}, {"peer", peer}});
    }

    std::vector<Sample> parsedMetrics(std::string* raw = nullptr)
    {
        const oxt::HttpResponse r = oxt::httpRequest(8001, "GET", "/metrics");
        EXPECT_EQ(r.status, 200) << r.raw;
        EXPECT_EQ(r.header("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
        if (raw)
            *raw = r.body;
        node.dir().writeFile("metrics.txt", r.body);
        const oxt::CommandResult parsed = oxt::runCommand({kPython, "-c", kParser, node.dir().file("metrics.txt")}, 20000);
        EXPECT_EQ(parsed.exitCode, 0) << parsed.out << "\n" << oxt::tail(r.body);
        std::vector<Sample> out;
        for (const QJsonValue& v : QJsonDocument::fromJson(QByteArray::fromStdString(parsed.out)).array()) {
            const QJsonObject o = v.toObject();
            Sample s;
            s.name = o.value("name").toString().toStdString();
            const QJsonObject labels = o.value("labels").toObject();
            for (auto it = labels.begin(); it != labels.end(); ++it)
                s.labels[it.key().toStdString()] = it.value().toString().toStdString();
            s.value = o.value("value").toDouble();
            out.push_back(s);
        }
        return out;
    }

    static std::optional<double> value(const std::vector<Sample>& samples, const std::string& name,
                                       const std::map<std::string, std::string>& labels = {})
    {
        for (const Sample& s : samples) {
            if (s.name != name)
                continue;
            bool match = true;
            for (const auto& kv : labels) {
                auto it = s.labels.find(kv.first);
                match = match && it != s.labels.end() && it->second == kv.second;
            }
            if (match)
                return s.value;
        }
        return std::nullopt;
    }

    oxt::OxNode node;
    bool started = false;
    QString token;
};

TEST_F(Operations, MetricsOfAKnownTcpRelayParseAndAddUp)
{
    if (!haveParser())
        GTEST_SKIP() << "python3-prometheus-client is not installed";
    // A name with every character the label syntax must escape.
    const std::string name = "cam \\\"one\"\nhall";
    node.dir().writeFile("stream.json", "[{\"id\": 0, \"name\": \"cam \\\\\\\"one\\\"\\nhall\"}]");
    start();
    started = true;
    auto client = connectClient(8020);
    auto source = connectClient(8010);
    const std::string payload(300 * 1000 + 11, 'x');
    ASSERT_TRUE(source->sendAll(payload));
    ASSERT_EQ(client->recvExactly(payload.size(), 20000).size(), payload.size());

    const std::map<std::string, std::string> stream = {{"stream", "0"}, {"name", name}};
    auto endpoint = [&](const char* type) {
        auto l = stream;
        l["endpoint"] = type;
        return l;
    };
    std::vector<Sample> m;
    std::string raw;
    // The stream's byte count is summed by its one-second tick.
    ASSERT_TRUE(oxt::waitFor(
        [&] {
            m = parsedMetrics(&raw);
            return value(m, "oxnode_stream_received_bytes_total", stream) == double(payload.size());
        },
        15000, 200))
        << oxt::tail(raw);
    const double size = double(payload.size());
    EXPECT_EQ(value(m, "oxnode_endpoint_received_bytes_total", endpoint("sr_tcp")), size);
    EXPECT_EQ(value(m, "oxnode_endpoint_sent_bytes_total", endpoint("st_tcp")), size);
    EXPECT_EQ(value(m, "oxnode_endpoint_clients", endpoint("st_tcp")), 1.0);
    EXPECT_EQ(value(m, "oxnode_endpoint_clients", endpoint("sr_tcp")), 1.0);
    EXPECT_EQ(value(m, "oxnode_endpoint_link_up", endpoint("st_tcp")), 1.0);
    EXPECT_EQ(value(m, "oxnode_endpoint_write_limit_closed_total", endpoint("st_tcp")), 0.0);
    EXPECT_TRUE(value(m, "oxnode_endpoint_dropped_copies_total", endpoint("st_oxdp")).has_value());
    EXPECT_TRUE(value(m, "oxnode_srt_rtt_seconds", endpoint("st_oxdp")).has_value());
    EXPECT_TRUE(value(m, "oxnode_oxlat_rto_seconds", endpoint("st_lat")).has_value());
    EXPECT_EQ(value(m, "oxnode_build_info", {{"program", "oxnode"}}), 1.0);
    EXPECT_EQ(value(m, "oxnode_nodes", {{"state", "online"}}), 0.0);
    EXPECT_EQ(value(m, "oxnode_node_logins_total"), 0.0);
    EXPECT_GE(value(m, "oxnode_web_requests_total", {{"result", "ok"}}).value_or(0), 1.0);
    EXPECT_GT(value(m, "oxnode_process_open_fds").value_or(0), 10.0);
    EXPECT_GT(value(m, "oxnode_process_resident_memory_bytes").value_or(0), 1e6);
    EXPECT_GT(value(m, "oxnode_process_start_time_seconds").value_or(0), 1.6e9);
    // Neither the password nor its digest, the login secret of the console.
    EXPECT_EQ(raw.find(kPassword), std::string::npos);
    EXPECT_EQ(raw.find(oxt::md5Hex(kPassword)), std::string::npos);
}

TEST_F(Operations, MetricsFromAnotherAddressNeedTheWebUsersBasicCredentials)
{
    ASSERT_EQ(oxt::runCommand({"ip", "addr", "add", "10.77.0.1/32", "dev", "lo"}).exitCode, 0);
    start();
    started = true;
    struct Case {
        const char* what;
        std::string authorization;
        int status;
    };
    const std::vector<Case> cases = {
        {"no credentials", "", 401},
        {"wrong password", "Basic " + QByteArray("admin:wrong").toBase64().toStdString(), 401},
        {"wrong user", "Basic " + QByteArray::fromStdString("root:" + kPassword).toBase64().toStdString(), 401},
        {"the digest instead of the password",
         "Basic " + QByteArray::fromStdString("admin:" + oxt::md5Hex(kPassword)).toBase64().toStdString(), 401},
        {"the web user's password", "Basic " + QByteArray::fromStdString("admin:" + kPassword).toBase64().toStdString(),
         200},
    };
    for (const Case& c : cases) {
        oxt::HttpConnection conn(8001, "10.77.0.1");
        oxt::HttpHeaders headers;
        if (!c.authorization.empty())
            headers.push_back({"Authorization", c.authorization});
        const oxt::HttpResponse r = conn.request("GET", "/metrics", {}, headers);
        EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.raw;
        if (c.status == 401) {
            EXPECT_EQ(r.header("WWW-Authenticate"), "Basic realm=\"oxnode\"") << c.what;
        } else {
            EXPECT_NE(r.body.find("oxnode_build_info"), std::string::npos) << c.what;
        }
    }
    // A request is counted once its reply is written, which the client may
    // see first: the count is read until it is there.
    oxt::HttpResponse local;
    EXPECT_TRUE(oxt::waitFor([&] {
        local = oxt::httpRequest(8001, "GET", "/metrics");
        return local.body.find("oxnode_web_requests_total{result=\"unauthorized\"} 4\n") != std::string::npos;
    }, 5000, 20)) << oxt::tail(local.body);
    EXPECT_EQ(local.status, 200);

    // Changed from the console, the password is kept as its digest: the
    // plain password still reads, and so does that configured value itself.
    const std::string digest = oxt::md5Hex("s3cret");
    const QJsonObject changed = call({{"cmd", "setWebPassword"},
                                      {"old", QString::fromStdString(oxt::md5Hex(kPassword))},
                                      {"new", QString::fromStdString(digest)}});
    ASSERT_EQ(changed.value("results").toString(), "success");
    for (const std::string& pass : {std::string("s3cret"), digest}) {
        oxt::HttpConnection conn(8001, "10.77.0.1");
        const oxt::HttpResponse r = conn.request(
            "GET", "/metrics", {},
            {{"Authorization", "Basic " + QByteArray::fromStdString("admin:" + pass).toBase64().toStdString()}});
        EXPECT_EQ(r.status, 200) << pass;
    }
    // Guessing is a failed login: five in a minute, and the right password waits too.
    auto metricsWith = [](const std::string& pass) {
        oxt::HttpConnection conn(8001, "10.77.0.1");
        return conn.request("GET", "/metrics", {},
                            {{"Authorization", "Basic " + QByteArray::fromStdString("admin:" + pass).toBase64().toStdString()}})
            .status;
    };
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(metricsWith("guess" + std::to_string(i)), 401);
    EXPECT_EQ(metricsWith("s3cret"), 401);
}

TEST_F(Operations, TcpClientsAndPublishersAreListedAndOneIsClosed)
{
    start();
    started = true;
    auto keep = connectClient(8020);
    auto kick = connectClient(8020);
    auto source = connectClient(8010);
    const std::string payload(64 * 1024, 'p');
    ASSERT_TRUE(source->sendAll(payload));
    ASSERT_EQ(keep->recvExactly(payload.size(), 10000).size(), payload.size());
    ASSERT_EQ(kick->recvExactly(payload.size(), 10000).size(), payload.size());

    // Without a login the gate answers as for any command.
    const QJsonObject anonymous = oxt::apiPost(8001, {{"cmd", "getStreamClients"}, {"id", 0}});
    EXPECT_EQ(anonymous.value("cmd").toString(), "logout");

    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    const QJsonArray outs = clientsOf("st_tcp");
    ASSERT_EQ(outs.size(), 2) << QJsonDocument(outs).toJson().toStdString();
    for (const QJsonValue& v : outs) {
        const QJsonObject c = v.toObject();
        EXPECT_EQ(c.value("address").toString(), "127.0.0.1");
        EXPECT_TRUE(c.value("port").toInt() == localPort(*keep) || c.value("port").toInt() == localPort(*kick));
        EXPECT_EQ(c.value("bytesSent").toDouble(), double(payload.size()));
        EXPECT_EQ(c.value("bytesQueued").toDouble(), 0.0);
        EXPECT_LE(c.value("since").toDouble(), double(before));
        EXPECT_GT(c.value("since").toDouble(), double(before - 60000));
    }
    const QJsonArray ins = clientsOf("sr_tcp");
    ASSERT_EQ(ins.size(), 1);
    EXPECT_EQ(ins[0].toObject().value("port").toInt(), localPort(*source));
    EXPECT_EQ(ins[0].toObject().value("bytesReceived").toDouble(), double(payload.size()));

    const QJsonObject list = call({{"cmd", "getStreamList"}});
    const QJsonObject stream0 = list.value("data").toArray().at(0).toObject();
    for (const QJsonValue& ep : stream0.value("outList").toArray()) {
        if (ep.toObject().value("type").toString() == "st_tcp") {
            EXPECT_EQ(ep.toObject().value("clientCount").toInt(), 2);
        }
    }

    struct Refusal {
        QJsonObject request;
        const char* msg;
    };
    const QString kickPeer = "127.0.0.1:" + QString::number(localPort(*kick));
    const std::vector<Refusal> refusals = {
        {{{"cmd", "closeStreamClient"}, {"id", 7}, {"endpoint", "st_tcp"}, {"peer", kickPeer}}, "not find stream"},
        {{{"cmd", "closeStreamClient"}, {"id", 0}, {"endpoint", "st_nope"}, {"peer", kickPeer}}, "not find endpoint"},
        {{{"cmd", "closeStreamClient"}, {"id", 0}, {"endpoint", "st_tcp"}, {"peer", "127.0.0.1:1"}}, "not find client"},
        {{{"cmd", "closeStreamClient"}, {"id", 0}, {"endpoint", "st_tcp"}, {"peer", "nobody"}}, "bad peer"},
        {{{"cmd", "getStreamClients"}, {"id", 7}}, "not find stream"},
    };
    for (const Refusal& r : refusals) {
        const QJsonObject reply = call(r.request);
        EXPECT_EQ(reply.value("results").toString(), "failed") << r.msg;
        EXPECT_EQ(reply.value("msg").toString(), r.msg);
    }

    const QJsonObject closed = closeClient("st_tcp", kickPeer);
    EXPECT_EQ(closed.value("results").toString(), "success");
    EXPECT_TRUE(kick->waitClosed(10000));
    ASSERT_TRUE(oxt::waitFor([&] { return clientsOf("st_tcp").size() == 1; }, 10000, 50));
    ASSERT_TRUE(source->sendAll("after"));
    EXPECT_EQ(keep->recvExactly(5, 10000), "after");
}

TEST_F(Operations, SrtCallersAreListedWithTheirRoundTripAndOneIsClosed)
{
    if (!onPath("srt-live-transmit"))
        GTEST_SKIP() << "srt-live-transmit is not installed";
    start();
    started = true;
    node.dir().mkdir("sink");
    oxt::Process sink;
    ASSERT_TRUE(sink.start({"srt-live-transmit", "-chunk:1316", "srt://127.0.0.1:8020?mode=caller&latency=20",
                            "file://con"},
                           node.dir().file("sink"), {}, node.dir().file("sink")))
        << sink.error();
    QJsonObject caller;
    ASSERT_TRUE(oxt::waitFor(
        [&] {
            const QJsonArray c = clientsOf("st_oxdp");
            caller = c.isEmpty() ? QJsonObject() : c[0].toObject();
            return c.size() == 1;
        },
        15000, 100))
        << sink.describe();
    EXPECT_EQ(caller.value("address").toString(), "127.0.0.1");
    EXPECT_TRUE(caller.contains("rtt"));
    EXPECT_TRUE(caller.contains("loss"));

    // A publisher on the input, fed through a FIFO held open by the test.
    node.dir().mkdir("source");
    const std::string fifo = node.dir().file("source/in.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int fd = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    oxt::Process source;
    ASSERT_TRUE(source.start({"srt-live-transmit", "-chunk:1316", "file://con",
                              "srt://127.0.0.1:8010?mode=caller&latency=20"},
                             node.dir().file("source"), {}, node.dir().file("source"), fifo))
        << source.error();
    const std::string chunk(1316, 's');
    ASSERT_TRUE(oxt::waitFor(
        [&] {
            [[maybe_unused]] const ssize_t n = ::write(fd, chunk.data(), chunk.size());
            const QJsonArray c = clientsOf("sr_oxdp");
            return c.size() == 1 && c[0].toObject().value("bytesReceived").toDouble() > 0;
        },
        15000, 100))
        << source.describe();
    ::close(fd);
    source.terminate(5000);

    const QString peer = "127.0.0.1:" + QString::number(caller.value("port").toInt());
    EXPECT_EQ(closeClient("st_oxdp", peer).value("results").toString(), "success");
    // Gone; should the tool call again, it is a new caller with a new start.
    ASSERT_TRUE(oxt::waitFor(
        [&] {
            for (const QJsonValue& v : clientsOf("st_oxdp")) {
                if (v.toObject().value("port") == caller.value("port")
                    && v.toObject().value("since") == caller.value("since"))
                    return false;
            }
            return true;
        },
        10000, 100));
    sink.terminate(5000);
}

TEST_F(Operations, KcpPeerIsListedAndDropped)
{
    const char* peerBin = std::getenv("OX_KCPPEER");
    if (!peerBin)
        GTEST_SKIP() << "OX_KCPPEER is not set: build the kcp-go peer with tests/kcppeer/build.sh PATH";
    start();
    started = true;
    node.dir().mkdir("peer");
    oxt::Process peer;
    // The output session binds about a second after the stream starts: a
    // knock that came too early is lost, and the peer is started again.
    QString expected;
    const auto listed = [&] {
        const QJsonArray c = clientsOf("st_lat");
        return c.size() == 1 && "127.0.0.1:" + QString::number(c[0].toObject().value("port").toInt()) == expected;
    };
    bool heard = false;
    for (int attempt = 0; attempt < 10 && !heard; ++attempt) {
        peer.kill();
        ASSERT_TRUE(peer.start({peerBin, "recv", "-knock", "127.0.0.1:8021", "-bytes", "100000000", "-timeout", "60s"},
                               node.dir().file("peer")))
            << peer.error();
        ASSERT_TRUE(peer.waitForOutput("knocked from ", 10000, oxt::Process::Stderr)) << peer.describe();
        const std::string err = peer.stderrText();
        const size_t at = err.find("knocked from ") + 13;
        expected = QString::fromStdString(err.substr(at, err.find('\n', at) - at));
        heard = oxt::waitFor(listed, 3000, 100);
    }
    ASSERT_TRUE(heard) << peer.describe();
    EXPECT_EQ(closeClient("st_lat", expected).value("results").toString(), "success");
    EXPECT_TRUE(oxt::waitFor([&] { return clientsOf("st_lat").isEmpty(); }, 10000, 100));
    peer.kill();
}

} // namespace
