#include "web/metrics.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

TEST(MetricsReadings, AtMostTheBoundAtOnceAndEachPlaceComesBack)
{
    std::vector<std::shared_ptr<void>> held;
    for (int i = 0; i < kMaxMetricsReadings; ++i) {
        held.push_back(takeMetricsReading());
        ASSERT_TRUE(held.back()) << "place " << i;
    }
    EXPECT_FALSE(takeMetricsReading()) << "one more waits for a place";
    std::shared_ptr<void> copy = held.back(); // a copy keeps the place
    held.pop_back();
    EXPECT_FALSE(takeMetricsReading());
    copy.reset();
    std::shared_ptr<void> again = takeMetricsReading();
    EXPECT_TRUE(again);
    held.clear();
    again.reset();
    for (int i = 0; i < kMaxMetricsReadings; ++i)
        held.push_back(takeMetricsReading());
    EXPECT_TRUE(held.back()) << "all places are back";
}
