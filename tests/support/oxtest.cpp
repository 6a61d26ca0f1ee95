#include "oxtest.h"

#include <QCoreApplication>
#include <QThread>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace oxt {

namespace {

bool onQtMainThread()
{
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

[[noreturn]] void netnsFailure(const std::string& what)
{
    std::fprintf(stderr, "oxtest: cannot set up a private network namespace: %s (%s)\n"
                         "oxtest: the integration tests must run as root (CAP_SYS_ADMIN)\n",
                 what.c_str(), std::strerror(errno));
    std::exit(2);
}

void setLoopbackFlags(bool multicast)
{
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        netnsFailure("socket");
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    if (::ioctl(fd, SIOCGIFFLAGS, &ifr) < 0)
        netnsFailure("SIOCGIFFLAGS lo");
    ifr.ifr_flags |= IFF_UP | (multicast ? IFF_MULTICAST : 0);
    if (::ioctl(fd, SIOCSIFFLAGS, &ifr) < 0)
        netnsFailure("SIOCSIFFLAGS lo");
    ::close(fd);
}

}  // namespace

bool waitFor(const std::function<bool()>& cond, int timeoutMs, int pollMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const bool qt = onQtMainThread();
    for (;;) {
        if (qt) {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        if (cond())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
    }
}

void enterPrivateNetns(bool multicast)
{
    if (::unshare(CLONE_NEWNET) != 0)
        netnsFailure("unshare(CLONE_NEWNET)");
    setLoopbackFlags(multicast);
    if (!multicast)
        return;
    // No plain ioctl sets this route; iproute2 is a test dependency. Without
    // "src" the kernel picks no source for this link-scope route and
    // datagrams would come from 0.0.0.0.
    CommandResult r = runCommand({"ip", "route", "add", "224.0.0.0/4", "dev", "lo", "src", "127.0.0.1"}, 5000);
    if (r.exitCode != 0)
        netnsFailure("ip route add 224.0.0.0/4 dev lo src 127.0.0.1: " + r.out);
}

std::string tail(const std::string& text, size_t maxBytes)
{
    if (text.size() <= maxBytes)
        return text;
    return "[...]" + text.substr(text.size() - maxBytes);
}

std::string readWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TempDir::TempDir()
{
    char tmpl[] = "/tmp/oxtest-XXXXXX";
    if (!::mkdtemp(tmpl)) {
        std::perror("oxtest: mkdtemp");
        std::abort();
    }
    path_ = tmpl;
}

TempDir::~TempDir()
{
    const char* keep = std::getenv("OXTEST_KEEP");
    if (keep && std::string(keep) == "1") {
        std::fprintf(stderr, "oxtest: kept %s\n", path_.c_str());
        return;
    }
    std::error_code ec;
    fs::remove_all(path_, ec);
}

bool TempDir::writeFile(const std::string& rel, const std::string& bytes) const
{
    fs::path p = file(rel);
    std::error_code ec;
    fs::create_directories(p.parent_path(), ec);
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

std::string TempDir::readFile(const std::string& rel) const
{
    return readWholeFile(file(rel));
}

bool TempDir::exists(const std::string& rel) const
{
    std::error_code ec;
    return fs::exists(file(rel), ec);
}

bool TempDir::mkdir(const std::string& rel) const
{
    std::error_code ec;
    fs::create_directories(file(rel), ec);
    return fs::is_directory(file(rel), ec);
}

}  // namespace oxt
