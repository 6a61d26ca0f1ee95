#pragma once
// Repeated failed web logins from one address make it wait before its next
// login is even considered. The table is bounded; past the bound the address
// heard from longest ago is forgotten. Main thread only.
#include <QHash>
#include <QString>

#include <cstdint>

class loginBackoff
{
public:
    // Failures within kFailWindowMs that start a wait of kWaitMs.
    static constexpr int kFailLimit = 5;
    static constexpr int64_t kFailWindowMs = 60000;
    static constexpr int64_t kWaitMs = 30000;
    // Addresses remembered at once.
    static constexpr int kMaxAddresses = 1024;

    // True while address must wait: its login is refused unchecked.
    bool mustWait(const QString& address, int64_t nowMs);
    // A refused login; true when this failure starts a wait.
    bool failed(const QString& address, int64_t nowMs);
    void succeeded(const QString& address) { entries.remove(address); }
    int size() const { return entries.size(); }

private:
    struct Entry {
        int64_t windowStartMs = 0;
        int failures = 0;
        int64_t waitUntilMs = 0;
        int64_t lastMs = 0;
    };
    void makeRoom();
    QHash<QString, Entry> entries;
};
