#pragma once
// oxlat input: one KCP peer pushes messages to UDP 8011 + 20·N; every message
// becomes one buffer, fanned out on the session thread.
#include "oxStreamType.h"

#include <QTimer>

#include <atomic>
#include <memory>

class kcp_udp;

class sr_lat : public oxStreamType
{
    Q_OBJECT
public:
    // Main thread. Creates the (paused) session; opens nothing yet.
    sr_lat(int endpointId, QJsonObject cfg);
    ~sr_lat() override; // main thread; joins the session thread

    void start() override; // main thread: URL, then the session
    // Main thread. Records the request only: the session keeps running, and
    // the stream (which stops its inputs only right before deleting them)
    // drops whatever still arrives.
    void stop() override;
    QJsonObject getCfg() override;
    // Main thread; the session's one peer, from what its thread publishes.
    std::vector<oxEndpointClient> clientList() override;
    bool closeClient(const QString& address, int port) override;
    oxEndpointFigures figures() override;
    void accessChanged() override; // main thread: a peer the new rules refuse ends the session
    QJsonObject getStatus() override; // main or web thread; session state under its lock

    // The session, for the owner's diagnostics and tests; owned by the endpoint.
    kcp_udp* session() const { return kcp.get(); }
    bool isStopRequested() const { return stopRequested.load(); }

    int port = -1;
    static constexpr int kMinRto = 150;

public Q_SLOTS:
    void heartTimerSlots();

private:
    std::unique_ptr<kcp_udp> kcp;
    QTimer* heartTimer = nullptr; // child of the endpoint
    std::atomic<bool> stopRequested{true};
};
