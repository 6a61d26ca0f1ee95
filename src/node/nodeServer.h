#pragma once
// The node port (TCP 8000) on network workers. Each connection belongs to
// one worker of an oxnet::TcpServer (edge-triggered epoll loops): its bytes
// are framed and its JSON parsed there, so the main thread never polls a
// node's socket nor parses its frames. What the workers yield (a new
// connection, a frame, an end) reaches the owner thread in batches, in
// arrival order per connection, and comes out of the connection's
// oxTcpClientSocket as its signals.
//
// Owner: the main thread (listen, start, stop, every signal, the client
// objects). The workers and the owner share only the inbox, under a lock of
// its own, and each connection's nodeWire atomics.
#include "oxFrames.h"
#include "net/oxTcpServer.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

class oxTcpClientSocket;

// What a worker keeps per node connection; the atomics are how the owner
// thread and the worker tell each other about it.
struct nodeWire
{
    oxFrameReader reader;              // worker
    bool cut = false;                  // worker: closed at the frame bound, read no further
    std::atomic<bool> loggedIn{false}; // owner: the node logged in, frames may be large
    std::atomic<int64_t> heardAtMs{-1}; // worker: monotonic time of the last bytes before login
};

// Frames, new connections and ends waiting for the owner thread. Past
// either bound a worker stops reading until the owner has caught up, so
// the peers wait in their TCP windows instead of in our memory.
constexpr int kMaxNodeInboxEvents = 65536;
constexpr size_t kMaxNodeInboxBytes = 64u * 1024u * 1024u;
// Events the owner handles in one go before other work (a web command, the
// heart tick) gets a turn: a slice of logins is a few milliseconds.
constexpr int kNodeDrainSlice = 256;
// Workers for the node port: framing and parsing are light, two loops keep
// both cores of a small machine busy in a login storm.
constexpr int kNodeWorkers = 2;
// Bytes taken per read: frames are small, a node connection holds no read
// buffer of its own (the area is the worker's).
constexpr size_t kNodeReadBytes = 64u * 1024u;

class nodeServer : public QObject
{
    Q_OBJECT
public:
    explicit nodeServer(QObject* parent = nullptr);
    ~nodeServer() override; // stops

    // Owner thread, before start(): at most maxConnections at once, new
    // ones waiting in a listen backlog of `backlog`; at most pendingCap of
    // them without login (0: no such bound) before accepting waits.
    bool listen(quint16 port, int backlog, int maxConnections, int pendingCap);
    QString errorString() const { return error; }
    int listenPort() const;
    void start();
    // Owner thread: closes the port and every connection, joins the workers.
    // No signal is emitted afterwards. Idempotent.
    void stop();

    // Owner thread: a connection accepted without login logged in or ended,
    // so the next one may be accepted.
    void loginSettled();
    bool acceptingPaused() const { return server && server->acceptingPaused(); }
    // Any thread: writes each frame to its connection, from the connections'
    // workers (one task per worker), so that a frame to every node costs the
    // caller no send of its own.
    static void sendEach(std::vector<std::pair<oxnet::SocketChannelPtr, QByteArray>>&& frames);
    // Connections accepted and not logged in yet, as counted at accept.
    int pendingLogins() const { return pending.load(std::memory_order_relaxed); }

    // Owner thread, set before start() (each optional): every client's frames
    // and end, each before the client's own signal of it. One receiver for
    // the whole port: a signal connection per client costs every node of a
    // large fleet a few hundred bytes.
    std::function<void(oxTcpClientSocket* client, void* pElement, const QJsonObject& json)> onFrame;
    std::function<void(oxTcpClientSocket* client, void* pElement)> onGone;

Q_SIGNALS:
    void newClient(oxTcpClientSocket* client);
    // Accepting waits: every slot for a connection without login is taken.
    void roomWanted();

private:
    struct Event
    {
        enum Kind : uint8_t { Connected, Frame, Gone };
        Kind kind;
        uint32_t id;
        oxnet::SocketChannelPtr channel;  // Connected
        std::shared_ptr<nodeWire> wire;   // Connected
        QJsonObject json;                 // Frame
        size_t bytes = 0;                 // Frame: its size on the wire
    };
    // Worker threads.
    void onConnection(const oxnet::SocketChannelPtr& ch);
    void onMessage(const oxnet::SocketChannelPtr& ch, const void* data, size_t len);
    bool admit();
    void push(Event&& e);
    // Owner thread.
    void drain();
    friend class oxTcpClientSocket;
    // From the client: its frame, and its end (it is forgotten first).
    void frameOf(oxTcpClientSocket* client, void* pElement, const QJsonObject& json);
    void goneOf(oxTcpClientSocket* client, void* pElement);

    std::unique_ptr<oxnet::TcpServer> server;
    QString error;
    int pendingCap = 0;
    std::atomic<int> pending{0};
    std::atomic<bool> roomAsked{false};

    std::mutex inboxMutex;
    std::condition_variable inboxRoom;
    std::deque<Event> inbox;   // inboxMutex
    size_t inboxBytes = 0;     // inboxMutex
    bool drainPosted = false;  // inboxMutex
    bool stopping = false;     // inboxMutex

    bool stopped = false;                        // owner
    QHash<uint32_t, oxTcpClientSocket*> clients; // owner: open connections by channel id
};
