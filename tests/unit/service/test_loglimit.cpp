#include "service/logLimit.h"

#include <gtest/gtest.h>

TEST(LogSafeText, EscapesControlsAndCutsAtTheBound)
{
    struct Case { QByteArray in; int max; QString out; };
    const Case cases[] = {
        {"plain", 200, "plain"},
        {"\x1b[2J\x1b[31mEVIL", 200, "\\x1b[2J\\x1b[31mEVIL"},
        {"a\\b\r\n\x7f", 200, "a\\\\b\\x0d\\x0a\\x7f"},
        {"abcdef", 3, "abc...(+3 bytes)"},
        {"\xc3\xa9\xc3\xa9", 3, "\xc3\xa9...(+2 bytes)"}, // never half a character
    };
    for (const Case& c : cases) EXPECT_EQ(logSafeText(c.in, c.max), c.out) << c.in.toHex().constData();
    EXPECT_EQ(logSafeText(QByteArray(100000, 'x')).size(), kLogTextMaxBytes + QString("...(+99800 bytes)").size());
}

TEST(LogThrottle, OneLinePerIntervalWithTheCountHeldBack)
{
    logThrottle t(1000);
    int64_t held = -1;
    EXPECT_TRUE(t.allowAt(5000, &held));
    EXPECT_EQ(held, 0);
    EXPECT_FALSE(t.allowAt(5001));
    EXPECT_FALSE(t.allowAt(5999));
    EXPECT_TRUE(t.allowAt(6000, &held));
    EXPECT_EQ(held, 2);
}

TEST(LogThrottleKeyed, KeysAreIndependentAndTheTableIsBounded)
{
    logThrottleKeyed t(1000, 2);
    int64_t held = -1;
    EXPECT_TRUE(t.allowAt("a", 0));
    EXPECT_FALSE(t.allowAt("a", 10));
    EXPECT_TRUE(t.allowAt("b", 20));
    EXPECT_TRUE(t.allowAt("c", 30)); // forgets "a", the oldest
    EXPECT_TRUE(t.allowAt("a", 40, &held));
    EXPECT_EQ(held, 0);
    EXPECT_FALSE(t.allowAt("c", 50));
    EXPECT_FALSE(t.wouldAllowAt("c", 60));
    EXPECT_TRUE(t.wouldAllowAt("d", 60)); // asking changes nothing
    EXPECT_TRUE(t.allowAt("c", 1030, &held));
    EXPECT_EQ(held, 1);
}

TEST(LogBudget, LinesPerSecondForAllCallersWithTheCountHeldBack)
{
    logBudget b(3);
    int64_t held = -1;
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(b.allowAt(1000 + i));
    EXPECT_FALSE(b.allowAt(1500));
    EXPECT_FALSE(b.allowAt(1999));
    EXPECT_TRUE(b.allowAt(2000, &held));
    EXPECT_EQ(held, 2);
    EXPECT_TRUE(b.allowAt(2001, &held));
    EXPECT_EQ(held, 0);
}
