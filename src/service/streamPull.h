#pragma once
// The pull source of a stream as a setting: the optional "pullUrl" key of its
// entry in stream.json and the "setStreamPull" command. Main thread only.
#include <QJsonObject>
#include <QString>

class oxServices;
class oxStream;
class oxStreamType;

namespace streamPull {

// The "pullUrl" (backup: "pullBackupUrl") of a stream.json entry; empty
// when absent or unusable.
QString fromCfg(const QJsonObject& cfg, bool backup = false);
// Why url cannot be the pull source of stream streamId; empty when it can.
// A loop is refused when the host is written as an address of this machine
// (or "localhost"); a name that resolves to one is caught at each attempt.
QString refusal(const QString& url, int streamId);
// Why url cannot be the pull source of stream streamId because the stream it
// names on this instance is fed, through local pulls, by that very stream;
// empty when it is not.
QString loopRefusal(oxServices* services, int streamId, const QString& url);
// The input endpoint for url, named after the stream; owned by the caller.
oxStreamType* makeEndpoint(oxStream* stream, const QString& url, bool backup = false);
// {"cmd": "setStreamPull", "id": N, "url": "...", "backupUrl": "..."}: sets,
// replaces or (empty url) removes the pull source of stream N, and the
// backup one when "backupUrl" is given; marks the registry for saving.
QJsonObject command(oxServices* services, const QJsonObject& json);
// A stream's entry as "getStreamList" shows it: the pull source's passphrase
// (an origin's read passphrase) hidden, like every passphrase the service keeps.
QJsonObject shown(QJsonObject stream);

} // namespace streamPull
