// GET /metrics on the web port. The worker carries the request to the main
// thread, which checks access and builds the text (metrics.cpp); the worker
// waits in short slices so that stop() can always end the wait.
#include "service/logLimit.h"
#include "service/logging.h"
#include "metrics.h"
#include "service/oxServices.h"
#include "webCgi.h"

#include <civetweb.h>

#include <QHostAddress>
#include <QMetaObject>

#include <chrono>
#include <cstring>
#include <memory>

namespace {

logThrottle refusedLog;

int sendBlock(mg_connection* conn, const QByteArray& block, int status)
{
    mg_write(conn, block.constData(), static_cast<size_t>(block.size()));
    return status;
}

} // namespace

int webThread::answerMetrics(mg_connection* conn)
{
    const mg_request_info* ri = mg_get_request_info(conn);
    const bool head = std::strcmp(ri->request_method, "HEAD") == 0;
    if (!head && std::strcmp(ri->request_method, "GET") != 0) {
        static const char kNotAllowed[] = "HTTP/1.1 405 Method Not Allowed\r\n"
                                          "Allow: GET, HEAD\r\n"
                                          "Content-Type: text/plain; charset=utf-8\r\n"
                                          "Content-Length: 19\r\n"
                                          "Connection: close\r\n"
                                          "\r\n"
                                          "Method Not Allowed\n";
        mg_disable_connection_keep_alive(conn);
        mg_write(conn, kNotAllowed, sizeof kNotAllowed - 1);
        return 405;
    }
    const QString peer = QString::fromLatin1(ri->remote_addr);
    const bool loopback = QHostAddress(peer).isLoopback();
    const char* auth = mg_get_header(conn, "Authorization");
    const QByteArray authorization = auth ? QByteArray(auth) : QByteArray();

    // status 401, 503 (every reading place taken) or 200 with the text and
    // the place it holds until this worker has written it.
    struct Answer {
        int status = 401;
        QByteArray text;
        std::shared_ptr<void> place;
    };
    oxServices* target = services;
    const std::optional<Answer> answer = onMainThread<Answer>([target, peer, loopback, authorization] {
        Answer a;
        if (!target->metricsAllowed(peer, loopback, authorization))
            return a;
        a.place = takeMetricsReading();
        a.status = a.place ? 200 : 503;
        if (a.place)
            a.text = metricsText(*target);
        return a;
    });
    if (!answer)
        return 503; // shutting down: no reply; CivetWeb closes the connection

    if (answer->status == 503) {
        static const QByteArray kBusy = QByteArrayLiteral("HTTP/1.1 503 Service Unavailable\r\n"
                                                          "Retry-After: 1\r\n"
                                                          "Content-Type: text/plain; charset=utf-8\r\n"
                                                          "Content-Length: 35\r\n"
                                                          "Cache-Control: no-cache\r\n"
                                                          "\r\n"
                                                          "Too many metrics readings at once.\n");
        return sendBlock(conn, kBusy, 503);
    }
    if (answer->status == 401) {
        int64_t held = 0;
        if (refusedLog.allow(&held))
            qCWarning(lcWeb, "metrics request from %s refused: no valid credentials (%lld more since the last such line)",
                      ri->remote_addr, static_cast<long long>(held));
        static const QByteArray kUnauthorized = QByteArrayLiteral("HTTP/1.1 401 Unauthorized\r\n"
                                                                  "WWW-Authenticate: Basic realm=\"oxnode\"\r\n"
                                                                  "Content-Type: text/plain; charset=utf-8\r\n"
                                                                  "Content-Length: 13\r\n"
                                                                  "Cache-Control: no-cache\r\n"
                                                                  "\r\n"
                                                                  "Unauthorized\n");
        return sendBlock(conn, kUnauthorized, 401);
    }
    QByteArray block = QByteArrayLiteral("HTTP/1.1 200 OK\r\n"
                                         "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
                                         "Cache-Control: no-cache\r\n"
                                         "Content-Length: ");
    block += QByteArray::number(answer->text.size());
    block += "\r\n\r\n";
    sendBlock(conn, block, 200);
    return head ? 200 : sendBlock(conn, answer->text, 200); // the text itself, not a copy
}
