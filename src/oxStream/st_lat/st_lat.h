#pragma once
// oxlat output: every buffer the stream fans out is queued into a KCP session
// on UDP 8021 + 20·N, which sends it to whichever peer spoke to that port
// last. What the peer sends is acknowledged and dropped.
#include "oxStreamType.h"

#include <atomic>
#include <memory>

class kcp_udp;

class st_lat : public oxStreamType
{
    Q_OBJECT
public:
    st_lat(int endpointId, QJsonObject cfg); // main thread; opens nothing yet
    ~st_lat() override; // main thread; the stream has already waited for fan-outs in progress

    void start() override; // main thread: URL, session, opens the gate
    // Main thread: closes the gate, so putBufIn queues nothing more. The
    // stream stops an output only right before deleting it; copying buffers
    // into a session that is about to go would be wasted work.
    void stop() override;
    QJsonObject getCfg() override;
    // Main thread; the session's one peer, from what its thread publishes.
    std::vector<oxEndpointClient> clientList() override;
    bool closeClient(const QString& address, int port) override;
    oxEndpointFigures figures() override;
    void accessChanged() override; // main thread: a peer the new rules refuse ends the session
    QJsonObject getStatus() override; // main or web thread
    void putBufIn(oxStreamBuf* buf) override; // any receiving thread; takes only the queue lock

    static void revCB(unsigned char* data, int len, void* user); // session thread; ignores the bytes

    kcp_udp* session() const { return kcp.get(); }
    bool isGateOpen() const { return gateOpen.load(); }

    int port = 10001;
    static constexpr int kMinRto = 150;

private:
    std::unique_ptr<kcp_udp> kcp;
    std::atomic<bool> gateOpen{false};
};
