// Our ikcp against an independent KCP implementation (kcp-go, through the
// kcppeer program in tests/kcppeer) over real UDP on 127.0.0.1: 1 MB of
// seeded bytes each way, compared byte for byte. The peer binary comes from
// the environment variable OX_KCPPEER (build it with tests/kcppeer/build.sh);
// without it the cases are skipped.
//
// Ports are picked by the kernel (bind to port 0) and passed on, never guessed.
#include "ikcp.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr size_t kPayloadBytes = 1 << 20;
constexpr int kMessageBytes = 1400;  // what the oxlat session hands to KCP at most
constexpr int kCaseTimeoutMs = 60000;

// Must stay identical to seededBytes in tests/kcppeer/main.go.
std::string seededBytes(size_t n, uint32_t seed)
{
    std::string out(n, '\0');
    uint32_t state = seed;
    for (auto &c : out) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<char>(state >> 24);
    }
    return out;
}

uint32_t nowMs()
{
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// The kcppeer child: stderr is collected for its status lines.
class PeerProcess {
public:
    explicit PeerProcess(const std::vector<std::string> &argv)
    {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], 2);
            const int devnull = open("/dev/null", O_RDWR);
            dup2(devnull, 0);
            dup2(devnull, 1);
            close(fds[0]);
            std::vector<char *> args;
            for (const auto &a : argv)
                args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        close(fds[1]);
        errFd_ = fds[0];
        fcntl(errFd_, F_SETFL, fcntl(errFd_, F_GETFL) | O_NONBLOCK);
    }

    ~PeerProcess()
    {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (errFd_ >= 0)
            close(errFd_);
    }

    bool started() const { return pid_ > 0; }

    // Reads what the child wrote so far and notes whether it has ended.
    void poll()
    {
        char buf[4096];
        for (ssize_t n; errFd_ >= 0 && (n = read(errFd_, buf, sizeof buf)) > 0;)
            err_.append(buf, static_cast<size_t>(n));
        if (pid_ > 0 && !exited_) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
        }
    }

    bool exited() const { return exited_; }
    int exitCode() const { return exitCode_; }
    const std::string &stderrText() const { return err_; }

    // Value of `key=` in the first line starting with `prefix`, or "".
    std::string field(const std::string &prefix, const std::string &key) const
    {
        std::istringstream lines(err_);
        for (std::string line; std::getline(lines, line);) {
            if (line.compare(0, prefix.size(), prefix) != 0)
                continue;
            std::istringstream words(line);
            for (std::string w; words >> w;)
                if (w.compare(0, key.size() + 1, key + "=") == 0)
                    return w.substr(key.size() + 1);
        }
        return {};
    }

    // The address after "listening ", or "".
    std::string listenAddr() const
    {
        const auto at = err_.find("listening ");
        if (at == std::string::npos)
            return {};
        const auto end = err_.find('\n', at);
        if (end == std::string::npos)
            return {};
        return err_.substr(at + 10, end - at - 10);
    }

private:
    pid_t pid_ = -1;
    int errFd_ = -1;
    bool exited_ = false;
    int exitCode_ = -1;
    std::string err_;
};

// Our end: one UDP socket on 127.0.0.1 and one control block, driven from
// the test thread. Without a known peer the block is created on the first
// datagram, with that datagram's conversation number.
class UdpKcpEnd {
public:
    // lossPct: share of datagrams dropped on their way in and on their way
    // out, from a seeded generator, so the peer's resend logic works too.
    explicit UdpKcpEnd(uint32_t lossPct = 0) : lossPct_(lossPct)
    {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        local.sin_port = 0;
        if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&local), sizeof local) == 0) {
            socklen_t len = sizeof local;
            getsockname(fd_, reinterpret_cast<sockaddr *>(&local), &len);
            port_ = ntohs(local.sin_port);
            const int size = 4 << 20;
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
            setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        }
    }

    ~UdpKcpEnd()
    {
        if (kcp_)
            ikcp_release(kcp_);
        if (fd_ >= 0)
            close(fd_);
    }

    uint16_t port() const { return port_; }
    ikcpcb *kcp() const { return kcp_; }

    // Calling side: our own conversation number, to a known address.
    void dial(uint32_t conv, const std::string &hostPort)
    {
        const auto colon = hostPort.rfind(':');
        peer_.sin_family = AF_INET;
        inet_pton(AF_INET, hostPort.substr(0, colon).c_str(), &peer_.sin_addr);
        peer_.sin_port = htons(static_cast<uint16_t>(std::stoi(hostPort.substr(colon + 1))));
        havePeer_ = true;
        create(conv);
    }

    // Queues `data` as messages of at most kMessageBytes, while the backlog
    // stays small; returns how much has been queued in total.
    size_t feed(const std::string &data)
    {
        while (kcp_ && queued_ < data.size() && ikcp_waitsnd(kcp_) < 2 * 1024) {
            const int n = static_cast<int>(std::min<size_t>(kMessageBytes, data.size() - queued_));
            if (ikcp_send(kcp_, data.data() + queued_, n) != 0)
                break;
            queued_ += static_cast<size_t>(n);
        }
        return queued_;
    }

    void send(const std::string &msg)
    {
        if (kcp_)
            ikcp_send(kcp_, msg.data(), static_cast<int>(msg.size()));
    }

    // One pass: wait up to 1 ms for datagrams, input them, update, collect messages.
    void pump()
    {
        pollfd p{fd_, POLLIN, 0};
        ::poll(&p, 1, 1);
        char buf[2048];
        for (;;) {
            sockaddr_in from{};
            socklen_t fromLen = sizeof from;
            const ssize_t n = recvfrom(fd_, buf, sizeof buf, 0,
                                       reinterpret_cast<sockaddr *>(&from), &fromLen);
            if (n <= 0)
                break;
            if (dropped())
                continue;
            if (!kcp_) {
                if (n < static_cast<ssize_t>(IKCP_OVERHEAD))
                    continue;
                peer_ = from;
                havePeer_ = true;
                create(ikcp_getconv(buf));
            }
            ikcp_input(kcp_, buf, n);
        }
        if (!kcp_)
            return;
        ikcp_update(kcp_, nowMs());
        for (int size; (size = ikcp_peeksize(kcp_)) >= 0;) {
            std::string msg(static_cast<size_t>(size), '\0');
            if (ikcp_recv(kcp_, msg.empty() ? nullptr : &msg[0], size) != size)
                break;
            messages.push_back(std::move(msg));
        }
    }

    std::vector<std::string> messages;  // every message delivered, in order

private:
    void create(uint32_t conv)
    {
        kcp_ = ikcp_create(conv, this);
        ikcp_setoutput(kcp_, &UdpKcpEnd::output);
        // The settings of the oxlat session.
        ikcp_nodelay(kcp_, 1, 1, 5, 1);
        ikcp_setmtu(kcp_, 1400);
        ikcp_wndsize(kcp_, 10240, 10240);
        ikcp_update(kcp_, nowMs());
    }

    static int output(const char *buf, int len, ikcpcb *, void *user)
    {
        auto *self = static_cast<UdpKcpEnd *>(user);
        if (!self->havePeer_)
            return -1;
        if (self->dropped())
            return len;
        const ssize_t n = sendto(self->fd_, buf, static_cast<size_t>(len), 0,
                                 reinterpret_cast<const sockaddr *>(&self->peer_),
                                 sizeof self->peer_);
        return n > 0 ? static_cast<int>(n) : -1;
    }

    bool dropped()
    {
        rng_ = rng_ * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(rng_ >> 33) % 100 < lossPct_;
    }

    uint32_t lossPct_;
    uint64_t rng_ = 12345;
    int fd_ = -1;
    uint16_t port_ = 0;
    sockaddr_in peer_{};
    bool havePeer_ = false;
    ikcpcb *kcp_ = nullptr;
    size_t queued_ = 0;
};

std::string joined(const std::vector<std::string> &msgs, size_t from = 0)
{
    std::string all;
    for (size_t i = from; i < msgs.size(); i++)
        all += msgs[i];
    return all;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Points each case at the peer binary or skips it.
// The parameter is the loss rate at our end, in percent.
class IkcpInterop : public ::testing::TestWithParam<uint32_t> {
protected:
    void SetUp() override
    {
        const char *peer = std::getenv("OX_KCPPEER");
        if (!peer || !*peer)
            GTEST_SKIP() << "OX_KCPPEER is not set: build the kcp-go peer with "
                            "tests/kcppeer/build.sh PATH and export OX_KCPPEER=PATH";
        peer_ = peer;
        ASSERT_EQ(access(peer_.c_str(), X_OK), 0) << "OX_KCPPEER not executable: " << peer_;
        char tmpl[] = "/tmp/ikcp-interop-XXXXXX";
        const int fd = mkstemp(tmpl);
        ASSERT_GE(fd, 0);
        close(fd);
        outFile_ = tmpl;
    }

    void TearDown() override
    {
        if (!outFile_.empty())
            unlink(outFile_.c_str());
    }

    // Pumps our end until cond holds, the peer fails, or the deadline passes.
    bool pumpUntil(UdpKcpEnd &end, PeerProcess &proc, const std::function<bool()> &cond)
    {
        const uint32_t start = nowMs();
        while (!cond()) {
            if (static_cast<int32_t>(nowMs() - start) > kCaseTimeoutMs)
                return false;
            if (proc.exited() && proc.exitCode() != 0)
                return false;
            end.pump();
            proc.poll();
        }
        return true;
    }

    std::string peer_;
    std::string outFile_;
};

TEST_P(IkcpInterop, GoDialsAndSendsWeAdoptItsConvAndReceiveExactBytes)
{
    UdpKcpEnd end(GetParam());
    ASSERT_NE(end.port(), 0);
    const uint32_t seed = 20240601;
    PeerProcess proc({peer_, "send", "-dial", "127.0.0.1:" + std::to_string(end.port()),
                      "-bytes", std::to_string(kPayloadBytes), "-seed", std::to_string(seed)});
    ASSERT_TRUE(proc.started());

    size_t got = 0;
    const bool received = pumpUntil(end, proc, [&] {
        got = 0;
        for (const auto &m : end.messages)
            got += m.size();
        return got >= kPayloadBytes;
    });
    ASSERT_TRUE(received) << "received " << got << " bytes; peer said:\n" << proc.stderrText();
    const std::string want = seededBytes(kPayloadBytes, seed);
    EXPECT_TRUE(joined(end.messages) == want) << "received bytes differ";
    for (const auto &m : end.messages)
        EXPECT_LE(m.size(), static_cast<size_t>(kMessageBytes));

    end.send("done");
    ASSERT_TRUE(pumpUntil(end, proc, [&] { return proc.exited(); })) << proc.stderrText();
    EXPECT_EQ(proc.exitCode(), 0) << proc.stderrText();
    RecordProperty("peer", proc.stderrText());
    EXPECT_EQ(proc.field("stats", "conv"), std::to_string(end.kcp()->conv));
    EXPECT_EQ(proc.field("stats", "reply"), "\"done\"");
}

TEST_P(IkcpInterop, WeDialGoListenerWithOurConvAndItReceivesOurMessages)
{
    PeerProcess proc({peer_, "recv", "-listen", "127.0.0.1:0", "-bytes",
                      std::to_string(kPayloadBytes), "-out", outFile_});
    ASSERT_TRUE(proc.started());
    UdpKcpEnd end(GetParam());
    ASSERT_TRUE(pumpUntil(end, proc, [&] { return !proc.listenAddr().empty(); }))
        << proc.stderrText();
    const uint32_t conv = 0x0badf00d;
    end.dial(conv, proc.listenAddr());

    const std::string data = seededBytes(kPayloadBytes, 77);
    bool bye = false;
    ASSERT_TRUE(pumpUntil(end, proc, [&] {
        end.feed(data);
        if (!bye && !end.messages.empty() && end.messages.back() == "done") {
            end.send("bye");
            bye = true;
        }
        return proc.exited();
    })) << proc.stderrText();
    EXPECT_EQ(proc.exitCode(), 0) << proc.stderrText();
    RecordProperty("peer", proc.stderrText());
    EXPECT_TRUE(readFile(outFile_) == data) << "bytes written by the peer differ";
    EXPECT_EQ(proc.field("stats", "conv"), std::to_string(conv));
    // Each 1400-byte message (two segments) arrives as one message.
    EXPECT_EQ(proc.field("stats", "messages"),
              std::to_string((kPayloadBytes + kMessageBytes - 1) / kMessageBytes));
    EXPECT_EQ(proc.field("stats", "maxmsg"), std::to_string(kMessageBytes));
}

TEST_P(IkcpInterop, GoDialsAndReceivesWeAdoptItsConvAndSendExactBytes)
{
    UdpKcpEnd end(GetParam());
    ASSERT_NE(end.port(), 0);
    PeerProcess proc({peer_, "recv", "-dial", "127.0.0.1:" + std::to_string(end.port()),
                      "-bytes", std::to_string(kPayloadBytes), "-out", outFile_});
    ASSERT_TRUE(proc.started());
    ASSERT_TRUE(pumpUntil(end, proc, [&] { return !end.messages.empty(); }))
        << proc.stderrText();
    EXPECT_EQ(end.messages.front(), "hello");

    const std::string data = seededBytes(kPayloadBytes, 99);
    bool bye = false;
    ASSERT_TRUE(pumpUntil(end, proc, [&] {
        end.feed(data);
        if (!bye && end.messages.size() > 1 && end.messages.back() == "done") {
            end.send("bye");
            bye = true;
        }
        return proc.exited();
    })) << proc.stderrText();
    EXPECT_EQ(proc.exitCode(), 0) << proc.stderrText();
    RecordProperty("peer", proc.stderrText());
    EXPECT_TRUE(readFile(outFile_) == data) << "bytes written by the peer differ";
    EXPECT_EQ(proc.field("stats", "conv"), std::to_string(end.kcp()->conv));
}

INSTANTIATE_TEST_SUITE_P(Loss, IkcpInterop, ::testing::Values(0u, 10u),
                         [](const auto &info) {
                             return info.param ? "Loss" + std::to_string(info.param) + "Pct"
                                               : std::string("Clean");
                         });

}  // namespace
