#include "streamAccess.h"
#include "service/logLimit.h"
#include "service/logging.h"

#include <netinet/in.h>
#include <sys/socket.h>

const QString kStreamAccessKey = QStringLiteral("access");

namespace {

// A refused peer usually retries at once: one line per peer and endpoint a minute.
constexpr int64_t kRefusalLogIntervalMs = 60000;

const char* const kPassphraseKeys[] = {"publishPassphrase", "readPassphrase"};
const char* const kAllowKeys[] = {"inputAllow", "outputAllow"};

// Printable ASCII only: libsrt counts bytes, and the text also travels in URLs.
bool validPassphrase(const QString& p, QString* why)
{
    if (p.size() < oxStreamAccessRules::kMinPassphrase || p.size() > oxStreamAccessRules::kMaxPassphrase) {
        *why = QStringLiteral("must be %1 to %2 characters long")
                   .arg(oxStreamAccessRules::kMinPassphrase)
                   .arg(oxStreamAccessRules::kMaxPassphrase);
        return false;
    }
    for (const QChar c : p) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7e) {
            *why = QStringLiteral("may hold printable ASCII characters only");
            return false;
        }
    }
    return true;
}

} // namespace

bool oxStreamAccessRules::allows(bool output, const sockaddr* peer) const
{
    const oxAllowList& list = allowList(output);
    if (list.isEmpty())
        return true;
    if (!peer || peer->sa_family != AF_INET)
        return false;
    const auto* in = reinterpret_cast<const sockaddr_in*>(peer);
    return list.allows(ntohl(in->sin_addr.s_addr));
}

std::optional<oxStreamAccessRules> oxStreamAccessRules::changedBy(const QJsonObject& data, QString* error) const
{
    oxStreamAccessRules next = *this;
    QString* const passphrases[] = {&next.publishPassphrase, &next.readPassphrase};
    for (int i = 0; i < 2; ++i) {
        const QString key = QLatin1String(kPassphraseKeys[i]);
        if (!data.contains(key))
            continue;
        const QJsonValue v = data.value(key);
        if (!v.isString()) {
            *error = key + QStringLiteral(" is not a string");
            return std::nullopt;
        }
        QString why;
        if (!v.toString().isEmpty() && !validPassphrase(v.toString(), &why)) {
            *error = key + QLatin1Char(' ') + why;
            return std::nullopt;
        }
        *passphrases[i] = v.toString();
    }
    oxAllowList* const lists[] = {&next.inputAllow, &next.outputAllow};
    for (int i = 0; i < 2; ++i) {
        const QString key = QLatin1String(kAllowKeys[i]);
        if (!data.contains(key))
            continue;
        QString why;
        const std::optional<oxAllowList> list = oxAllowList::parse(data.value(key), &why);
        if (!list) {
            *error = key + QLatin1Char(' ') + why;
            return std::nullopt;
        }
        *lists[i] = *list;
    }
    return next;
}

QJsonObject oxStreamAccessRules::toFile() const
{
    QJsonObject o;
    if (!inputAllow.isEmpty())
        o.insert(QLatin1String(kAllowKeys[0]), inputAllow.toJson());
    if (!outputAllow.isEmpty())
        o.insert(QLatin1String(kAllowKeys[1]), outputAllow.toJson());
    if (!publishPassphrase.isEmpty())
        o.insert(QLatin1String(kPassphraseKeys[0]), publishPassphrase);
    if (!readPassphrase.isEmpty())
        o.insert(QLatin1String(kPassphraseKeys[1]), readPassphrase);
    return o;
}

QJsonObject oxStreamAccessRules::toStatus() const
{
    return QJsonObject{
        {QLatin1String(kAllowKeys[0]), inputAllow.toJson()},
        {QLatin1String(kAllowKeys[1]), outputAllow.toJson()},
        {QStringLiteral("publishPassphraseSet"), !publishPassphrase.isEmpty()},
        {QStringLiteral("readPassphraseSet"), !readPassphrase.isEmpty()},
    };
}

streamAccess::streamAccess()
    : current(std::make_shared<const oxStreamAccessRules>())
{
}

void streamAccess::set(oxStreamAccessRules rules)
{
    std::atomic_store(&current, Rules(std::make_shared<const oxStreamAccessRules>(std::move(rules))));
    gen.fetch_add(1, std::memory_order_acq_rel);
}

void logAccessRefused(const char* transport, int port, const QString& peer, const char* why)
{
    static logThrottleKeyed perPeer(kRefusalLogIntervalMs);
    // Per reason too: a peer refused for one reason still shows when it is
    // refused for another.
    const QString key = QLatin1String(transport) + QString::number(port) + QLatin1Char(' ') + peer
        + QLatin1Char(' ') + QLatin1String(why);
    int64_t held = 0;
    // A datagram's source address costs nothing to change: a refusal the
    // per-peer throttle lets through also needs the process's budget, and one
    // the budget holds back leaves the peer's turn for its next refusal.
    if (perPeer.wouldAllow(key) && !peerLineAllowed())
        return;
    if (perPeer.allow(key, &held))
        qCWarning(lcStream, "%s port %d: refused %s: %s (%lld more not logged)", transport, port,
                  qUtf8Printable(logSafeText(peer)), why, static_cast<long long>(held));
}

QString ipv4Text(uint32_t a)
{
    return QStringLiteral("%1.%2.%3.%4").arg(a >> 24).arg((a >> 16) & 255).arg((a >> 8) & 255).arg(a & 255);
}
