// More network namespaces for tests that run several oxnode instances, each
// in a namespace of its own, joined by veth pairs. A namespace is kept alive
// by a holder process (sleep) and disappears, with its veth ends, when the
// holder and everything started in it have ended. Test thread only.
#pragma once

#include "oxprocess.h"

#include <string>
#include <vector>

namespace oxt {

class Netns {
public:
    // Starts the holder in a fresh namespace and brings its lo up; see ok().
    Netns();
    ~Netns() = default;  // the holder dies with its Process
    Netns(const Netns&) = delete;
    Netns& operator=(const Netns&) = delete;

    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    pid_t pid() const { return holder_.pid(); }
    // argv run inside this namespace (through nsenter), e.g. for Process::start.
    std::vector<std::string> wrap(const std::vector<std::string>& argv) const;
    // Runs a command inside; true when it exits 0 (its output in *out).
    bool run(const std::vector<std::string>& argv, std::string* out = nullptr) const;

private:
    Process holder_;
    bool ok_ = false;
    std::string error_;
};

// Joins a and b (null: the test's own namespace) with a veth pair named
// name + "a" / name + "b", addresses aAddr and bAddr with prefix /24.
bool joinVeth(const Netns* a, const std::string& aAddr, const Netns* b, const std::string& bAddr,
              const std::string& name, std::string* error);

// Runs ip with args in ns (null: the test's own namespace).
bool ipIn(const Netns* ns, const std::vector<std::string>& args, std::string* error = nullptr);

}  // namespace oxt
