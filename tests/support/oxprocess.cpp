#include "oxprocess.h"

#include "oxsocket.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace oxt {

namespace {

int decodeStatus(int st)
{
    if (WIFEXITED(st))
        return WEXITSTATUS(st);
    if (WIFSIGNALED(st))
        return 128 + WTERMSIG(st);
    return -1;
}

// The test's environment with env laid over it, as "NAME=value" strings.
std::vector<std::string> mergedEnvironment(const EnvVars& env)
{
    std::vector<std::string> out;
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        std::string name = entry.substr(0, entry.find('='));
        bool overridden = std::any_of(env.begin(), env.end(),
                                      [&](const auto& kv) { return kv.first == name; });
        if (!overridden)
            out.push_back(entry);
    }
    for (const auto& kv : env)
        out.push_back(kv.first + "=" + kv.second);
    return out;
}

std::vector<char*> cStrings(std::vector<std::string>& strings)
{
    std::vector<char*> out;
    for (auto& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// Only async-signal-safe calls between fork and exec: the test process may
// have threads. A failure travels to the parent as errno over errPipe.
[[noreturn]] void execChild(char* const* argv, char* const* envp, const char* workDir,
                            int inFd, int outFd, int errFd, int errPipe)
{
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::signal(SIGPIPE, SIG_DFL);  // the test ignores it; tools expect the default
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    int err = 0;
    if (::dup2(inFd, 0) < 0 || ::dup2(outFd, 1) < 0 || ::dup2(errFd, 2) < 0)
        err = errno;
    // Sockets the test holds must not leak into the child and outlive close().
    ::syscall(SYS_close_range, 3u, ~0u, CLOSE_RANGE_CLOEXEC);
    if (!err && ::chdir(workDir) != 0)
        err = errno;
    if (!err) {
        ::execvpe(argv[0], argv, envp);
        err = errno;
    }
    ssize_t n = ::write(errPipe, &err, sizeof err);
    (void)n;
    ::_exit(127);
}

// Starts argv; returns the pid or -1 with the reason in *error.
pid_t spawn(std::vector<std::string> argv, const std::string& workDir, const EnvVars& env,
            int inFd, int outFd, int errFd, std::string* error)
{
    std::vector<std::string> envStrings = mergedEnvironment(env);
    std::vector<char*> cArgv = cStrings(argv);
    std::vector<char*> cEnv = cStrings(envStrings);
    int errPipe[2];
    if (argv.empty() || ::pipe2(errPipe, O_CLOEXEC) != 0) {
        *error = argv.empty() ? "empty command line" : "pipe2 failed";
        return -1;
    }
    pid_t pid = ::fork();
    int childErr = errno;
    if (pid == 0)
        execChild(cArgv.data(), cEnv.data(), workDir.c_str(), inFd, outFd, errFd, errPipe[1]);
    ::close(errPipe[1]);
    ssize_t n = -1;
    if (pid > 0) {
        do {
            n = ::read(errPipe[0], &childErr, sizeof childErr);
        } while (n < 0 && errno == EINTR);
    }
    ::close(errPipe[0]);
    if (n == 0)
        return pid;  // exec succeeded and so closed the pipe
    *error = "cannot start " + argv[0] + " in " + workDir + ": " + std::strerror(childErr);
    if (pid > 0)
        ::waitpid(pid, nullptr, 0);
    return -1;
}

int countIn(const std::string& text, const std::string& substr)
{
    if (substr.empty())
        return 0;
    int count = 0;
    for (size_t pos = text.find(substr); pos != std::string::npos; pos = text.find(substr, pos + substr.size()))
        ++count;
    return count;
}

// Searches path from offset on; moves offset so that the next call still
// sees a match that straddles what has been read so far.
bool foundSince(const std::string& path, const std::string& substr, size_t& offset)
{
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::string added((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (added.find(substr) != std::string::npos)
        return true;
    if (added.size() >= substr.size())
        offset += added.size() - substr.size() + 1;
    return false;
}

}  // namespace

CommandResult runCommand(const std::vector<std::string>& argv, int timeoutMs)
{
    CommandResult result;
    int outPipe[2];
    int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (::pipe2(outPipe, O_CLOEXEC) != 0) {
        result.out = "pipe failed";
        return result;
    }
    pid_t pid = spawn(argv, ".", {}, devNull, outPipe[1], outPipe[1], &result.out);
    ::close(outPipe[1]);
    ::close(devNull);
    if (pid < 0) {
        ::close(outPipe[0]);
        result.exitCode = 127;
        return result;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd pfd{outPipe[0], POLLIN, 0};
        if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) == 0) {
            result.timedOut = true;
            ::kill(-pid, SIGKILL);
            break;
        }
        char buf[4096];
        ssize_t n = ::read(outPipe[0], buf, sizeof buf);
        if (n == 0 || (n < 0 && errno != EINTR))
            break;  // end of output: the command (and its children) closed it
        if (n > 0)
            result.out.append(buf, static_cast<size_t>(n));
    }
    ::close(outPipe[0]);
    int st = 0;
    ::waitpid(pid, &st, 0);
    result.exitCode = result.timedOut ? -1 : decodeStatus(st);
    return result;
}

Process::~Process()
{
    kill();
}

bool Process::start(const std::vector<std::string>& argv, const std::string& workDir, const EnvVars& env,
                    const std::string& logDir, const std::string& stdinPath)
{
    kill();  // a previous run of this object
    pid_ = -1;
    const std::string logs = logDir.empty() ? workDir : logDir;
    stdoutPath_ = logs + "/stdout.log";
    stderrPath_ = logs + "/stderr.log";
    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    int in = ::open(stdinPath.c_str(), O_RDONLY | O_CLOEXEC);
    int out = ::open(stdoutPath_.c_str(), flags, 0644);
    int err = ::open(stderrPath_.c_str(), flags, 0644);
    if (in < 0 || out < 0 || err < 0)
        error_ = "cannot open " + stdinPath + " or the logs in " + logs + ": " + std::strerror(errno);
    else
        pid_ = spawn(argv, workDir, env, in, out, err, &error_);
    for (int fd : {in, out, err})
        if (fd >= 0)
            ::close(fd);
    exited_ = groupKilled_ = false;
    status_ = -1;
    return pid_ > 0;
}

void Process::reap(bool block)
{
    if (pid_ <= 0 || exited_)
        return;
    int st = 0;
    pid_t r;
    do {
        r = ::waitpid(pid_, &st, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == pid_) {
        exited_ = true;
        status_ = decodeStatus(st);
    }
}

bool Process::running()
{
    reap(false);
    return pid_ > 0 && !exited_;
}

int Process::exitStatus()
{
    reap(false);
    return status_;
}

std::string Process::stdoutText() const
{
    return readWholeFile(stdoutPath_);
}

std::string Process::stderrText() const
{
    return readWholeFile(stderrPath_);
}

std::string Process::text(Stream which) const
{
    std::string out;
    if (which & Stdout)
        out += stdoutText();
    if (which & Stderr)
        out += stderrText();
    return out;
}

bool Process::waitForOutput(const std::string& substr, int timeoutMs, Stream which)
{
    // Each file on its own, so a match never spans the two; each poll reads
    // only what was added since (the service's debug logs grow large).
    size_t outFrom = 0, errFrom = 0;
    return waitFor([&] {
        return ((which & Stdout) && foundSince(stdoutPath_, substr, outFrom)) ||
               ((which & Stderr) && foundSince(stderrPath_, substr, errFrom));
    }, timeoutMs, 10);
}

int Process::countOccurrences(const std::string& substr, Stream which) const
{
    return ((which & Stdout) ? countIn(stdoutText(), substr) : 0) +
           ((which & Stderr) ? countIn(stderrText(), substr) : 0);
}

std::string Process::sanitizerReport() const
{
    static const char* const kMarkers[] = {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                                           "runtime error:", "WARNING: ThreadSanitizer"};
    const std::string err = stderrText();
    size_t first = std::string::npos;
    for (const char* marker : kMarkers)
        first = std::min(first, err.find(marker));
    if (first == std::string::npos)
        return {};
    size_t lineStart = err.rfind('\n', first);
    return err.substr(lineStart == std::string::npos ? 0 : lineStart + 1);
}

std::string Process::describe()
{
    std::ostringstream ss;
    ss << "pid " << pid_ << (running() ? " still running" : ", exit status " + std::to_string(status_))
       << "\n--- stdout (tail) ---\n" << tail(stdoutText())
       << "\n--- stderr (tail) ---\n" << tail(stderrText()) << "\n---";
    return ss.str();
}

int Process::terminate(int timeoutMs)
{
    if (!running())
        return status_;
    ::kill(pid_, SIGTERM);
    if (waitFor([this] { return !running(); }, timeoutMs, 5))
        return status_;
    kill();
    return kKilledAfterTimeout;
}

void Process::kill()
{
    if (pid_ <= 0 || groupKilled_)
        return;
    // The group may outlive its leader (children of a shell script). Once
    // only: later the group's id may belong to a new process.
    ::kill(-pid_, SIGKILL);
    groupKilled_ = true;
    reap(true);
}

OxNode::OxNode(std::initializer_list<std::pair<std::string, std::string>> env)
{
    opts_.env = env;
    dir_.mkdir("web");
}

OxNode::~OxNode()
{
    stop();
}

::testing::AssertionResult OxNode::start(const std::string& binPath)
{
    std::vector<std::string> argv = opts_.launcher;
    argv.push_back(binPath);
    if (!proc_.start(argv, dir_.path(), opts_.env))
        return ::testing::AssertionFailure() << proc_.error();
    started_ = true;
    exitStatus_ = -1;
    auto allListening = [this] {
        return std::all_of(opts_.readyPorts.begin(), opts_.readyPorts.end(),
                           [this](int port) { return tcpPortInUse(port, opts_.netnsPid); });
    };
    waitFor([&] { return allListening() || !proc_.running(); }, opts_.startTimeoutMs, 10);
    if (!proc_.running())
        return ::testing::AssertionFailure() << binPath << " ended during start-up\n" << proc_.describe();
    if (!allListening())
        return ::testing::AssertionFailure() << binPath << " not listening on its ports after "
                                             << opts_.startTimeoutMs << " ms\n" << proc_.describe();
    return ::testing::AssertionSuccess();
}

int OxNode::stop()
{
    if (started_ && exitStatus_ == -1)
        exitStatus_ = proc_.terminate(opts_.stopTimeoutMs);
    return exitStatus_;
}

void OxNode::expectCleanExit()
{
    int status = stop();
    EXPECT_EQ(status, 0) << proc_.describe();
    std::string report = proc_.sanitizerReport();
    EXPECT_TRUE(report.empty()) << "sanitizer report:\n" << tail(report, 20000);
}

long rssKb(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

}  // namespace oxt
