#pragma once
// Bytes waiting for a socket, kept in fixed-size blocks: appending never moves
// what is already queued, a send takes the blocks as one iovec array, and a
// few emptied blocks are kept for the next burst instead of going back to the
// allocator (a slow client makes the queue grow and drain many times a second).
//
// Not thread safe: the owner guards it.
#include <cstddef>
#include <deque>
#include <memory>
#include <vector>

#include <sys/uio.h>

namespace oxnet {

class ByteQueue
{
public:
    static constexpr size_t kBlockSize = 64u * 1024u;
    static constexpr size_t kSpareBlocks = 4;

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    void append(const char* p, size_t n);
    // Fills up to `max` iovecs with the queued bytes in order. Returns how
    // many were filled; *bytes (if given) receives the bytes they cover.
    int fillIov(iovec* iov, int max, size_t* bytes = nullptr) const;
    // Drops the first n queued bytes (n <= size()).
    void consume(size_t n);
    // Drops everything and releases every block, the spare ones too.
    void clear();

private:
    using Block = std::unique_ptr<char[]>;
    size_t frontEnd() const { return blocks_.size() == 1 ? tail_ : kBlockSize; }

    std::deque<Block> blocks_;
    std::vector<Block> spare_;
    size_t head_ = 0; // first queued byte in blocks_.front()
    size_t tail_ = 0; // bytes used in blocks_.back()
    size_t size_ = 0;
};

} // namespace oxnet
