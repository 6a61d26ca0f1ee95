#pragma once
// The web server: CivetWeb on the configured web port (and, when set, with
// TLS on the HTTPS port), the four JSON API paths, a silent WebSocket on
// "/websocket" and static files from "web".
//
// Threads: run() starts CivetWeb and then only waits for stop(). CivetWeb's
// own worker threads take the requests; they never touch service state:
// each API request is carried to the main thread, answered there by
// oxServices::webAnswerFor, and the worker waits for the reply in short slices
// so that stop() can always end it.
#include "service/oxServices.h"
#include "webPeerLimits.h"

#include <QByteArray>
#include <QJsonObject>
#include <QMetaObject>
#include <QString>
#include <QThread>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class oxServices;
class webConnectionGuard;
class webTlsContext;
struct mg_connection;

class webThread : public QThread
{
    Q_OBJECT
public:
    // Bounds that keep idle, slow or upgraded clients from holding the
    // server: a connection occupies one worker for as long as it is open,
    // and workers are cheap while they wait.
    static constexpr int kWorkerThreads = 128;
    // A new connection must bring its request head, and a read or write
    // must make progress, within this time (CivetWeb's own limit).
    static constexpr int kRequestTimeoutMs = 2000;
    static constexpr int kKeepAliveTimeoutMs = 5000;
    // Head and body of one request together, from the moment a worker takes
    // the connection up (on a kept-alive connection: from the end of the
    // head, which the keep-alive time-out bounds). A request still
    // incomplete then is cut off without a reply.
    static constexpr int kRequestDeadlineMs = 5000;
    // WebSockets open at once; further upgrades are answered 503. Each holds
    // a worker, so this leaves most workers to requests.
    static constexpr int kMaxWebSockets = 16;
    // A WebSocket that sends nothing for this long is closed.
    static constexpr int kWebSocketIdleMs = 3000;
    // How often a worker waiting for the main thread looks at the stop flag.
    static constexpr int kReplyWaitSliceMs = 50;

    // Main thread. Reads the service's webPort once; later changes of the
    // setting take effect at the next start.
    webThread(oxServices* services, QObject* parent);
    ~webThread() override;

    // Main thread. Ends every waiting request, stops CivetWeb and joins the
    // thread. Idempotent; never waits for the main thread.
    void stop();

    // Main thread (SIGHUP, a new certificate path). Reads the HTTPS
    // certificate and key again; the next handshake presents them. When
    // they do not load: one error line, and the old ones stay in use.
    void reloadCertificate();

Q_SIGNALS:
    // Web thread, once the port listens and requests are served.
    void serving();

protected:
    void run() override;

private:
    // Main thread, at construction: the certificate (made when none is set).
    void prepareHttps();
    static int externalSslContext(void** sslCtx, void* self);
    static void knockOnListener(int port);
    // A request of the server to itself, its reply read and dropped.
    static void askItself(int port, const char* path);
    static int initConnection(const mg_connection* conn, void** connData);
    static void connectionClose(const mg_connection* conn);
    static void endRequest(const mg_connection* conn, int status);
    static int beginRequest(mg_connection* conn);
    static int logMessage(const mg_connection* conn, const char* message);
    static int plainWebSocketPath(mg_connection* conn, void* self);
    static int webSocketConnect(const mg_connection* conn, void* self);
    static void webSocketReady(mg_connection* conn, void* self);
    static int webSocketData(mg_connection* conn, int bits, char* data, size_t len, void* self);
    static void webSocketClose(const mg_connection* conn, void* self);

    // Worker threads.
    int answerApi(mg_connection* conn);
    int serveStatic(mg_connection* conn, const char* rawPath);
    std::optional<oxServices::webAnswer> callService(const QJsonObject& request, const QString& peer);
    // Worker threads: runs work on the main thread and waits for its result;
    // nullopt when the service stops first (no reply is owed then).
    template <class Result, class Work>
    std::optional<Result> onMainThread(Work work);

    // Worker threads.
    int upgradeWebSocket(mg_connection* conn);
    // Worker threads: GET /metrics, built on the main thread (webMetrics.cpp).
    int answerMetrics(mg_connection* conn);

    int webPort = 8000;
    int httpsPort = 0;
    QString webRoot;
    QByteArray listenUrl;
    QByteArray httpsListenUrl;  // empty without HTTPS
    // Made on the main thread before run(); CivetWeb's workers use its
    // context, reloadCertificate() its certificate (under its own mutex).
    std::unique_ptr<webTlsContext> tls;
    oxServices* services = nullptr;  // not owned; outlives this thread's workers

    // stopping is read by workers without the mutex; the mutex and condition
    // only wake run() for the shutdown.
    std::atomic<bool> stopping{false};
    // Set once the WebSocket handler is registered; until then no request is
    // handed back to CivetWeb.
    std::atomic<bool> webSocketReadyToServe{false};
    std::mutex stopMutex;
    std::condition_variable stopCondition;
    // WebSockets counted against kMaxWebSockets, from the upgrade request to
    // the connection's end.
    std::atomic<int> openWebSockets{0};
    std::unique_ptr<webConnectionGuard> guard;
    webPeerLimits peerLimits;
};

template <class Result, class Work>
std::optional<Result> webThread::onMainThread(Work work)
{
    // Shared by the waiting worker and the call queued on the main thread;
    // whichever side finishes last frees it.
    struct Pending {
        std::mutex mutex;
        std::condition_variable ready;
        bool done = false;
        bool abandoned = false;
        Result result{};
    };
    auto pending = std::make_shared<Pending>();
    // Dropped unrun when the service is destroyed first.
    QMetaObject::invokeMethod(
        services,
        [pending, work] {
            {
                std::lock_guard<std::mutex> lock(pending->mutex);
                if (pending->abandoned)
                    return;
            }
            Result result = work();
            std::lock_guard<std::mutex> lock(pending->mutex);
            pending->result = std::move(result);
            pending->done = true;
            pending->ready.notify_one();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> lock(pending->mutex);
    while (!pending->done) {
        if (stopping) {
            pending->abandoned = true;
            return std::nullopt;
        }
        pending->ready.wait_for(lock, std::chrono::milliseconds(kReplyWaitSliceMs));
    }
    return std::move(pending->result);
}

