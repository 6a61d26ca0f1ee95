#pragma once
// Pull source: an input that connects out, as an SRT caller (oxdp://) or a
// TCP client (oxtcp://), to another relay's output or any SRT listener or TCP
// server, and fans out what it receives like every other input. Its worker
// thread runs the attempts one after the other: resolve the host (at every
// attempt), refuse an address that is this stream's own output, connect,
// receive until the connection is gone, pause with a back-off, again.
// Only the first failure of a run and the recovery are logged.
#include "oxStreamType.h"
#include "publishGate.h"
#include "pullBackoff.h"
#include "pullUrl.h"

#include <srt/srt.h>

#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

class pullLink;

class sr_pull : public oxStreamType
{
    Q_OBJECT
public:
    // The id every pull source carries in its stream's "inList".
    static constexpr int kEndpointId = 3;
    // The id of a stream's second (backup) pull source.
    static constexpr int kBackupEndpointId = 4;
    // How long a stopped worker sleeps between looks at its flags.
    static constexpr int kStoppedPauseMs = 1000;

    enum State { Connecting, Connected, Waiting };

    // Main thread; cfg holds "name" and "url" (already checked by pullUrl::parse).
    // Opens nothing yet.
    sr_pull(int endpointId, QJsonObject cfg);
    ~sr_pull() override; // main thread; ends and joins the worker (never waits on a resolver)

    void start() override; // main thread: the first call starts the worker
    void stop() override;  // any thread: the connection in progress ends within one poll
    QJsonObject getCfg() override;
    QJsonObject getStatus() override; // main thread; counters are atomics, statistics under statsLock
    // Main thread, atomics only: the connection counts as the one publisher.
    oxEndpointFigures figures() override;
    // Main thread: the connection, while there is one, as the one publisher.
    std::vector<oxEndpointClient> clientList() override;

    // For tests and status.
    State state() const { return State(stateNow.load()); }
    int64_t bytesReceived() const { return bytes.load(); }
    int reconnectCount() const { return reconnects.load(); }

    // Any thread: what the worker counts as it fans out.
    static void countingRevCB(unsigned char* data, int len, void* user);
    // Pull thread: the current link as a publisher of the stream.
    publishGate::publisher linkPublisher() const;

public Q_SLOTS:
    void heartTimerSlots(); // main thread: asks the worker for fresh SRT statistics

private:
    void loop();
    // One attempt: false when it ended in a failure (to be followed by a pause).
    bool attempt();
    void fail(const QString& why);
    void pause(int ms);
    bool ownOutput(const sockaddr* addr, int port) const;

    const pullUrl target;
    const QByteArray shown; // the url for log lines: passphrase hidden, escaped
    const bool liveStatus;
    std::thread worker;
    std::atomic<bool> stopRequested{true};
    std::atomic<bool> exiting{false};
    std::mutex wakeLock;
    std::condition_variable wake;

    std::atomic<int> stateNow{Connecting};
    std::atomic<int64_t> bytes{0};
    std::atomic<int> reconnects{0};
    // Worker only.
    pullBackoff backoff;
    bool everConnected = false;
    // Pull thread: the link now, as the publish gate names it.
    uint32_t linkSerial = 0;
    std::string linkAddr;
    bool failing = false;
    int failedAttempts = 0;

    // Set by the worker when a connection comes up; read by the main thread.
    std::mutex peerLock; // guards peer (never taken by the fan-out)
    struct Peer {
        QString address;
        int port = 0;
        int64_t sinceMs = 0;     // wall clock, milliseconds since the epoch
        int64_t bytesAtStart = 0; // `bytes` when it came up
    } peer;

    std::unique_ptr<QTimer> heartTimer;
    std::atomic<bool> statsRequested{false};
    std::mutex statsLock; // guards stats
    SRT_TRACEBSTATS stats{};
};
