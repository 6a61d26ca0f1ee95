#pragma once
// What sets the two programs apart, as one value: oxnode and the reduced
// oxnode-basic run the same core, and each names its profile in a small file
// linked into it (src/service/programs/). main selects it before anything else runs;
// objects read the flags they need when they are built.
struct oxProfile {
    // Streams and endpoints report live status, and the SRT endpoints run a
    // one-second timer that refreshes their statistics.
    bool liveStatus = true;
    // The latency advertised in SRT endpoint URLs ("?latency=N"); the sockets
    // use oxSrt::kLatencyMs whatever this says.
    int srtUrlLatencyMs = 20;
    // The TCP output runs its network threads only between start and stop.
    bool tcpOutputListensOnlyWhileStarted = false;
    // The TCP output sends only while started and with clients, logging each buffer.
    bool tcpOutputSendGate = true;
    // A stream's start/stop and the creation/deletion of streams run on the
    // caller's thread instead of being handed to the main thread.
    bool streamCommandsOnCallerThread = false;
    // A later login leaves a node's number as it was created.
    bool nodeKeepsNumber = false;

    static oxProfile full();
    static oxProfile basic();

    // Any thread; what select() chose last (full() until then).
    static const oxProfile& current();
    // Main, before any service object exists (tests: between cases).
    static void select(const oxProfile& profile);
};

// Defined once per program, in src/service/programs/.
const oxProfile& programProfile();
