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
