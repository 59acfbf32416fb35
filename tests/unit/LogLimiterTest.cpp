#include "common/LogLimiter.h"

#include <gtest/gtest.h>

TEST(LogLimiter, FirstWrittenThenOnePerIntervalWithCount)
{
    using namespace std::chrono_literals;
    LogLimiter limiter(1s);
    const LogLimiter::Clock::time_point t0{};
    std::uint64_t suppressed = 99;

    EXPECT_TRUE(limiter.allow(suppressed, t0 + 5s));
    EXPECT_EQ(suppressed, 0U);
    for (int i = 1; i <= 1000; ++i)
    {
        EXPECT_FALSE(limiter.allow(suppressed, t0 + 5s + i * 900us));
    }
    EXPECT_TRUE(limiter.allow(suppressed, t0 + 6s));
    EXPECT_EQ(suppressed, 1000U);
    EXPECT_FALSE(limiter.allow(suppressed, t0 + 6s + 999ms));
    EXPECT_TRUE(limiter.allow(suppressed, t0 + 7s));
    EXPECT_EQ(suppressed, 1U);
}

// Regression: the count of records held back in a flood's last interval was written only with the
// next record of the same kind, so after the flood it was never written at all.
TEST(LogLimiter, RegressionHeldBackCountIsFlushedOnceTheIntervalEnds)
{
    using namespace std::chrono_literals;
    LogLimiter limiter(1s);
    const LogLimiter::Clock::time_point t0{};
    std::uint64_t suppressed = 99;

    EXPECT_EQ(limiter.flushDue(), LogLimiter::Clock::time_point::max()) << "nothing held back";
    EXPECT_TRUE(limiter.allow(suppressed, t0 + 9s));
    EXPECT_FALSE(limiter.flush(suppressed, t0 + 9s + 50ms))
        << "nothing held back, nothing to flush";
    for (int i = 1; i <= 7; ++i)
    {
        EXPECT_FALSE(limiter.allow(suppressed, t0 + 9s + i * 100ms));
    }
    EXPECT_EQ(limiter.flushDue(), t0 + 10s);
    EXPECT_FALSE(limiter.flush(suppressed, t0 + 9s + 999ms)) << "not before the interval ends";
    EXPECT_TRUE(limiter.flush(suppressed, t0 + 10s));
    EXPECT_EQ(suppressed, 7U);
    EXPECT_FALSE(limiter.flush(suppressed, t0 + 20s)) << "each count is written once";
    EXPECT_EQ(limiter.flushDue(), LogLimiter::Clock::time_point::max());

    // After a flush the next record is let through at once, with nothing left to report.
    EXPECT_TRUE(limiter.allow(suppressed, t0 + 10s + 1ms));
    EXPECT_EQ(suppressed, 0U);
    // Shutting down: whatever is held back is written, interval or not.
    EXPECT_FALSE(limiter.allow(suppressed, t0 + 10s + 2ms));
    EXPECT_TRUE(limiter.flush(suppressed, LogLimiter::Clock::time_point::max()));
    EXPECT_EQ(suppressed, 1U);
}

// A burst: that many records in each interval, which begins with the first of them; the count of
// those held back goes with the first record of the next.
TEST(LogLimiter, BurstThenHeldUntilTheIntervalEnds)
{
    using namespace std::chrono_literals;
    LogLimiterGroup group;
    LogLimiter limiter(group, "test", 10s, 3);
    const LogLimiter::Clock::time_point t0{};
    std::uint64_t suppressed = 99;
    for (const auto at : {0s, 1s, 2s})
    {
        EXPECT_TRUE(limiter.ready(t0 + at));
        EXPECT_TRUE(limiter.allow(suppressed, t0 + at));
        EXPECT_EQ(suppressed, 0U);
    }
    EXPECT_FALSE(limiter.ready(t0 + 3s));
    EXPECT_FALSE(limiter.allow(suppressed, t0 + 3s));
    EXPECT_FALSE(limiter.allow(suppressed, t0 + 9999ms));
    EXPECT_EQ(limiter.flushDue(), t0 + 10s) << "the interval began with the burst's first";
    EXPECT_TRUE(limiter.ready(t0 + 10s));
    EXPECT_TRUE(limiter.allow(suppressed, t0 + 10s));
    EXPECT_EQ(suppressed, 2U);
    EXPECT_TRUE(limiter.allow(suppressed, t0 + 11s)) << "a new burst";
}
