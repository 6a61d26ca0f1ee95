#pragma once
// oxdp input: an SRT listener that any number of callers push into. Every SRT
// message becomes one buffer, fanned out on the process's SRT poll thread
// (srtPoller.h), which drains each readable caller.
#include "srtListener.h"

#include <string>

class sr_oxdp : public srtListener
{
    Q_OBJECT
public:
    sr_oxdp(int endpointId, QJsonObject cfg); // main thread; opens nothing yet
    ~sr_oxdp() override; // main thread; ends and joins the worker

private:
    void attemptBegins() override;
    void callerAccepted(SRTSOCKET caller) override;
    void callerGone(SRTSOCKET caller) override;
    void callerReadable(SRTSOCKET caller) override;
    std::vector<SRTSOCKET> attemptEnds() override;
    // Drains one caller; false when it had to be closed.
    bool serveCaller(SRTSOCKET caller);
    void forget(SRTSOCKET caller);

    // Callers accepted by the attempt in progress (poll thread, then the
    // thread of attempts once the endpoint left the poll set); closed
    // when it ends so that none outlives the attempt inside the library.
    std::vector<SRTSOCKET> callers;
    // Their addresses ("ip:port"), in the same order, for the publish gate.
    std::vector<std::string> callerAddrs;
};
