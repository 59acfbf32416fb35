#include "discovery/MembershipRefresh.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace
{
using Clock = MembershipRefresh::Clock;
using Family = InterfaceWatch::Family;

// Each interface of each family has a moment of its own in the period, the first a whole period
// after the start; a turn at or past a moment moves it on by whole periods, so it keeps its place.
TEST(MembershipRefresh, EachInterfaceDueAtItsOwnMoment)
{
    struct Case
    {
        std::size_t slots, phase, phases;
        int turnAt;           // seconds after the start
        std::vector<int> due; // each interface's next moment after that turn, in seconds
    };
    const Case cases[] = {
        {1, 0, 1, 59, {60}},         {1, 0, 1, 60, {120}},       {3, 0, 2, 0, {60, 80, 100}},
        {3, 1, 2, 0, {70, 90, 110}}, {2, 0, 1, 200, {240, 210}},
    };
    const Clock::time_point start{};
    const std::vector<Ipv6GroupAddr> groups;
    const Memberships memberships(Family::Ipv4, groups); // none held: no filter is touched
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    for (const Case& c : cases)
    {
        LogLimiterGroup limits;
        std::vector<InterfaceWatch> watches;
        for (std::size_t i = 0; i < c.slots; ++i)
        {
            watches.emplace_back(Family::Ipv4, "eth" + std::to_string(i), false, limits);
        }
        MembershipRefresh refresh(Family::Ipv4, std::chrono::seconds(60), c.slots, c.phase,
                                  c.phases, memberships, limits, start);
        refresh.turn(start + std::chrono::seconds(c.turnAt), fd, watches, memberships);
        for (std::size_t i = 0; i < c.slots; ++i)
        {
            EXPECT_EQ(refresh.dueAt(i) - start, std::chrono::seconds(c.due[i]))
                << c.slots << " " << c.phase << " " << c.turnAt << " " << i;
        }
    }
    close(fd);
}
} // namespace
