#pragma once
// Raw-byte TCP server for the stream endpoints.
//
// Threads: one acceptor thread (standalone Asio, own io_context) and N worker
// threads, each running its own event loop: an edge-triggered epoll set in
// which every connection is registered once for its whole life, so that a
// wait costs one epoll_wait and a read that comes back short ends the wake
// (no re-arming, no read that only learns the socket is empty). A new
// connection goes to the worker that holds the fewest connections.
// onConnection/onMessage run on the connection's worker thread. broadcast()
// may be called from any thread: it takes the channel lock, tries a
// non-blocking send() of the bytes to each client whose queue is empty and
// queues the rest (all of it, for a client that is behind) for the
// connection's worker; it never blocks on a socket. A connection whose queued
// bytes would exceed maxWriteBufSize is closed (that client only). The bytes
// of one broadcast that clients could not take are copied once (or held by
// reference, where the caller keeps them alive) and shared by every queue
// that holds them.
//
// Bounds at accept: at most maxConnections per server, at most maxPerAddress
// of them from one peer address (so that one address cannot hold every slot),
// and no connection that would take one of the last kFdReserve descriptors of
// the process (those stay for the web and node ports). Refused connections are closed at
// once, with a throttled log line. Reads go into one area per worker thread,
// so an idle connection holds no read buffer; the area is used again for the
// next read unless someone still holds a reference to it.
//
// Ownership: the server's channel map owns each channel from accept until its
// disconnect callback; its worker and tasks posted to it hold a reference too. A
// channel pointer kept by a caller stays safe to use after that (write()
// returns -1, close() does nothing), even after the server is gone.
#include "oxByteQueue.h"
#include "oxMemoryTrim.h"

#include <asio.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace oxnet {

class TcpServer;

namespace detail {
struct TcpWorker;
}

class SocketChannel : public std::enable_shared_from_this<SocketChannel>
{
    // Only the server makes channels; the key lets it do so in one
    // allocation with their shared count (std::make_shared).
    class Key
    {
        friend class TcpServer;
        Key() = default;
    };

public:
    // Takes over `fd` (connected, non-blocking).
    SocketChannel(Key, TcpServer* server, detail::TcpWorker* worker, int fd, const asio::ip::tcp::endpoint& peer,
                  uint32_t id, size_t maxWriteBufSize);
    ~SocketChannel(); // closes the descriptor if the worker never did
    SocketChannel(const SocketChannel&) = delete;
    SocketChannel& operator=(const SocketChannel&) = delete;

    // Thread safe.
    bool isConnected() const { return connected_.load(std::memory_order_acquire); }
    const std::string& peeraddr() const { return peeraddr_; } // "ip:port", fixed at accept
    uint32_t peerIPv4() const { return peerIPv4_; } // host byte order; 0 for a peer that is not IPv4
    int fd() const { return fd_; }
    uint32_t id() const { return id_; }
    // Worker loop's thread id (as the OS knows it), for log lines.
    long loopTid() const { return loopTid_; }

    // Thread safe; never blocks. Returns bytes accepted (sent or queued) or -1
    // when the channel is closed or was closed for exceeding the write limit.
    int write(const void* data, size_t len);
    // The same, for a broadcast (any thread, holding the lock that guards
    // `slicer`): bytes that must be queued come from the broadcast's one
    // shared copy, made in `slice` by the first client that needs it.
    // `keep`, when set, holds [data, data + len) alive and unchanged: queued
    // bytes then refer to it instead of being copied.
    int write(const void* data, size_t len, SharedSlicer& slicer, SharedSlicer::Slice& slice,
              const std::shared_ptr<const void>& keep);
    // Thread safe: closes on the worker thread.
    void close();
    // Thread safe: runs f on the connection's worker, after what was posted
    // there before; false (f dropped) once the channel is closing. Writes
    // for many connections handed over in one task cost the caller one
    // wake-up instead of a send each.
    bool runOnWorker(std::function<void()> f);
    // Worker thread, inside onMessage only: a reference to the read area that
    // holds the message, so that its bytes can be queued elsewhere without a
    // copy (they never change while it is held; the next read then gets a
    // fresh area). Null when the message fills less than half the area: a
    // reference would pin more than twice its bytes, so copy those instead.
    std::shared_ptr<const void> sharedReadArea() const;
    // Worker thread only: state the owner of the callbacks keeps per
    // connection (set in onConnection, released with the channel).
    void setContext(std::shared_ptr<void> c) { context_ = std::move(c); }
    const std::shared_ptr<void>& context() const { return context_; }

    // Thread safe (write lock): bytes the peer sent that the kernel holds
    // unread (FIONREAD); 0 once closed.
    int unreadBytes() const;
    // Thread safe (write lock): bytes accepted by write() not yet handed to the kernel.
    size_t queuedBytes() const;
    // Thread safe, without any lock: the same figures as last stored by the
    // writer and the reader, for the operator's client list.
    size_t queuedBytesNow() const { return queuedNow_.load(std::memory_order_relaxed); }
    uint64_t bytesSent() const { return bytesSent_.load(std::memory_order_relaxed); }
    uint64_t bytesReceived() const { return bytesReceived_.load(std::memory_order_relaxed); }
    std::string peerIp() const { return peeraddr_.substr(0, peeraddr_.rfind(':')); } // fixed at accept
    int peerPort() const { return peerPort_; }                 // fixed at accept
    int64_t connectedSinceMs() const { return sinceMs_; }      // wall clock at accept

private:
    friend class TcpServer;
    friend struct detail::TcpWorker;

    int writeImpl(const void* data, size_t len, SharedSlicer* slicer, SharedSlicer::Slice* slice,
                  const std::shared_ptr<const void>* keep);
    // Worker thread only from here on.
    void onConnectedInLoop();
    void onEvents(uint32_t events); // what epoll reported for this connection
    // `due`: the bulk wait of this input ran out (see TcpServer::setBulkReads).
    void onReadable(bool due = false);
    // Worker thread: SO_RCVLOWAT for bulk mode on or off.
    void setBulk(bool on);
    void onWritable();
    void closeInLoop();
    // Under writeMutex_: stop accepting writes and have the worker close the socket.
    void requestCloseLocked();

    TcpServer* server_;
    detail::TcpWorker* worker_;
    std::string peeraddr_; // the address alone is read from it: a copy would cost every connection
    int peerPort_ = 0;
    int64_t sinceMs_ = 0;
    uint32_t peerIPv4_ = 0;
    int fd_ = -1;
    uint32_t id_ = 0;
    long loopTid_ = 0;
    size_t maxWriteBufSize_;
    std::atomic<bool> connected_{true};
    bool connectNotified_ = false; // worker thread only
    bool closeNotified_ = false;   // worker thread only
    bool peerClosing_ = false;     // worker thread only: hang-up seen, read on to the end
    bool bulk_ = false;            // worker thread only: reported readable at kBulkLowWater only
    int64_t bulkDueNs_ = 0;        // worker thread only: bytes below the mark are read by then; 0: none wait
    bool fdOpen_ = true;           // writeMutex_: fd_ not closed yet
    std::shared_ptr<void> context_; // worker thread only

    mutable std::mutex writeMutex_;
    // Guarded by writeMutex_. Once closing_ is set no byte is sent any more and
    // the socket may be gone, so fd_ is never used with it set.
    bool closing_ = false;
    bool writeArmed_ = false;
    ByteQueue pending_; // bytes accepted by write() and not yet sent
    size_t queuedPeak_ = 0; // most bytes pending_ held since it was last empty after a trim
    // Stored under writeMutex_ (queuedNow_, bytesSent_) or on the worker
    // (bytesReceived_); read from anywhere without it.
    std::atomic<size_t> queuedNow_{0};
    std::atomic<uint64_t> bytesSent_{0};
    std::atomic<uint64_t> bytesReceived_{0};
};

using SocketChannelPtr = std::shared_ptr<SocketChannel>;

class TcpServer
{
public:
    // Default per-connection write limit (16 MiB).
    static constexpr size_t kDefaultMaxWriteBufSize = 16u * 1024u * 1024u;
    // Default bytes taken per read and connection. Large, because every read
    // of a relay input is one fan-out: fewer, bigger chunks cost less per byte.
    static constexpr size_t kReadBufSize = 256u * 1024u;
    // Default connections one server holds at once; more are refused at
    // accept. Far above the sources or viewers of one honest stream.
    static constexpr size_t kDefaultMaxConnections = 1000;
    // The share of a stream endpoint's connections one peer address may hold
    // (setMaxPerAddress): a flood from one address leaves three quarters of
    // the slots to everyone else. A proxy in front of the endpoint counts as
    // one address. The server's own default is no share (maxConnections).
    static constexpr size_t kStreamMaxPerAddress = kDefaultMaxConnections / 4;
    // Descriptors of the process that stream connections never take, so that
    // the web and node ports keep accepting while a stream port is flooded.
    static constexpr int kFdReserve = 64;
    // A connection whose queue reached this many bytes gives the freed
    // memory back to the system when the queue drains or the connection closes.
    static constexpr size_t kTrimAfterQueued = kTrimAfterBytes;
    // Read areas a worker keeps for reuse once the queues that held them
    // let go (beside the one it reads into).
    static constexpr int kSpareReadAreas = 2;
    // Reads one connection may do per wake-up before the others of its worker get a turn.
    static constexpr int kReadsPerWake = 16;
    // Bulk inputs (setBulkReads): a read of kBulkReadBytes or more puts an
    // input in bulk mode, where the kernel reports it readable only once
    // kBulkLowWater bytes wait. A fast source is then read in big chunks, as
    // a blocking relay that waits on its clients would read it, and every
    // chunk is one fan-out and one wake-up of each client. Bytes below the
    // mark are read after kBulkWaitUs at the latest; a read then that finds
    // less than kBulkReadBytes ends bulk mode, so a live stream's chunks are
    // read as they come.
    static constexpr size_t kBulkReadBytes = 64u * 1024u;
    static constexpr int kBulkLowWater = 128 * 1024;
    static constexpr int kBulkWaitUs = 200;

    TcpServer();
    ~TcpServer(); // stops and joins every thread, closing all connections

    // Owner thread, before start(). Returns the listening fd, or a negative
    // value when the port cannot be bound.
    int createsocket(int port, const char* host = "0.0.0.0");
    void setThreadNum(int n) { threadNum_ = n < 1 ? 1 : n; }
    // Before start(): the workers run at this nice value above the process's
    // (0: the same), for ports whose work may wait behind the media's.
    void setWorkerNice(int n) { workerNice_ = n; }
    void setMaxWriteBufSize(size_t n) { maxWriteBufSize_ = n; }
    void setReadBufSize(size_t n) { readBufSize_ = n < 1 ? 1 : n; }
    void setMaxConnections(size_t n) { maxConnections_ = n; }
    void setMaxPerAddress(size_t n) { maxPerAddress_ = n; } // 0: only maxConnections
    void setBulkReads(bool on) { bulkReads_ = on; } // see kBulkReadBytes; off by default
    // Descriptors this server leaves to the rest of the process (default
    // kFdReserve). A server that is itself what the reserve is kept for sets 0.
    void setFdReserve(int n) { fdReserve_ = n < 0 ? 0 : n; }
    // Before createsocket(): connections the kernel holds until they are
    // accepted (default: the system's maximum, SOMAXCONN).
    void setListenBacklog(int n) { listenBacklog_ = n; }
    size_t readBufSize() const { return readBufSize_; }

    // Set on the owner thread before start(); called on worker threads.
    std::function<void(const SocketChannelPtr&)> onConnection;
    std::function<void(const SocketChannelPtr&, const void* data, size_t len)> onMessage;
    // Set on the owner thread before start(); called on the acceptor thread.
    // A peer it refuses is closed at once, before any callback.
    std::function<bool(const asio::ip::tcp::endpoint& peer)> acceptFilter;
    // Set on the owner thread before start(); called on the acceptor thread
    // before each accept. False pauses accepting (newcomers wait in the
    // listen backlog) until resumeAccepting().
    std::function<bool()> admission;
    // Set on the owner thread before start(); called on the acceptor thread
    // when accepting fails for want of descriptors or memory, instead of the
    // server's own line. Accepting is retried after kAcceptRetryMs.
    std::function<void(const std::string& reason)> onAcceptError;
    static constexpr int kAcceptRetryMs = 100;
    // Owner thread: accepting goes on after admission said no. Does nothing
    // unless it is paused.
    void resumeAccepting();
    bool acceptingPaused() const { return acceptPaused_.load(std::memory_order_acquire); }

    // Owner thread: starts the acceptor and worker threads and returns once they run.
    // Does nothing unless createsocket() succeeded.
    void start();
    // Owner thread (never from a callback): closes the listener and every
    // connection (disconnect callbacks run), then joins all threads. Idempotent.
    void stop();
    // Owner thread: closes only the listening socket.
    void closesocket();

    // Thread safe (channel lock).
    size_t connectionNum() const;
    // Thread safe (channel lock): write the same bytes to every connected
    // channel. Returns how many channels accepted them. `keep`, when set,
    // holds the bytes alive and unchanged, so that queues refer to them
    // instead of sharing a copy (see SocketChannel::sharedReadArea).
    int broadcast(const void* data, size_t len, const std::shared_ptr<const void>& keep = {});
    // Thread safe (channel lock): closes every connection that keep refuses.
    void closeUnless(const std::function<bool(const SocketChannel&)>& keep);
    // Owner thread, between start() and stop(): runs f on each worker, once
    // for every connection registered there, as one task per worker, so that
    // work for every connection costs the caller one post per worker.
    void forEachOnWorkers(std::function<void(const SocketChannelPtr&)> f);

    // One connection as the operator's client list shows it.
    struct ClientInfo {
        std::string ip;
        int port = 0;
        int64_t sinceMs = 0;
        uint64_t bytesSent = 0;
        uint64_t bytesReceived = 0;
        size_t bytesQueued = 0;
    };
    // Any thread. The connections open now, from the client registry: its
    // lock is taken at accept, at disconnect and here, never by broadcast.
    std::vector<ClientInfo> clients() const;
    // Any thread: closes the connection from ip:port (registry lock, then the
    // close goes to its worker); false when there is none.
    bool closeClient(const std::string& ip, int port);
    // Any thread, lock-free: connections open now, and totals over the
    // server's life (closed connections included; open ones as of their
    // last disconnect: see clients() for the live part).
    size_t openClients() const { return openClients_.load(std::memory_order_relaxed); }
    uint64_t closedAtWriteLimit() const { return closedAtLimit_.load(std::memory_order_relaxed); }
    // Any thread (registry lock): bytes sent and received by every connection so far.
    void byteTotals(uint64_t* sent, uint64_t* received) const;

    size_t maxWriteBufSize() const { return maxWriteBufSize_; }
    // Owner thread: the bound listening port (useful after createsocket(0)), or -1.
    int listenPort() const;

private:
    friend class SocketChannel;
    void doAccept();
    void acceptReady();
    void acceptNow();
    void addChannel(detail::TcpWorker* w, int fd, const asio::ip::tcp::endpoint& peer);
    void removeChannel(SocketChannel* ch);
    detail::TcpWorker* leastLoadedWorker() const;
    // Acceptor thread: true when peer already holds its share of the connections.
    bool addressHoldsItsShare(const std::string& peer) const;

    int threadNum_ = 1;
    size_t maxWriteBufSize_ = kDefaultMaxWriteBufSize;
    size_t readBufSize_ = kReadBufSize;
    size_t maxConnections_ = kDefaultMaxConnections;
    size_t maxPerAddress_ = 0;
    bool bulkReads_ = false;
    int fdReserve_ = kFdReserve;
    int listenBacklog_ = -1; // -1: SOMAXCONN
    std::atomic<bool> acceptPaused_{false}; // written on the acceptor thread
    SharedSlicer slicer_; // guarded by channelsMutex_ (broadcast)
    asio::io_context acceptCtx_;
    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer acceptRetry_;
    // Keeps the acceptor's loop running while accepting is paused (nothing
    // else is pending then); stop() ends the loop regardless.
    asio::executor_work_guard<asio::io_context::executor_type> acceptWork_;
    std::thread acceptThread_;
    std::vector<std::unique_ptr<detail::TcpWorker>> workers_;
    mutable std::mutex channelsMutex_;
    std::map<uint32_t, SocketChannelPtr> channels_;
    std::atomic<uint32_t> nextId_{0};
    // The client registry: the same channels as channels_, under a lock of
    // its own so that the control path never waits behind a broadcast.
    mutable std::mutex registryMutex_;
    std::map<uint32_t, SocketChannelPtr> registry_;
    // registryMutex_: open connections per peer address (only with maxPerAddress_ set).
    std::map<std::string, size_t> perAddress_;
    uint64_t goneBytesSent_ = 0;     // registryMutex_: totals of closed connections
    uint64_t goneBytesReceived_ = 0; // registryMutex_
    std::atomic<size_t> openClients_{0};
    std::atomic<uint64_t> closedAtLimit_{0};
    bool started_ = false;
    bool stopped_ = false;
    int workerNice_ = 0;
};

} // namespace oxnet
