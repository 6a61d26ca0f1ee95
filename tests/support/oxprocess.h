// Child processes for tests: the oxnode service, shell scripts, external tools
// such as srt-live-transmit. Owned and driven by the test thread only.
#pragma once

#include "oxtest.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

#ifndef OXNODE_BIN
#define OXNODE_BIN "oxnode"
#endif

namespace oxt {

using EnvVars = std::vector<std::pair<std::string, std::string>>;

struct CommandResult {
    int exitCode = -1;  // exit status, 128 + signal, or -1 when it could not run to the end
    bool timedOut = false;
    std::string out;    // standard output and standard error, interleaved
};

// Runs argv (searched in PATH) with stdin from /dev/null; kills it and its
// process group when timeoutMs passes first.
CommandResult runCommand(const std::vector<std::string>& argv, int timeoutMs = 10000);

// One child process with its standard output and error captured to files.
// The child gets a process group of its own and dies with the test process.
class Process {
public:
    enum Stream { Stdout = 1, Stderr = 2, Both = 3 };
    static constexpr int kKilledAfterTimeout = -1000;  // terminate() had to SIGKILL

    Process() = default;
    ~Process();  // kills the whole group and reaps when still running
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Runs argv (searched in PATH) in workDir with env added to (or replacing
    // in) the test's environment; stdout.log and stderr.log go to logDir
    // (empty: workDir). False, with the reason in error(), when the program
    // cannot be executed.
    bool start(const std::vector<std::string>& argv, const std::string& workDir, const EnvVars& env = {},
               const std::string& logDir = {}, const std::string& stdinPath = "/dev/null");

    pid_t pid() const { return pid_; }
    bool running();
    // Exit status, or 128 + signal; -1 while running or never started.
    int exitStatus();
    const std::string& error() const { return error_; }

    std::string stdoutText() const;
    std::string stderrText() const;
    std::string text(Stream which) const;
    bool waitForOutput(const std::string& substr, int timeoutMs = 5000, Stream which = Both);
    int countOccurrences(const std::string& substr, Stream which = Both) const;
    // Sanitizer findings on stderr, from the first report line on; empty when clean.
    std::string sanitizerReport() const;
    // Exit status and the tails of both logs, for failure messages.
    std::string describe();

    // SIGTERM, then wait; SIGKILL after timeoutMs and kKilledAfterTimeout.
    int terminate(int timeoutMs = 10000);
    void kill();  // SIGKILL to the group, reaped

private:
    void reap(bool block);

    pid_t pid_ = -1;
    bool exited_ = false;
    bool groupKilled_ = false;
    int status_ = -1;
    std::string stdoutPath_, stderrPath_, error_;
};

struct OxNodeOptions {
    EnvVars env;                     // e.g. {"QT_LOGGING_RULES", "oxnode.*=true"}
    std::vector<int> readyPorts = {8001};  // TCP ports that must listen before start() returns
    int startTimeoutMs = 15000;
    int stopTimeoutMs = 10000;
    // Runs the binary as launcher + binary (e.g. Netns::wrap({})), and reads
    // the ready ports in the network namespace of process netnsPid (0: the test's).
    std::vector<std::string> launcher;
    int netnsPid = 0;
};

// The oxnode service in a fresh working directory that already holds an
// empty "web" directory; put appcfg.json or stream.json into dir() before
// start(); options() may change the ready ports and timeouts. Stops the
// service on destruction.
class OxNode {
public:
    // OxNode node({{"QT_LOGGING_RULES", "oxnode.*=true"}});
    explicit OxNode(std::initializer_list<std::pair<std::string, std::string>> env = {});
    ~OxNode();
    OxNode(const OxNode&) = delete;
    OxNode& operator=(const OxNode&) = delete;

    TempDir& dir() { return dir_; }
    Process& process() { return proc_; }
    OxNodeOptions& options() { return opts_; }

    ::testing::AssertionResult start(const std::string& binPath = OXNODE_BIN);
    int stop();  // SIGTERM; the exit status (see Process::terminate)
    // Stops the service if needed; expects exit status 0 and no sanitizer report.
    void expectCleanExit();

private:
    OxNodeOptions opts_;
    TempDir dir_;
    Process proc_;
    bool started_ = false;
    int exitStatus_ = -1;
};

// Resident size of a process in KiB; -1 once it is gone.
long rssKb(pid_t pid);
#if defined(__SANITIZE_ADDRESS__)
// The sanitizer holds freed memory in quarantine: resident size tells nothing.
constexpr bool kMeasureRss = false;
#else
constexpr bool kMeasureRss = true;
#endif

}  // namespace oxt
