// The per-connection write queue: bytes come out in the order they went in,
// whatever the mix of append sizes, partial sends and block boundaries.
#include "net/oxByteQueue.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using oxnet::ByteQueue;

namespace {

std::string contents(const ByteQueue& q, int maxIov = 1024)
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

TEST(ByteQueue, RandomAppendsAndPartialConsumesKeepTheModelsBytes)
{
    std::mt19937 rng(7);
    ByteQueue q;
    std::string model;
    unsigned char next = 0;
    for (int step = 0; step < 3000; ++step) {
        if (rng() % 2) {
            // Sizes around the block size hit both sides of every boundary.
            const size_t n = rng() % 3 == 0 ? ByteQueue::kBlockSize + rng() % 3 - 1 : rng() % 9000;
            std::string add(n, '\0');
            for (auto& c : add)
                c = static_cast<char>(next++);
            q.append(add.data(), add.size());
            model += add;
        } else {
            const size_t n = model.empty() ? 0 : rng() % (model.size() + 1);
            q.consume(n);
            model.erase(0, n);
        }
        ASSERT_EQ(q.size(), model.size());
        if (step % 50 == 0) {
            ASSERT_EQ(contents(q), model) << "at step " << step;
        }
    }
    q.consume(q.size());
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(contents(q), "");
}

TEST(ByteQueue, FillIovStopsAtItsLimitWithAPrefixOfTheBytes)
{
    ByteQueue q;
    const std::string data(3 * ByteQueue::kBlockSize + 10, 'x');
    q.append(data.data(), data.size());
    iovec iov[2];
    size_t bytes = 0;
    EXPECT_EQ(q.fillIov(iov, 2, &bytes), 2);
    EXPECT_EQ(bytes, 2 * ByteQueue::kBlockSize) << "fewer bytes than queued: the caller must not add more after them";
    EXPECT_EQ(contents(q).size(), data.size());
}

TEST(ByteQueue, DrainedQueueReusesItsBlocksAndClearEmptiesIt)
{
    ByteQueue q;
    const std::string a(ByteQueue::kBlockSize * 2, 'a');
    q.append(a.data(), a.size());
    q.consume(a.size());
    EXPECT_TRUE(q.empty());
    q.append("bc", 2);
    EXPECT_EQ(contents(q), "bc") << "a fresh start after draining, not the old offsets";
    q.clear();
    EXPECT_TRUE(q.empty());
    q.consume(5); // more than queued: nothing to drop, no harm
    EXPECT_EQ(q.size(), 0u);
}
