#pragma once
// One node connection carrying zero-terminated JSON frames. It knows nothing
// about commands or nodes: it frames, parses, serialises and reports the
// disconnect, then deletes itself. Lives on the main thread; sendJson may be
// called from any thread (the write is queued to the owning thread).
#include "oxFrames.h"
#include "service/oxObject.h"

#include <QByteArray>
#include <QJsonObject>
#include <QTcpSocket>

class oxTcpClientSocket : public oxObject
{
    Q_OBJECT
public:
    // Takes the socket over (it becomes this object's child). The parent, if
    // any, only matters at shutdown: an open connection is deleted with it.
    explicit oxTcpClientSocket(QTcpSocket* socket, QObject* parent = nullptr);
    ~oxTcpClientSocket() override;

    void sendJson(QJsonObject json); // any thread
    // Main thread. Flushes without blocking, then aborts; the disconnect
    // (ClientDisConnect) runs before close() returns.
    void close();
    static int findStringEnd(const unsigned char* buf, int pos, int len);
    // Main thread: hands every complete frame upward, in order.
    void processFifo();
    bool isOpen() const { return !closed; }
    // A login frame that stops coming in for this long no longer counts as under way.
    static constexpr int kLoginStallMs = 2000;
    // Main thread. Whether the peer is in the middle of sending something:
    // bytes wait unread, or the last ones came in less than kLoginStallMs ago.
    bool loginUnderWay(qint64 nowMs) const;

    QString peerIp;
    int peerPort = 0;
    QTcpSocket* socket = nullptr;
    void* pElement = nullptr; // set by the node layer once a node logged in here
    oxFrameReader rxBuffer;

Q_SIGNALS:
    void ClientDisConnect(oxTcpClientSocket* client, void* parent);
    void revData(oxTcpClientSocket* client, void* pElement, QJsonObject data);
    void threadSendDataSignal(QByteArray data);

public Q_SLOTS:
    void ReadData();
    void DisConnect();
    void sendSocketData(QByteArray data);

private:
    bool closed = false;
    qint64 heardAtMs = -1;  // monotonic time of the last bytes read; -1 none yet
};
