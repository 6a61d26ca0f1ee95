#pragma once
// The node port (TCP 8000) on network workers. Each connection belongs to
// one worker of an oxnet::TcpServer (edge-triggered epoll loops): its bytes
// are framed and its JSON parsed there, so the main thread never polls a
// node's socket nor parses its frames. What the workers yield (a new
// connection, a frame, an end) reaches the owner thread in batches, in
// arrival order per connection, and goes to onFrame and onGone with the
// connection's oxTcpClientSocket, which this port owns.
//
// Owner: the main thread (listen, start, stop, every signal, the client
// objects). The workers and the owner share only the inbox, under a lock of
// its own, and each connection's nodeWire atomics.
#include "oxFrames.h"
#include "net/oxTcpServer.h"

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>

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
    int64_t acceptedAtMs = 0;          // set by the worker before the owner sees the wire
    QByteArray discovery;              // worker: the heart tick's frame, once a node is bound here
};

// Frames, new connections and ends waiting for the owner thread. Past
// either bound a worker stops reading until the owner has caught up, so
// the peers wait in their TCP windows instead of in our memory.
constexpr int kMaxNodeInboxEvents = 65536;
constexpr size_t kMaxNodeInboxBytes = 64u * 1024u * 1024u;
// Events the owner handles in one go before other work (a web command, the
// heart tick) gets a turn: a login costs the owner some 50 us in a storm,
// so a web command waits under 2 ms for the slice ahead of it.
constexpr int kNodeDrainSlice = 32;
// Once the owner has emptied the inbox it looks again this much later
// instead of being woken for every frame: a steady fleet's frames then
// arrive in batches (some 500 wake-ups a second instead of one a frame),
// and a frame waits at most this long. An idle port is woken at once.
constexpr int kNodeDrainHoldMs = 2;
// Workers for the node port: framing and parsing are light, two loops keep
// both cores of a small machine busy in a login storm.
constexpr int kNodeWorkers = 2;
// How much lower the node workers' scheduling priority is (a nice value):
// when a login storm saturates the machine, the media and the owner thread
// (web commands) go first; the fleet waits a little, in its TCP windows.
constexpr int kNodeWorkerNice = 5;
// Bytes taken per read: frames are small, a node connection holds no read
// buffer of its own (the area is the worker's).
constexpr size_t kNodeReadBytes = 64u * 1024u;

// New connections the node port takes per second at most, in bursts of up
// to kNodeAdmitBurst. Measured with bench_fleet on a 2-core machine, the
// service completes 5,000 to 9,000 logins a second in a storm, so this
// ceiling leaves an honest storm its pace, while a connect flood from the
// network cannot push more connections a second at the owner thread than
// it serves; the rest wait in the listen backlog.
constexpr int kNodeAdmitPerSecond = 10000;
constexpr int kNodeAdmitBurst = 1000;

// Acceptor thread only: the admission rate as a token bucket.
struct nodeAdmitRate
{
    // Nanoseconds until a connection may be taken (0: now).
    int64_t waitNs(int64_t nowNs);
    void take() { tokens -= 1.0; }

    double tokens = kNodeAdmitBurst;
    int64_t lastNs = 0;
};

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
    // Accepting waits because every slot for a connection without login is
    // taken (not for the admission rate, which frees itself).
    bool waitsForRoom() const
    {
        return server && server->acceptingPaused() && pendingCap > 0
            && pending.load(std::memory_order_relaxed) >= pendingCap;
    }
    // Owner thread: the heart tick's discovery frame to every connection
    // that has one (oxTcpClientSocket::setDiscovery), written by the
    // workers as they go through their connections: the owner thread does
    // not look at the nodes for it.
    void sendDiscovery();
    // Connections accepted and not logged in yet, as counted at accept.
    int pendingLogins() const { return pending.load(std::memory_order_relaxed); }
    // Owner thread: the open connection with this id (oxTcpClientSocket::id), or null.
    oxTcpClientSocket* client(uint32_t id) const { return clients.value(id, nullptr); }
    // Owner thread: connection objects still alive, closed ones not deleted yet included.
    int clientObjects() const { return clients.size() + static_cast<int>(retired.size()); }

    // Owner thread, set before start() (each optional): every client's frames
    // and end. One receiver for the whole port: a signal connection per
    // client would cost every node of a large fleet a few hundred bytes.
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
    // A closed client, deleted once the event that closed it is over (it may
    // still be on the stack of whoever closed it).
    void retire(oxTcpClientSocket* client);
    void deleteRetired();

    std::unique_ptr<oxnet::TcpServer> server;
    QString error;
    int pendingCap = 0;
    std::atomic<int> pending{0};
    std::atomic<bool> roomAsked{false};
    nodeAdmitRate admitRate;                 // acceptor thread
    std::atomic<bool> rateResumeAsked{false};

    std::mutex inboxMutex;
    std::condition_variable inboxRoom;
    std::deque<Event> inbox;   // inboxMutex
    size_t inboxBytes = 0;     // inboxMutex
    bool drainPosted = false;  // inboxMutex: a drain is posted or held
    bool stopping = false;     // inboxMutex

    QTimer drainHold;                            // owner: the held drain, see kNodeDrainHoldMs
    bool stopped = false;                        // owner
    QHash<uint32_t, oxTcpClientSocket*> clients; // owner: open connections by channel id, owned
    std::vector<oxTcpClientSocket*> retired;     // owner: closed, owned, deleted by deleteRetired
};
