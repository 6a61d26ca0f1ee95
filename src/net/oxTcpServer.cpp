#include "oxTcpServer.h"

#include "logLimit.h"
#include "logging.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>

#include <malloc.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

long currentTid() { return static_cast<long>(::syscall(SYS_gettid)); }

// Non-blocking send that never raises SIGPIPE; retries only on EINTR.
ssize_t sendNow(int fd, const char* p, size_t len)
{
    for (;;) {
        const ssize_t n = ::send(fd, p, len, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

// Several pieces in one non-blocking call (what already waits, then new bytes).
ssize_t sendIov(int fd, iovec* iov, int count)
{
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<size_t>(count);
    for (;;) {
        const ssize_t n = ::sendmsg(fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

// Enough for a full write queue of packed 64 KiB blocks (16 MiB) and the new
// bytes; a queue of more entries is sent in several calls.
constexpr int kMaxIov = 260;

// True when the process may not spend descriptor `fd` on a stream connection:
// descriptors are handed out lowest first, so fd >= limit - reserve means at
// most `reserve` are left. The limit is read each time: it may be changed
// from outside while the service runs.
bool inFdReserve(int fd)
{
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY)
        return false;
    return static_cast<rlim_t>(fd) + oxnet::TcpServer::kFdReserve >= rl.rlim_cur;
}

// A backlog of megabytes, once freed, sits in the allocator's arenas; hand
// it back so the process shrinks again after a slow or hostile client.
// Rare (only after kTrimAfterQueued was reached), on a worker thread.
void giveBackFreedMemory()
{
    ::malloc_trim(0);
}

// Shared by every server: a flood on any stream port prints one line a second.
logThrottle refusedLog;
logThrottle acceptFailedLog;

bool wouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

// The one place where a callback or handler failure becomes a log line: no
// exception leaves a handler, so the worker loops keep running.
void logHandlerException(const char* where)
{
    try {
        throw;
    } catch (const std::exception& e) {
        qCWarning(lcTcp, "tcp %s failed: %s", where, e.what());
    } catch (...) {
        qCWarning(lcTcp, "tcp %s failed", where);
    }
}

// Runs an io_context until it runs out of work or is stopped, surviving a
// throwing handler.
void runLoop(asio::io_context& ctx)
{
    for (;;) {
        try {
            ctx.run();
            return;
        } catch (...) {
            logHandlerException("event loop");
        }
    }
}
} // namespace

namespace oxnet {

namespace detail {
// One worker: an event loop on its own thread. connections counts the
// channels assigned to it (acceptor increments, worker decrements).
struct TcpWorker
{
    asio::io_context ctx{1};
    asio::executor_work_guard<asio::io_context::executor_type> guard{ctx.get_executor()};
    std::thread thread;
    long tid = 0; // written before start() returns, read-only afterwards
    std::atomic<size_t> connections{0};
    // What every connection of this worker reads into (worker thread only);
    // made at the first read, so idle connections cost no read buffer.
    // malloc'd: a message callback may take it over (takeReadArea).
    struct FreeDeleter
    {
        void operator()(char* p) const { std::free(p); }
    };
    std::unique_ptr<char, FreeDeleter> readArea;
};
} // namespace detail

// ---------------------------------------------------------------- SocketChannel

SocketChannel::SocketChannel(TcpServer* server, detail::TcpWorker* worker, Socket sock,
                             const asio::ip::tcp::endpoint& peer, uint32_t id,
                             size_t maxWriteBufSize)
    : server_(server)
    , worker_(worker)
    , sock_(std::move(sock))
    , fd_(sock_->native_handle())
    , id_(id)
    , loopTid_(worker->tid)
    , maxWriteBufSize_(maxWriteBufSize)
{
    try {
        peerIp_ = peer.address().to_string();
        if (peer.address().is_v4())
            peerIPv4_ = peer.address().to_v4().to_uint();
    } catch (...) {
        peerIp_ = "?";
    }
    peerPort_ = peer.port();
    peeraddr_ = peerIp_ + ":" + std::to_string(peer.port());
    sinceMs_ = std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
                   .count();
    // Relayed chunks are written as they arrive; holding small ones back for
    // coalescing would only add latency.
    asio::error_code ec;
    sock_->set_option(asio::ip::tcp::no_delay(true), ec);
}

size_t SocketChannel::queuedBytes() const
{
    std::lock_guard<std::mutex> lk(writeMutex_);
    return pending_.size();
}

int SocketChannel::write(const void* data, size_t len)
{
    return writeImpl(data, len, nullptr, nullptr);
}

int SocketChannel::write(const void* data, size_t len, SharedSlicer& slicer, SharedSlicer::Slice& slice)
{
    return writeImpl(data, len, &slicer, &slice);
}

int SocketChannel::writeImpl(const void* data, size_t len, SharedSlicer* slicer, SharedSlicer::Slice* slice)
{
    if (len > static_cast<size_t>(std::numeric_limits<int>::max()))
        return -1;
    const char* p = static_cast<const char*>(data);
    size_t left = len;
    bool overLimit = false;
    size_t queued = 0;
    {
        std::lock_guard<std::mutex> lk(writeMutex_);
        if (closing_)
            return -1;
        if (len == 0)
            return 0;
        queued = pending_.size();
        // Fast path: the kernel may take bytes now. What already waits goes
        // first, in the same call, so order is kept and a client that keeps
        // up is served without a hop to its worker or a copy into the queue.
        ssize_t n;
        if (queued == 0) {
            n = sendNow(fd_, p, left);
        } else {
            iovec iov[kMaxIov];
            size_t covered = 0;
            int count = pending_.fillIov(iov, kMaxIov - 1, &covered);
            if (covered == queued) // the new bytes may follow only the whole queue
                iov[count++] = iovec{const_cast<char*>(p), left};
            n = sendIov(fd_, iov, count);
        }
        if (n < 0 && !wouldBlock(errno)) {
            requestCloseLocked(); // peer gone; the worker reports the disconnect
            return -1;
        }
        if (n > 0) {
            size_t sent = static_cast<size_t>(n);
            bytesSent_.fetch_add(sent, std::memory_order_relaxed);
            const size_t fromQueue = sent < queued ? sent : queued;
            pending_.consume(fromQueue);
            queued -= fromQueue;
            sent -= fromQueue;
            p += sent;
            left -= sent;
        }
        if (left == 0) {
            queuedNow_.store(pending_.size(), std::memory_order_relaxed);
            return static_cast<int>(len); // anything still queued stays armed on the worker
        }
        if (queued + left > maxWriteBufSize_) {
            overLimit = true;
            requestCloseLocked();
        } else {
            // The only copy: the bytes the kernel did not take, shared by
            // every client of a broadcast that needs them.
            if (slicer) {
                if (!slice->block)
                    *slice = slicer->copy(static_cast<const char*>(data), len);
                pending_.appendShared(slice->block, slice->offset + (len - left), left);
            } else {
                pending_.append(p, left);
            }
            if (pending_.size() > queuedPeak_)
                queuedPeak_ = pending_.size();
            queuedNow_.store(pending_.size(), std::memory_order_relaxed);
            if (!writeArmed_) {
                writeArmed_ = true;
                // The socket object belongs to the worker; arm the wait there.
                // Posted under writeMutex_ so the loop cannot have run dry yet.
                asio::post(worker_->ctx, [self = shared_from_this()] { self->armWrite(); });
            }
        }
    }
    if (overLimit) {
        server_->closedAtLimit_.fetch_add(1, std::memory_order_relaxed);
        qCWarning(lcTcp, "tcp channel %s write buffer over %llu bytes, closing", peeraddr_.c_str(),
                  static_cast<unsigned long long>(maxWriteBufSize_));
        return -1;
    }
    return static_cast<int>(len);
}

void SocketChannel::close()
{
    std::lock_guard<std::mutex> lk(writeMutex_);
    if (!closing_)
        requestCloseLocked();
}

void SocketChannel::requestCloseLocked()
{
    closing_ = true;
    pending_.clear();
    queuedNow_.store(0, std::memory_order_relaxed);
    // Still under writeMutex_ with closing_ newly set: the worker has not
    // closed this channel yet, so its loop is alive to run this.
    asio::post(worker_->ctx, [self = shared_from_this()] { self->closeInLoop(); });
}

void SocketChannel::onConnectedInLoop()
{
    if (closeNotified_)
        return;
    connectNotified_ = true;
    if (server_->onConnection) {
        try {
            server_->onConnection(shared_from_this());
        } catch (...) {
            logHandlerException("connection callback");
        }
    }
    startRead();
}

void SocketChannel::startRead()
{
    if (closeNotified_)
        return;
    sock_->async_wait(asio::socket_base::wait_read,
                      [self = shared_from_this()](const asio::error_code& ec) { self->onReadable(ec); });
}

void SocketChannel::onReadable(const asio::error_code& ec)
{
    if (closeNotified_)
        return;
    if (ec) {
        closeInLoop(); // aborted
        return;
    }
    const size_t size = server_->readBufSize();
    for (int i = 0; i < TcpServer::kReadsPerWake; ++i) {
        if (!worker_->readArea) {
            worker_->readArea.reset(static_cast<char*>(std::malloc(size)));
            if (!worker_->readArea) {
                closeInLoop(); // out of memory: this connection goes, the worker stays
                return;
            }
        }
        const ssize_t n = ::recv(fd_, worker_->readArea.get(), size, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && wouldBlock(errno))
            break;
        if (n <= 0) {
            closeInLoop(); // EOF or reset
            return;
        }
        bytesReceived_.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
        if (server_->onMessage) {
            try {
                server_->onMessage(shared_from_this(), worker_->readArea.get(), static_cast<size_t>(n));
            } catch (...) {
                logHandlerException("message callback");
            }
        }
        if (closeNotified_)
            return;
        if (i + 1 == TcpServer::kReadsPerWake) {
            // Still more to read: let the worker's other connections in first.
            asio::post(worker_->ctx, [self = shared_from_this()] { self->onReadable({}); });
            return;
        }
    }
    startRead();
}

char* SocketChannel::takeReadArea()
{
    return worker_->readArea.release();
}

void SocketChannel::armWrite()
{
    {
        std::lock_guard<std::mutex> lk(writeMutex_);
        if (closing_)
            return;
    }
    sock_->async_wait(asio::socket_base::wait_write,
                      [self = shared_from_this()](const asio::error_code& ec) { self->onWritable(ec); });
}

void SocketChannel::onWritable(const asio::error_code& ec)
{
    bool failed = false;
    bool trim = false;
    {
        std::lock_guard<std::mutex> lk(writeMutex_);
        if (closing_)
            return;
        if (ec) {
            failed = true;
        } else {
            while (!pending_.empty()) {
                iovec iov[kMaxIov];
                const int count = pending_.fillIov(iov, kMaxIov);
                const ssize_t n = sendIov(fd_, iov, count);
                if (n > 0) {
                    pending_.consume(static_cast<size_t>(n));
                    bytesSent_.fetch_add(static_cast<size_t>(n), std::memory_order_relaxed);
                    queuedNow_.store(pending_.size(), std::memory_order_relaxed);
                    continue;
                }
                if (n < 0 && wouldBlock(errno))
                    break;
                failed = true;
                break;
            }
            if (!failed) {
                if (pending_.empty()) {
                    writeArmed_ = false;
                    trim = queuedPeak_ >= TcpServer::kTrimAfterQueued;
                    if (trim)
                        queuedPeak_ = 0;
                } else {
                    sock_->async_wait(asio::socket_base::wait_write,
                                      [self = shared_from_this()](const asio::error_code& e) { self->onWritable(e); });
                }
            }
        }
    }
    if (failed)
        closeInLoop();
    else if (trim)
        giveBackFreedMemory();
}

void SocketChannel::closeInLoop()
{
    if (closeNotified_)
        return;
    closeNotified_ = true;
    SocketChannelPtr self = shared_from_this(); // the map's reference goes below
    bool trim = false;
    {
        std::lock_guard<std::mutex> lk(writeMutex_);
        closing_ = true;
        pending_.clear();
        queuedNow_.store(0, std::memory_order_relaxed);
        connected_.store(false, std::memory_order_release);
        trim = queuedPeak_ >= TcpServer::kTrimAfterQueued;
        // Closing the descriptor under writeMutex_: no write() can send on a
        // reused fd number afterwards. Pending operations complete as aborted.
        sock_.reset();
    }
    server_->removeChannel(this);
    if (connectNotified_ && server_->onConnection) {
        try {
            server_->onConnection(self);
        } catch (...) {
            logHandlerException("connection callback");
        }
    }
    if (trim)
        giveBackFreedMemory();
}

// ---------------------------------------------------------------- TcpServer

TcpServer::TcpServer()
    : acceptCtx_(1)
    , acceptor_(acceptCtx_)
    , acceptRetry_(acceptCtx_)
{
}

TcpServer::~TcpServer()
{
    stop();
}

int TcpServer::createsocket(int port, const char* host)
{
    if (started_ || port < 0 || port > 65535)
        return -1;
    asio::error_code ec;
    const asio::ip::address addr = asio::ip::make_address(host ? host : "0.0.0.0", ec);
    if (ec)
        return -1;
    const asio::ip::tcp::endpoint ep(addr, static_cast<unsigned short>(port));
    if (acceptor_.is_open())
        acceptor_.close(ec);
    acceptor_.open(ep.protocol(), ec);
    if (!ec)
        acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec)
        acceptor_.bind(ep, ec);
    if (!ec)
        acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (!ec)
        acceptor_.non_blocking(true, ec);
    if (ec) {
        asio::error_code ignored;
        acceptor_.close(ignored);
        return ec.value() > 0 ? -ec.value() : -1;
    }
    return acceptor_.native_handle();
}

int TcpServer::listenPort() const
{
    if (!acceptor_.is_open())
        return -1;
    asio::error_code ec;
    const auto ep = acceptor_.local_endpoint(ec);
    return ec ? -1 : ep.port();
}

void TcpServer::start()
{
    if (started_ || stopped_ || !acceptor_.is_open())
        return;
    started_ = true;

    // Shared with the threads: they may still be leaving notify_all() when start() returns.
    struct Startup
    {
        std::mutex m;
        std::condition_variable cv;
        int running = 0;
    };
    auto startup = std::make_shared<Startup>();
    auto threadBody = [startup](asio::io_context& ctx, long* tidOut) {
        {
            std::lock_guard<std::mutex> lk(startup->m);
            if (tidOut)
                *tidOut = currentTid();
            ++startup->running;
        }
        startup->cv.notify_all();
        runLoop(ctx);
    };
    auto waitRunning = [&startup](int n) {
        std::unique_lock<std::mutex> lk(startup->m);
        startup->cv.wait(lk, [&] { return startup->running == n; });
    };

    try {
        for (int i = 0; i < threadNum_; ++i) {
            workers_.push_back(std::make_unique<detail::TcpWorker>());
            detail::TcpWorker* w = workers_.back().get();
            w->thread = std::thread(threadBody, std::ref(w->ctx), &w->tid);
        }
        // Worker tids are known before the first channel is made.
        waitRunning(threadNum_);
        doAccept();
        acceptThread_ = std::thread(threadBody, std::ref(acceptCtx_), nullptr);
        waitRunning(threadNum_ + 1);
    } catch (...) {
        // No thread could be made: give up listening, join what runs.
        logHandlerException("start");
        stop();
    }
}

detail::TcpWorker* TcpServer::leastLoadedWorker() const
{
    detail::TcpWorker* best = workers_.front().get();
    size_t bestCount = best->connections.load(std::memory_order_relaxed);
    for (const auto& w : workers_) {
        const size_t c = w->connections.load(std::memory_order_relaxed);
        if (c < bestCount) {
            best = w.get();
            bestCount = c;
        }
    }
    return best;
}

// Acceptor thread. The listener is non-blocking: wait until it is readable,
// then accept what is pending, each onto the worker that is least loaded at
// that moment.
void TcpServer::doAccept()
{
    acceptor_.async_wait(asio::socket_base::wait_read, [this](const asio::error_code& ec) {
        if (ec || !acceptor_.is_open())
            return; // closed
        try {
            acceptReady();
        } catch (...) {
            logHandlerException("accept");
            doAccept();
        }
    });
}

void TcpServer::acceptReady()
{
    for (int i = 0; i < 64; ++i) {
        detail::TcpWorker* w = leastLoadedWorker();
        SocketChannel::Socket s(w->ctx);
        asio::ip::tcp::endpoint peer;
        asio::error_code ec;
        acceptor_.accept(s, peer, ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again)
            break;
        if (ec == asio::error::connection_aborted || ec == asio::error::interrupted
            || ec.value() == EPROTO)
            continue;
        if (ec) {
            // Out of descriptors or memory: back off instead of spinning.
            int64_t held = 0;
            if (acceptFailedLog.allow(&held))
                qCWarning(lcTcp, "tcp accept failed: %s (%lld more not logged)", ec.message().c_str(),
                          static_cast<long long>(held));
            acceptRetry_.expires_after(std::chrono::milliseconds(100));
            acceptRetry_.async_wait([this](const asio::error_code& e) {
                if (!e && acceptor_.is_open())
                    doAccept();
            });
            return;
        }
        const bool full = connectionNum() >= maxConnections_;
        if (full || inFdReserve(s.native_handle())) {
            int64_t held = 0;
            if (refusedLog.allow(&held))
                qCWarning(lcTcp, "tcp connection from %s refused: %s (%lld more not logged)",
                          peer.address().to_string().c_str(),
                          full ? "connection limit reached" : "descriptor reserve reached",
                          static_cast<long long>(held));
            s.close(ec);
            continue;
        }
        if (acceptFilter && !acceptFilter(peer)) {
            s.close(ec); // the filter has logged why
            continue;
        }
        addChannel(w, std::move(s), peer);
    }
    doAccept();
}

void TcpServer::addChannel(detail::TcpWorker* w, SocketChannel::Socket&& s, const asio::ip::tcp::endpoint& peer)
{
    const uint32_t id = nextId_.fetch_add(1, std::memory_order_relaxed) + 1;
    SocketChannelPtr ch(new SocketChannel(this, w, std::move(s), peer, id, maxWriteBufSize_));
    {
        std::lock_guard<std::mutex> reg(registryMutex_);
        registry_.emplace(id, ch);
        openClients_.fetch_add(1, std::memory_order_relaxed);
    }
    // Inserted and announced under the lock: anything that finds the channel
    // in the map (broadcast, stop) queues its work behind the connect callback.
    std::lock_guard<std::mutex> lk(channelsMutex_);
    w->connections.fetch_add(1, std::memory_order_relaxed);
    channels_.emplace(id, ch);
    asio::post(w->ctx, [ch] { ch->onConnectedInLoop(); });
}

// Worker thread, from closeInLoop.
void TcpServer::removeChannel(SocketChannel* ch)
{
    SocketChannelPtr last; // released after the lock
    {
        std::lock_guard<std::mutex> lk(channelsMutex_);
        auto it = channels_.find(ch->id());
        if (it != channels_.end()) {
            last = std::move(it->second);
            channels_.erase(it);
        }
        // With the map, so a count seen without the channel is never stale.
        ch->worker_->connections.fetch_sub(1, std::memory_order_relaxed);
    }
    std::lock_guard<std::mutex> reg(registryMutex_);
    if (registry_.erase(ch->id()) > 0) {
        goneBytesSent_ += ch->bytesSent();
        goneBytesReceived_ += ch->bytesReceived();
        openClients_.fetch_sub(1, std::memory_order_relaxed);
    }
}

std::vector<TcpServer::ClientInfo> TcpServer::clients() const
{
    std::vector<ClientInfo> out;
    std::lock_guard<std::mutex> reg(registryMutex_);
    out.reserve(registry_.size());
    for (const auto& kv : registry_) {
        const SocketChannel& ch = *kv.second;
        if (!ch.isConnected())
            continue;
        out.push_back({ch.peerIp(), ch.peerPort(), ch.connectedSinceMs(), ch.bytesSent(), ch.bytesReceived(),
                       ch.queuedBytesNow()});
    }
    return out;
}

bool TcpServer::closeClient(const std::string& ip, int port)
{
    SocketChannelPtr found;
    {
        std::lock_guard<std::mutex> reg(registryMutex_);
        for (const auto& kv : registry_) {
            if (kv.second->isConnected() && kv.second->peerPort() == port && kv.second->peerIp() == ip) {
                found = kv.second;
                break;
            }
        }
    }
    if (!found)
        return false;
    found->close();
    return true;
}

void TcpServer::byteTotals(uint64_t* sent, uint64_t* received) const
{
    std::lock_guard<std::mutex> reg(registryMutex_);
    uint64_t s = goneBytesSent_;
    uint64_t r = goneBytesReceived_;
    for (const auto& kv : registry_) {
        s += kv.second->bytesSent();
        r += kv.second->bytesReceived();
    }
    *sent = s;
    *received = r;
}

void TcpServer::closesocket()
{
    if (started_ && !stopped_) {
        // The acceptor belongs to its thread while that runs.
        asio::post(acceptCtx_, [this] {
            asio::error_code ec;
            acceptRetry_.cancel();
            acceptor_.close(ec);
        });
        return;
    }
    asio::error_code ec;
    acceptor_.close(ec);
}

size_t TcpServer::connectionNum() const
{
    std::lock_guard<std::mutex> lk(channelsMutex_);
    return channels_.size();
}

void TcpServer::closeUnless(const std::function<bool(const SocketChannel&)>& keep)
{
    std::lock_guard<std::mutex> lk(channelsMutex_);
    for (const auto& entry : channels_) {
        if (!keep(*entry.second))
            entry.second->close();
    }
}

int TcpServer::broadcast(const void* data, size_t len)
{
    int written = 0;
    SharedSlicer::Slice slice; // made by the first client that must queue
    std::lock_guard<std::mutex> lk(channelsMutex_);
    for (const auto& kv : channels_) {
        if (kv.second->isConnected() && kv.second->write(data, len, slicer_, slice) >= 0)
            ++written;
    }
    return written;
}

void TcpServer::stop()
{
    if (stopped_)
        return;
    stopped_ = true;
    if (!started_) {
        asio::error_code ec;
        acceptor_.close(ec);
        return;
    }

    // No new connections: after the join every channel is in the map with its
    // connect callback queued ahead of the close below.
    acceptCtx_.stop();
    if (acceptThread_.joinable())
        acceptThread_.join();
    {
        asio::error_code ec;
        acceptRetry_.cancel();
        acceptor_.close(ec);
    }

    std::vector<SocketChannelPtr> all;
    {
        std::lock_guard<std::mutex> lk(channelsMutex_);
        all.reserve(channels_.size());
        for (const auto& kv : channels_)
            all.push_back(kv.second);
    }
    for (const auto& ch : all)
        ch->close();
    all.clear();

    // Each loop ends once its closes and aborted operations have run.
    for (auto& w : workers_)
        w->guard.reset();
    for (auto& w : workers_) {
        if (w->thread.joinable())
            w->thread.join();
    }
    {
        std::lock_guard<std::mutex> lk(channelsMutex_);
        channels_.clear();
    }
    std::lock_guard<std::mutex> reg(registryMutex_);
    for (const auto& kv : registry_) {
        goneBytesSent_ += kv.second->bytesSent();
        goneBytesReceived_ += kv.second->bytesReceived();
    }
    registry_.clear();
    openClients_.store(0, std::memory_order_relaxed);
}

} // namespace oxnet
