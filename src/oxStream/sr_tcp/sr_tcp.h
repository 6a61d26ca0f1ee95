#pragma once
// oxtcp input: any number of sources push raw bytes; every read becomes one
// buffer fanned out on the Asio worker thread that read it.
#include "oxStreamType.h"

#include <QTimer>

#include <memory>

namespace oxnet { class TcpServer; }

class sr_tcp : public oxStreamType
{
    Q_OBJECT
public:
    // Main thread. Listens at once; a port that cannot be bound leaves an
    // endpoint that never receives.
    sr_tcp(int endpointId, QJsonObject cfg);
    ~sr_tcp() override; // main thread; joins the acceptor and worker threads

    void start() override;
    void stop() override;
    QJsonObject getCfg() override;
    // Main thread; from the server's client registry and counters.
    std::vector<oxEndpointClient> clientList() override;
    bool closeClient(const QString& address, int port) override;
    oxEndpointFigures figures() override;
    void accessChanged() override; // main thread: closes the connections the new rules refuse
    QJsonObject getStatus() override; // main thread; connection count under the server's lock

    int port = -1;
    static constexpr int kWorkerThreads = 4;
    static constexpr int kKeepAliveMs = 2000;

public Q_SLOTS:
    void heartTimerSlots();

private:
    std::unique_ptr<oxnet::TcpServer> listener;
    QTimer* heartTimer = nullptr;
    bool listening = false;
};
