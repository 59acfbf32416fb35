#include "discovery/Announcer.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace
{
// The fresh sets of announcements, run through 21 s of a responder's turns: the start's set at
// once, a later one only once the addresses have held still for 1.5 s, however many moves
// came before. Regression: every move began a fresh set (and a new BOOTID.UPNP.ORG), so a link
// flapping or a router advertising prefixes in turn sent a dozen NOTIFYs per move.
TEST(Announcer, FreshSetOnlyOnceTheAddressesHoldStill)
{
    using namespace std::chrono_literals;
    using Ms = std::chrono::milliseconds;
    std::vector<Ms> flapping{0ms};
    for (int i = 0; i < 25; ++i)
    {
        flapping.push_back(3000ms + i * 600ms); // 25 moves 0.6 s apart
    }
    struct Case
    {
        const char* what;
        std::vector<Ms> moves;     // the first is the start
        std::vector<Ms> freshSets; // when each fresh set after the start's began
        Ms allLost;                // -1: never
        int interval;              // seconds, past the 21 s run; 0: none
        int rounds;
    };
    const Case cases[] = {
        {"start only", {0ms}, {}, -1ms, 30, 3},
        {"one move", {0ms, 5000ms}, {6500ms}, -1ms, 30, 3 + 3},
        {"moves 1.2 s apart", {0ms, 3000ms, 4200ms}, {5700ms}, -1ms, 30, 3 + 3},
        {"moves 2 s apart", {0ms, 3000ms, 5000ms}, {4500ms, 6500ms}, -1ms, 30, 3 + 3 + 3},
        {"flapping, then still", flapping, {18900ms}, -1ms, 30, 3 + 3},
        {"flapping, no announcements", flapping, {18900ms}, -1ms, 0, 0},
        {"every address lost while settling", {0ms, 5000ms}, {}, 5500ms, 30, 3},
    };
    for (const Case& c : cases)
    {
        std::mt19937 rng(1);
        Announcer announcer;
        announcer.configure(c.interval);
        const Announcer::Clock::time_point t0{};
        std::vector<Ms> freshSets;
        int rounds = 0;
        for (Ms t = 0ms; t < 21000ms; t += 10ms)
        {
            const Announcer::Clock::time_point now = t0 + t;
            if (std::find(c.moves.begin(), c.moves.end(), t) != c.moves.end())
            {
                announcer.moved(now, rng);
            }
            if (t == c.allLost)
            {
                announcer.pause();
            }
            if (announcer.freshSetDue(now, rng))
            {
                freshSets.push_back(t);
            }
            if (announcer.due(now))
            {
                ++rounds;
                announcer.sent(now, rng);
            }
            EXPECT_GT(announcer.next(), now) << c.what << " at " << t.count();
        }
        EXPECT_EQ(freshSets, c.freshSets) << c.what;
        EXPECT_EQ(rounds, c.rounds) << c.what;
    }
}
} // namespace
