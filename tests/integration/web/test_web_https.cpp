// The web server over TLS: what it serves, the protocol versions it takes,
// the certificate it makes for itself, reloads on SIGHUP, the HTTPS settings,
// stalled handshakes, and a machine without the TLS library's development
// names.
#include "oxtest.h"

#include <QJsonDocument>

#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kHttpsPort = 8443;
// Not loopback: /metrics asks such a client for credentials.
const std::string kOtherAddress = "10.77.0.1";

// One TLS connection made with OpenSSL directly, so that a test can choose
// the versions, read the certificate presented and keep the connection.
class TlsClient {
public:
    TlsClient() = default;
    ~TlsClient() { close(); }
    TlsClient(const TlsClient&) = delete;
    TlsClient& operator=(const TlsClient&) = delete;

    bool connect(const std::string& from = {}, int maxVersion = 0, int timeoutMs = 5000)
    {
        ctx = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION);
        SSL_CTX_set_security_level(ctx, 0);  // let old versions be offered at all
        if (maxVersion)
            SSL_CTX_set_max_proto_version(ctx, maxVersion);
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        if (!from.empty()) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            ::inet_pton(AF_INET, from.c_str(), &local.sin_addr);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
                return false;
        }
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(kHttpsPort);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            return false;
        ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        return SSL_connect(ssl) == 1;
    }
    std::string version() const { return ssl ? SSL_get_version(ssl) : ""; }
    // SHA-256 of the certificate presented, as hex without separators.
    std::string fingerprint() const
    {
        X509* cert = ssl ? SSL_get1_peer_certificate(ssl) : nullptr;
        if (!cert)
            return {};
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        X509_digest(cert, EVP_sha256(), md, &n);
        X509_free(cert);
        return QByteArray(reinterpret_cast<const char*>(md), static_cast<int>(n)).toHex().toStdString();
    }
    // Sends an API request on this connection (kept alive); the raw reply.
    std::string post(const std::string& json)
    {
        return send("POST /api/post HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(json.size()) + "\r\n\r\n"
                        + json,
                    "}\n");
    }
    // Sends raw bytes; what arrives until the text `until` (or the end).
    std::string send(const std::string& raw, const std::string& until)
    {
        if (SSL_write(ssl, raw.data(), static_cast<int>(raw.size())) <= 0)
            return {};
        std::string reply;
        char buf[4096];
        while (reply.find(until) == std::string::npos) {
            const int n = SSL_read(ssl, buf, sizeof buf);
            if (n <= 0)
                break;
            reply.append(buf, static_cast<size_t>(n));
        }
        return reply;
    }
    void close()
    {
        if (ssl)
            SSL_free(ssl);
        if (fd >= 0)
            ::close(fd);
        if (ctx)
            SSL_CTX_free(ctx);
        ssl = nullptr;
        ctx = nullptr;
        fd = -1;
    }

private:
    SSL_CTX* ctx = nullptr;
    SSL* ssl = nullptr;
    int fd = -1;
};

// A certificate for the test's addresses, made with the openssl tool.
bool makeCertificate(const oxt::TempDir& dir, const std::string& cert, const std::string& key)
{
    const oxt::CommandResult r = oxt::runCommand(
        {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2",
         "-subj", "/CN=oxnode-test", "-addext", "subjectAltName=IP:127.0.0.1,IP:" + kOtherAddress, "-keyout",
         dir.file(key), "-out", dir.file(cert)},
        20000);
    return r.exitCode == 0;
}

std::string fileFingerprint(const std::string& pem)
{
    const oxt::CommandResult r = oxt::runCommand({"openssl", "x509", "-in", pem, "-noout", "-fingerprint", "-sha256"});
    const size_t eq = r.out.find('=');
    if (r.exitCode != 0 || eq == std::string::npos)
        return {};
    std::string hex;
    for (char c : r.out.substr(eq + 1)) {
        if (std::isxdigit(static_cast<unsigned char>(c)))
            hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return hex;
}

class WebHttps : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(oxt::runCommand({"ip", "addr", "add", kOtherAddress + "/32", "dev", "lo"}).exitCode, 0);
        node.options().readyPorts = {8001, kHttpsPort};
    }
    void TearDown() override { node.expectCleanExit(); }
    void writeConfig(const std::string& extra)
    {
        node.dir().writeFile("appcfg.json", "{\"localDevCfg\": false, \"httpsPort\": 8443" + extra + "}");
    }
    oxt::CommandResult curl(std::vector<std::string> args)
    {
        std::vector<std::string> argv = {"curl", "-sS", "--max-time", "10", "--cacert", node.dir().file("cert.pem")};
        argv.insert(argv.end(), args.begin(), args.end());
        return oxt::runCommand(argv, 15000);
    }

    oxt::OxNode node;
};

TEST_F(WebHttps, ServesApiConsoleAndMetricsToAClientThatTrustsTheCertificate)
{
    ASSERT_TRUE(makeCertificate(node.dir(), "cert.pem", "key.pem"));
    writeConfig(", \"httpsCert\": \"cert.pem\", \"httpsKey\": \"key.pem\"");
    ASSERT_TRUE(node.dir().writeFile("web/index.html", "<title>console</title>\n"));
    ASSERT_TRUE(node.start());
    const std::string base = "https://127.0.0.1:8443";

    const oxt::CommandResult page = curl({base + "/index.html"});
    EXPECT_EQ(page.out, "<title>console</title>\n") << page.out;
    const std::string login = "{\"cmd\":\"login\",\"user\":\"admin\",\"passMd5\":\"" + oxt::md5Hex("73519046") + "\"}";
    const oxt::CommandResult logged = curl({base + "/api/post", "--data-binary", login});
    const QJsonObject reply = QJsonDocument::fromJson(QByteArray::fromStdString(logged.out)).object();
    const std::string token = reply.value("token").toString().toStdString();
    ASSERT_EQ(token.size(), 32u) << logged.out;
    const oxt::CommandResult list = curl({base + "/api/post", "--data-binary",
                                          "{\"cmd\":\"getStreamList\",\"token\":\"" + token + "\"}"});
    EXPECT_NE(list.out.find("\"cmd\":\"streamList\""), std::string::npos) << list.out;

    const std::string remote = "https://" + kOtherAddress + ":8443/metrics";
    const oxt::CommandResult refused = curl({"-o", "/dev/null", "-w", "%{http_code}", remote});
    EXPECT_EQ(refused.out, "401");
    const oxt::CommandResult metrics = curl({"-u", "admin:73519046", remote});
    EXPECT_NE(metrics.out.find("oxnode_build_info"), std::string::npos) << oxt::tail(metrics.out, 300);

    // TLS 1.2 and 1.3 only.
    struct Version {
        int max;
        bool accepted;
    };
    for (const Version v : {Version{TLS1_VERSION, false}, Version{TLS1_1_VERSION, false},
                            Version{TLS1_2_VERSION, true}, Version{0, true}}) {
        TlsClient c;
        EXPECT_EQ(c.connect({}, v.max), v.accepted) << "highest version offered: " << v.max;
    }
    TlsClient best;
    ASSERT_TRUE(best.connect());
    EXPECT_EQ(best.version(), "TLSv1.3");
    const std::string upgrade = best.send("GET /websocket HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\n"
                                          "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                          "Sec-WebSocket-Version: 13\r\n\r\n",
                                          "\r\n\r\n");
    EXPECT_EQ(upgrade.rfind("HTTP/1.1 101", 0), 0u) << upgrade;
    // The plain port is unchanged.
    EXPECT_EQ(oxt::httpRequest(8001, "GET", "/index.html").body, "<title>console</title>\n");
}

TEST_F(WebHttps, WithoutACertificateOneIsMadeOnceWithItsFingerprintLogged)
{
    writeConfig("");
    ASSERT_TRUE(node.start());
    const std::string pem = node.dir().file("oxnode-https.pem");
    struct stat st{};
    ASSERT_EQ(::stat(pem.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const std::string fingerprint = fileFingerprint(pem);
    ASSERT_EQ(fingerprint.size(), 64u);
    TlsClient c;
    ASSERT_TRUE(c.connect());
    EXPECT_EQ(c.fingerprint(), fingerprint);
    std::string logged;
    for (size_t i = 0; i < fingerprint.size(); i += 2)
        logged += (i ? ":" : "") + QByteArray::fromStdString(fingerprint.substr(i, 2)).toUpper().toStdString();
    EXPECT_EQ(node.process().countOccurrences("made a self-signed certificate"), 1);
    EXPECT_GE(node.process().countOccurrences(logged), 1) << node.process().describe();
    // The settings and their file stay as they were: nothing was configured but the port.
    EXPECT_EQ(node.dir().readFile("appcfg.json"), "{\"localDevCfg\": false, \"httpsPort\": 8443}");

    // The next start uses the same certificate.
    ASSERT_EQ(node.stop(), 0);
    ASSERT_TRUE(node.start());
    EXPECT_EQ(node.process().countOccurrences("made a self-signed certificate"), 0);
    TlsClient c2;
    ASSERT_TRUE(c2.connect());
    EXPECT_EQ(c2.fingerprint(), fingerprint);
}

TEST_F(WebHttps, SighupServesARenewedCertificateAndKeepsTheOldOneWhenTheNewDoesNotLoad)
{
    ASSERT_TRUE(makeCertificate(node.dir(), "cert.pem", "key.pem"));
    ASSERT_TRUE(makeCertificate(node.dir(), "renewed.pem", "renewed.key"));
    writeConfig(", \"httpsCert\": \"cert.pem\", \"httpsKey\": \"key.pem\"");
    ASSERT_TRUE(node.start());
    const std::string first = fileFingerprint(node.dir().file("cert.pem"));
    const std::string renewed = fileFingerprint(node.dir().file("renewed.pem"));
    TlsClient open;
    ASSERT_TRUE(open.connect());
    EXPECT_EQ(open.fingerprint(), first);

    ::rename(node.dir().file("renewed.pem").c_str(), node.dir().file("cert.pem").c_str());
    ::rename(node.dir().file("renewed.key").c_str(), node.dir().file("key.pem").c_str());
    ASSERT_EQ(::kill(node.process().pid(), SIGHUP), 0);
    ASSERT_TRUE(node.process().waitForOutput("HTTPS certificate reloaded", 5000)) << node.process().describe();
    TlsClient next;
    ASSERT_TRUE(next.connect());
    EXPECT_EQ(next.fingerprint(), renewed);
    // The connection made before the reload goes on.
    EXPECT_NE(open.post("{\"cmd\":\"getStreamList\"}").find("Token Error!"), std::string::npos);

    ASSERT_TRUE(node.dir().writeFile("cert.pem", "-----BEGIN CERTIFICATE-----\nbroken\n"));
    ASSERT_EQ(::kill(node.process().pid(), SIGHUP), 0);
    ASSERT_TRUE(node.process().waitForOutput("HTTPS certificate not reloaded", 5000)) << node.process().describe();
    EXPECT_EQ(node.process().countOccurrences("HTTPS certificate not reloaded"), 1);
    TlsClient after;
    ASSERT_TRUE(after.connect());
    EXPECT_EQ(after.fingerprint(), renewed);
}

TEST_F(WebHttps, StalledHandshakesDoNotHoldUpAnotherAddress)
{
    writeConfig("");
    ASSERT_TRUE(node.start());
    std::vector<std::unique_ptr<oxt::TcpClient>> stalled;
    for (int i = 0; i < 32; ++i) {
        stalled.push_back(std::make_unique<oxt::TcpClient>());
        ASSERT_TRUE(stalled.back()->connect("127.0.0.1", kHttpsPort));
        // The start of a ClientHello, then nothing.
        ASSERT_TRUE(stalled.back()->sendAll(std::string("\x16\x03\x01\x02\x00", 5)));
    }
    const auto t0 = std::chrono::steady_clock::now();
    TlsClient other;
    ASSERT_TRUE(other.connect(kOtherAddress));
    EXPECT_NE(other.post("{\"cmd\":\"getStreamList\"}").find("Token Error!"), std::string::npos);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
}

TEST_F(WebHttps, SettingsAreCheckedWholeAndKeptOnlyWhenSet)
{
    ASSERT_TRUE(makeCertificate(node.dir(), "cert.pem", "key.pem"));
    ASSERT_TRUE(makeCertificate(node.dir(), "other.pem", "other.key"));
    ASSERT_TRUE(node.dir().writeFile("garbage.pem", "not a certificate\n"));
    node.options().readyPorts = {8001};
    node.dir().writeFile("appcfg.json", "{\"localDevCfg\": false}");
    ASSERT_TRUE(node.start());
    const QJsonObject login = oxt::apiPost(
        8001, {{"cmd", "login"}, {"user", "admin"}, {"passMd5", QString::fromStdString(oxt::md5Hex("73519046"))}});
    const QString token = login.value("token").toString();
    const auto set = [&](const QJsonObject& data) {
        return oxt::apiPost(8001, {{"cmd", "setSystemSet"}, {"token", token}, {"data", data}});
    };
    const QJsonObject base{{"serverIP", "192.0.2.7"}, {"webPort", 8001}, {"localDevCfg", false}};
    const auto with = [&](std::initializer_list<std::pair<QString, QJsonValue>> keys) {
        QJsonObject o = base;
        for (const auto& [k, v] : keys)
            o.insert(k, v);
        return o;
    };
    struct Bad {
        const char* what;
        QJsonObject data;
    };
    const std::vector<Bad> bad = {
        {"port as text", with({{"httpsPort", "8443"}})},
        {"port out of range", with({{"httpsPort", 70000}})},
        {"the web port", with({{"httpsPort", 8001}})},
        {"the node port", with({{"httpsPort", 8000}})},
        {"a stream port", with({{"httpsPort", 8030}})},
        {"a fraction", with({{"httpsPort", 8443.5}})},
        {"a missing file", with({{"httpsPort", 8443}, {"httpsCert", "missing.pem"}})},
        {"not a certificate", with({{"httpsPort", 8443}, {"httpsCert", "garbage.pem"}})},
        {"a key of another certificate", with({{"httpsCert", "cert.pem"}, {"httpsKey", "other.key"}})},
        {"a certificate without its key", with({{"httpsCert", "cert.pem"}})},
        {"a key without a certificate", with({{"httpsKey", "key.pem"}})},
        {"a control character", with({{"httpsCert", "cert\u0007.pem"}})},
    };
    for (const Bad& b : bad) {
        const QJsonObject r = set(b.data);
        EXPECT_EQ(r.value("results").toString(), "failed") << b.what;
        EXPECT_FALSE(r.value("msg").toString().isEmpty()) << b.what;
    }
    // Nothing changed: not even the serverIP sent along.
    const QJsonObject unchanged = oxt::apiPost(8001, {{"cmd", "getSystemSet"}, {"token", token}});
    EXPECT_EQ(unchanged.value("data").toObject().keys(),
              QStringList({"localDevCfg", "nicName", "serverIP", "username", "webPort"}));
    EXPECT_EQ(unchanged.value("data").toObject().value("serverIP").toString(), "");

    const QJsonObject ok = set(with({{"httpsPort", 8443}, {"httpsCert", "cert.pem"}, {"httpsKey", "key.pem"}}));
    EXPECT_EQ(ok.value("results").toString(), "success") << QJsonDocument(ok).toJson().constData();
    ASSERT_TRUE(oxt::waitFor([&] { return node.dir().readFile("appcfg.json").find("httpsKey") != std::string::npos; }));
    const QJsonObject saved = QJsonDocument::fromJson(QByteArray::fromStdString(node.dir().readFile("appcfg.json"))).object();
    EXPECT_EQ(saved.value("httpsPort").toInt(), 8443);
    EXPECT_EQ(saved.value("httpsCert").toString(), "cert.pem");
    EXPECT_EQ(saved.value("httpsKey").toString(), "key.pem");
    EXPECT_EQ(saved.value("serverIP").toString(), "192.0.2.7");
}

// CivetWeb loads the TLS library by its development names; a machine with
// only the run-time libraries has none of them.
TEST_F(WebHttps, BothProgramsServeHttpsWithoutTheLibrarysDevelopmentNames)
{
    std::string libDir;
    {
        std::ifstream maps("/proc/self/maps");
        for (std::string line; std::getline(maps, line);) {
            const size_t at = line.find("/libssl.so.3");
            if (at != std::string::npos) {
                libDir = line.substr(line.find('/'), at - line.find('/'));
                break;
            }
        }
    }
    ASSERT_FALSE(libDir.empty());
    writeConfig("");
    // The development names are hidden in a mount namespace of the program's own.
    const std::string hide = "d=$(mktemp -d) && mount -t tmpfs none \"$d\" && mkdir \"$d/u\" \"$d/w\""
                             " && mount -t overlay overlay -o lowerdir=" + libDir + ",upperdir=\"$d/u\",workdir=\"$d/w\" "
        + libDir + " && rm -f " + libDir + "/libssl.so " + libDir + "/libcrypto.so && test ! -e " + libDir
        + "/libssl.so && exec \"$0\"";
    node.options().launcher = {"unshare", "-m", "--", "sh", "-c", hide};
    for (const char* bin : {OXNODE_BIN, OXNODE_BASIC_BIN}) {
        SCOPED_TRACE(bin);
        ASSERT_TRUE(node.start(bin));
        TlsClient c;
        ASSERT_TRUE(c.connect()) << node.process().describe();
        EXPECT_NE(c.post("{\"cmd\":\"getStreamList\"}").find("Token Error!"), std::string::npos);
        ASSERT_EQ(node.stop(), 0);
    }
}

}  // namespace
