#pragma once
// Who may publish into a stream and who may watch it: a passphrase per SRT
// direction and an address allow-list per direction, for all transports.
//
// The rules of a stream are one immutable snapshot. The control path (main
// thread) builds a new snapshot and swaps it in; the media threads (TCP
// acceptor, libsrt's handshake thread, the KCP session thread) load the
// current one atomically and never share a lock with the control path.
// A stream without any setting carries the empty snapshot and behaves as if
// none of this existed.
#include "allowList.h"

#include <QJsonObject>
#include <QString>

#include <atomic>
#include <memory>
#include <optional>

struct sockaddr;
class oxStream;

struct oxStreamAccessRules
{
    // libsrt's own limits of SRTO_PASSPHRASE.
    static constexpr int kMinPassphrase = 10;
    static constexpr int kMaxPassphrase = 79;

    QString publishPassphrase; // SRT input; empty: none
    QString readPassphrase;    // SRT output; empty: none
    oxAllowList inputAllow;    // every input transport; empty: anyone
    oxAllowList outputAllow;   // every output transport; empty: anyone

    bool isEmpty() const
    {
        return publishPassphrase.isEmpty() && readPassphrase.isEmpty() && inputAllow.isEmpty()
            && outputAllow.isEmpty();
    }
    const oxAllowList& allowList(bool output) const { return output ? outputAllow : inputAllow; }
    const QString& passphrase(bool output) const { return output ? readPassphrase : publishPassphrase; }
    // Any thread. Addresses other than IPv4 pass only an empty list.
    bool allows(bool output, const sockaddr* peer) const;
    bool allows(bool output, uint32_t ipv4) const { return allowList(output).allows(ipv4); }

    // The change a "setStreamAccess" data object asks for, applied to these
    // rules: a key left out keeps its value, "" or [] removes the setting.
    // Refused as a whole (nullopt, reason in *error) when any value is invalid.
    std::optional<oxStreamAccessRules> changedBy(const QJsonObject& data, QString* error) const;
    // The "access" object of stream.json (passphrases included).
    QJsonObject toFile() const;
    // What "getStreamList" shows: the lists and whether a passphrase is set, never the passphrase.
    QJsonObject toStatus() const;
};

class streamAccess
{
public:
    using Rules = std::shared_ptr<const oxStreamAccessRules>;

    streamAccess();
    // Any thread.
    Rules rules() const { return std::atomic_load(&current); }
    // Any thread: changes with every set(), so a media thread can keep the
    // snapshot it loaded until this moves.
    unsigned generation() const { return gen.load(std::memory_order_acquire); }
    // Main thread.
    void set(oxStreamAccessRules rules);

private:
    Rules current;
    std::atomic<unsigned> gen{0};
};

// Key of the access settings inside a stream's object in stream.json and
// in "getStreamList".
extern const QString kStreamAccessKey;

// Stream registry (main thread): the settings of one stream.json entry, and
// a stream's object with its "access" key added (file: with passphrases;
// otherwise the status form). Nothing is added for an unprotected stream.
void loadStreamAccess(oxStream* stream, const QJsonObject& entry);
QJsonObject withStreamAccess(QJsonObject streamObject, const oxStream* stream, bool forFile);

// Media threads: one line per address, transport, port and reason, at most
// once a minute, naming the caller and why it was refused; all of them together
// within the process's budget of peer lines (service/logLimit.h).
void logAccessRefused(const char* transport, int port, const QString& peer, const char* why);
// "a.b.c.d" for an IPv4 address in host byte order.
QString ipv4Text(uint32_t address);
