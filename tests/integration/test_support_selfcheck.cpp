// Checks of the test support library itself: the private namespace, child
// processes, sockets and the HTTP parser, against in-test peers and a fake
// service (this very binary, see fakeServiceRequested below).
#include "oxtest.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <atomic>
#include <cstring>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace oxt;

namespace {

// --- A fake service: this binary started with OXTEST_FAKE_SERVICE_PORT ---
// It listens on that TCP port (after OXTEST_FAKE_DELAY_MS), writes
// OXTEST_FAKE_STDERR to stderr, waits for SIGTERM and exits with
// OXTEST_FAKE_EXIT. Runs from a static initializer, before main() would move
// it into a namespace of its own.

int envInt(const char* name, int fallback)
{
    const char* v = std::getenv(name);
    return v ? std::atoi(v) : fallback;
}

void say(int fd, const std::string& text)
{
    ssize_t n = ::write(fd, text.data(), text.size());
    (void)n;
}

int runFakeService()
{
    if (std::getenv("OXTEST_FAKE_FAIL")) {
        say(1, "fake service: cannot listen\n");
        return 3;
    }
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(envInt("OXTEST_FAKE_DELAY_MS", 0)));
    int fd = holdTcpPort(envInt("OXTEST_FAKE_SERVICE_PORT", 0));
    say(1, fd >= 0 ? "fake service: listening\n" : "fake service: port taken\n");
    if (const char* err = std::getenv("OXTEST_FAKE_STDERR"))
        say(2, std::string(err) + "\n");
    int sig = 0;
    sigwait(&term, &sig);
    return envInt("OXTEST_FAKE_EXIT", 0);
}

[[maybe_unused]] const bool fakeServiceRequested = [] {
    if (std::getenv("OXTEST_FAKE_SERVICE_PORT"))
        ::_exit(runFakeService());
    return false;
}();

std::string selfExe()
{
    return std::filesystem::read_symlink("/proc/self/exe").string();
}

// --- An in-test TCP peer: accepts one connection on port and runs script ---
// SO_REUSEADDR: the peer often closes first, and its TIME_WAIT must not
// block the next case when all cases run in one process.
int listenReusable(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

class OneShotServer {
public:
    OneShotServer(int port, std::function<void(TcpClient&)> script)
        : listenFd_(listenReusable(port))
    {
        EXPECT_GE(listenFd_, 0) << "port " << port;
        thread_ = std::thread([this, script] {
            pollfd pfd{listenFd_, POLLIN, 0};
            if (listenFd_ < 0 || ::poll(&pfd, 1, 5000) != 1)
                return;
            TcpClient peer(::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC));
            script(peer);
        });
    }
    ~OneShotServer()
    {
        thread_.join();
        if (listenFd_ >= 0)
            ::close(listenFd_);
    }

private:
    int listenFd_;
    std::thread thread_;
};

// Reads one request (head and Content-Length body) as the server.
std::string readRequest(TcpClient& peer)
{
    std::string head = peer.recvUntil("\r\n\r\n");
    size_t at = head.find("Content-Length: ");
    size_t length = at == std::string::npos ? 0 : std::strtoul(head.c_str() + at + 16, nullptr, 10);
    return head + peer.recvExactly(length);
}

// The service's API reply layout: bare LF lines and one LF after the JSON.
std::string apiReply(const std::string& json)
{
    return "HTTP/1.1 200 OK\nContent-Type: application/javascript\nContent-Length: " +
           std::to_string(json.size()) + "\nCache-Control: no-cache\n\n" + json + "\n";
}

constexpr int kPeerPort = 18080;

}  // namespace

// ---------------------------------------------------------------- namespace

TEST(PrivateNetns, DiffersFromTheNamespaceOfTheParent)
{
    const std::string parent = "/proc/" + std::to_string(::getppid()) + "/ns/net";
    EXPECT_NE(std::filesystem::read_symlink("/proc/self/ns/net"), std::filesystem::read_symlink(parent));
}

TEST(PrivateNetns, ServicePortsAreFree)
{
    for (int port : {8000, 8001, 8010, 8020}) {
        EXPECT_FALSE(tcpPortInUse(port)) << port;
        int fd = holdTcpPort(port);
        EXPECT_GE(fd, 0) << port;
        ::close(fd);
    }
}

TEST(PrivateNetns, LoopbackIsUpWithMulticast)
{
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    ASSERT_EQ(::ioctl(fd, SIOCGIFFLAGS, &ifr), 0);
    ::close(fd);
    EXPECT_TRUE(ifr.ifr_flags & IFF_UP);
    EXPECT_TRUE(ifr.ifr_flags & IFF_MULTICAST);
}

TEST(PrivateNetns, MulticastFromAnUnboundSenderReachesAGroupMemberOnLo)
{
    UdpSocket member;
    ASSERT_TRUE(member.bind(5533));
    ASSERT_TRUE(member.joinMulticast("224.2.2.2"));
    UdpSocket sender;  // no interface chosen: the route to 224.0.0.0/4 must lead to lo
    ASSERT_TRUE(sender.sendTo("224.2.2.2", 5533, "probe"));
    auto d = member.recvFrom(2000);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->data, "probe");
    EXPECT_EQ(d->host, "127.0.0.1");
}

// ------------------------------------------------------------------ waitFor

TEST(WaitFor, ReturnsTrueAsSoonAsTheConditionHolds)
{
    int polls = 0;
    EXPECT_TRUE(waitFor([&] { return ++polls == 3; }, 5000, 1));
    EXPECT_EQ(polls, 3);
}

TEST(WaitFor, ReturnsFalseAtTheDeadline)
{
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(waitFor([] { return false; }, 50));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(50));
}

TEST(WaitFor, DeliversQtTimersAndDeferredDeletes)
{
    bool fired = false;
    QTimer::singleShot(10, [&] { fired = true; });
    EXPECT_TRUE(waitFor([&] { return fired; }));
    QPointer<QObject> obj = new QObject;
    obj->deleteLater();
    EXPECT_TRUE(waitFor([&] { return obj.isNull(); }));
}

// ------------------------------------------------------------------ TempDir

TEST(TempDir, WritesReadsAndCreatesNestedDirectories)
{
    TempDir dir;
    EXPECT_EQ(dir.path().rfind("/tmp/", 0), 0u);
    EXPECT_TRUE(dir.writeFile("a/b/c.json", std::string("{}\0x", 4)));
    EXPECT_EQ(dir.readFile("a/b/c.json"), std::string("{}\0x", 4));
    EXPECT_TRUE(dir.mkdir("web/img"));
    EXPECT_TRUE(dir.exists("web/img"));
    EXPECT_FALSE(dir.exists("missing"));
    EXPECT_EQ(dir.readFile("missing"), "");
}

TEST(TempDir, IsRemovedWithItsContentUnlessKept)
{
    std::string removed, kept;
    {
        TempDir dir;
        dir.writeFile("x/y", "z");
        removed = dir.path();
    }
    EXPECT_FALSE(std::filesystem::exists(removed));
    ::setenv("OXTEST_KEEP", "1", 1);
    {
        TempDir dir;
        kept = dir.path();
    }
    ::unsetenv("OXTEST_KEEP");
    EXPECT_TRUE(std::filesystem::exists(kept));
    std::filesystem::remove_all(kept);
}

// ------------------------------------------------------------------ Process

struct ExitCase {
    const char* name;
    const char* script;
    int status;
};

void PrintTo(const ExitCase& c, std::ostream* os) { *os << c.name; }

class ProcessExit : public ::testing::TestWithParam<ExitCase> {};

TEST_P(ProcessExit, ReportsTheExitStatus)
{
    TempDir dir;
    Process p;
    ASSERT_TRUE(p.start({"/bin/sh", "-c", GetParam().script}, dir.path())) << p.error();
    ASSERT_TRUE(waitFor([&] { return !p.running(); }));
    EXPECT_EQ(p.exitStatus(), GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProcessExit, ::testing::Values(
    ExitCase{"NormalExitIsZero", "exit 0", 0},
    ExitCase{"ExitCodeIsKept", "exit 7", 7},
    ExitCase{"DeathBySignalIs128PlusSignal", "kill -KILL $$", 128 + SIGKILL}),
    [](const auto& info) { return info.param.name; });

struct TerminateCase {
    const char* name;
    const char* script;
    int timeoutMs;
    int status;
};

void PrintTo(const TerminateCase& c, std::ostream* os) { *os << c.name; }

class ProcessTerminate : public ::testing::TestWithParam<TerminateCase> {};

TEST_P(ProcessTerminate, SendsTermAndReturnsTheOutcome)
{
    TempDir dir;
    Process p;
    ASSERT_TRUE(p.start({"/bin/sh", "-c", GetParam().script}, dir.path()));
    ASSERT_TRUE(p.waitForOutput("ready"));
    EXPECT_EQ(p.terminate(GetParam().timeoutMs), GetParam().status) << p.describe();
    EXPECT_FALSE(p.running());
}

INSTANTIATE_TEST_SUITE_P(Cases, ProcessTerminate, ::testing::Values(
    TerminateCase{"DefaultDispositionIs143", "echo ready; exec sleep 30", 5000, 128 + SIGTERM},
    TerminateCase{"TrapExitsWithItsCode", "trap 'exit 3' TERM; echo ready; while :; do sleep 0.01; done", 5000, 3},
    TerminateCase{"IgnoredTermIsKilledAfterTheTimeout", "trap '' TERM; echo ready; while :; do sleep 0.01; done",
                  200, Process::kKilledAfterTimeout}),
    [](const auto& info) { return info.param.name; });

TEST(Process, CapturesStdoutAndStderrSeparately)
{
    TempDir dir;
    Process p;
    ASSERT_TRUE(p.start({"/bin/sh", "-c", "echo to-out; echo to-err >&2; exec sleep 30"}, dir.path()));
    EXPECT_TRUE(p.waitForOutput("to-err", 5000, Process::Stderr));
    EXPECT_TRUE(p.waitForOutput("to-out", 5000, Process::Stdout));
    EXPECT_FALSE(p.waitForOutput("to-err", 20, Process::Stdout));
    EXPECT_EQ(p.stdoutText(), "to-out\n");
    EXPECT_EQ(p.stderrText(), "to-err\n");
    EXPECT_EQ(dir.readFile("stdout.log"), "to-out\n");
}

TEST(Process, RunsInItsWorkDirWithExtraEnvironmentAndStdin)
{
    TempDir dir;
    dir.writeFile("input", "from-stdin\n");
    Process p;
    ASSERT_TRUE(p.start({"/bin/sh", "-c", "echo \"$OXT_VALUE $HOME\"; pwd; cat"}, dir.path(),
                        {{"OXT_VALUE", "forty-two"}, {"HOME", "/nowhere"}}, "", dir.file("input")));
    ASSERT_TRUE(waitFor([&] { return !p.running(); }));
    EXPECT_EQ(p.stdoutText(), "forty-two /nowhere\n" + dir.path() + "\nfrom-stdin\n");
}

TEST(Process, WritesLogsToAGivenLogDir)
{
    TempDir work, logs;
    Process p;
    ASSERT_TRUE(p.start({"/bin/sh", "-c", "echo hi"}, work.path(), {}, logs.path()));
    ASSERT_TRUE(waitFor([&] { return !p.running(); }));
    EXPECT_EQ(logs.readFile("stdout.log"), "hi\n");
    EXPECT_FALSE(work.exists("stdout.log"));
}

TEST(Process, WaitForOutputFindsTextWrittenAcrossSeveralWrites)
{
    TempDir dir;
    Process p;
    ASSERT_TRUE(p.start({"/bin/sh", "-c", "printf 'aaaa-mar'; sleep 0.1; printf 'ker-bbbb'; exec sleep 30"}, dir.path()));
    EXPECT_TRUE(p.waitForOutput("aaaa-mar"));
    EXPECT_TRUE(p.waitForOutput("marker", 5000, Process::Stdout));
}

TEST(Process, CountsOccurrencesPerStream)
{
    TempDir dir;
    Process p;
    ASSERT_TRUE(p.start({"/bin/sh", "-c", "echo tick; echo tick tick; echo tick >&2"}, dir.path()));
    ASSERT_TRUE(waitFor([&] { return !p.running(); }));
    EXPECT_EQ(p.countOccurrences("tick"), 4);
    EXPECT_EQ(p.countOccurrences("tick", Process::Stdout), 3);
    EXPECT_EQ(p.countOccurrences("tick", Process::Stderr), 1);
    EXPECT_EQ(p.countOccurrences("tock"), 0);
}

TEST(Process, ReportsAProgramThatCannotStart)
{
    TempDir dir;
    Process p;
    EXPECT_FALSE(p.start({"/nonexistent/oxnode"}, dir.path()));
    EXPECT_NE(p.error().find("No such file"), std::string::npos) << p.error();
    EXPECT_FALSE(p.running());
}

TEST(Process, DestructorKillsTheWholeProcessGroup)
{
    TempDir dir;
    pid_t leader = -1, child = -1;
    {
        Process p;
        ASSERT_TRUE(p.start({"/bin/sh", "-c", "sleep 30 & echo \"child $!\"; exec sleep 30"}, dir.path()));
        ASSERT_TRUE(p.waitForOutput("child "));
        child = std::atoi(p.stdoutText().c_str() + 6);
        leader = p.pid();
    }
    // Gone, or a zombie waiting for whoever inherited it.
    auto gone = [](pid_t pid) {
        std::string stat = readWholeFile("/proc/" + std::to_string(pid) + "/stat");
        return stat.empty() || stat.find(") Z ") != std::string::npos;
    };
    EXPECT_TRUE(gone(leader));
    EXPECT_TRUE(waitFor([&] { return gone(child); }));
}

struct SanitizerCase {
    const char* name;
    const char* stderrText;
    const char* report;  // expected report; empty: none
};

void PrintTo(const SanitizerCase& c, std::ostream* os) { *os << c.name; }

class SanitizerReport : public ::testing::TestWithParam<SanitizerCase> {};

TEST_P(SanitizerReport, StartsAtTheFirstReportLine)
{
    TempDir dir;
    Process p;
    ASSERT_TRUE(p.start({"/bin/sh", "-c", "printf 'noise\\n%s' \"$REPORT\" >&2"},
                        dir.path(), {{"REPORT", GetParam().stderrText}}));
    ASSERT_TRUE(waitFor([&] { return !p.running(); }));
    EXPECT_EQ(p.sanitizerReport(), GetParam().report);
}

INSTANTIATE_TEST_SUITE_P(Cases, SanitizerReport, ::testing::Values(
    SanitizerCase{"CleanStderrHasNone", "all fine\n", ""},
    SanitizerCase{"AddressSanitizer", "==9==ERROR: AddressSanitizer: heap-use-after-free\nREAD\n",
                  "==9==ERROR: AddressSanitizer: heap-use-after-free\nREAD\n"},
    SanitizerCase{"LeakSanitizer", "==9==ERROR: LeakSanitizer: detected memory leaks\n",
                  "==9==ERROR: LeakSanitizer: detected memory leaks\n"},
    SanitizerCase{"UndefinedBehaviour", "a.cpp:3:5: runtime error: signed integer overflow\n",
                  "a.cpp:3:5: runtime error: signed integer overflow\n"},
    SanitizerCase{"ThreadSanitizer", "WARNING: ThreadSanitizer: data race\n",
                  "WARNING: ThreadSanitizer: data race\n"}),
    [](const auto& info) { return info.param.name; });

// --------------------------------------------------------------- runCommand

TEST(RunCommand, ReturnsExitCodeAndInterleavedOutput)
{
    CommandResult r = runCommand({"sh", "-c", "echo out; echo err >&2; exit 4"});
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.out, "out\nerr\n");
}

TEST(RunCommand, ReportsAMissingProgramAs127)
{
    CommandResult r = runCommand({"/nonexistent/tool"});
    EXPECT_EQ(r.exitCode, 127);
    EXPECT_NE(r.out.find("No such file"), std::string::npos) << r.out;
}

TEST(RunCommand, KillsTheCommandAtTheDeadline)
{
    auto t0 = std::chrono::steady_clock::now();
    CommandResult r = runCommand({"sh", "-c", "echo started; sleep 30"}, 200);
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.out, "started\n");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
}

// -------------------------------------------------------------- TCP helpers

TEST(TcpPorts, AHeldPortIsInUseAndCannotBeBoundAgain)
{
    int fd = holdTcpPort(18100);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(tcpPortInUse(18100));
    EXPECT_TRUE(waitTcpPort(18100, 1000));
    EXPECT_EQ(holdTcpPort(18100), -1);
    ::close(fd);
    EXPECT_FALSE(tcpPortInUse(18100));
    EXPECT_FALSE(waitTcpPort(18100, 50));
}

TEST(TcpPorts, AHeldUdpPortCannotBeBoundAgain)
{
    int fd = holdUdpPort(5533);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(holdUdpPort(5533), -1);
    ::close(fd);
}

TEST(TcpClient, ConnectToAClosedPortFails)
{
    TcpClient c;
    EXPECT_FALSE(c.connect("127.0.0.1", 18099, 1000));
    EXPECT_EQ(c.fd(), -1);
}

TEST(TcpClient, SplitsFramesByDelimiterAndLengthThenSeesTheClose)
{
    OneShotServer server(kPeerPort, [](TcpClient& peer) { peer.sendAll(std::string("abc\0defXYZ", 10)); });
    TcpClient c;
    ASSERT_TRUE(c.connect("127.0.0.1", kPeerPort));
    EXPECT_EQ(c.recvUntil('\0'), std::string("abc\0", 4));
    EXPECT_EQ(c.recvExactly(3), "def");
    EXPECT_EQ(c.recvSome(), "XYZ");
    EXPECT_TRUE(c.waitClosed());
    EXPECT_EQ(c.recvExactly(1, 10), "");
}

TEST(TcpClient, TimeoutsKeepWhatArrivedAndDoNotMistakeSilenceForClose)
{
    std::atomic<bool> done{false};
    OneShotServer server(kPeerPort, [&](TcpClient& peer) {
        peer.sendAll("partial");
        waitFor([&] { return done.load(); });
    });
    TcpClient c;
    ASSERT_TRUE(c.connect("127.0.0.1", kPeerPort));
    EXPECT_EQ(c.recvUntil('\n', 100), "");
    EXPECT_EQ(c.pending(), "partial");
    EXPECT_FALSE(c.waitClosed(50));
    EXPECT_EQ(c.recvExactly(20, 50), "partial");
    done = true;
}

TEST(TcpClient, SendAllDeliversEveryByte)
{
    const std::string big(300000, 'x');
    OneShotServer server(kPeerPort, [&](TcpClient& peer) {
        if (peer.recvExactly(big.size()) == big)
            peer.sendAll("ok");
    });
    TcpClient c;
    ASSERT_TRUE(c.connect("127.0.0.1", kPeerPort));
    EXPECT_GT(c.localPort(), 0);
    EXPECT_NE(c.localPort(), kPeerPort);
    EXPECT_TRUE(c.sendAll(big));
    EXPECT_EQ(c.recvExactly(2), "ok");
}

TEST(TcpClient, SmallReceiveBufferMakesASenderStall)
{
    std::atomic<bool> stalled{false};
    OneShotServer server(kPeerPort, [&](TcpClient& peer) {
        stalled = !peer.sendAll(std::string(8 << 20, 'x'), 300);
    });
    TcpClient c;
    c.setRecvBuffer(4096);
    ASSERT_TRUE(c.connect("127.0.0.1", kPeerPort));
    int size = 0;
    socklen_t len = sizeof size;
    ::getsockopt(c.fd(), SOL_SOCKET, SO_RCVBUF, &size, &len);
    EXPECT_LE(size, 16384);
    EXPECT_TRUE(waitFor([&] { return stalled.load(); }));
}

TEST(UdpSocket, UnicastRoundTripNamesTheSender)
{
    UdpSocket a, b;
    ASSERT_TRUE(a.bind(0));
    ASSERT_TRUE(b.bind(0));
    EXPECT_FALSE(b.recvFrom(20));
    ASSERT_TRUE(a.sendTo("127.0.0.1", b.localPort(), std::string("x\0y", 3)));
    auto d = b.recvFrom();
    ASSERT_TRUE(d);
    EXPECT_EQ(d->data, std::string("x\0y", 3));
    EXPECT_EQ(d->host, "127.0.0.1");
    EXPECT_EQ(d->port, a.localPort());
}

// --------------------------------------------------------------------- HTTP

struct ReplyCase {
    const char* name;
    std::string reply;  // sent after the request, then the server closes
    bool expectTrailingLf;
    bool ok;
    int status;
    std::string body;
    bool bareLf;
};

void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

class HttpReplyParsing : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(HttpReplyParsing, ReadsExactlyOneReply)
{
    const ReplyCase& rc = GetParam();
    OneShotServer server(kPeerPort, [&](TcpClient& peer) {
        readRequest(peer);
        peer.sendAll(rc.reply);
    });
    HttpResponse r = httpRequest(kPeerPort, "GET", "/x", "", {}, 2000, rc.expectTrailingLf);
    EXPECT_EQ(r.ok, rc.ok) << r.error;
    if (!rc.ok)
        return;
    EXPECT_EQ(r.status, rc.status);
    EXPECT_EQ(r.body, rc.body);
    EXPECT_EQ(r.bareLf, rc.bareLf);
    EXPECT_EQ(r.raw, rc.reply);
}

INSTANTIATE_TEST_SUITE_P(Cases, HttpReplyParsing, ::testing::Values(
    ReplyCase{"ApiReplyWithBareLfAndTrailingLf", apiReply("{\"cmd\":\"fail\"}"), true, true, 200, "{\"cmd\":\"fail\"}", true},
    ReplyCase{"ApiReplyWithoutItsTrailingLfIsAnError", apiReply("{}").substr(0, apiReply("{}").size() - 1), true, false, 0, "", true},
    ReplyCase{"CrlfReplyWithContentLength", "HTTP/1.1 404 Not Found\r\nContent-Length: 5\r\n\r\nnope!", false, true, 404, "nope!", false},
    ReplyCase{"ShortBodyIsAnError", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc", false, false, 0, "", false},
    ReplyCase{"ChunkedBody", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n", false, true, 200, "abcde", false},
    ReplyCase{"BodyRunsToTheClose", "HTTP/1.0 200 OK\r\n\r\nrest", false, true, 200, "rest", false},
    ReplyCase{"GarbageIsAnError", "SSH-2.0-nope\r\n", false, false, 0, "", false}),
    [](const auto& info) { return info.param.name; });

TEST(HttpConnection, KeepAliveCarriesSeveralApiRepliesInARow)
{
    OneShotServer server(kPeerPort, [](TcpClient& peer) {
        readRequest(peer);
        peer.sendAll(apiReply("{\"n\":1}"));
        readRequest(peer);
        peer.sendAll(apiReply("{\"n\":2}"));
    });
    HttpConnection c(kPeerPort);
    HttpResponse r1 = c.request("POST", "/api/post", "{}", {}, 2000, true);
    HttpResponse r2 = c.request("POST", "/api/post", "{}", {}, 2000, true);
    EXPECT_TRUE(r1.ok) << r1.error;
    EXPECT_TRUE(r2.ok) << r2.error;
    EXPECT_EQ(r1.body, "{\"n\":1}");
    EXPECT_EQ(r2.body, "{\"n\":2}");
    EXPECT_EQ(r2.header("content-length"), "7");
    EXPECT_EQ(r2.header("Content-Type"), "application/javascript");
}

TEST(HttpConnection, ApiPostSendsCompactJsonAndParsesTheReply)
{
    std::string request;
    OneShotServer server(kPeerPort, [&](TcpClient& peer) {
        request = readRequest(peer);
        peer.sendAll(apiReply("{\"cmd\":\"login\",\"results\":true}"));
    });
    QJsonObject reply = apiPost(kPeerPort, {{"user", "admin"}, {"cmd", "login"}});
    EXPECT_EQ(reply, (QJsonObject{{"cmd", "login"}, {"results", true}}));
    const std::string body = "{\"cmd\":\"login\",\"user\":\"admin\"}";
    EXPECT_EQ(request.rfind("POST /api/post HTTP/1.1\r\n", 0), 0u) << request;
    EXPECT_NE(request.find("Content-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos);
    EXPECT_EQ(request.substr(request.size() - body.size()), body);
}

TEST(HttpConnection, ApiPostWithoutAServerRecordsAFailure)
{
    EXPECT_NONFATAL_FAILURE(apiPost(kPeerPort, {{"cmd", "x"}}, "/api/post", 500), "cannot connect");
}

TEST(Md5Hex, IsLowerCaseHex)
{
    EXPECT_EQ(md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
}

// ------------------------------------------------------------------- OxNode

TEST(OxNode, StartWaitsForTheReadyPortAndStopsCleanly)
{
    OxNode node({{"OXTEST_FAKE_SERVICE_PORT", "8001"}, {"OXTEST_FAKE_DELAY_MS", "200"}});
    EXPECT_TRUE(node.dir().exists("web"));
    ASSERT_TRUE(node.start(selfExe()));
    EXPECT_TRUE(tcpPortInUse(8001));
    EXPECT_TRUE(node.process().waitForOutput("fake service: listening"));
    node.expectCleanExit();
    EXPECT_FALSE(node.process().running());
}

TEST(OxNode, StartFailsWhenTheServiceEndsEarly)
{
    OxNode node({{"OXTEST_FAKE_SERVICE_PORT", "8001"}, {"OXTEST_FAKE_FAIL", "1"}});
    ::testing::AssertionResult started = node.start(selfExe());
    EXPECT_FALSE(started);
    EXPECT_NE(std::string(started.message()).find("ended during start-up"), std::string::npos);
    EXPECT_NE(std::string(started.message()).find("cannot listen"), std::string::npos);
    EXPECT_EQ(node.stop(), 3);
}

TEST(OxNode, StartFailsWhenAReadyPortNeverListens)
{
    OxNode node({{"OXTEST_FAKE_SERVICE_PORT", "8001"}});
    node.options().readyPorts = {8001, 8010};
    node.options().startTimeoutMs = 300;
    ::testing::AssertionResult started = node.start(selfExe());
    EXPECT_FALSE(started);
    EXPECT_NE(std::string(started.message()).find("not listening"), std::string::npos) << started.message();
}

TEST(OxNode, ExpectCleanExitFlagsANonZeroStatus)
{
    OxNode node({{"OXTEST_FAKE_SERVICE_PORT", "8001"}, {"OXTEST_FAKE_EXIT", "5"}});
    ASSERT_TRUE(node.start(selfExe()));
    EXPECT_NONFATAL_FAILURE(node.expectCleanExit(), "exit status 5");
}

TEST(OxNode, ExpectCleanExitFlagsASanitizerReport)
{
    OxNode node({{"OXTEST_FAKE_SERVICE_PORT", "8001"},
                  {"OXTEST_FAKE_STDERR", "==1==ERROR: LeakSanitizer: detected memory leaks"}});
    ASSERT_TRUE(node.start(selfExe()));
    EXPECT_NONFATAL_FAILURE(node.expectCleanExit(), "LeakSanitizer");
}
