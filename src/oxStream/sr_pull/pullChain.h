#pragma once
// Loops of SRT pulls between instances. An oxdp pull names, in its SRT stream
// id, the streams it feeds: its own (this instance's id and the stream's) and
// every one that the callers of its stream's SRT output named when they
// connected. An SRT output refuses a caller whose chain already holds the
// output's own stream: that pull would feed the stream from itself.
//
//   stream id:  "#!::oxchain=<instance>/<stream>.<instance>/<stream>..."
//
// An instance id is 16 hexadecimal characters, derived once per process from
// the machine id, the host name and the working directory, so it is the same
// after a restart and differs between instances on one machine.
//
// What is caught: a pull whose downstream is known when it connects, which
// covers two streams pulling from each other on two instances and rings whose
// pulls came up downstream first; the chain of a pull is fixed at its
// connection, so a ring closed upstream first is caught only once a pull in
// it reconnects. Plain TCP pulls carry no chain.
#include <srt/srt.h>

#include <QByteArray>
#include <QList>

#include <mutex>
#include <utility>
#include <vector>

class oxStreamType;

namespace pullChain {

// Entries a chain carries; further ones are left out (the farthest first).
constexpr int kMaxEntries = 16;
// What an SRT output answers a caller that closes a loop (user-defined range).
constexpr int kLoopRejectReason = SRT_REJC_USERDEFINED + 409;

// Any thread: this instance's id.
const QByteArray& instanceId();
// The entry of stream streamId of this instance.
QByteArray entry(int streamId);
// The stream id an oxdp pull of stream streamId sends, with the entries downstream of it.
QByteArray streamIdFor(int streamId, const QList<QByteArray>& downstream);
// The entries of a caller's stream id; empty when it holds no chain. Malformed
// entries are left out: the chain only guards against loops, it grants nothing.
QList<QByteArray> parse(const char* streamId);

// The chains the callers of one stream's SRT output brought, for the stream's
// own pull to pass on. Thread safe (one mutex, never taken by the fan-out).
class book
{
public:
    // Callers remembered; past this the oldest is forgotten.
    static constexpr int kMaxCallers = 64;

    // libsrt's handshake thread.
    void record(SRTSOCKET caller, QList<QByteArray> entries);
    // The pull's worker: the entries of the callers still connected.
    QList<QByteArray> downstream();

private:
    std::mutex lock;
    std::vector<std::pair<SRTSOCKET, QList<QByteArray>>> callers;
};

} // namespace pullChain

// libsrt's handshake thread, from the listen callback of an SRT output: false
// when the caller must be refused (its reject reason is set and the refusal
// logged once per port and caller stream); otherwise its chain is recorded.
bool pullChainAdmits(oxStreamType* output, SRTSOCKET caller, const char* streamId, int port);
