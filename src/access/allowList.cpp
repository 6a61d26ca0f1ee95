#include "allowList.h"

namespace {

// Strict dotted quad: four decimal parts of 1 to 3 digits, each at most 255.
bool parseAddress(const QString& text, uint32_t* out)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return false;
    uint32_t value = 0;
    for (const QString& part : parts) {
        if (part.isEmpty() || part.size() > 3)
            return false;
        uint32_t octet = 0;
        for (const QChar c : part) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return false;
            octet = octet * 10 + static_cast<uint32_t>(c.unicode() - '0');
        }
        if (octet > 255)
            return false;
        value = (value << 8) | octet;
    }
    *out = value;
    return true;
}

// Characters of a refused entry repeated in the reply.
constexpr int kMaxEchoedChars = 64;

} // namespace

bool oxAllowList::parseEntry(const QString& text, uint32_t* network, uint32_t* mask)
{
    const int slash = text.indexOf(QLatin1Char('/'));
    const QString addressText = slash < 0 ? text : text.left(slash);
    uint32_t address = 0;
    if (!parseAddress(addressText, &address))
        return false;
    int prefix = 32;
    if (slash >= 0) {
        const QString prefixText = text.mid(slash + 1);
        if (prefixText.isEmpty() || prefixText.size() > 2)
            return false;
        bool ok = false;
        prefix = prefixText.toInt(&ok, 10);
        if (!ok || prefix < 0 || prefix > 32 || !prefixText.at(0).isDigit())
            return false;
    }
    const uint32_t m = prefix == 0 ? 0u : ~0u << (32 - prefix);
    *network = address & m;
    *mask = m;
    return true;
}

std::optional<oxAllowList> oxAllowList::parse(const QJsonValue& value, QString* error)
{
    if (!value.isArray()) {
        *error = QStringLiteral("is not a list");
        return std::nullopt;
    }
    const QJsonArray array = value.toArray();
    if (array.size() > kMaxEntries) {
        *error = QStringLiteral("holds more than %1 entries").arg(kMaxEntries);
        return std::nullopt;
    }
    oxAllowList list;
    for (const QJsonValue& v : array) {
        Range r{};
        if (!v.isString() || !parseEntry(v.toString(), &r.network, &r.mask)) {
            *error = v.isString()
                ? QStringLiteral("entry \"%1\" is not an IPv4 address or range").arg(v.toString().left(kMaxEchoedChars))
                : QStringLiteral("has an entry that is not a string");
            return std::nullopt;
        }
        list.ranges.push_back(r);
        list.texts.append(v.toString());
    }
    return list;
}

bool oxAllowList::allows(uint32_t address) const
{
    if (ranges.empty())
        return true;
    for (const Range& r : ranges) {
        if ((address & r.mask) == r.network)
            return true;
    }
    return false;
}

QJsonArray oxAllowList::toJson() const
{
    return QJsonArray::fromStringList(texts);
}
