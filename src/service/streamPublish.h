#pragma once
// Who may publish into a stream, as commands: "setStreamPublish" sets the
// policy (publishPolicy.h), "switchStreamPublisher" hands the stream to
// another publisher now; and what "getStreamList" shows of it. Main thread only.
#include <QJsonObject>

class oxServices;
class oxStream;

namespace streamPublish {

// {"cmd": "setStreamPublish", "id": N, "data": {...}}: nothing changes on
// any invalid value; the registry is marked for saving on a change.
QJsonObject command(oxServices* services, const QJsonObject& json);
// {"cmd": "switchStreamPublisher", "id": N}
QJsonObject switchCommand(oxServices* services, const QJsonObject& json);
// The live side of a stream's policy: the active publisher, switches,
// dropped bytes, the last switch. Only for a stream whose policy was set.
QJsonObject state(oxStream* stream);

} // namespace streamPublish
