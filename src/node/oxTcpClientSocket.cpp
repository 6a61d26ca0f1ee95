#include "oxTcpClientSocket.h"
#include "service/opsCounters.h"
#include "service/logLimit.h"
#include "service/logging.h"

#include <QDeadlineTimer>
#include <QHostAddress>

#include <sys/ioctl.h>

namespace {

// Lines a peer can repeat at will: one per second and peer address.
logThrottleKeyed& overflowLog()
{
    static logThrottleKeyed t;
    return t;
}

logThrottleKeyed& malformedLog()
{
    static logThrottleKeyed t;
    return t;
}

} // namespace

oxTcpClientSocket::oxTcpClientSocket(QTcpSocket* s, QObject* parent)
    : oxObject(parent)
    , socket(s)
{
    if (!socket) {
        closed = true;
        deleteLater();
        return;
    }
    // Owned from here on (the listening server no longer deletes it).
    socket->setParent(this);
    connect(socket, &QTcpSocket::readyRead, this, &oxTcpClientSocket::ReadData);
    connect(socket, &QTcpSocket::disconnected, this, &oxTcpClientSocket::DisConnect);
    connect(socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
    connect(this, &oxTcpClientSocket::threadSendDataSignal, this, &oxTcpClientSocket::sendSocketData);
    peerIp = socket->peerAddress().toString();
    peerPort = socket->peerPort();
}

oxTcpClientSocket::~oxTcpClientSocket()
{
    qCDebug(lcNode, "oxTcpClientSocket::~oxTcpClientSocket !!");
    if (socket) {
        // A socket still open at shutdown would report its disconnect to
        // receivers that may be gone already.
        socket->disconnect(this);
        delete socket;
    }
}

void oxTcpClientSocket::sendJson(QJsonObject json)
{
    Q_EMIT threadSendDataSignal(encodeFrame(json));
}

void oxTcpClientSocket::sendSocketData(QByteArray data)
{
    if (socket && !closed)
        socket->write(data);
}

void oxTcpClientSocket::close()
{
    if (!socket || closed)
        return;
    socket->flush();
    socket->abort();
    if (!closed) {
        // The socket was no longer connected, so abort() reported nothing.
        DisConnect();
        deleteLater();
    }
}

int oxTcpClientSocket::findStringEnd(const unsigned char* buf, int pos, int len)
{
    return ::findStringEnd(buf, pos, len);
}

void oxTcpClientSocket::ReadData()
{
    if (closed)
        return;
    const QByteArray bytes = socket->readAll();
    if (!bytes.isEmpty() && !pElement)
        heardAtMs = QDeadlineTimer::current().deadline();
    rxBuffer.append(bytes);
    processFifo();
}

bool oxTcpClientSocket::loginUnderWay(qint64 nowMs) const
{
    if (heardAtMs >= 0 && nowMs - heardAtMs < kLoginStallMs)
        return true;
    if (!socket || socket->bytesAvailable() > 0)
        return socket != nullptr;
    int unread = 0;
    return ::ioctl(static_cast<int>(socket->socketDescriptor()), FIONREAD, &unread) == 0 && unread > 0;
}

void oxTcpClientSocket::processFifo()
{
    QByteArray frame;
    // A receiver may close the connection; what follows it is then dropped.
    while (!closed) {
        // Strangers get the small bound; a node that logged in the large one.
        rxBuffer.setMaxFrameBytes(pElement ? kMaxFrameBytes : kMaxLoginFrameBytes);
        switch (rxBuffer.next(&frame)) {
        case oxFrameReader::Result::NeedMore:
            return;
        case oxFrameReader::Result::Overflow: {
            opsCounters().count(opsCounters().nodeFramesRefused);
            int64_t held = 0;
            if (overflowLog().allow(peerIp, &held))
                qCWarning(lcNode, "oxTcpClientSocket: %s:%d sent more than %d bytes without a frame end, closing"
                                  " (%lld held back)",
                          qUtf8Printable(peerIp), peerPort, rxBuffer.maxFrameBytes(), static_cast<long long>(held));
            close();
            return;
        }
        case oxFrameReader::Result::Frame: {
            QJsonObject object;
            QString error;
            switch (parseFrame(frame, &object, &error)) {
            case FrameParse::Object:
                Q_EMIT revData(this, pElement, object);
                break;
            case FrameParse::Malformed: {
                opsCounters().count(opsCounters().nodeFramesRefused);
                int64_t held = 0;
                if (malformedLog().allow(peerIp, &held))
                    qCDebug(lcNode, "%s (from %s, %lld held back)", qUtf8Printable(error),
                            qUtf8Printable(peerIp), static_cast<long long>(held));
                break;
            }
            case FrameParse::NotObject:
                break;
            }
            break;
        }
        }
    }
}

void oxTcpClientSocket::DisConnect()
{
    if (closed)
        return;
    closed = true;
    rxBuffer.clear();
    Q_EMIT ClientDisConnect(this, pElement);
    qCDebug(lcNode, "oxTcpClientSocket::disconnect !! %s %d", qUtf8Printable(peerIp), peerPort);
}
