// Shared helpers of the oxnode test suites: waiting with deadlines, private
// network namespaces, temporary working directories. The process, socket and
// HTTP helpers have headers of their own, all included from here.
//
// Nothing here is thread safe; every helper belongs to the test thread that
// created it.
#pragma once

#include <functional>
#include <string>

namespace oxt {

// Polls cond every pollMs until it holds or timeoutMs has passed; returns its
// last value. On the thread of a QCoreApplication it also delivers pending
// Qt events (deferred deletes included) between polls, like QTRY_COMPARE.
bool waitFor(const std::function<bool()>& cond, int timeoutMs = 5000, int pollMs = 5);

// Moves the calling process into a fresh network namespace with lo up, and
// with multicast=true lets lo carry multicast (224.0.0.0/4 is routed to it).
// Must run before any thread is started: only the calling thread moves.
// Exits the process with a message when it cannot (it needs root).
void enterPrivateNetns(bool multicast);

// The last maxBytes of text, for failure messages.
std::string tail(const std::string& text, size_t maxBytes = 4000);

std::string readWholeFile(const std::string& path);

// A fresh directory under /tmp, removed with everything in it on destruction
// unless the environment has OXTEST_KEEP=1 (then its path is printed).
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& rel) const { return path_ + "/" + rel; }
    // Creates missing parent directories of rel.
    bool writeFile(const std::string& rel, const std::string& bytes) const;
    std::string readFile(const std::string& rel) const;
    bool exists(const std::string& rel) const;
    bool mkdir(const std::string& rel) const;

private:
    std::string path_;
};

}  // namespace oxt

#include "oxhttp.h"
#include "oxprocess.h"
#include "oxsocket.h"
