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
// Lines that peers can trigger, all together, per second: past this they are
// held back, however many addresses they come from, and counted.
constexpr int kPeerLogLinesPerSecond = 20;

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
    // Whether allow would say yes now, changing nothing: a line that also
    // needs the process's budget asks the budget only then.
    bool wouldAllow(const QString& key);
    bool wouldAllowAt(const QString& key, int64_t nowMs);

private:
    struct Entry { int64_t lastMs; int64_t held; };
    const int64_t m_intervalMs;
    const int m_maxKeys;
    std::mutex m_lock;
    QHash<QString, Entry> m_entries;
};

// A number of lines per one-second window, shared by every caller. Thread
// safe (atomics only): libsrt's threads and the media threads use it.
class logBudget
{
public:
    explicit logBudget(int linesPerSecond = kPeerLogLinesPerSecond) : m_lines(linesPerSecond) {}
    // True when a line may be printed now; *heldBack then holds how many
    // lines were refused since the last time a count was handed out.
    bool allow(int64_t* heldBack = nullptr);
    bool allowAt(int64_t nowMs, int64_t* heldBack = nullptr);
    // The same for a line that may use only the first `share` lines of a second.
    bool allowAt(int64_t nowMs, int64_t* heldBack, int share);
    int linesPerSecond() const { return m_lines; }

private:
    const int m_lines;
    std::atomic<int64_t> m_windowMs{INT64_MIN / 2};
    std::atomic<int> m_used{0};
    std::atomic<int64_t> m_held{0};
};

// Any thread: the process's one budget for lines that a peer can trigger
// (refusals, handshake failures, libsrt's own lines). When lines were held
// back, the first line allowed afterwards is preceded by
// "log budget: N lines from peers held back (at most M a second)".
// Refusals name a peer an operator may be looking for; chatter (libsrt's
// own lines, accepts and ends of callers) may use only half of each second's
// budget, so that a noisy peer never starves the refusals.
enum class peerLine { refusal, chatter };
bool peerLineAllowed(peerLine kind = peerLine::refusal);

// Monotonic milliseconds, the clock of both throttles.
int64_t logThrottleNowMs();
