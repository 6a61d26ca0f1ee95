#include "oxByteQueue.h"

#include <algorithm>
#include <cstring>

namespace oxnet {

SharedSlicer::Slice SharedSlicer::copy(const char* p, size_t n)
{
    Slice s;
    if (n >= ByteQueue::kOwnBlockFrom) {
        s.block = std::make_shared<SharedBlock>(n);
    } else {
        if (!current_ || current_->capacity - current_->used < n)
            current_ = std::make_shared<SharedBlock>(ByteQueue::kBlockSize);
        s.block = current_;
    }
    s.offset = s.block->used;
    if (n > 0)
        std::memcpy(s.block->data() + s.offset, p, n);
    s.block->used += n;
    return s;
}

void ByteQueue::append(const char* p, size_t n)
{
    if (n == 0)
        return;
    const SharedSlicer::Slice s = own_.copy(p, n);
    appendShared(s.block, s.offset, n);
}

void ByteQueue::appendShared(const SharedBlockPtr& block, size_t offset, size_t n)
{
    if (block)
        appendShared(block, block->data(), offset, n);
}

void ByteQueue::appendShared(std::shared_ptr<const void> keep, const char* bytes, size_t offset, size_t n)
{
    if (n == 0)
        return;
    if (!entries_)
        entries_ = std::make_unique<std::deque<Entry>>();
    if (!entries_->empty() && entries_->back().bytes == bytes && entries_->back().end == offset)
        entries_->back().end += n;
    else
        entries_->push_back(Entry{std::move(keep), bytes, offset, offset + n});
    size_ += n;
}

int ByteQueue::fillIov(iovec* iov, int max, size_t* bytes) const
{
    int count = 0;
    size_t total = 0;
    const size_t entries = entries_ ? entries_->size() : 0;
    for (size_t i = 0; i < entries && count < max; ++i) {
        const Entry& e = (*entries_)[i];
        iov[count].iov_base = const_cast<char*>(e.bytes + e.begin);
        iov[count].iov_len = e.end - e.begin;
        total += e.end - e.begin;
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
        Entry& e = entries_->front();
        const size_t avail = e.end - e.begin;
        if (n < avail) {
            e.begin += n;
            break;
        }
        n -= avail;
        entries_->pop_front();
    }
    if (size_ == 0) {
        // An idle connection keeps no block and no entries.
        entries_.reset();
        own_ = SharedSlicer();
    }
}

void ByteQueue::clear()
{
    entries_.reset();
    own_ = SharedSlicer();
    size_ = 0;
}

} // namespace oxnet
