#include "webCgi.h"
#include "service/logLimit.h"
#include "service/logging.h"
#include "service/opsCounters.h"
#include "service/oxServices.h"
#include "httpsSettings.h"
#include "sr_pull/pullUrl.h"
#include "webGuard.h"
#include "webHttp.h"
#include "webPeerLimits.h"
#include "webTls.h"
#include "webTlsLibrary.h"

#include <civetweb.h>

#include <QFileInfo>
#include <QHostAddress>
#include <QMetaObject>
#include <QSysInfo>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include <strings.h>
#include <sys/stat.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool isApiPath(const char* path)
{
    return std::strcmp(path, "/post") == 0 || std::strcmp(path, "/get") == 0 || std::strcmp(path, "/api/post") == 0
        || std::strcmp(path, "/api/get") == 0;
}

bool headerContains(const mg_connection* conn, const char* name, const char* token)
{
    const char* value = mg_get_header(conn, name);
    if (!value)
        return false;
    const size_t n = std::strlen(token);
    for (const char* p = value; *p; ++p) {
        if (strncasecmp(p, token, n) == 0)
            return true;
    }
    return false;
}

bool isWebSocketUpgrade(const mg_connection* conn)
{
    return headerContains(conn, "Upgrade", "websocket") && headerContains(conn, "Connection", "upgrade");
}

// The whole body, or nullopt when it is (or is declared) larger than the
// limit; the rest of an oversized body is left for CivetWeb to discard. When
// the connection ends (or is cut) first: what had arrived.
std::optional<QByteArray> readBody(mg_connection* conn, long long declaredLength)
{
    if (declaredLength > kMaxApiBodyBytes)
        return std::nullopt;
    QByteArray body;
    if (declaredLength > 0)
        body.reserve(static_cast<int>(declaredLength));
    char buf[16384];
    for (;;) {
        const int n = mg_read(conn, buf, sizeof buf);
        if (n <= 0)
            break;
        if (body.size() + n > kMaxApiBodyBytes)
            return std::nullopt;
        body.append(buf, n);
    }
    return body;
}

// What the server keeps per connection (CivetWeb's connection data), from
// the moment a worker takes it up until it is closed.
struct ConnectionState {
    std::chrono::steady_clock::time_point takenUp = std::chrono::steady_clock::now();
    int requests = 0;
    bool webSocket = false;  // counted in openWebSockets
    std::string peer;        // counted in peerLimits until the connection ends
    bool headPending = true;  // the first request head is not in yet
};

ConnectionState* connectionState(const mg_connection* conn)
{
    return static_cast<ConnectionState*>(mg_get_user_connection_data(conn));
}

logThrottle webSocketRefusedLog;
logThrottle peerRefusedLog;

// The canonical path of rel when it is a regular file inside root (symbolic
// links included); empty otherwise.
std::string confinedRegularFile(const std::string& rel, const std::string& root)
{
    char rootReal[PATH_MAX];
    char fileReal[PATH_MAX];
    if (!::realpath(root.c_str(), rootReal) || !::realpath(rel.c_str(), fileReal))
        return {};
    const size_t rootLen = std::strlen(rootReal);
    if (std::strncmp(fileReal, rootReal, rootLen) != 0 || fileReal[rootLen] != '/')
        return {};
    struct stat st{};
    if (::stat(fileReal, &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    return fileReal;
}

// Written by hand: CivetWeb's error reply leaves out the status line on a
// connection that asked for a WebSocket upgrade.
int sendNotFound(mg_connection* conn)
{
    static const char kNotFound[] = "HTTP/1.1 404 Not Found\r\n"
                                    "Content-Type: text/plain; charset=utf-8\r\n"
                                    "Content-Length: 10\r\n"
                                    "Cache-Control: no-cache\r\n"
                                    "Connection: close\r\n"
                                    "\r\n"
                                    "Not Found\n";
    mg_disable_connection_keep_alive(conn);
    mg_write(conn, kNotFound, sizeof kNotFound - 1);
    return 404;
}

int sendTooManyWebSockets(mg_connection* conn)
{
    static const char kBusy[] = "HTTP/1.1 503 Service Unavailable\r\n"
                                "Content-Type: text/plain; charset=utf-8\r\n"
                                "Content-Length: 20\r\n"
                                "Cache-Control: no-cache\r\n"
                                "Connection: close\r\n"
                                "\r\n"
                                "Too many WebSockets\n";
    mg_disable_connection_keep_alive(conn);
    mg_write(conn, kBusy, sizeof kBusy - 1);
    return 503;
}

// CivetWeb fills in the client's address before it calls initConnection but
// lets mg_get_request_info answer only once a request is under way. The
// address lies in the connection object at the place mg_get_request_info
// points to, so that place is learnt from the first request (the server
// asks itself one at start) and read from there while a worker takes a
// connection up. A place that does not hold an address is not used.
std::atomic<long> requestInfoOffset{-1};

void learnRequestInfoOffset(const mg_connection* conn)
{
    const auto at = reinterpret_cast<uintptr_t>(mg_get_request_info(conn));
    const auto base = reinterpret_cast<uintptr_t>(conn);
    if (requestInfoOffset.load(std::memory_order_relaxed) < 0 && at >= base && at - base < 4096)
        requestInfoOffset.store(static_cast<long>(at - base));
}

// The client of a connection that a worker is taking up, or null.
const mg_request_info* takenUpRequestInfo(const mg_connection* conn)
{
    const long offset = requestInfoOffset.load();
    if (offset < 0)
        return nullptr;
    const auto* ri = reinterpret_cast<const mg_request_info*>(reinterpret_cast<const char*>(conn) + offset);
    in_addr addr{};
    if (!std::memchr(ri->remote_addr, 0, sizeof ri->remote_addr) || ::inet_pton(AF_INET, ri->remote_addr, &addr) != 1)
        return nullptr;
    return ri;
}

const char kSelfProbePath[] = "/.oxnode-self-probe";

} // namespace

webThread::webThread(oxServices* services, QObject* parent)
    : QThread(parent)
    , services(services)
{
    webRoot = QStringLiteral("web");
    webPort = services->webPort;
    listenUrl = QByteArrayLiteral("0.0.0.0:") + QByteArray::number(webPort);
    if (services->https.port != 0)
        prepareHttps();
}

void webThread::prepareHttps()
{
    const httpsSettings& s = services->https;
    auto context = std::make_unique<webTlsContext>();
    if (!webTlsLibraryLinked() || !context->sslContext()) {
        qCWarning(lcWeb, "HTTPS off: the TLS library cannot be initialised");
        return;
    }
    if (s.cert.isEmpty() && !QFileInfo::exists(kSelfSignedCertFile)) {
        QStringList names;
        for (const QString& name : {QSysInfo::machineHostName(), services->serverIP}) {
            if (pullUrl::hostIsValid(name) && !names.contains(name))
                names << name;
        }
        if (names.isEmpty())
            names << QStringLiteral("localhost");
        QString fingerprint;
        QString error;
        if (!webTlsMakeSelfSigned(kSelfSignedCertFile, names, &fingerprint, &error)) {
            qCWarning(lcWeb, "HTTPS off: %s", qUtf8Printable(logSafeText(error)));
            return;
        }
        qCWarning(lcWeb, "HTTPS: made a self-signed certificate for %s in %s, SHA-256 fingerprint %s",
                  qUtf8Printable(names.join(QStringLiteral(", "))), qUtf8Printable(kSelfSignedCertFile),
                  qUtf8Printable(fingerprint));
    }
    QString error;
    if (!context->load(s.certFile(), s.keyFile(), &error)) {
        qCWarning(lcWeb, "HTTPS off: %s", qUtf8Printable(logSafeText(error)));
        return;
    }
    tls = std::move(context);
    httpsPort = s.port;
    httpsListenUrl = QByteArrayLiteral("0.0.0.0:") + QByteArray::number(httpsPort) + 's';
    qCDebug(lcWeb, "HTTPS on port %d with the certificate of %s, SHA-256 fingerprint %s", httpsPort,
            qUtf8Printable(logSafeText(s.certFile())), qUtf8Printable(tls->fingerprint()));
}

void webThread::reloadCertificate()
{
    if (!tls)
        return;
    const httpsSettings& s = services->https;
    QString error;
    if (!tls->load(s.certFile(), s.keyFile(), &error)) {
        qCWarning(lcWeb, "HTTPS certificate not reloaded: %s; the previous certificate stays in use",
                  qUtf8Printable(logSafeText(error)));
        return;
    }
    qCDebug(lcWeb, "HTTPS certificate reloaded from %s, SHA-256 fingerprint %s",
            qUtf8Printable(logSafeText(s.certFile())), qUtf8Printable(tls->fingerprint()));
}

int webThread::externalSslContext(void** sslCtx, void* self)
{
    // Called again with the context when CivetWeb ends: it is ours to free.
    if (*sslCtx)
        return 1;
    webTlsContext* tls = static_cast<webThread*>(self)->tls.get();
    if (!tls)
        return -1;
    *sslCtx = tls->sslContext();
    return 1;
}

webThread::~webThread()
{
    stop();
}

void webThread::stop()
{
    {
        std::lock_guard<std::mutex> lock(stopMutex);
        stopping = true;
    }
    stopCondition.notify_all();
    // CivetWeb's listener only notices the stop request when its poll
    // returns, which may take over a second; a connection wakes it at once.
    while (!wait(50))
        knockOnListener(webPort);
}

void webThread::askItself(int port, const char* path)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    timeval timeout{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string request = std::string("GET ") + path + " HTTP/1.0\r\n\r\n";
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0
        && ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buf[512];
        while (::recv(fd, buf, sizeof buf, 0) > 0) {
        }
    }
    ::close(fd);
}

void webThread::knockOnListener(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::close(fd);
}

void webThread::run()
{
    mg_init_library(0);
    const QByteArray workers = QByteArray::number(kWorkerThreads);
    const QByteArray requestTimeout = QByteArray::number(kRequestTimeoutMs);
    const QByteArray keepAliveTimeout = QByteArray::number(kKeepAliveTimeoutMs);
    // No document_root: CivetWeb's own file, directory, CGI, SSI and
    // PUT/DELETE handling stay unreachable; beginRequest answers everything
    // but the WebSocket upgrade.
    QByteArray ports = listenUrl;
    if (!httpsListenUrl.isEmpty())
        ports += ',' + httpsListenUrl;
    const char* options[] = {
        "listening_ports", ports.constData(),
        "num_threads", workers.constData(),
        "request_timeout_ms", requestTimeout.constData(),
        "keep_alive_timeout_ms", keepAliveTimeout.constData(),
        // Without pings CivetWeb keeps a silent WebSocket for ever; the
        // guard closes it instead, and nothing is ever sent on it.
        "enable_websocket_ping_pong", "no",
        "enable_keep_alive", "yes",
        "enable_directory_listing", "no",
        "decode_url", "no",
        "tcp_nodelay", "1",
        nullptr,
    };
    mg_callbacks callbacks{};
    callbacks.init_connection = &webThread::initConnection;
    // Not connection_closed: the connection data is gone by then.
    callbacks.connection_close = &webThread::connectionClose;
    callbacks.begin_request = &webThread::beginRequest;
    callbacks.end_request = &webThread::endRequest;
    callbacks.log_message = &webThread::logMessage;
    callbacks.external_ssl_ctx = &webThread::externalSslContext;
    guard = std::make_unique<webConnectionGuard>(std::vector<int>{webPort, httpsPort});
    guard->start();
    mg_context* ctx = mg_start(&callbacks, this, options);
    if (!ctx && !httpsListenUrl.isEmpty()) {
        // HTTPS is an addition: without its port the plain one still serves.
        qCWarning(lcWeb, "HTTPS port %d cannot be opened; serving plain HTTP on port %d only", httpsPort, webPort);
        ports = listenUrl;
        options[1] = ports.constData();
        ctx = mg_start(&callbacks, this, options);
    }
    if (!ctx) {
        std::fputs("web server监听端口失败\n", stdout);
        std::fflush(stdout);
        std::_Exit(1);
    }
    mg_set_websocket_handler(ctx, "/websocket", &webThread::webSocketConnect, &webThread::webSocketReady,
                             &webThread::webSocketData, &webThread::webSocketClose, this);
    // A request on "/websocket" that CivetWeb does not take for an upgrade
    // lands here instead of in its file handling.
    mg_set_request_handler(ctx, "/websocket", &webThread::plainWebSocketPath, this);
    webSocketReadyToServe = true;
    askItself(webPort, kSelfProbePath);
    qCDebug(lcWeb, "web server listening on %s", ports.constData());
    Q_EMIT serving();

    {
        std::unique_lock<std::mutex> lock(stopMutex);
        stopCondition.wait(lock, [this] { return stopping.load(); });
    }
    mg_stop(ctx);
    guard->stop();
    mg_exit_library();
}


int webThread::initConnection(const mg_connection* conn, void** connData)
{
    auto* state = new ConnectionState;  // freed in connectionClose, called for every connection
    *connData = state;
    auto* self = static_cast<webThread*>(mg_get_user_context_data(conn));
    const mg_request_info* ri = takenUpRequestInfo(conn);
    if (!ri)
        return 0;
    state->peer = ri->remote_addr;
    // The head too has its deadline from here: a client that trickles it
    // would otherwise keep the worker as long as each byte beats the
    // time-out of one read.
    auto deadline = state->takenUp + std::chrono::milliseconds(kRequestDeadlineMs);
    const char* reason = "request not complete in time";
    if (!self->peerLimits.admit(state->peer)) {
        deadline = state->takenUp;
        reason = "too many connections from its address";
        int64_t held = 0;
        if (peerRefusedLog.allow(&held)) {
            qCWarning(lcWeb, "web client %s refused: it holds %d connections or %d unfinished requests already "
                      "(%lld more refused since the last such line)",
                      ri->remote_addr, webPeerLimits::kMaxConnectionsPerAddress,
                      webPeerLimits::kMaxUnfinishedHeadsPerAddress, static_cast<long long>(held));
        }
    }
    self->guard->arm(conn, ri->remote_addr, ri->remote_port, deadline, reason);
    return 0;
}

void webThread::endRequest(const mg_connection* conn, int)
{
    ConnectionState* state = connectionState(conn);
    if (!state || state->webSocket)
        return;
    // A kept-alive connection waits for its next head; given up when it closes.
    const mg_request_info* ri = mg_get_request_info(conn);
    auto* self = static_cast<webThread*>(mg_get_user_context_data(conn));
    self->guard->arm(conn, ri->remote_addr, ri->remote_port,
                     std::chrono::steady_clock::now() + std::chrono::milliseconds(kKeepAliveTimeoutMs + kRequestDeadlineMs),
                     "request not complete in time");
}

void webThread::connectionClose(const mg_connection* conn)
{
    ConnectionState* state = connectionState(conn);
    if (!state)
        return;
    auto* self = static_cast<webThread*>(mg_get_user_context_data(conn));
    self->guard->disarm(conn);
    if (state->webSocket)
        self->openWebSockets.fetch_sub(1);
    if (!state->peer.empty())
        self->peerLimits.release(state->peer, state->headPending);
    mg_set_user_connection_data(conn, nullptr);
    delete state;
}

int webThread::logMessage(const mg_connection*, const char* message)
{
    // Civetweb's messages quote what clients sent (URIs, headers), and a
    // client can make them repeat: escaped, cut and one per second.
    static logThrottle throttle;
    int64_t held = 0;
    if (throttle.allow(&held))
        qCWarning(lcWeb, "civetweb: %s (%lld held back)", qUtf8Printable(logSafeText(QByteArray(message))),
                  static_cast<long long>(held));
    return 1;
}

int webThread::beginRequest(mg_connection* conn)
{
    const mg_request_info* ri = mg_get_request_info(conn);
    auto* self = static_cast<webThread*>(ri->user_data);
    const char* path = ri->local_uri_raw;
    if (!path)
        return sendNotFound(conn);
    learnRequestInfoOffset(conn);
    if (std::strcmp(path, kSelfProbePath) == 0)
        return sendNotFound(conn);  // the server's own request at start: not counted
    if (ConnectionState* state = connectionState(conn)) {
        ++state->requests;
        if (state->headPending) {
            state->headPending = false;
            if (!state->peer.empty())
                self->peerLimits.headDone(state->peer);
        }
    }
    if (self->guard->disarm(conn)) {
        mg_disable_connection_keep_alive(conn);
        return 408;  // cut while its head came in: no reply can reach the client
    }
    const auto counted = [](int status) {
        opsCounters().countWeb(webResultOfStatus(status));
        return status;
    };
    if (isApiPath(path))
        return counted(self->answerApi(conn));
    if (std::strcmp(path, "/metrics") == 0)
        return counted(self->answerMetrics(conn));
    if (std::strcmp(path, "/websocket") == 0 && isWebSocketUpgrade(conn)) {
        // The port listens a moment before the handler is registered: an
        // upgrade that comes in between waits for it.
        for (int waitedMs = 0; !self->webSocketReadyToServe && !self->stopping && waitedMs < kRequestTimeoutMs; ++waitedMs)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (self->webSocketReadyToServe)
            return counted(self->upgradeWebSocket(conn));
    }
    return counted(self->serveStatic(conn, path));
}

int webThread::upgradeWebSocket(mg_connection* conn)
{
    ConnectionState* state = connectionState(conn);
    // Without its state a WebSocket could not be counted: not taken.
    if (!state || openWebSockets.fetch_add(1) >= kMaxWebSockets) {
        if (state)
            openWebSockets.fetch_sub(1);
        int64_t held = 0;
        if (webSocketRefusedLog.allow(&held)) {
            qCWarning(lcWeb, "WebSocket from %s refused: %d open (%lld more refused since the last such line)",
                      mg_get_request_info(conn)->remote_addr, kMaxWebSockets, static_cast<long long>(held));
        }
        return sendTooManyWebSockets(conn);
    }
    state->webSocket = true;  // given back in connectionClose, however the upgrade ends
    return 0;  // CivetWeb completes the handshake with the handler set in run()
}

int webThread::plainWebSocketPath(mg_connection* conn, void* self)
{
    return static_cast<webThread*>(self)->serveStatic(conn, "/websocket");
}

// The WebSocket is accepted and then ignored: nothing is ever sent on it and
// received frames have no effect. A silent one is closed by the guard.
int webThread::webSocketConnect(const mg_connection*, void*)
{
    return 0;
}

void webThread::webSocketReady(mg_connection* conn, void* self)
{
    webSocketData(conn, 0, nullptr, 0, self);
}

int webThread::webSocketData(mg_connection* conn, int, char*, size_t, void* self)
{
    const mg_request_info* ri = mg_get_request_info(conn);
    static_cast<webThread*>(self)->guard->arm(
        conn, ri->remote_addr, ri->remote_port,
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kWebSocketIdleMs), "WebSocket silent too long");
    return 1;
}

void webThread::webSocketClose(const mg_connection* conn, void* self)
{
    static_cast<webThread*>(self)->guard->disarm(conn);
}

int webThread::answerApi(mg_connection* conn)
{
    const mg_request_info* ri = mg_get_request_info(conn);
    QJsonObject reply = apiFailReply();
    const ConnectionState* state = connectionState(conn);
    const auto deadline = (state && state->requests == 1 ? state->takenUp : std::chrono::steady_clock::now())
        + std::chrono::milliseconds(kRequestDeadlineMs);
    guard->arm(conn, ri->remote_addr, ri->remote_port, deadline, "request not complete in time");
    const std::optional<QByteArray> body = readBody(conn, ri->content_length);
    if (guard->disarm(conn)) {
        mg_disable_connection_keep_alive(conn);
        return 408;  // the connection is shut: no reply can reach the client
    }
    QByteArray text;
    if (body) {
        if (const std::optional<QJsonObject> request = apiRequestFromBody(*body)) {
            std::optional<oxServices::webAnswer> answer = callService(*request, QString::fromLatin1(ri->remote_addr));
            if (!answer)
                return 503;  // shutting down: no reply; CivetWeb closes the connection
            reply = answer->object;
            text = answer->text;
        }
    }
    const QByteArray block = text.isEmpty() ? apiResponseBlock(reply) : apiResponseBlock(text);
    mg_write(conn, block.constData(), static_cast<size_t>(block.size()));
    return 200;
}

std::optional<oxServices::webAnswer> webThread::callService(const QJsonObject& request, const QString& peer)
{
    oxServices* target = services;
    return onMainThread<oxServices::webAnswer>([target, request, peer] { return target->webAnswerFor(request, peer); });
}

int webThread::serveStatic(mg_connection* conn, const char* rawPath)
{
    const std::string root = webRoot.toStdString();
    const std::string rel = resolveStaticPath(rawPath, root);
    const std::string file = rel.empty() ? std::string() : confinedRegularFile(rel, root);
    if (file.empty())
        return sendNotFound(conn);
    // MIME type from the extension; conditional and range requests included.
    mg_send_mime_file(conn, file.c_str(), nullptr);
    return 200;
}
