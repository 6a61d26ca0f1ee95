#include "logLimit.h"
#include "logging.h"

#include <chrono>

int64_t logThrottleNowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

QString logSafeText(const QByteArray& utf8, int maxBytes)
{
    if (maxBytes < 0) maxBytes = 0;
    int keep = utf8.size() <= maxBytes ? utf8.size() : maxBytes;
    // Do not split a UTF-8 sequence at the cut.
    while (keep > 0 && keep < utf8.size() && (static_cast<unsigned char>(utf8[keep]) & 0xC0) == 0x80) --keep;
    const QString text = QString::fromUtf8(utf8.constData(), keep);
    QString out;
    out.reserve(text.size() + 16);
    for (QChar c : text) {
        const ushort u = c.unicode();
        if (u < 0x20 || (u >= 0x7F && u < 0xA0)) {
            out += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        } else if (u == '\\') {
            out += QStringLiteral("\\\\");
        } else {
            out += c;
        }
    }
    if (keep < utf8.size()) out += QStringLiteral("...(+%1 bytes)").arg(utf8.size() - keep);
    return out;
}

QString logSafeText(const QString& text, int maxBytes)
{
    return logSafeText(text.toUtf8(), maxBytes);
}

bool logThrottle::allow(int64_t* suppressed)
{
    return allowAt(logThrottleNowMs(), suppressed);
}

bool logThrottle::allowAt(int64_t nowMs, int64_t* suppressed)
{
    int64_t last = m_lastMs.load(std::memory_order_relaxed);
    while (nowMs - last >= m_intervalMs) {
        if (m_lastMs.compare_exchange_weak(last, nowMs, std::memory_order_relaxed)) {
            const int64_t held = m_held.exchange(0, std::memory_order_relaxed);
            if (suppressed) *suppressed = held;
            return true;
        }
    }
    m_held.fetch_add(1, std::memory_order_relaxed);
    return false;
}

bool logThrottleKeyed::allow(const QString& key, int64_t* suppressed)
{
    return allowAt(key, logThrottleNowMs(), suppressed);
}

bool logThrottleKeyed::wouldAllow(const QString& key)
{
    return wouldAllowAt(key, logThrottleNowMs());
}

bool logThrottleKeyed::wouldAllowAt(const QString& key, int64_t nowMs)
{
    std::lock_guard<std::mutex> guard(m_lock);
    const auto it = m_entries.constFind(key);
    return it == m_entries.constEnd() || nowMs - it->lastMs >= m_intervalMs;
}

bool logThrottleKeyed::allowAt(const QString& key, int64_t nowMs, int64_t* suppressed)
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_entries.find(key);
    if (it == m_entries.end()) {
        if (m_entries.size() >= m_maxKeys) {
            // Forget the key that printed longest ago: a flood of new
            // addresses cannot grow this table.
            auto oldest = m_entries.begin();
            for (auto e = m_entries.begin(); e != m_entries.end(); ++e)
                if (e->lastMs < oldest->lastMs) oldest = e;
            m_entries.erase(oldest);
        }
        m_entries.insert(key, Entry{nowMs, 0});
        if (suppressed) *suppressed = 0;
        return true;
    }
    if (nowMs - it->lastMs >= m_intervalMs) {
        if (suppressed) *suppressed = it->held;
        it->lastMs = nowMs;
        it->held = 0;
        return true;
    }
    ++it->held;
    return false;
}

bool logBudget::allow(int64_t* heldBack)
{
    return allowAt(logThrottleNowMs(), heldBack);
}

bool logBudget::allowAt(int64_t nowMs, int64_t* heldBack)
{
    return allowAt(nowMs, heldBack, m_lines);
}

bool logBudget::allowAt(int64_t nowMs, int64_t* heldBack, int share)
{
    int64_t window = m_windowMs.load(std::memory_order_relaxed);
    if (nowMs - window >= 1000 && m_windowMs.compare_exchange_strong(window, nowMs, std::memory_order_relaxed))
        m_used.store(0, std::memory_order_relaxed);
    // Racing a new window may let a line or two more through: harmless.
    if (m_used.load(std::memory_order_relaxed) < share && m_used.fetch_add(1, std::memory_order_relaxed) < m_lines) {
        const int64_t held = m_held.exchange(0, std::memory_order_relaxed);
        if (heldBack)
            *heldBack = held;
        else
            m_held.fetch_add(held, std::memory_order_relaxed);
        return true;
    }
    m_held.fetch_add(1, std::memory_order_relaxed);
    return false;
}

bool peerLineAllowed(peerLine kind)
{
    static logBudget budget;
    int64_t held = 0;
    const int share = kind == peerLine::chatter ? budget.linesPerSecond() / 2 : budget.linesPerSecond();
    if (!budget.allowAt(logThrottleNowMs(), &held, share))
        return false;
    if (held > 0)
        qCWarning(lcService, "log budget: %lld lines from peers held back (at most %d a second)",
                  static_cast<long long>(held), kPeerLogLinesPerSecond);
    return true;
}
