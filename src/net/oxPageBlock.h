#pragma once
// Memory for relay backlogs and read areas, mapped from the kernel on its
// own instead of taken from the allocator's arenas. Once freed it leaves the
// process at once, on whichever thread lets go of it: glibc keeps the free
// top of a thread's arena resident whatever malloc_trim is asked, so the
// backlog of a client that never reads would otherwise stay. Pages count
// towards the process only once bytes are written into them.
#include <cstddef>

namespace oxnet {

class PageBlock
{
public:
    // Throws std::bad_alloc when there is no memory. Falls back to the heap
    // when no mapping can be made (the process's map count limit).
    explicit PageBlock(size_t size);
    ~PageBlock();
    PageBlock(const PageBlock&) = delete;
    PageBlock& operator=(const PageBlock&) = delete;

    char* data() const { return data_; }
    size_t size() const { return size_; }

private:
    char* data_ = nullptr;
    size_t size_;
    size_t mapped_ = 0; // length of the mapping; 0 when the bytes came from the heap
};

} // namespace oxnet
