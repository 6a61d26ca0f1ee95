#pragma once
// Memory for relay backlogs and read areas, mapped from the kernel on its
// own instead of taken from the allocator's arenas. Once freed it leaves the
// process, on whichever thread lets go of it: glibc keeps the free top of a
// thread's arena resident whatever malloc_trim is asked, so the backlog of a
// client that never reads would otherwise stay. Pages count towards the
// process only once bytes are written into them.
//
// Mappings are made in steps of kGrain, and up to kCacheBytes of freed ones
// are kept for the next block of the same length: a client that keeps falling
// behind would otherwise cost a map, an unmap and a page fault per page for
// every chunk it queues. dropCache() empties it.
#include <cstddef>

namespace oxnet {

class PageBlock
{
public:
    static constexpr size_t kGrain = 64u * 1024u;
    static constexpr size_t kCacheBytes = 16u * 1024u * 1024u;

    // Throws std::bad_alloc when there is no memory. Falls back to the heap
    // when no mapping can be made (the process's map count limit).
    explicit PageBlock(size_t size);
    ~PageBlock();
    PageBlock(const PageBlock&) = delete;
    PageBlock& operator=(const PageBlock&) = delete;

    char* data() const { return data_; }
    size_t size() const { return size_; }

    // Any thread: unmaps every cached mapping.
    static void dropCache();

private:
    char* data_ = nullptr;
    size_t size_;
    size_t mapped_ = 0; // length of the mapping; 0 when the bytes came from the heap
};

} // namespace oxnet
