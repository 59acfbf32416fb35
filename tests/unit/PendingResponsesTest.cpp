#include "discovery/PendingResponses.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace
{
using Clock = std::chrono::steady_clock;

PendingResponses::Entry entry(const char* ip, Clock::time_point due)
{
    PendingResponses::Entry e{};
    e.due = due;
    e.to.v4.sin_family = AF_INET;
    inet_pton(AF_INET, ip, &e.to.v4.sin_addr);
    e.toLen = sizeof(e.to.v4);
    return e;
}

// The per-address bound bites only once the queue is half full, both bounds give back what the
// drop record reports, and a popped answer frees its sender's room.
TEST(PendingResponses, BoundsCountsAndOrder)
{
    PendingResponses pending;
    const Clock::time_point t0 = Clock::now();
    unsigned held = 99;
    // One address alone may use the free room (consoles behind a NAT).
    for (unsigned i = 0; i < PendingResponses::SHARED; ++i)
    {
        ASSERT_TRUE(
            pending.add(entry("198.18.0.2", t0 + std::chrono::milliseconds(500 - i)), held));
        EXPECT_EQ(held, i);
    }
    EXPECT_FALSE(pending.add(entry("198.18.0.2", t0), held));
    EXPECT_EQ(held, PendingResponses::SHARED);

    // Earliest first, and only once due; a popped answer frees its room.
    PendingResponses::Entry out{};
    const Clock::time_point earliest = t0 + std::chrono::milliseconds(500 - 127);
    EXPECT_EQ(pending.nextDue(), earliest);
    EXPECT_FALSE(pending.popDue(t0, out));
    ASSERT_TRUE(pending.popDue(earliest, out));
    EXPECT_EQ(out.due, earliest);
    EXPECT_TRUE(pending.add(entry("198.18.0.2", t0), held));

    // Past half, another address gets its sixteen, not more.
    for (unsigned i = 0; i < PendingResponses::PER_PEER; ++i)
    {
        ASSERT_TRUE(pending.add(entry("198.18.0.3", t0), held));
    }
    EXPECT_FALSE(pending.add(entry("198.18.0.3", t0), held));
    EXPECT_EQ(held, PendingResponses::PER_PEER);

    // The global bound, over many senders.
    for (unsigned i = 0; pending.size() < PendingResponses::CAPACITY; ++i)
    {
        const std::string ip = "198.19." + std::to_string(i / 10) + "." + std::to_string(i % 10);
        ASSERT_TRUE(pending.add(entry(ip.c_str(), t0), held));
    }
    EXPECT_FALSE(pending.add(entry("198.18.9.9", t0), held));
    EXPECT_EQ(held, 0U);
    while (pending.popDue(Clock::time_point::max(), out))
    {
    }
    EXPECT_TRUE(pending.empty());
    EXPECT_EQ(pending.nextDue(), Clock::time_point::max());
}
} // namespace
