#pragma once
// Bytes waiting for a socket, as a list of slices of reference-counted blocks.
// A chunk that several connections must queue is copied once into a shared
// block (SharedSlicer) and every queue holds only a reference to its part, so
// the memory of N slow clients is that of the slowest one, not N copies.
// Slices that follow each other in one block merge into one entry, so small
// chunks cost no more entries than big ones; a send takes the entries as one
// iovec array.
//
// Not thread safe: the owner guards it. A block's bytes never change once a
// slice refers to them; only bytes past every slice are written. Memory that
// is not a block (an input's read area) may be queued by reference the same
// way, with whatever keeps it alive.
#include "oxPageBlock.h"

#include <cstddef>
#include <deque>
#include <memory>

#include <sys/uio.h>

namespace oxnet {

// Its bytes are pages of their own (PageBlock): a backlog leaves the process
// as soon as the last queue that holds it lets go.
struct SharedBlock
{
    explicit SharedBlock(size_t cap) : pages(cap), capacity(cap) {}
    char* data() const { return pages.data(); }
    PageBlock pages;
    size_t capacity;
    size_t used = 0; // written by the one producer that fills it
};
using SharedBlockPtr = std::shared_ptr<SharedBlock>;

// Copies chunks into shared blocks: small chunks are packed one after another
// into blocks of kBlockSize, big ones get a block of their own. One producer
// at a time (the caller's lock).
class SharedSlicer
{
public:
    struct Slice
    {
        SharedBlockPtr block;
        size_t offset = 0;
    };
    Slice copy(const char* p, size_t n);

private:
    SharedBlockPtr current_; // the packing block, kept while it has room
};

class ByteQueue
{
public:
    static constexpr size_t kBlockSize = 64u * 1024u;
    // Chunks from here on get a block of their own instead of being packed.
    static constexpr size_t kOwnBlockFrom = kBlockSize / 2;

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // Queues a private copy of the bytes.
    void append(const char* p, size_t n);
    // Queues n bytes of block from offset on, without copying them.
    void appendShared(const SharedBlockPtr& block, size_t offset, size_t n);
    // The same for any memory that `keep` holds alive and unchanged; `bytes`
    // is where the offsets count from.
    void appendShared(std::shared_ptr<const void> keep, const char* bytes, size_t offset, size_t n);
    // Fills up to `max` iovecs with the queued bytes in order. Returns how
    // many were filled; *bytes (if given) receives the bytes they cover.
    int fillIov(iovec* iov, int max, size_t* bytes = nullptr) const;
    // Drops the first n queued bytes (n <= size()).
    void consume(size_t n);
    // Drops everything, releasing this queue's references.
    void clear();

private:
    struct Entry
    {
        std::shared_ptr<const void> keep;
        const char* bytes;
        size_t begin;
        size_t end;
    };
    // Made when bytes are first queued and dropped when the queue drains:
    // an empty deque still holds a map and a node of about 600 bytes, on
    // every connection of a server that holds a whole fleet.
    std::unique_ptr<std::deque<Entry>> entries_;
    SharedSlicer own_; // private copies, packed like shared ones
    size_t size_ = 0;
};

} // namespace oxnet
