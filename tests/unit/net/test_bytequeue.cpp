// The per-connection write queue: bytes come out in the order they went in,
// whatever the mix of private and shared appends, partial sends and block
// boundaries; a broadcast queued by many connections exists once.
#include "net/oxByteQueue.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <sys/mman.h>

using oxnet::ByteQueue;
using oxnet::SharedSlicer;

namespace {

std::string contents(const ByteQueue& q, int maxIov = 100000)
{
    std::vector<iovec> iov(static_cast<size_t>(maxIov));
    size_t bytes = 0;
    const int n = q.fillIov(iov.data(), maxIov, &bytes);
    std::string s;
    for (int i = 0; i < n; ++i)
        s.append(static_cast<const char*>(iov[static_cast<size_t>(i)].iov_base), iov[static_cast<size_t>(i)].iov_len);
    EXPECT_EQ(s.size(), bytes);
    return s;
}

} // namespace

// Three connections of one server: each broadcast chunk goes to some of
// them, each of which may already have sent part of it (the rest is queued);
// private writes and partial sends come in between.
TEST(ByteQueue, SharedAndPrivateAppendsWithPartialSendsKeepEachQueuesBytes)
{
    std::mt19937 rng(7);
    SharedSlicer slicer;
    std::vector<ByteQueue> queues(3);
    std::vector<std::string> models(3);
    unsigned char next = 0;
    for (int step = 0; step < 4000; ++step) {
        const unsigned action = rng() % 3;
        const size_t which = rng() % queues.size();
        if (action == 0) {
            // Sizes on both sides of the packing threshold and of a block.
            const size_t sizes[] = {rng() % 2000, ByteQueue::kOwnBlockFrom - 1 + rng() % 3, ByteQueue::kBlockSize + rng() % 3 - 1, rng() % 9000};
            const size_t n = sizes[rng() % 4];
            std::string chunk(n, '\0');
            for (auto& c : chunk)
                c = static_cast<char>(next++);
            SharedSlicer::Slice slice;
            for (size_t q = 0; q < queues.size(); ++q) {
                if (rng() % 2)
                    continue;
                const size_t alreadySent = n ? rng() % (n + 1) : 0;
                if (alreadySent == n)
                    continue;
                if (!slice.block)
                    slice = slicer.copy(chunk.data(), n);
                queues[q].appendShared(slice.block, slice.offset + alreadySent, n - alreadySent);
                models[q] += chunk.substr(alreadySent);
            }
        } else if (action == 1) {
            std::string add(rng() % 300, '\0');
            for (auto& c : add)
                c = static_cast<char>(next++);
            queues[which].append(add.data(), add.size());
            models[which] += add;
        } else {
            const size_t n = models[which].empty() ? 0 : rng() % (models[which].size() + 1);
            queues[which].consume(n);
            models[which].erase(0, n);
        }
        ASSERT_EQ(queues[which].size(), models[which].size());
        if (step % 50 == 0) {
            for (size_t q = 0; q < queues.size(); ++q)
                ASSERT_EQ(contents(queues[q]), models[q]) << "queue " << q << " at step " << step;
        }
    }
    for (size_t q = 0; q < queues.size(); ++q) {
        EXPECT_EQ(contents(queues[q]), models[q]);
        queues[q].consume(queues[q].size());
        EXPECT_TRUE(queues[q].empty());
        EXPECT_EQ(contents(queues[q]), "");
    }
}

TEST(ByteQueue, OneBroadcastQueuedByManyConnectionsIsOneCopy)
{
    SharedSlicer slicer;
    const std::string chunk(200 * 1024, 'b');
    const SharedSlicer::Slice slice = slicer.copy(chunk.data(), chunk.size());
    std::vector<ByteQueue> queues(10);
    for (auto& q : queues)
        q.appendShared(slice.block, slice.offset, chunk.size());
    for (auto& q : queues) {
        iovec iov[4];
        ASSERT_EQ(q.fillIov(iov, 4), 1);
        EXPECT_EQ(iov[0].iov_base, slice.block->data() + slice.offset);
    }
    EXPECT_EQ(slice.block.use_count(), 11);
    for (auto& q : queues)
        q.clear();
    EXPECT_EQ(slice.block.use_count(), 1) << "the copy goes with the last queue that held it";
}

// A source that sends tiny chunks must not make a queue of tiny entries:
// consecutive small chunks share blocks and entries.
TEST(ByteQueue, SmallChunksArePackedIntoFewEntries)
{
    SharedSlicer slicer;
    ByteQueue shared;
    ByteQueue priv;
    std::string model;
    for (int i = 0; i < 10000; ++i) {
        const std::string chunk(100, static_cast<char>('a' + i % 26));
        const SharedSlicer::Slice s = slicer.copy(chunk.data(), chunk.size());
        shared.appendShared(s.block, s.offset, chunk.size());
        priv.append(chunk.data(), chunk.size());
        model += chunk;
    }
    const size_t blocks = model.size() / ByteQueue::kBlockSize + 1;
    std::vector<iovec> iov(1000);
    EXPECT_LE(static_cast<size_t>(shared.fillIov(iov.data(), 1000)), blocks);
    EXPECT_LE(static_cast<size_t>(priv.fillIov(iov.data(), 1000)), blocks);
    EXPECT_EQ(contents(shared), model);
    EXPECT_EQ(contents(priv), model);
}

TEST(ByteQueue, FillIovStopsAtItsLimitWithAPrefixOfTheBytes)
{
    ByteQueue q;
    const std::string data(ByteQueue::kBlockSize, 'x');
    for (int i = 0; i < 3; ++i)
        q.append(data.data(), data.size());
    q.append("tail", 4);
    iovec iov[2];
    size_t bytes = 0;
    EXPECT_EQ(q.fillIov(iov, 2, &bytes), 2);
    EXPECT_EQ(bytes, 2 * ByteQueue::kBlockSize) << "fewer bytes than queued: the caller must not add more after them";
    EXPECT_EQ(contents(q).size(), 3 * data.size() + 4);
    q.clear();
    EXPECT_TRUE(q.empty());
    q.consume(5); // more than queued: nothing to drop, no harm
    EXPECT_EQ(q.size(), 0u);
}

// Backlog memory: a freed mapping serves the next block of its length, and
// once the cache is dropped it is gone from the process.
TEST(PageBlock, FreedMappingIsReusedUntilTheCacheIsDropped)
{
    oxnet::PageBlock::dropCache();
    char* first = nullptr;
    {
        oxnet::PageBlock a(100000);
        first = a.data();
        std::memset(first, 'x', a.size());
    }
    {
        oxnet::PageBlock b(oxnet::PageBlock::kGrain * 2 - 1);
        EXPECT_EQ(b.data(), first);
    }
    oxnet::PageBlock::dropCache();
    unsigned char resident = 0;
    EXPECT_EQ(::mincore(first, 4096, &resident), -1) << "still mapped";
    EXPECT_EQ(errno, ENOMEM);
}
