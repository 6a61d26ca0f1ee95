// The HTTP side of oxnode's web server: API paths, bodies, keep-alive, the
// static files of "web" and what must never be served, the WebSocket, idle
// clients, a taken web port, and saving on SIGTERM right after a change.
#include "oxtest.h"
#include "web/webCgi.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

const std::string kDigest = oxt::md5Hex("73519046");

std::string block(const std::string& json)
{
    return "HTTP/1.1 200 OK\n"
           "Content-Type: application/javascript\n"
           "Access-Control-Allow-Origin: *\n"
           "Access-Control-Allow-Methods: *\n"
           "Access-Control-Allow-Headers: X-Requested-With,Content-Type,x-access-token,token,id\n"
           "Access-Control-Request-Headers: Origin, X-Requested-With, content-Type, Accept, Authorization\n"
           "Content-Length: "
        + std::to_string(json.size()) + "\nCache-Control: no-cache\n\n" + json + "\n";
}

const std::string kFail = block("{\"cmd\":\"fail\"}");
const std::string kTokenError = block("{\"cmd\":\"logout\",\"msg\":\"Token Error!\",\"result\":\"failed\"}");

std::string paddedRequest(size_t totalBytes)
{
    const std::string head = "{\"cmd\":\"getStreamList\",\"pad\":\"";
    const std::string tail = "\"}";
    return head + std::string(totalBytes - head.size() - tail.size(), 'a') + tail;
}

class WebServer : public ::testing::Test
{
protected:
    void start() { ASSERT_TRUE(node.start()); }
    void TearDown() override
    {
        if (!skipCleanExitCheck)
            node.expectCleanExit();
    }
    // Exact bytes of an API reply (with its extra LF) on the shared connection.
    std::string api(const std::string& method, const std::string& path, const std::string& body = {},
                    const oxt::HttpHeaders& headers = {})
    {
        oxt::HttpResponse r = http.request(method, path, body, headers, 10000, true);
        EXPECT_TRUE(r.ok) << method << " " << path << ": " << r.error << "\n" << oxt::tail(r.raw, 500);
        return r.raw;
    }
    oxt::HttpResponse get(const std::string& path, const oxt::HttpHeaders& headers = {})
    {
        return oxt::httpRequest(8001, "GET", path, {}, headers, 10000);
    }
    std::string login()
    {
        const QJsonObject r = oxt::apiPost(8001, {{"cmd", "login"}, {"user", "admin"}, {"passMd5", QString::fromStdString(kDigest)}});
        return r.value("token").toString().toStdString();
    }

    oxt::OxNode node;
    oxt::HttpConnection http{8001};
    bool skipCleanExitCheck = false;
};

// --- API paths and bodies ---------------------------------------------------

TEST_F(WebServer, AllFourApiPathsAnswerWhateverTheMethod)
{
    start();
    for (const char* path : {"/post", "/get", "/api/post", "/api/get"}) {
        for (const char* method : {"POST", "GET", "PUT"})
            EXPECT_EQ(api(method, path, "{\"cmd\":\"getStreamList\"}"), kTokenError) << method << " " << path;
    }
}

TEST_F(WebServer, QueryStringIsNotPartOfThePath)
{
    start();
    EXPECT_EQ(api("POST", "/api/post?x=1&token=abc", "{\"cmd\":\"getStreamList\"}"), kTokenError);
    EXPECT_EQ(api("GET", "/get?", "{\"cmd\":\"getStreamList\"}"), kTokenError);
}

TEST_F(WebServer, BodiesThatAreNoRequestAnswerFail)
{
    start();
    const std::pair<const char*, std::string> rows[] = {
        {"empty", ""},
        {"not JSON", "cmd=login&user=admin"},
        {"cut-off JSON", "{\"cmd\":\"login\""},
        {"bare string", "\"login\""},
        {"NUL inside", std::string("{\"cmd\":\0\"x\"}", 13)},
    };
    for (const auto& row : rows)
        EXPECT_EQ(api("POST", "/api/post", row.second), kFail) << row.first;
    EXPECT_EQ(api("GET", "/api/get"), kFail) << "GET without body";
    EXPECT_EQ(api("POST", "/api/post", "[{\"cmd\":\"login\",\"user\":\"admin\",\"passMd5\":\"" + kDigest + "\"}]"),
              kTokenError) << "array is an empty request";
}

TEST_F(WebServer, CorsPreflightGetsTheHeadersAndFail)
{
    start();
    EXPECT_EQ(api("OPTIONS", "/api/post", {},
                  {{"Origin", "http://elsewhere.example"}, {"Access-Control-Request-Method", "POST"},
                   {"Access-Control-Request-Headers", "content-type,token"}}),
              kFail);
}

TEST_F(WebServer, BodyOfOneMebibyteIsServedOneByteMoreFailsAndConnectionStaysUsable)
{
    start();
    const std::string token = login();
    const std::string atLimit = paddedRequest(1024 * 1024);
    const std::string over = paddedRequest(1024 * 1024 + 1);
    EXPECT_EQ(api("POST", "/api/post", atLimit), kTokenError) << "a 1 MiB body is parsed";
    EXPECT_EQ(api("POST", "/api/post", over), kFail);
    EXPECT_EQ(api("POST", "/api/post", "{\"cmd\":\"getStreamList\"}"), kTokenError) << "next request on the same connection";
    // Declared far beyond the limit and never sent: refused at once.
    oxt::TcpClient c;
    ASSERT_TRUE(c.connect("127.0.0.1", 8001));
    ASSERT_TRUE(c.sendAll("POST /api/post HTTP/1.1\r\nHost: x\r\nContent-Length: 1000000000\r\n\r\n{"));
    EXPECT_EQ(c.recvExactly(kFail.size(), 10000), kFail);
}

TEST_F(WebServer, ChunkedBodiesAreReadAndBoundedToo)
{
    start();
    oxt::TcpClient c;
    ASSERT_TRUE(c.connect("127.0.0.1", 8001));
    ASSERT_TRUE(c.sendAll("POST /api/post HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
                          "c\r\n{\"cmd\":\"getS\r\n"
                          "b\r\ntreamList\"}\r\n0\r\n\r\n"));
    EXPECT_EQ(c.recvExactly(kTokenError.size(), 10000), kTokenError);

    oxt::TcpClient big;
    ASSERT_TRUE(big.connect("127.0.0.1", 8001));
    std::string req = "POST /api/post HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
    const std::string body = paddedRequest(1024 * 1024 + 100);
    for (size_t off = 0; off < body.size(); off += 65536) {
        const std::string part = body.substr(off, 65536);
        char size[16];
        std::snprintf(size, sizeof size, "%zx\r\n", part.size());
        req += size + part + "\r\n";
    }
    req += "0\r\n\r\n";
    ASSERT_TRUE(big.sendAll(req, 20000));
    EXPECT_EQ(big.recvExactly(kFail.size(), 10000), kFail);
}

TEST_F(WebServer, TwoRequestsOnOneKeepAliveConnection)
{
    start();
    oxt::TcpClient c;
    ASSERT_TRUE(c.connect("127.0.0.1", 8001));
    const std::string login = "{\"cmd\":\"login\",\"user\":\"admin\",\"passMd5\":\"" + kDigest + "\"}";
    // Both requests in one write: the second is read from what follows the first.
    ASSERT_TRUE(c.sendAll("POST /api/post HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}"
                          "POST /api/post HTTP/1.1\r\nHost: x\r\nContent-Length: "
                          + std::to_string(login.size()) + "\r\n\r\n" + login));
    EXPECT_EQ(c.recvExactly(kTokenError.size(), 10000), kTokenError);
    const std::string second = c.recvUntil("\"}\n", 10000);
    EXPECT_NE(second.find("\"cmd\":\"setToken\""), std::string::npos) << second;
    // And a third one after a pause, still on the same socket.
    ASSERT_TRUE(c.sendAll("GET /get HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(c.recvExactly(kFail.size(), 10000), kFail);
    EXPECT_FALSE(c.peerClosed());
}

// --- static files -----------------------------------------------------------

TEST_F(WebServer, RootAndDirectoriesServeIndexHtmlAndFilesComeFromWeb)
{
    node.dir().writeFile("web/index.html", "<h1>oxnode</h1>");
    node.dir().writeFile("web/js/app.js", "var x = 1;");
    node.dir().writeFile("web/a b.css", "body{}");
    node.dir().writeFile("web/api/get/index.html", "<h1>api</h1>");
    start();
    const std::vector<std::pair<std::string, std::pair<std::string, std::string>>> rows = {
        {"/", {"<h1>oxnode</h1>", "text/html"}},
        {"/index.html", {"<h1>oxnode</h1>", "text/html"}},
        {"/api/get/", {"<h1>api</h1>", "text/html"}},
        {"/js/app.js?v=3", {"var x = 1;", "application/javascript"}},
        {"/a%20b.css", {"body{}", "text/css"}},
    };
    for (const auto& row : rows) {
        oxt::HttpResponse r = get(row.first);
        ASSERT_TRUE(r.ok) << row.first << ": " << r.error;
        EXPECT_EQ(r.status, 200) << row.first;
        EXPECT_EQ(r.body, row.second.first) << row.first;
        EXPECT_EQ(r.header("Content-Type").rfind(row.second.second, 0), 0u) << row.first << ": " << r.header("Content-Type");
    }
}

TEST_F(WebServer, ConditionalRequestGetsNotModified)
{
    node.dir().writeFile("web/index.html", "<h1>oxnode</h1>");
    start();
    oxt::HttpResponse first = get("/");
    ASSERT_TRUE(first.ok);
    const std::string etag = first.header("ETag");
    ASSERT_FALSE(etag.empty()) << first.raw;
    oxt::HttpResponse again = get("/", {{"If-None-Match", etag}});
    ASSERT_TRUE(again.ok) << again.error;
    EXPECT_EQ(again.status, 304);
}

TEST_F(WebServer, NothingOutsideWebIsServedAndOddPathsAreNotFound)
{
    node.dir().writeFile("web/index.html", "<h1>oxnode</h1>");
    node.dir().writeFile("web/sub/page.html", "page");
    node.dir().writeFile("secret.txt", "SECRET");
    start();
    ASSERT_EQ(symlink("../secret.txt", node.dir().file("web/link.txt").c_str()), 0);
    ASSERT_EQ(symlink("/etc", node.dir().file("web/etc").c_str()), 0);
    const std::vector<std::string> paths = {
        "/../appcfg.json", "/%2e%2e/stream.json", "/%2E%2E/appcfg.json", "/%2f..%2fappcfg.json",
        "/..%2fappcfg.json", "/sub/../../appcfg.json", "/sub/%2e%2e/%2e%2e/secret.txt", "/etc/passwd",
        "//etc/passwd", "/%2fetc%2fpasswd", "/etc/hostname", "/link.txt", "/index.html%00.txt",
        "/sub", "/sub/", "/sub/.", "/./index.html", "/api/post/", "/api/post/x", "/post/", "/missing.html",
        "/appcfg.json", "/web/index.html", "/bad%zz", std::string(1000, '/'), "/" + std::string(999, '/') + "etc/passwd",
        "/" + std::string(5000, 'a'),
    };
    for (const std::string& p : paths) {
        oxt::HttpResponse r = get(p);
        ASSERT_TRUE(r.ok) << oxt::tail(p, 80) << ": " << r.error;
        EXPECT_EQ(r.status, 404) << oxt::tail(p, 80) << "\n" << oxt::tail(r.raw, 400);
        EXPECT_EQ(r.body.find("SECRET"), std::string::npos);
        EXPECT_EQ(r.body.find("root:"), std::string::npos);
        EXPECT_EQ(r.body.find("webPort"), std::string::npos);
    }
    // The server is still there and still serves.
    EXPECT_EQ(get("/sub/page.html").body, "page");
}

TEST_F(WebServer, AbsoluteFormRequestTargetServesNothingOutsideWeb)
{
    start();
    oxt::TcpClient c;
    ASSERT_TRUE(c.connect("127.0.0.1", 8001));
    ASSERT_TRUE(c.sendAll("GET http://127.0.0.1:8001/../appcfg.json HTTP/1.1\r\nHost: x\r\n\r\n"));
    c.waitClosed(10000);
    EXPECT_EQ(c.pending().find("webPort"), std::string::npos) << c.pending();
    EXPECT_EQ(api("GET", "/get"), kFail) << "the server still answers";
}

// --- WebSocket --------------------------------------------------------------

TEST_F(WebServer, WebSocketHandshakeCompletesThenNothingIsEverSent)
{
    start();
    oxt::TcpClient ws;
    ASSERT_TRUE(ws.connect("127.0.0.1", 8001));
    const std::string key = "dGhlIHNhbXBsZSBub25jZQ==";
    ASSERT_TRUE(ws.sendAll("GET /websocket HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                           "Sec-WebSocket-Key: " + key + "\r\nSec-WebSocket-Version: 13\r\n\r\n"));
    const std::string head = ws.recvUntil("\r\n\r\n", 10000);
    EXPECT_EQ(head.rfind("HTTP/1.1 101", 0), 0u) << head;
    const std::string accept =
        QCryptographicHash::hash(QByteArray::fromStdString(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"), QCryptographicHash::Sha1)
            .toBase64().toStdString();
    EXPECT_NE(head.find("Sec-WebSocket-Accept: " + accept + "\r\n"), std::string::npos) << head;
    // Masked text and binary frames with API-looking content have no effect.
    const std::string text = "{\"cmd\":\"newStreamServer\",\"data\":{\"newName\":\"ws\"}}";
    for (unsigned char opcode : {0x81, 0x82}) {
        std::string frame;
        frame += static_cast<char>(opcode);
        frame += static_cast<char>(0x80 | text.size());
        const char mask[4] = {1, 2, 3, 4};
        frame.append(mask, 4);
        for (size_t i = 0; i < text.size(); ++i)
            frame += static_cast<char>(text[i] ^ mask[i % 4]);
        ASSERT_TRUE(ws.sendAll(frame));
    }
    EXPECT_EQ(ws.recvSome(1000), "");
    EXPECT_FALSE(ws.peerClosed());
    const std::string token = login();
    const QJsonObject list = oxt::apiPost(8001, {{"cmd", "getStreamList"}, {"token", QString::fromStdString(token)}});
    EXPECT_EQ(list.value("data").toArray().size(), 1);
}

TEST_F(WebServer, WebSocketPathWithoutUpgradeIsAPlainMissingFile)
{
    start();
    oxt::HttpResponse r = get("/websocket");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.status, 404);
    oxt::TcpClient c;
    ASSERT_TRUE(c.connect("127.0.0.1", 8001));
    ASSERT_TRUE(c.sendAll("GET /websocket/x HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n"));
    EXPECT_EQ(c.recvUntil("\r\n", 10000).rfind("HTTP/1.1 404", 0), 0u);
}

// --- bounds, failures, shutdown ---------------------------------------------

TEST_F(WebServer, MoreIdleConnectionsThanWorkersDoNotLockTheApiOut)
{
    start();
    std::vector<std::unique_ptr<oxt::TcpClient>> idle;
    for (int i = 0; i < webThread::kWorkerThreads + 8; ++i) {
        idle.push_back(std::make_unique<oxt::TcpClient>());
        ASSERT_TRUE(idle.back()->connect("127.0.0.1", 8001)) << i;
    }
    // Every worker may be held by an idle client until its request time-out;
    // after that the API answers again.
    const int bound = webThread::kRequestTimeoutMs + webThread::kKeepAliveTimeoutMs + 5000;
    oxt::HttpResponse r = oxt::httpRequest(8001, "POST", "/api/post", "{}", {}, bound, true);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.raw, kTokenError);
    for (auto& c : idle)
        EXPECT_TRUE(c->waitClosed(bound)) << "an idle client is closed after the time-out";
}

TEST_F(WebServer, WebPortInUseEndsTheProcessWithStatusOne)
{
    const int held = oxt::holdTcpPort(8001);
    ASSERT_GE(held, 0);
    node.options().readyPorts = {};
    ASSERT_TRUE(node.start());
    EXPECT_TRUE(oxt::waitFor([&] { return !node.process().running(); }, 15000));
    EXPECT_EQ(node.process().exitStatus(), 1) << node.process().describe();
    EXPECT_NE(node.process().stdoutText().find("web server监听端口失败\n"), std::string::npos) << node.process().describe();
    EXPECT_TRUE(node.process().sanitizerReport().empty());
    ::close(held);
    skipCleanExitCheck = true;
}

TEST_F(WebServer, WebPortFromSettingsIsUsed)
{
    node.dir().writeFile("appcfg.json", "{\"webPort\": 8099}");
    node.options().readyPorts = {8099};
    start();
    oxt::HttpResponse r = oxt::httpRequest(8099, "GET", "/get", {}, {}, 10000, true);
    EXPECT_EQ(r.raw, kFail);
    EXPECT_FALSE(oxt::tcpPortInUse(8001));
}

TEST_F(WebServer, SigtermRightAfterASettingsChangeStillSavesIt)
{
    start();
    const std::string token = login();
    const QJsonObject reply = oxt::apiPost(
        8001, {{"cmd", "setSystemSet"}, {"token", QString::fromStdString(token)},
               {"data", QJsonObject{{"serverIP", "192.0.2.7"}, {"webPort", 7088}, {"localDevCfg", false}}}});
    EXPECT_TRUE(reply.isEmpty());
    EXPECT_EQ(node.stop(), 0) << node.process().describe();
    const std::string cfg = node.dir().readFile("appcfg.json");
    EXPECT_NE(cfg.find("\"serverIP\": \"192.0.2.7\""), std::string::npos) << cfg;
    EXPECT_NE(cfg.find("\"webPort\": 7088"), std::string::npos) << cfg;
    EXPECT_NE(cfg.find("\"localDevCfg\": false"), std::string::npos) << cfg;
}

TEST_F(WebServer, SigtermWithClientsConnectedEndsCleanly)
{
    start();
    oxt::TcpClient keepAlive, idle, half;
    ASSERT_TRUE(keepAlive.connect("127.0.0.1", 8001));
    ASSERT_TRUE(keepAlive.sendAll("GET /get HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(keepAlive.recvExactly(kFail.size(), 10000), kFail);
    ASSERT_TRUE(idle.connect("127.0.0.1", 8001));
    ASSERT_TRUE(half.connect("127.0.0.1", 8001));
    ASSERT_TRUE(half.sendAll("POST /api/post HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n{\"cmd\""));
    EXPECT_EQ(node.stop(), 0) << node.process().describe();
}

} // namespace
