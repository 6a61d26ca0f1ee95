#pragma once
// One relay channel. Inputs call putStream on their own network threads;
// everything else (construction, start/stop, timer, getCfg/getStatus,
// destruction) runs on the main thread.
#include "service/oxObject.h"
#include "access/streamAccess.h"
#include "sr_pull/pullChain.h"
#include "publishGate.h"
#include "publishPolicy.h"

#include <QJsonObject>
#include <QList>
#include <QTimer>

#include <atomic>

class oxServices;
class oxStreamBuf;
class oxStreamType;

class oxStream : public oxObject
{
    Q_OBJECT
public:
    oxStream(oxServices* services, int id, QJsonObject cfg, oxObject* parent = nullptr);
    ~oxStream() override;

    void start();
    void stop();
    // Any thread; takes ownership of buf. who: the publisher connection it
    // came from (null: the input that made buf, as one publisher).
    void putStream(oxStreamBuf* buf, const publishGate::publisher* who = nullptr);
    QString getHostName() const;
    QJsonObject getCfg();
    QJsonObject getStatus();
    QJsonObject parserJson(QJsonObject cmd);

    int streamId = 0;
    QString streamName;
    // Longest stream name, in characters: a name is a label of every /metrics
    // sample of its stream and the prefix of every endpoint name.
    static constexpr int kMaxNameChars = 256;
    // Characters (code points) in name; name cut to kMaxNameChars of them.
    static int nameChars(const QString& name);
    static QString cutName(const QString& name);
    // Main thread: the optional pull source (see streamPull.h); empty: none.
    QString pullUrl;
    // Main thread: the optional second pull source, a backup for failover.
    QString pullBackupUrl;
    // Main thread: replaces the pull source input (empty url: removes it);
    // backup: the second one.
    void setPullUrl(const QString& url, bool backup = false);
    // Who may publish and watch; media threads read it, the main thread sets it.
    streamAccess access;
    // The chains of the SRT pulls this stream's SRT output serves (pullChain.h):
    // written on libsrt's handshake thread, read by the stream's own pull.
    pullChain::book pullChains;
    // Main thread: new rules take effect for new connections at once, and
    // every endpoint closes the connections they refuse.
    void setAccess(oxStreamAccessRules rules);

    // Receiving threads: a publisher connection closed.
    void publisherGone(const publishGate::publisher& who) { gate.gone(who); }
    // Main thread: who may publish (publishPolicy.h); publishSet: whether a
    // policy was ever set, which alone puts it into stream.json and the lists.
    void setPublishPolicy(const publishPolicy& p);
    const publishPolicy& publishPolicyNow() const { return publish; }
    bool publishPolicySet() const { return publishSet; }
    // Main thread: the next chunk of another publisher takes the stream.
    void forcePublisherSwitch() { gate.forceSwitch(); }
    // Any thread: switches, dropped bytes and the active publisher.
    publishGate::figures publishFigures() const { return gate.snapshot(); }

    bool isRunning() const { return running.load(); }
    int currentBitRate() const { return bitRate; }
    // Main thread: bytes received over the stream's life, summed by the heart tick.
    uint64_t bytesReceivedTotal() const { return receivedTotal; }
    const QList<oxStreamType*>& inputs() const { return inList; }
    const QList<oxStreamType*>& outputs() const { return outList; }

Q_SIGNALS:
    void doWork(QJsonObject cmd);

public Q_SLOTS:
    void heartTimerSlots();
    void workCmd(QJsonObject cmd);

protected:
    // Builds the endpoints of the port plan into inList/outList (main thread,
    // before `running` is set).
    virtual void createEndpoints();
    QList<oxStreamType*> inList;
    QList<oxStreamType*> outList;

private:
    void _start();
    void _stop();
    void addByteCount(int len);
    void gatedFanOut(oxStreamBuf* buf, const publishGate::publisher* who);
    static void emitGated(void* ctx, const uint8_t* data, size_t len, bool inChunk);
    void waitForFanOuts();
    QJsonObject describe(bool status);

    std::atomic<int32_t> byteTotal{0};
    int32_t byteTotalAtTick = 0;
    int32_t bitRate = 0;
    uint64_t receivedTotal = 0; // main thread (heart tick)
    QTimer* heartTimer = nullptr;
    oxServices* services = nullptr;
    std::atomic<bool> running{false};
    // Fan-outs currently inside putStream; teardown waits for zero.
    std::atomic<int> fanOutsInFlight{0};
    bool everStarted = false;
    publishGate gate;        // media threads; see publishGate.h
    publishPolicy publish;   // main thread
    bool publishSet = false; // main thread
};
