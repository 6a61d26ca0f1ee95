#pragma once
// Log lines that a stranger can trigger at will: texts from the network are
// escaped and cut before they reach a terminal or a journal, and lines a peer
// can repeat are throttled to one per interval with a count of those held back.
#include <QByteArray>
#include <QHash>
#include <QString>
#include <atomic>
#include <cstdint>
#include <mutex>

// Longest network-supplied text kept in one log line, in bytes of UTF-8.
constexpr int kLogTextMaxBytes = 200;
// Default interval of a throttled line.
constexpr int64_t kLogThrottleMs = 1000;
// Peers a keyed throttle remembers; past this the oldest is forgotten.
constexpr int kLogThrottleMaxKeys = 1024;

// Control characters (C0, DEL, C1) as \xNN, backslash doubled, cut at
// maxBytes with a marker "...(+N bytes)". Safe for any input.
QString logSafeText(const QByteArray& utf8, int maxBytes = kLogTextMaxBytes);
QString logSafeText(const QString& text, int maxBytes = kLogTextMaxBytes);

// One throttled line. Thread safe (atomics only): media threads use it.
class logThrottle
{
public:
    explicit logThrottle(int64_t intervalMs = kLogThrottleMs) : m_intervalMs(intervalMs) {}
    // True when a line may be printed now; *suppressed then holds how many
    // calls were refused since the last line that was allowed.
    bool allow(int64_t* suppressed = nullptr);
    bool allowAt(int64_t nowMs, int64_t* suppressed = nullptr);

private:
    const int64_t m_intervalMs;
    std::atomic<int64_t> m_lastMs{INT64_MIN / 2};
    std::atomic<int64_t> m_held{0};
};

// The same per key (a peer's address): one line per key and interval.
// Thread safe (one mutex, held for a hash look-up).
class logThrottleKeyed
{
public:
    explicit logThrottleKeyed(int64_t intervalMs = kLogThrottleMs, int maxKeys = kLogThrottleMaxKeys)
        : m_intervalMs(intervalMs), m_maxKeys(maxKeys) {}
    bool allow(const QString& key, int64_t* suppressed = nullptr);
    bool allowAt(const QString& key, int64_t nowMs, int64_t* suppressed = nullptr);

private:
    struct Entry { int64_t lastMs; int64_t held; };
    const int64_t m_intervalMs;
    const int m_maxKeys;
    std::mutex m_lock;
    QHash<QString, Entry> m_entries;
};

// Monotonic milliseconds, the clock of both throttles.
int64_t logThrottleNowMs();
