#pragma once
// oxtcp output: every buffer the stream offers is written, unframed, to every
// connected client. putBufIn runs on the receiving endpoints' threads and never
// blocks: unsent bytes wait in each connection's own write queue (bounded).
#include "service/oxProfile.h"
#include "oxStreamType.h"

#include <atomic>
#include <memory>

namespace oxnet { class TcpServer; }

class st_tcp : public oxStreamType
{
    Q_OBJECT
public:
    st_tcp(int endpointId, QJsonObject cfg); // main thread; listens at once
    ~st_tcp() override; // main thread; the stream has already waited for fan-outs in progress

    void start() override; // main thread: opens the gate
    void stop() override;  // main thread: closes the gate
    QJsonObject getCfg() override;
    // Main thread; from the server's client registry and counters.
    std::vector<oxEndpointClient> clientList() override;
    bool closeClient(const QString& address, int port) override;
    oxEndpointFigures figures() override;
    void accessChanged() override; // main thread: closes the connections the new rules refuse
    QJsonObject getStatus() override;
    void putBufIn(oxStreamBuf* buf) override; // any receiving thread

    // Bytes that pass to the client come from the relay; what clients send is ignored.
    static void revCB(unsigned char* data, int len, void* user);

    int port = -1;
    static constexpr int kWorkerThreads = 1;
    static constexpr size_t kClientReadBufSize = 16 * 1024;

private:
    const bool listensOnlyWhileStarted = oxProfile::current().tcpOutputListensOnlyWhileStarted;
    const bool sendGate = oxProfile::current().tcpOutputSendGate;
    std::unique_ptr<oxnet::TcpServer> listener;
    std::atomic<int> clientCount{0};
    bool linked = false;
    std::atomic<bool> stopped{true};
};
