#include "oxPageBlock.h"

#include <cstdlib>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include <sys/mman.h>

namespace oxnet {

namespace {
struct MappingCache
{
    std::mutex m;
    std::vector<std::pair<char*, size_t>> free; // m
    size_t bytes = 0;                           // m

    char* take(size_t length)
    {
        std::lock_guard<std::mutex> lk(m);
        for (size_t i = 0; i < free.size(); ++i) {
            if (free[i].second == length) {
                char* p = free[i].first;
                free[i] = free.back();
                free.pop_back();
                bytes -= length;
                return p;
            }
        }
        return nullptr;
    }
    bool keep(char* p, size_t length)
    {
        std::lock_guard<std::mutex> lk(m);
        if (bytes + length > PageBlock::kCacheBytes)
            return false;
        free.emplace_back(p, length);
        bytes += length;
        return true;
    }
    std::vector<std::pair<char*, size_t>> takeAll()
    {
        std::vector<std::pair<char*, size_t>> all;
        std::lock_guard<std::mutex> lk(m);
        all.swap(free);
        bytes = 0;
        return all;
    }
};

// Never destroyed: blocks may be freed by threads that outlive static destruction.
MappingCache& cache()
{
    static auto* c = new MappingCache;
    return *c;
}
} // namespace

PageBlock::PageBlock(size_t size)
    : size_(size)
{
    const size_t length = (size + kGrain - 1) / kGrain * kGrain;
    if (length > 0) {
        if (char* p = cache().take(length)) {
            data_ = p;
            mapped_ = length;
            return;
        }
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
    if (!mapped_)
        std::free(data_);
    else if (!cache().keep(data_, mapped_))
        ::munmap(data_, mapped_);
}

void PageBlock::dropCache()
{
    for (const auto& m : cache().takeAll())
        ::munmap(m.first, m.second);
}

} // namespace oxnet
