#pragma once
// The operator's view of who is connected to a stream, and the way to cut
// one off: {"cmd":"getStreamClients","id":N} and
// {"cmd":"closeStreamClient","id":N,"endpoint":"st_tcp","peer":"ip:port"}.
// Main thread; both only for logged-in web clients. The lists come from what
// each endpoint's own threads publish, so answering never waits on the
// media path; a close is carried out by the endpoint's thread right after.
// A list is as long as the endpoint's connection cap allows (1000 per TCP
// endpoint, the callers of an SRT listener, one oxlat peer).
#include <QJsonObject>

class oxServices;

// True when cmd names one of the two commands.
bool isStreamClientsCommand(const QString& cmd);
// The reply; an empty object (no reply) when the request did not come from
// a logged-in web client.
QJsonObject streamClientsCommand(oxServices& services, const QJsonObject& json, bool loggedIn);
