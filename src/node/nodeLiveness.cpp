#include "nodeLiveness.h"
#include "oxNode.h"

nodeLiveness::~nodeLiveness()
{
    // Nodes may outlive the order (they are the service's Qt children).
    while (head)
        forget(head);
}

qint64 nodeLiveness::headHeardMs() const
{
    return head->heardAtMs;
}

void nodeLiveness::heard(oxNode* node, qint64 nowMs)
{
    node->heardAtMs = nowMs;
    if (node->liveness == this && node == tail)
        return;
    if (node->liveness)
        node->liveness->forget(node);
    node->liveness = this;
    node->heardPrev = tail;
    node->heardNext = nullptr;
    if (tail)
        tail->heardNext = node;
    else
        head = node;
    tail = node;
}

void nodeLiveness::forget(oxNode* node)
{
    if (node->liveness != this)
        return;
    if (node->heardPrev)
        node->heardPrev->heardNext = node->heardNext;
    else
        head = node->heardNext;
    if (node->heardNext)
        node->heardNext->heardPrev = node->heardPrev;
    else
        tail = node->heardPrev;
    node->heardPrev = node->heardNext = nullptr;
    node->liveness = nullptr;
}
