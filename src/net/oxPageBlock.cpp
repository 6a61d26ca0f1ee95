#include "oxPageBlock.h"

#include <cstdlib>
#include <new>

#include <sys/mman.h>
#include <unistd.h>

namespace oxnet {

namespace {
size_t pageSize()
{
    static const size_t page = [] {
        const long n = ::sysconf(_SC_PAGESIZE);
        return n > 0 ? static_cast<size_t>(n) : size_t{4096};
    }();
    return page;
}
} // namespace

PageBlock::PageBlock(size_t size)
    : size_(size)
{
    const size_t page = pageSize();
    const size_t length = (size + page - 1) / page * page;
    if (length > 0) {
        void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p != MAP_FAILED) {
            data_ = static_cast<char*>(p);
            mapped_ = length;
            return;
        }
    }
    data_ = static_cast<char*>(std::malloc(size > 0 ? size : 1));
    if (!data_)
        throw std::bad_alloc();
}

PageBlock::~PageBlock()
{
    if (mapped_)
        ::munmap(data_, mapped_);
    else
        std::free(data_);
}

} // namespace oxnet
