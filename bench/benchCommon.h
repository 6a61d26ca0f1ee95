#pragma once
// Small helpers every benchmark needs: a private network namespace (fixed
// ports never collide with a running service), blocking loopback sockets, and
// oxnode started in a working directory of its own.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace benchutil {

[[noreturn]] inline void die(const char* what)
{
    std::perror(what);
    std::exit(1);
}

// Moves the process into a fresh network namespace with lo up (needs root).
inline void enterNetns()
{
    if (unshare(CLONE_NEWNET) != 0)
        die("unshare(CLONE_NEWNET) (run as root)");
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq ifr{};
    std::strcpy(ifr.ifr_name, "lo");
    ioctl(s, SIOCGIFFLAGS, &ifr);
    ifr.ifr_flags |= IFF_UP;
    if (ioctl(s, SIOCSIFFLAGS, &ifr) != 0)
        die("bring lo up");
    close(s);
}

// Connects to 127.0.0.1:port with TCP_NODELAY, retrying until it listens.
inline int connectTo(int port, int attempts = 4000)
{
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0)
            die("socket");
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    die("connect");
}

inline bool writeAll(int fd, const char* p, size_t n)
{
    while (n) {
        const ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

inline bool readAll(int fd, char* p, size_t n)
{
    while (n) {
        const ssize_t r = recv(fd, p, n, 0);
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// utime + stime from /proc, in seconds: of the whole process, or of one of
// its threads when tid is given. 0 once the process is gone.
inline double cpuSecondsOf(pid_t pid, pid_t tid = 0)
{
    const std::string path = "/proc/" + std::to_string(pid) + (tid ? "/task/" + std::to_string(tid) : "") + "/stat";
    std::ifstream f(path);
    std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (s.empty())
        return 0;
    std::istringstream in(s.substr(s.rfind(')') + 2));
    std::string tok;
    unsigned long long ut = 0, st = 0;
    for (int i = 3; i <= 15 && (in >> tok); ++i) {
        if (i == 14)
            ut = std::stoull(tok);
        if (i == 15)
            st = std::stoull(tok);
    }
    return static_cast<double>(ut + st) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// CPU time of every thread of a process, in seconds, from the scheduler's
// nanosecond run times (/proc/PID/task/*/schedstat): precise enough for
// windows of a fraction of a second, unlike the clock ticks of /proc/PID/stat.
// Threads that ended are not counted. 0 once the process is gone.
inline double processCpuPrecise(pid_t pid)
{
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(dir.c_str());
    if (!d)
        return 0;
    unsigned long long ns = 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream f(dir + "/" + e->d_name + "/schedstat");
        unsigned long long run = 0;
        if (f >> run)
            ns += run;
    }
    closedir(d);
    return static_cast<double>(ns) / 1e9;
}

// SIGTERM, then SIGKILL if the process is still there after 5 s. Returns its
// wait status.
inline int terminate(pid_t pid)
{
    kill(pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status;
}

// An absolute path, so that a program started in another directory is found.
inline std::string absolutePath(const std::string& path)
{
    char* full = realpath(path.c_str(), nullptr);
    if (!full)
        return path;
    std::string r = full;
    std::free(full);
    return r;
}

// Resident size of a process in KiB; -1 once it is gone.
inline long rssKbOf(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// A fresh working directory for an oxnode: "web", an appcfg.json that keeps
// the local-device connection off, and stream.json when one is given.
inline std::string makeOxnodeDir(const std::string& streamJson, const std::string& appcfg = "{\"localDevCfg\": false}")
{
    char tmpl[] = "/tmp/oxbenchXXXXXX";
    if (!mkdtemp(tmpl))
        die("mkdtemp");
    const std::string dir = tmpl;
    mkdir((dir + "/web").c_str(), 0755);
    std::ofstream(dir + "/appcfg.json") << appcfg;
    if (!streamJson.empty())
        std::ofstream(dir + "/stream.json") << streamJson;
    return dir;
}

// Ends an oxnode started by a benchmark; its working directory is removed
// after a clean exit and kept (with its log) otherwise.
inline void endOxnode(pid_t pid, const std::string& dir, const char* what)
{
    const int status = terminate(pid);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        std::fprintf(stderr, "%s ended with status %d (log kept in %s)\n", what, status, dir.c_str());
    else if (std::system(("rm -rf " + dir).c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", dir.c_str());
}

// oxnode in a fresh temporary working directory (with "web" and an appcfg.json
// that keeps the local-device connection off), its output in oxnode.log
// there. The constructor returns once readyPort accepts TCP connections.
// Destruction sends SIGTERM and waits (SIGKILL after 5 s); the directory is
// removed unless oxnode ended badly, and then kept for its log.
struct OxnodeProcess {
    pid_t pid = -1;
    std::string dir;

    OxnodeProcess(const std::string& bin, int readyPort, const std::vector<std::string>& env = {},
                  const std::string& streamJson = "", const std::string& appcfg = "{\"localDevCfg\": false}")
    {
        dir = makeOxnodeDir(streamJson, appcfg);
        const std::string program = absolutePath(bin);
        pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlive an interrupted benchmark
            if (chdir(dir.c_str()) != 0)
                _exit(127);
            const int log = open("oxnode.log", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(log, 1);
            dup2(log, 2);
            for (const auto& e : env)
                putenv(const_cast<char*>(e.c_str()));
            execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(connectTo(readyPort));
    }
    OxnodeProcess(const OxnodeProcess&) = delete;
    OxnodeProcess& operator=(const OxnodeProcess&) = delete;

    double cpuSec() const { return cpuSecondsOf(pid); }
    double mainThreadCpu() const { return cpuSecondsOf(pid, pid); }
    long rssKb() const { return rssKbOf(pid); }
    ~OxnodeProcess() { endOxnode(pid, dir, "oxnode"); }
};

// Raises the descriptor limit to n, or as far as the hard limit allows
// (children inherit it); returns the limit now in force.
inline rlim_t raiseFileLimit(rlim_t n)
{
    rlimit r{};
    getrlimit(RLIMIT_NOFILE, &r);
    if (r.rlim_max != RLIM_INFINITY && r.rlim_max < n)
        n = r.rlim_max;
    r.rlim_cur = n;
    if (setrlimit(RLIMIT_NOFILE, &r) != 0)
        die("setrlimit(RLIMIT_NOFILE)");
    return n;
}

// The text of "key":"..." in a flat reading of a JSON text; empty if absent.
inline std::string jsonField(const std::string& json, const std::string& key)
{
    const std::string k = "\"" + key + "\":\"";
    const size_t p = json.find(k);
    if (p == std::string::npos)
        return {};
    const size_t e = json.find('"', p + k.size());
    return json.substr(p + k.size(), e - p - k.size());
}

// One request on the web API (plain HTTP on 127.0.0.1:port); the reply's
// body read by its Content-Length. Empty when nothing complete came back
// within timeoutMs (connect, send and every read are bounded by it).
inline std::string apiPost(const std::string& json, int port = 8001, int timeoutMs = 10000)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {};
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string req = "POST /api/post HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                            "Content-Length: " + std::to_string(json.size()) + "\r\n\r\n" + json;
    std::string buf;
    size_t bodyAt = std::string::npos;
    size_t total = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && writeAll(fd, req.data(), req.size())) {
        char tmp[65536];
        while (std::chrono::steady_clock::now() < deadline) {
            const ssize_t r = recv(fd, tmp, sizeof tmp, 0);
            if (r <= 0)
                break;
            buf.append(tmp, static_cast<size_t>(r));
            if (bodyAt == std::string::npos) {
                // oxnode ends its head with LF LF; CRLF CRLF is taken too.
                const size_t lf = buf.find("\n\n"), crlf = buf.find("\r\n\r\n");
                if (crlf != std::string::npos && (lf == std::string::npos || crlf < lf))
                    bodyAt = crlf + 4;
                else if (lf != std::string::npos)
                    bodyAt = lf + 2;
                else
                    continue;
                const size_t cl = buf.find("Content-Length: ");
                if (cl == std::string::npos || cl > bodyAt)
                    break;
                total = bodyAt + std::strtoul(buf.c_str() + cl + 16, nullptr, 10);
            }
            if (buf.size() >= total)
                break;
        }
    }
    close(fd);
    if (bodyAt == std::string::npos || buf.size() < total)
        return {};
    return buf.substr(bodyAt, total - bodyAt);
}

// A web API session token for the default admin account.
inline std::string webToken(int port = 8001)
{
    // md5("73519046"), the default password digest
    return jsonField(apiPost(R"({"cmd":"login","user":"admin","passMd5":"be29c95f50acd28940de27f3dd1df1f9"})", port),
                     "token");
}

// The frames of a simulated node on TCP 8000, each ending in its zero byte.
// md5("73519046"), the default node token digest.
constexpr const char* kNodeTokenMd5 = "be29c95f50acd28940de27f3dd1df1f9";

inline std::string nodeLoginFrame(int id, const std::string& sn)
{
    return std::string("{\"cmd\":\"nodeLogin\",\"id\":") + std::to_string(id) + ",\"sn\":\"" + sn + "\",\"token\":\"" +
           kNodeTokenMd5 + "\"}" + std::string(1, '\0');
}

inline std::string nodeKeepAliveFrame(const std::string& sessionToken)
{
    return "{\"cmd\":\"keepAlive\",\"sessionToken\":\"" + sessionToken + "\"}" + std::string(1, '\0');
}

// The body of a status report without its session token; with padTo, more
// pipelines are listed, then blanks added, until the frame with its token
// of tokenChars characters is padTo bytes long.
inline std::string nodeStatusBody(const std::string& sn, size_t padTo = 0, size_t tokenChars = 0)
{
    const std::string head = "{\"cmd\":\"nodeStatus\",\"sessionToken\":\"\",";
    const std::string front = "\"server\":\"bench\",\"loginToServer\":true,\"data\":{\"workMode\":\"encoder\","
                              "\"modeList\":\"encoder,decoder,relay\",\"temperature\":47,\"runtime\":123456,"
                              "\"version\":\"1.4.2\",\"alias\":\"" + sn + "\",\"pipelist\":[{\"id\":0,\"state\":\"run\"}";
    const std::string back = "],\"network\":{\"mainIP\":\"192.0.2.10\",\"mask\":\"255.255.255.0\"}}";
    std::string pipes;
    const auto size = [&](const std::string& p) { return head.size() + tokenChars + front.size() + p.size() + back.size() + 2; };
    for (int id = 1; padTo;) {
        const std::string next = ",{\"id\":" + std::to_string(id) + ",\"state\":\"run\"}";
        if (size(pipes + next) > padTo)
            break;
        pipes += next;
        ++id;
    }
    std::string body = front + pipes + back;
    if (padTo > size(pipes))
        body += std::string(padTo - size(pipes), ' ');
    return body;
}

inline std::string nodeStatusFrame(const std::string& sessionToken, const std::string& body)
{
    return "{\"cmd\":\"nodeStatus\",\"sessionToken\":\"" + sessionToken + "\"," + body + "}" + std::string(1, '\0');
}

} // namespace benchutil
