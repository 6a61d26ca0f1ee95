#pragma once
// The nodes that can time out, oldest heard first. Every node waits the
// same time, so hearing from a node moves it to the back and the heart tick
// takes timed-out nodes from the front: each tick costs what times out, not
// a look at every node of the fleet. Main thread only, like the nodes.
#include <QtGlobal>

class oxNode;

class nodeLiveness
{
public:
    nodeLiveness() = default;
    nodeLiveness(const nodeLiveness&) = delete;
    nodeLiveness& operator=(const nodeLiveness&) = delete;
    ~nodeLiveness();

    // Stamps the node heard at nowMs (monotonic) and moves it to the back.
    void heard(oxNode* node, qint64 nowMs);
    // Out of the order (it timed out, or it goes away).
    void forget(oxNode* node);
    // Takes every node silent for more than timeoutSec whole seconds out of
    // the order, oldest first, and hands it to f.
    template <typename F>
    void expire(qint64 nowMs, qint64 timeoutSec, F f)
    {
        while (head && (nowMs - headHeardMs()) / 1000 > timeoutSec) {
            oxNode* node = head;
            forget(node);
            f(node);
        }
    }
    bool empty() const { return head == nullptr; }

private:
    qint64 headHeardMs() const;

    oxNode* head = nullptr;
    oxNode* tail = nullptr;
};
