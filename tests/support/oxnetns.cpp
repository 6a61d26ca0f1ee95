#include "oxnetns.h"

#include "oxtest.h"

#include <unistd.h>

namespace oxt {

namespace {

std::string nsLink(pid_t pid)
{
    char buf[64] = "";
    const std::string path = pid > 0 ? "/proc/" + std::to_string(pid) + "/ns/net" : "/proc/self/ns/net";
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

}  // namespace

Netns::Netns()
{
    if (!holder_.start({"unshare", "-n", "sleep", "infinity"}, "/tmp")) {
        error_ = holder_.error();
        return;
    }
    // unshare enters the namespace before it runs sleep: wait until it has.
    const std::string own = nsLink(0);
    if (!waitFor([&] {
            const std::string l = nsLink(holder_.pid());
            return !l.empty() && l != own;
        }, 10000)) {
        error_ = "holder never left the test's namespace";
        return;
    }
    ok_ = run({"ip", "link", "set", "lo", "up"}, &error_);
}

std::vector<std::string> Netns::wrap(const std::vector<std::string>& argv) const
{
    std::vector<std::string> out{"nsenter", "-t", std::to_string(holder_.pid()), "-n"};
    out.insert(out.end(), argv.begin(), argv.end());
    return out;
}

bool Netns::run(const std::vector<std::string>& argv, std::string* out) const
{
    const CommandResult r = runCommand(wrap(argv));
    if (out)
        *out = r.out;
    return r.exitCode == 0;
}

bool ipIn(const Netns* ns, const std::vector<std::string>& args, std::string* error)
{
    std::vector<std::string> argv{"ip"};
    argv.insert(argv.end(), args.begin(), args.end());
    const CommandResult r = runCommand(ns ? ns->wrap(argv) : argv);
    if (r.exitCode != 0 && error)
        *error = r.out;
    return r.exitCode == 0;
}

bool joinVeth(const Netns* a, const std::string& aAddr, const Netns* b, const std::string& bAddr,
              const std::string& name, std::string* error)
{
    const std::string an = name + "a", bn = name + "b";
    const std::string bPid = std::to_string(b ? b->pid() : ::getpid());
    return ipIn(a, {"link", "add", an, "type", "veth", "peer", "name", bn, "netns", bPid}, error) &&
           ipIn(a, {"addr", "add", aAddr + "/24", "dev", an}, error) && ipIn(a, {"link", "set", an, "up"}, error) &&
           ipIn(b, {"addr", "add", bAddr + "/24", "dev", bn}, error) && ipIn(b, {"link", "set", bn, "up"}, error);
}

}  // namespace oxt
