#include "oxByteQueue.h"

#include <algorithm>
#include <cstring>

namespace oxnet {

void ByteQueue::append(const char* p, size_t n)
{
    while (n > 0) {
        if (blocks_.empty() || tail_ == kBlockSize) {
            if (blocks_.empty())
                head_ = 0;
            if (!spare_.empty()) {
                blocks_.push_back(std::move(spare_.back()));
                spare_.pop_back();
            } else {
                blocks_.emplace_back(new char[kBlockSize]);
            }
            tail_ = 0;
        }
        const size_t take = std::min(n, kBlockSize - tail_);
        std::memcpy(blocks_.back().get() + tail_, p, take);
        tail_ += take;
        size_ += take;
        p += take;
        n -= take;
    }
}

int ByteQueue::fillIov(iovec* iov, int max, size_t* bytes) const
{
    int count = 0;
    size_t total = 0;
    const size_t last = blocks_.size() - 1;
    for (size_t i = 0; i < blocks_.size() && count < max; ++i) {
        const size_t begin = i == 0 ? head_ : 0;
        const size_t end = i == last ? tail_ : kBlockSize;
        if (end <= begin)
            continue;
        iov[count].iov_base = blocks_[i].get() + begin;
        iov[count].iov_len = end - begin;
        total += end - begin;
        ++count;
    }
    if (bytes)
        *bytes = total;
    return count;
}

void ByteQueue::consume(size_t n)
{
    n = std::min(n, size_);
    size_ -= n;
    while (n > 0) {
        const size_t avail = frontEnd() - head_;
        if (n < avail) {
            head_ += n;
            break;
        }
        n -= avail;
        if (spare_.size() < kSpareBlocks)
            spare_.push_back(std::move(blocks_.front()));
        blocks_.pop_front();
        head_ = 0;
    }
    if (blocks_.empty() || size_ == 0) {
        // An empty queue keeps no partly used block: the next append starts fresh.
        while (!blocks_.empty()) {
            if (spare_.size() < kSpareBlocks)
                spare_.push_back(std::move(blocks_.front()));
            blocks_.pop_front();
        }
        head_ = tail_ = 0;
    }
}

void ByteQueue::clear()
{
    blocks_.clear();
    spare_.clear();
    spare_.shrink_to_fit();
    head_ = tail_ = size_ = 0;
}

} // namespace oxnet
