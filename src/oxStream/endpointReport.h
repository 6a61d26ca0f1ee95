#pragma once
// What an endpoint tells the operator about itself beyond its status: the
// clients it holds now and the figures /metrics exports. Both are read on the
// main thread from what the endpoint's own threads publish (atomics, or a
// snapshot the endpoint thread swaps in); reading them never takes a lock
// that the media path's fan-out takes.
#include <QString>

#include <cstdint>
#include <vector>

// One connected client (output) or publisher (input).
struct oxEndpointClient {
    QString address;
    int port = 0;
    int64_t sinceMs = 0;        // connected since, milliseconds since the epoch
    uint64_t bytesSent = 0;
    uint64_t bytesReceived = 0;
    uint64_t bytesQueued = 0;   // accepted for this client, not yet handed to the network
    double rttMs = -1;          // SRT and oxlat only; -1: not measured
    int64_t lossPackets = -1;   // SRT only; -1: not measured
};

// Figures of one endpoint; a field an endpoint does not have stays at its default.
struct oxEndpointFigures {
    int64_t clients = 0;
    uint64_t bytesSent = 0;
    uint64_t bytesReceived = 0;
    uint64_t closedAtWriteLimit = 0;
    uint64_t copiesDropped = 0;
    bool linkUp = false;
    bool hasWriteLimit = false; // TCP: closes clients at the write limit
    bool hasSendQueue = false;  // SRT and oxlat outputs: drop copies from a full queue

    bool hasSrt = false;
    double srtRttMs = 0;
    int64_t srtSendLoss = 0;
    int64_t srtReceiveLoss = 0;
    int64_t srtRetransmitted = 0;
    double srtBandwidthMbps = 0;

    bool hasLat = false;
    int64_t latRttMs = 0;
    int64_t latRtoMs = 0;
    uint64_t latResent = 0;
    int64_t latQueue = 0;
};
