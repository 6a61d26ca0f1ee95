#pragma once
// An address allow-list: IPv4 addresses and CIDR ranges ("10.0.0.0/8").
// Parsing is a pure function of the JSON value, so the whole list is either
// taken or refused with a reason; nothing half-parsed ever reaches a socket.
// An empty list restricts nothing.
#include <QJsonArray>
#include <QJsonValue>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

class oxAllowList
{
public:
    // Entries one list may hold: far more than an operator writes by hand,
    // and every check walks the list.
    static constexpr int kMaxEntries = 64;

    // A JSON array of strings, each "a.b.c.d" or "a.b.c.d/n" (n 0..32).
    // Bits below the prefix length are ignored ("10.1.2.3/8" is 10.0.0.0/8).
    // Anything else: nullopt, with a reason for the reply in *error.
    static std::optional<oxAllowList> parse(const QJsonValue& value, QString* error);
    // One entry; false for anything that is not an address or range.
    static bool parseEntry(const QString& text, uint32_t* network, uint32_t* mask);

    bool isEmpty() const { return ranges.empty(); }
    // Any thread (the list never changes after parse). Host byte order.
    bool allows(uint32_t address) const;
    // Entries as the operator wrote them, for the status and the file.
    QJsonArray toJson() const;
    const QStringList& entries() const { return texts; }

private:
    struct Range { uint32_t network; uint32_t mask; };
    std::vector<Range> ranges;
    QStringList texts;
};
