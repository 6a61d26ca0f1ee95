#include "oxProfile.h"

namespace {
oxProfile selected = oxProfile::full();
} // namespace

oxProfile oxProfile::full()
{
    return oxProfile{};
}

oxProfile oxProfile::basic()
{
    oxProfile p;
    p.liveStatus = false;
    p.srtUrlLatencyMs = 35;
    p.tcpOutputListensOnlyWhileStarted = true;
    p.tcpOutputSendGate = false;
    p.streamCommandsOnCallerThread = true;
    p.nodeKeepsNumber = true;
    return p;
}

const oxProfile& oxProfile::current()
{
    return selected;
}

void oxProfile::select(const oxProfile& profile)
{
    selected = profile;
}
