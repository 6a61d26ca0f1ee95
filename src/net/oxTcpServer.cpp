#include "oxTcpServer.h"
#include "oxMemoryTrim.h"
#include "oxPageBlock.h"

#include "service/logLimit.h"
#include "service/logging.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <limits>
#include <new>
#include <stdexcept>
#include <unordered_map>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/eventfd.h>
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

// Several queued pieces in one non-blocking call.
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

// Enough for a full write queue of packed 64 KiB blocks (16 MiB); a queue of
// more entries is sent in several calls.
constexpr int kMaxIov = 260;

// True when the process may not spend descriptor `fd` on a stream connection:
// descriptors are handed out lowest first, so fd >= limit - reserve means at
// most `reserve` are left. The limit is read each time: it may be changed
// from outside while the service runs.
bool inFdReserve(int fd, int reserve)
{
    if (reserve <= 0)
        return false;
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY)
        return false;
    return static_cast<rlim_t>(fd) + static_cast<rlim_t>(reserve) >= rl.rlim_cur;
}

// Shared by every server: a flood on any stream port prints one line a second.
logThrottle refusedLog;
logThrottle acceptFailedLog;
logThrottle waitFailedLog;

bool wouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

int64_t monotonicNs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

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
// Read areas that queues let go of, kept for the worker's next reads: given
// back to the allocator, each would be unmapped and its pages faulted in
// again for the next big chunk a slow client queues by reference. At most
// kSpareReadAreas are kept; the rest are freed, and all go when the worker
// has no connection left.
struct ReadAreaPool : std::enable_shared_from_this<ReadAreaPool>
{
    explicit ReadAreaPool(size_t size) : areaSize(size) {}

    // Worker thread: a spare area, or a fresh one; null when out of memory.
    std::shared_ptr<char> take()
    {
        std::unique_ptr<PageBlock> area;
        {
            std::lock_guard<std::mutex> lk(m);
            if (!spare.empty()) {
                area = std::move(spare.back());
                spare.pop_back();
            }
        }
        try {
            if (!area)
                area = std::make_unique<PageBlock>(areaSize);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
        // The deleter runs wherever the last reference goes (a client's
        // worker, after sending); it keeps the pool alive until then.
        PageBlock* raw = area.release();
        return std::shared_ptr<char>(raw->data(), [pool = shared_from_this(), raw](char*) {
            pool->giveBack(std::unique_ptr<PageBlock>(raw));
        });
    }
    void clear()
    {
        std::vector<std::unique_ptr<PageBlock>> gone;
        std::lock_guard<std::mutex> lk(m);
        gone.swap(spare);
    }

private:
    void giveBack(std::unique_ptr<PageBlock> area)
    {
        std::lock_guard<std::mutex> lk(m);
        if (spare.size() < static_cast<size_t>(TcpServer::kSpareReadAreas))
            spare.push_back(std::move(area));
    }

    const size_t areaSize;
    std::mutex m;
    std::vector<std::unique_ptr<PageBlock>> spare; // m
};

// One worker: an event loop on its own thread. connections counts the
// channels assigned to it (acceptor increments, worker decrements).
struct TcpWorker
{
    explicit TcpWorker(size_t readSize)
        : areas(std::make_shared<ReadAreaPool>(readSize))
    {
        epfd = ::epoll_create1(EPOLL_CLOEXEC);
        wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = kWakeId;
        if (epfd < 0 || wakeFd < 0 || ::epoll_ctl(epfd, EPOLL_CTL_ADD, wakeFd, &ev) != 0) {
            closeFds();
            throw std::runtime_error(std::string("worker event loop: ") + std::strerror(errno));
        }
    }
    ~TcpWorker() { closeFds(); }
    TcpWorker(const TcpWorker&) = delete;
    TcpWorker& operator=(const TcpWorker&) = delete;

    // Any thread: runs f on the worker, after what was posted before it.
    void post(std::function<void()> f)
    {
        bool wake;
        {
            std::lock_guard<std::mutex> lk(tasksMutex);
            wake = tasks.empty();
            tasks.push_back(std::move(f));
        }
        if (wake) {
            const uint64_t one = 1;
            while (::write(wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
            }
        }
    }
    // Worker thread: until a posted stop (stopAfterTasks) has run.
    void run();
    // Worker thread: registers ch for reads and writes, once for its life.
    bool watch(const SocketChannelPtr& ch)
    {
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        ev.data.u64 = ch->id();
        if (::epoll_ctl(epfd, EPOLL_CTL_ADD, ch->fd(), &ev) != 0)
            return false;
        open.emplace(ch->id(), ch);
        return true;
    }
    // Worker thread, before the descriptor is closed.
    void unwatch(SocketChannel* ch)
    {
        if (open.erase(ch->id()) > 0) {
            epoll_event ev{};
            ::epoll_ctl(epfd, EPOLL_CTL_DEL, ch->fd(), &ev);
        }
    }

    static constexpr uint64_t kWakeId = ~uint64_t{0}; // channel ids are 32-bit
    static constexpr int kEventsPerWait = 64;

    int epfd = -1;
    int wakeFd = -1;
    std::thread thread;
    long tid = 0; // written before start() returns, read-only afterwards
    std::atomic<size_t> connections{0};
    std::mutex tasksMutex;
    std::vector<std::function<void()>> tasks; // tasksMutex
    bool stopping = false; // worker thread: set by the stop task
    // Worker thread only: the registered channels, by id (what an event names).
    std::unordered_map<uint32_t, SocketChannelPtr> open;
    // Worker thread only: channels that stopped at kReadsPerWake with more to read.
    std::vector<SocketChannelPtr> readAgain;
    // Worker thread only: bulk inputs whose bytes below the low-water mark
    // are read at their bulkDueNs_ (ids; closed ones are skipped).
    std::vector<uint32_t> bulkWaiting;
    std::vector<SocketChannelPtr> dueNow; // runDueBulkReads' scratch, kept for its capacity
    void awaitBulk(SocketChannel* ch)
    {
        if (ch->bulkDueNs_ == 0)
            bulkWaiting.push_back(ch->id());
        ch->bulkDueNs_ = monotonicNs() + int64_t{TcpServer::kBulkWaitUs} * 1000;
    }
    // What every connection of this worker reads into (worker thread only);
    // made at the first read, so idle connections cost no read buffer. Kept
    // from read to read (its pages stay mapped and in cache) unless a message
    // callback's reference (sharedReadArea) still holds it.
    std::shared_ptr<char> readArea;
    size_t messageLen = 0; // bytes of the message being handed to onMessage
    std::shared_ptr<ReadAreaPool> areas;

private:
    void runTasks();
    // The earliest bulk wait that runs out (0: none), dropping stale entries.
    int64_t nextBulkDue();
    void runDueBulkReads();
    int wait(epoll_event* events, int64_t dueNs);
    void closeFds()
    {
        if (wakeFd >= 0)
            ::close(wakeFd);
        if (epfd >= 0)
            ::close(epfd);
        wakeFd = epfd = -1;
    }
};



void TcpWorker::runTasks()
{
    std::vector<std::function<void()>> batch;
    {
        std::lock_guard<std::mutex> lk(tasksMutex);
        batch.swap(tasks);
    }
    for (auto& f : batch) {
        try {
            f();
        } catch (...) {
            logHandlerException("task");
        }
    }
}

int64_t TcpWorker::nextBulkDue()
{
    int64_t due = 0;
    size_t kept = 0;
    for (const uint32_t id : bulkWaiting) {
        const auto it = open.find(id);
        if (it == open.end() || it->second->bulkDueNs_ == 0)
            continue;
        bulkWaiting[kept++] = id;
        const int64_t d = it->second->bulkDueNs_;
        if (due == 0 || d < due)
            due = d;
    }
    bulkWaiting.resize(kept);
    return due;
}

void TcpWorker::runDueBulkReads()
{
    if (bulkWaiting.empty())
        return;
    const int64_t now = monotonicNs();
    // Taken off the list first: a read may put its channel back on it.
    dueNow.clear();
    size_t kept = 0;
    for (const uint32_t id : bulkWaiting) {
        const auto it = open.find(id);
        if (it == open.end() || it->second->bulkDueNs_ == 0)
            continue;
        if (it->second->bulkDueNs_ > now) {
            bulkWaiting[kept++] = id;
            continue;
        }
        it->second->bulkDueNs_ = 0;
        dueNow.push_back(it->second);
    }
    bulkWaiting.resize(kept);
    for (const auto& ch : dueNow) {
        try {
            ch->onReadable(true);
        } catch (...) {
            logHandlerException("read");
        }
    }
    dueNow.clear();
}

int TcpWorker::wait(epoll_event* events, int64_t dueNs)
{
    if (!readAgain.empty())
        return ::epoll_wait(epfd, events, kEventsPerWait, 0);
    if (dueNs == 0)
        return ::epoll_wait(epfd, events, kEventsPerWait, -1);
    const int64_t left = std::max<int64_t>(0, dueNs - monotonicNs());
    static std::atomic<bool> fineWaitMissing{false};
    if (!fineWaitMissing.load(std::memory_order_relaxed)) {
        const timespec ts{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
        const int n = ::epoll_pwait2(epfd, events, kEventsPerWait, &ts, nullptr);
        if (n >= 0 || errno != ENOSYS)
            return n;
        fineWaitMissing.store(true, std::memory_order_relaxed); // an older kernel: millisecond waits
    }
    return ::epoll_wait(epfd, events, kEventsPerWait, static_cast<int>((left + 999999) / 1000000));
}

void TcpWorker::run()
{
    epoll_event events[kEventsPerWait];
    for (;;) {
        runTasks();
        if (stopping) {
            // Every channel had its close posted before the stop; any left
            // is closed here, so that no disconnect callback is missed.
            std::vector<SocketChannelPtr> left;
            for (const auto& kv : open)
                left.push_back(kv.second);
            for (const auto& ch : left)
                ch->closeInLoop();
            runTasks();
            return;
        }
        const int n = wait(events, nextBulkDue());
        if (n < 0 && errno != EINTR) {
            // Not expected (the set is the worker's own); a line a second, no spin.
            int64_t held = 0;
            if (waitFailedLog.allow(&held))
                qCWarning(lcTcp, "tcp event wait failed: %s (%lld more not logged)", std::strerror(errno),
                          static_cast<long long>(held));
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 == kWakeId) {
                uint64_t count;
                while (::read(wakeFd, &count, sizeof count) < 0 && errno == EINTR) {
                }
                continue;
            }
            const auto it = open.find(static_cast<uint32_t>(events[i].data.u64));
            if (it == open.end())
                continue; // closed earlier in this batch
            const SocketChannelPtr ch = it->second;
            try {
                ch->onEvents(events[i].events);
            } catch (...) {
                logHandlerException("event");
            }
        }
        if (!readAgain.empty()) {
            std::vector<SocketChannelPtr> again;
            again.swap(readAgain);
            for (const auto& ch : again) {
                try {
                    ch->onReadable();
                } catch (...) {
                    logHandlerException("read");
                }
            }
        }
        runDueBulkReads();
    }
}
} // namespace detail

// ---------------------------------------------------------------- SocketChannel

SocketChannel::SocketChannel(Key, TcpServer* server, detail::TcpWorker* worker, int fd,
                             const asio::ip::tcp::endpoint& peer, uint32_t id,
                             size_t maxWriteBufSize)
    : server_(server)
    , worker_(worker)
    , fd_(fd)
    , id_(id)
    , loopTid_(worker->tid)
    , maxWriteBufSize_(maxWriteBufSize)
{
    try {
        peeraddr_ = peer.address().to_string();
        if (peer.address().is_v4())
            peerIPv4_ = peer.address().to_v4().to_uint();
    } catch (...) {
        peeraddr_ = "?";
    }
    peerPort_ = peer.port();
    peeraddr_ += ":" + std::to_string(peer.port());
    sinceMs_ = std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
                   .count();
    // Relayed chunks are written as they arrive; holding small ones back for
    // coalescing would only add latency.
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

SocketChannel::~SocketChannel()
{
    if (fdOpen_)
        ::close(fd_);
}

size_t SocketChannel::queuedBytes() const
{
    std::lock_guard<std::mutex> lk(writeMutex_);
    return pending_.size();
}

int SocketChannel::write(const void* data, size_t len)
{
    return writeImpl(data, len, nullptr, nullptr, nullptr);
}

int SocketChannel::write(const void* data, size_t len, SharedSlicer& slicer, SharedSlicer::Slice& slice,
                         const std::shared_ptr<const void>& keep)
{
    return writeImpl(data, len, &slicer, &slice, &keep);
}

int SocketChannel::writeImpl(const void* data, size_t len, SharedSlicer* slicer, SharedSlicer::Slice* slice,
                             const std::shared_ptr<const void>* keep)
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
        // A client that keeps up is sent to at once, without a hop to its
        // worker or a copy into the queue. One that is behind has bytes
        // queued and its socket owes the worker a "writable" event: the new
        // bytes only join the queue, so that order is kept and the worker
        // sends when the socket has room for a batch, as a blocking writer
        // would, instead of trickling into whatever space an ack just freed.
        if (queued == 0) {
            const ssize_t n = sendNow(fd_, p, left);
            if (n < 0 && !wouldBlock(errno)) {
                requestCloseLocked(); // peer gone; the worker reports the disconnect
                return -1;
            }
            if (n > 0) {
                bytesSent_.fetch_add(static_cast<size_t>(n), std::memory_order_relaxed);
                p += n;
                left -= static_cast<size_t>(n);
            }
            if (left == 0)
                return static_cast<int>(len);
        }
        if (queued + left > maxWriteBufSize_) {
            overLimit = true;
            requestCloseLocked();
        } else {
            // The bytes the kernel did not take: by reference where the
            // sender keeps them alive, else the only copy, shared by every
            // client of a broadcast that needs them.
            if (keep && *keep) {
                const char* base = static_cast<const char*>(data);
                pending_.appendShared(*keep, base, len - left, left);
            } else if (slicer) {
                if (!slice->block)
                    *slice = slicer->copy(static_cast<const char*>(data), len);
                pending_.appendShared(slice->block, slice->offset + (len - left), left);
            } else {
                pending_.append(p, left);
            }
            if (pending_.size() > queuedPeak_)
                queuedPeak_ = pending_.size();
            queuedNow_.store(pending_.size(), std::memory_order_relaxed);
            // Either the send above stopped short or bytes already waited:
            // either way the kernel will report room (edge-triggered) to the
            // worker, which then flushes.
            if (!writeArmed_) {
                writeArmed_ = true;
                if (queued > 0) // not expected: bytes waited with no event owed
                    worker_->post([self = shared_from_this()] { self->onWritable(); });
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

bool SocketChannel::runOnWorker(std::function<void()> f)
{
    std::lock_guard<std::mutex> lk(writeMutex_);
    // Not closing: the worker's loop is alive to run it (see requestCloseLocked).
    if (closing_)
        return false;
    worker_->post(std::move(f));
    return true;
}

int SocketChannel::unreadBytes() const
{
    std::lock_guard<std::mutex> lk(writeMutex_);
    int unread = 0;
    // Under writeMutex_ the descriptor cannot be closed and its number reused meanwhile.
    if (!fdOpen_ || ::ioctl(fd_, FIONREAD, &unread) != 0)
        return 0;
    return unread;
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
    worker_->post([self = shared_from_this()] { self->closeInLoop(); });
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
    if (closeNotified_)
        return;
    // Registered edge-triggered: bytes that came before are reported at once.
    if (!worker_->watch(shared_from_this()))
        closeInLoop();
}

void SocketChannel::onEvents(uint32_t events)
{
    if (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR))
        peerClosing_ = true;
    if (events & (EPOLLOUT | EPOLLHUP | EPOLLERR))
        onWritable();
    if (!closeNotified_ && (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)))
        onReadable();
}

void SocketChannel::setBulk(bool on)
{
    const int lowat = on ? TcpServer::kBulkLowWater : 1;
    // Lowering the mark makes the kernel report bytes already waiting.
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVLOWAT, &lowat, sizeof lowat) == 0)
        bulk_ = on;
}

void SocketChannel::onReadable(bool due)
{
    if (closeNotified_)
        return;
    const size_t size = server_->readBufSize();
    for (int i = 0; i < TcpServer::kReadsPerWake; ++i) {
        if (!worker_->readArea || worker_->readArea.use_count() > 1) {
            // Someone still queues bytes of the last area: it is theirs now.
            worker_->readArea = worker_->areas->take();
            if (!worker_->readArea) {
                closeInLoop(); // out of memory: this connection goes, the worker stays
                return;
            }
        }
        const ssize_t n = ::recv(fd_, worker_->readArea.get(), size, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && wouldBlock(errno)) {
            // Drained: the next arrival is a new edge. A bulk input that
            // found nothing when its wait ran out has stopped sending in bulk.
            if (due)
                setBulk(false);
            else if (bulk_)
                worker_->awaitBulk(this);
            return;
        }
        if (n <= 0) {
            closeInLoop(); // EOF or reset
            return;
        }
        if (server_->bulkReads_) {
            const bool big = static_cast<size_t>(n) >= TcpServer::kBulkReadBytes;
            if (big ? !bulk_ : (due && bulk_))
                setBulk(big);
        }
        due = false;
        bytesReceived_.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
        worker_->messageLen = static_cast<size_t>(n);
        if (server_->onMessage) {
            try {
                server_->onMessage(shared_from_this(), worker_->readArea.get(), static_cast<size_t>(n));
            } catch (...) {
                logHandlerException("message callback");
            }
        }
        if (closeNotified_)
            return;
        // A short read emptied the socket: anything later raises a new edge.
        // After a hang-up no edge follows, so read on to the end.
        if (static_cast<size_t>(n) < size && !peerClosing_) {
            if (bulk_)
                worker_->awaitBulk(this);
            return;
        }
    }
    // Still more to read: let the worker's other connections in first.
    worker_->readAgain.push_back(shared_from_this());
}

std::shared_ptr<const void> SocketChannel::sharedReadArea() const
{
    if (worker_->messageLen * 2 < server_->readBufSize())
        return nullptr;
    return worker_->readArea;
}

void SocketChannel::onWritable()
{
    if (closeNotified_)
        return;
    bool failed = false;
    bool trim = false;
    {
        std::lock_guard<std::mutex> lk(writeMutex_);
        if (closing_)
            return;
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
                break; // the socket owes a "writable" edge now
            failed = true;
            break;
        }
        if (!failed && pending_.empty() && writeArmed_) {
            writeArmed_ = false;
            trim = queuedPeak_ >= TcpServer::kTrimAfterQueued;
            if (trim)
                queuedPeak_ = 0;
        }
    }
    if (failed)
        closeInLoop();
    else if (trim)
        giveBackFreedMemory(false);
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
        // reused fd number afterwards.
        worker_->unwatch(this);
        if (fdOpen_) {
            ::close(fd_);
            fdOpen_ = false;
        }
    }
    server_->removeChannel(this);
    if (worker_->open.empty()) {
        // The worker's last connection: an idle worker holds no read memory.
        worker_->readArea.reset();
        worker_->areas->clear();
    }
    if (connectNotified_ && server_->onConnection) {
        try {
            server_->onConnection(self);
        } catch (...) {
            logHandlerException("connection callback");
        }
    }
    if (trim)
        giveBackFreedMemory(true);
}

// ---------------------------------------------------------------- TcpServer

TcpServer::TcpServer()
    : acceptCtx_(1)
    , acceptor_(acceptCtx_)
    , acceptRetry_(acceptCtx_)
    , acceptWork_(asio::make_work_guard(acceptCtx_))
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
        acceptor_.listen(listenBacklog_ > 0 ? listenBacklog_ : asio::socket_base::max_listen_connections, ec);
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
    auto threadBody = [startup, nice = workerNice_](const std::function<void()>& loop, long* tidOut) {
        {
            std::lock_guard<std::mutex> lk(startup->m);
            if (tidOut) {
                *tidOut = currentTid();
                // Linux keeps a nice value per thread.
                if (nice != 0)
                    ::setpriority(PRIO_PROCESS, static_cast<id_t>(*tidOut),
                                  ::getpriority(PRIO_PROCESS, static_cast<id_t>(*tidOut)) + nice);
            }
            ++startup->running;
        }
        startup->cv.notify_all();
        loop();
    };
    auto waitRunning = [&startup](int n) {
        std::unique_lock<std::mutex> lk(startup->m);
        startup->cv.wait(lk, [&] { return startup->running == n; });
    };

    try {
        for (int i = 0; i < threadNum_; ++i) {
            workers_.push_back(std::make_unique<detail::TcpWorker>(readBufSize_));
            detail::TcpWorker* w = workers_.back().get();
            w->thread = std::thread(threadBody, std::function<void()>([w] { w->run(); }), &w->tid);
        }
        // Worker tids are known before the first channel is made.
        waitRunning(threadNum_);
        doAccept();
        acceptThread_ = std::thread(threadBody, std::function<void()>([this] { runLoop(acceptCtx_); }), nullptr);
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
        acceptNow();
    });
}

// Acceptor thread. The listener is watched edge-triggered: after a pause
// (admission, an accept error) connections may already wait with no new
// edge to come, so accepting goes on by trying at once.
void TcpServer::acceptNow()
{
    try {
        acceptReady();
    } catch (...) {
        logHandlerException("accept");
        doAccept();
    }
}

void TcpServer::acceptReady()
{
    for (int i = 0; i < 64; ++i) {
        if (admission && !admission()) {
            // Set on this thread, so a resume posted from now on finds it;
            // asked again, for room made before the flag was seen.
            acceptPaused_.store(true, std::memory_order_release);
            if (!admission())
                return;
            acceptPaused_.store(false, std::memory_order_release);
        }
        detail::TcpWorker* w = leastLoadedWorker();
        asio::ip::tcp::endpoint peer;
        socklen_t peerLen = static_cast<socklen_t>(peer.capacity());
        const int fd = ::accept4(acceptor_.native_handle(), peer.data(), &peerLen, SOCK_NONBLOCK | SOCK_CLOEXEC);
        const asio::error_code ec(fd < 0 ? errno : 0, asio::system_category());
        if (fd >= 0)
            peer.resize(peerLen);
        if (ec.value() == EAGAIN || ec.value() == EWOULDBLOCK)
            break;
        if (ec.value() == ECONNABORTED || ec.value() == EINTR || ec.value() == EPROTO)
            continue;
        if (ec) {
            // Out of descriptors or memory: back off instead of spinning.
            int64_t held = 0;
            if (onAcceptError)
                onAcceptError(ec.message());
            else if (acceptFailedLog.allow(&held))
                qCWarning(lcTcp, "tcp accept failed: %s (%lld more not logged)", ec.message().c_str(),
                          static_cast<long long>(held));
            acceptRetry_.expires_after(std::chrono::milliseconds(kAcceptRetryMs));
            acceptRetry_.async_wait([this](const asio::error_code& e) {
                if (!e && acceptor_.is_open())
                    acceptNow();
            });
            return;
        }
        const bool full = connectionNum() >= maxConnections_;
        const char* refusal = full ? "connection limit reached" : nullptr;
        asio::error_code addrEc;
        const std::string address = peer.address().to_string(addrEc);
        if (!refusal && inFdReserve(fd, fdReserve_))
            refusal = "descriptor reserve reached";
        if (!refusal && addressHoldsItsShare(address))
            refusal = "connections from this address reached their share";
        if (refusal) {
            int64_t held = 0;
            if (refusedLog.allow(&held))
                qCWarning(lcTcp, "tcp connection from %s refused: %s (%lld more not logged)", address.c_str(), refusal,
                          static_cast<long long>(held));
            ::close(fd);
            continue;
        }
        if (acceptFilter && !acceptFilter(peer)) {
            ::close(fd); // the filter has logged why
            continue;
        }
        addChannel(w, fd, peer);
    }
    doAccept();
}

void TcpServer::resumeAccepting()
{
    if (!acceptingPaused() || !started_ || stopped_)
        return;
    asio::post(acceptCtx_, [this] {
        if (!acceptPaused_.exchange(false, std::memory_order_acq_rel) || !acceptor_.is_open())
            return;
        acceptNow();
    });
}

void TcpServer::addChannel(detail::TcpWorker* w, int fd, const asio::ip::tcp::endpoint& peer)
{
    const uint32_t id = nextId_.fetch_add(1, std::memory_order_relaxed) + 1;
    SocketChannelPtr ch;
    try {
        ch = std::make_shared<SocketChannel>(SocketChannel::Key(), this, w, fd, peer, id, maxWriteBufSize_);
    } catch (...) {
        ::close(fd);
        throw;
    }
    {
        std::lock_guard<std::mutex> reg(registryMutex_);
        registry_.emplace(id, ch);
        openClients_.fetch_add(1, std::memory_order_relaxed);
        if (maxPerAddress_ > 0)
            ++perAddress_[ch->peerIp()];
    }
    // Inserted and announced under the lock: anything that finds the channel
    // in the map (broadcast, stop) queues its work behind the connect callback.
    std::lock_guard<std::mutex> lk(channelsMutex_);
    w->connections.fetch_add(1, std::memory_order_relaxed);
    channels_.emplace(id, ch);
    w->post([ch] { ch->onConnectedInLoop(); });
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
        auto held = perAddress_.find(ch->peerIp());
        if (held != perAddress_.end() && --held->second == 0)
            perAddress_.erase(held);
    }
}

bool TcpServer::addressHoldsItsShare(const std::string& peer) const
{
    if (maxPerAddress_ == 0)
        return false;
    std::lock_guard<std::mutex> reg(registryMutex_);
    const auto held = perAddress_.find(peer);
    return held != perAddress_.end() && held->second >= maxPerAddress_;
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

void TcpServer::forEachOnWorkers(std::function<void(const SocketChannelPtr&)> f)
{
    if (!started_ || stopped_)
        return;
    const auto shared = std::make_shared<std::function<void(const SocketChannelPtr&)>>(std::move(f));
    for (auto& w : workers_) {
        detail::TcpWorker* wp = w.get();
        wp->post([wp, shared] {
            for (const auto& kv : wp->open)
                (*shared)(kv.second);
        });
    }
}

int TcpServer::broadcast(const void* data, size_t len, const std::shared_ptr<const void>& keep)
{
    int written = 0;
    SharedSlicer::Slice slice; // made by the first client that must queue
    std::lock_guard<std::mutex> lk(channelsMutex_);
    for (const auto& kv : channels_) {
        if (kv.second->isConnected() && kv.second->write(data, len, slicer_, slice, keep) >= 0)
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

    // Each loop ends once the closes posted above have run.
    for (auto& w : workers_) {
        detail::TcpWorker* wp = w.get();
        wp->post([wp] { wp->stopping = true; });
    }
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
