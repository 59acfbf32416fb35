#include "discovery/PendingResponses.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <gtest/gtest.h>
#include <map>
#include <random>

namespace
{
using Clock = std::chrono::steady_clock;

using Verdict = PendingResponses::Admission::Verdict;
using std::chrono::milliseconds;

// "198.18.0.2", or "fe80::2%3" from the interface of index 3.
PendingResponses::Entry entry(const std::string& where, Clock::time_point due, unsigned port = 1900)
{
    PendingResponses::Entry e{};
    e.due = due;
    const std::string ip = where.substr(0, where.find('%'));
    e.ifindex = ip == where ? 0 : std::stoi(where.substr(ip.size() + 1));
    if (ip.find(':') != std::string::npos)
    {
        e.to.v6.sin6_family = AF_INET6;
        e.to.v6.sin6_port = htons(port);
        inet_pton(AF_INET6, ip.c_str(), &e.to.v6.sin6_addr);
        e.toLen = sizeof(e.to.v6);
    }
    else
    {
        e.to.v4.sin_family = AF_INET;
        e.to.v4.sin_port = htons(port);
        inet_pton(AF_INET, ip.c_str(), &e.to.v4.sin_addr);
        e.toLen = sizeof(e.to.v4);
    }
    return e;
}

// The `i`th address of a crowd: "169.254.%u.%u%%1", "fe80::%x:%x%%1".
std::string nth(const char* pattern, unsigned i)
{
    char where[64];
    std::snprintf(where, sizeof(where), pattern, i >> 8, i & 0xff);
    return where;
}

// Longest-queue-drop: the room is everyone's; once full, a class below its share takes a place
// from the largest class, and within a class an address holding at least two fewer than the
// largest holder takes the place of its newest answer; anything else is refused. The counts that
// come back are the drop record's. Holders are filled in order, each answer due earlier than the
// one before, so the newest answer of the last holder is the earliest due: a push-out that took
// another answer, or left the pushed-out one in the heap, shows in the drained order.
TEST(PendingResponses, LongestQueueDrop)
{
    struct Holder
    {
        const char* ip;
        unsigned count;
        bool crowd = false; // `count` addresses of the pattern `ip`, one answer each
    };
    struct Case
    {
        const char* name;
        std::vector<Holder> holders;
        const char* from; // from port 50000: the address counts, not the port
        Verdict verdict;
        unsigned held;
        const char* pushedOutTo = "";
        unsigned pushedOutHeld = 0;
    };
    const std::vector<Case> cases = {
        // The former rule refused one address holding 16 past 128 waiting.
        {"room, one address", {{"198.18.0.2", 255}}, "198.18.0.2", Verdict::Taken, 255},
        {"room, a newcomer", {{"198.18.0.2", 200}}, "198.18.0.3", Verdict::Taken, 0},
        {"full, the largest holder",
         {{"198.18.0.3", 56}, {"198.18.0.2", 200}},
         "198.18.0.2",
         Verdict::Refused,
         200},
        {"full, a tie",
         {{"198.18.0.2", 128}, {"198.18.0.3", 128}},
         "198.18.0.2",
         Verdict::Refused,
         128},
        // Pushing out used to need only fewer than the largest: the two then swapped places.
        {"full, one short of the largest (used to push out)",
         {{"198.18.0.4", 1}, {"198.18.0.3", 127}, {"198.18.0.2", 128}},
         "198.18.0.3",
         Verdict::Refused,
         127},
        // A fresh forged address used to push out a console's answer, of either family.
        {"full, a link-local crowd against a subnet console (used to push out)",
         {{"198.18.0.3%1", 10}, {"169.254.%u.%u%%1", 246, true}},
         "169.254.9.9%1",
         Verdict::Refused,
         0},
        {"full, an IPv6 crowd against an IPv4 console (used to push out)",
         {{"198.18.0.3%1", 4}, {"fe80::%x:%x%%1", 252, true}},
         "fe80::9:9%1",
         Verdict::Refused,
         0},
        {"full, a smaller holder",
         {{"198.18.0.4", 6}, {"198.18.0.3", 50}, {"198.18.0.2", 200}},
         "198.18.0.3",
         Verdict::PushedOut,
         50,
         "198.18.0.2",
         200},
        {"full, a newcomer",
         {{"198.18.0.2", 256}},
         "198.18.0.9",
         Verdict::PushedOut,
         0,
         "198.18.0.2",
         256},
        {"full, IPv6",
         {{"fd00::2", 1}, {"fd00::1", 255}},
         "fd00::2",
         Verdict::PushedOut,
         1,
         "fd00::1",
         255},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        PendingResponses pending;
        const Clock::time_point t0 = Clock::now();
        std::vector<Clock::time_point> expected;
        for (const Holder& holder : c.holders)
        {
            for (unsigned i = 0; i < holder.count; ++i)
            {
                expected.push_back(t0 + milliseconds(2000 - expected.size()));
                const std::string where = holder.crowd ? nth(holder.ip, i) : holder.ip;
                ASSERT_EQ(pending.add(entry(where, expected.back())).verdict, Verdict::Taken);
            }
        }
        const Clock::time_point due = t0 + milliseconds(5000);
        const PendingResponses::Admission admission = pending.add(entry(c.from, due, 50000));
        EXPECT_EQ(admission.verdict, c.verdict);
        EXPECT_EQ(admission.held, c.held);
        if (c.verdict != Verdict::Refused)
        {
            expected.push_back(due);
        }
        if (c.verdict == Verdict::PushedOut)
        {
            EXPECT_EQ(addressText(admission.pushedOutTo), c.pushedOutTo);
            EXPECT_EQ(admission.pushedOutHeld, c.pushedOutHeld);
            expected.erase(expected.end() - 2);
        }
        EXPECT_EQ(pending.size(), expected.size());

        // Earliest first, only once due, and never a pushed-out answer.
        std::sort(expected.begin(), expected.end());
        PendingResponses::Entry out{};
        EXPECT_FALSE(pending.popDue(expected.front() - milliseconds(1), out));
        std::vector<Clock::time_point> popped;
        while (pending.nextDue() != Clock::time_point::max())
        {
            const Clock::time_point next = pending.nextDue();
            ASSERT_TRUE(pending.popDue(next, out));
            EXPECT_EQ(out.due, next);
            popped.push_back(out.due);
        }
        EXPECT_EQ(popped, expected);
        EXPECT_TRUE(pending.empty());
    }
}

// A flood that fills the queue gives its places up one by one to another sender, down to an
// even share, and a popped answer frees a place for anyone.
TEST(PendingResponses, FloodGivesWayDownToAnEvenShare)
{
    PendingResponses pending;
    const Clock::time_point t0 = Clock::now();
    for (unsigned i = 0; i < PendingResponses::CAPACITY; ++i)
    {
        pending.add(entry("198.18.0.2", t0 + milliseconds(i)));
    }
    for (unsigned i = 0; i < PendingResponses::CAPACITY / 2; ++i)
    {
        const PendingResponses::Admission admission =
            pending.add(entry("198.18.0.3", t0 + milliseconds(i)));
        ASSERT_EQ(admission.verdict, Verdict::PushedOut);
        EXPECT_EQ(admission.held, i);
        EXPECT_EQ(admission.pushedOutHeld, PendingResponses::CAPACITY - i);
    }
    EXPECT_EQ(pending.add(entry("198.18.0.3", t0)).verdict, Verdict::Refused);
    EXPECT_EQ(pending.add(entry("198.18.0.2", t0)).verdict, Verdict::Refused);
    const PendingResponses::Admission newcomer = pending.add(entry("198.18.0.4", t0));
    EXPECT_EQ(newcomer.verdict, Verdict::PushedOut);
    EXPECT_EQ(newcomer.pushedOutHeld, PendingResponses::CAPACITY / 2);

    PendingResponses::Entry out{};
    ASSERT_TRUE(pending.popDue(t0, out));
    EXPECT_EQ(pending.size(), PendingResponses::CAPACITY - 1);
    EXPECT_EQ(pending.add(entry("198.18.0.2", t0)).verdict, Verdict::Taken);
}

// Past half full, delays shrink so that the pool drains at DRAIN_RATE_PER_SECOND whatever MX the
// searches ask, and no faster.
TEST(PendingResponses, DelayBoundShrinksPastHalfFull)
{
    // By fill, the bound for an MX of 5 s and of 0.7 s, in ms.
    const std::map<std::size_t, std::array<long, 2>> bounds = {{0, {5000, 700}},
                                                               {128, {5000, 700}},
                                                               {129, {503, 503}},
                                                               {192, {750, 700}},
                                                               {256, {1000, 700}}};
    PendingResponses pending;
    for (const auto& [fill, bound] : bounds)
    {
        while (pending.size() < fill)
        {
            pending.add(entry("198.18.0.2", Clock::now()));
        }
        EXPECT_EQ(pending.delayBound(milliseconds(5000)), milliseconds(bound[0])) << fill;
        EXPECT_EQ(pending.delayBound(milliseconds(700)), milliseconds(bound[1])) << fill;
    }
}

// Random adds and pops, checked against a plain list scanned in full at every step: the heap
// kept in order through removals from its middle, and the counts through many push-outs.
TEST(PendingResponses, MatchesAPlainModel)
{
    struct Live
    {
        std::string ip;
        Clock::time_point due;
        unsigned seq;
    };
    // Classes of one to three addresses, on two interfaces, in both families.
    const std::vector<std::string> ips = {"198.18.0.2%1", "198.18.0.3%1", "169.254.0.2%1",
                                          "fd00::2%1",    "fe80::3%1",    "198.18.0.4%2",
                                          "169.254.0.5%1"};
    const auto classOf = [](const std::string& ip)
    {
        const bool linkLocal = ip.rfind("169.254.", 0) == 0 || ip.rfind("fe80:", 0) == 0;
        return ip.substr(ip.find('%')) + (ip.find(':') == std::string::npos ? "4" : "6") +
               (linkLocal ? "L" : "");
    };
    std::vector<Live> model;
    PendingResponses pending;
    std::mt19937 random(23);
    const Clock::time_point t0 = Clock::now();
    for (unsigned step = 0; step < 20000; ++step)
    {
        const auto heldBy = [&](const std::string& ip) {
            return std::count_if(model.begin(), model.end(),
                                 [&](const Live& l) { return l.ip == ip; });
        };
        if (random() % 10 < 6)
        {
            // Skewed towards the first addresses, so that counts differ and ties happen.
            const std::string& ip = ips[std::min(random() % ips.size(), random() % ips.size())];
            // Distinct due times: the order popped is then the only right one.
            const Clock::time_point due =
                t0 + milliseconds(random() % 1000) + std::chrono::nanoseconds(step);
            const PendingResponses::Admission admission = pending.add(entry(ip, due));
            const auto held = static_cast<unsigned>(heldBy(ip));
            ASSERT_EQ(admission.held, held);
            std::map<std::string, unsigned> classHeld;
            std::map<std::string, unsigned> largestIn;
            unsigned biggest = 0;
            for (const std::string& other : ips)
            {
                const auto count = static_cast<unsigned>(heldBy(other));
                if (count > 0)
                {
                    biggest = std::max(biggest, classHeld[classOf(other)] += count);
                    largestIn[classOf(other)] = std::max(largestIn[classOf(other)], count);
                }
            }
            const std::string own = classOf(ip);
            const std::size_t classes = classHeld.size() + 1 - classHeld.count(own);
            const bool belowShare = classHeld[own] < PendingResponses::CAPACITY / classes;
            if (model.size() == PendingResponses::CAPACITY && !belowShare &&
                held + 1 >= largestIn[own])
            {
                ASSERT_EQ(admission.verdict, Verdict::Refused);
                continue;
            }
            if (model.size() == PendingResponses::CAPACITY)
            {
                ASSERT_EQ(admission.verdict, Verdict::PushedOut);
                const std::string victim = *std::find_if(
                    ips.begin(), ips.end(),
                    [&](const std::string& other)
                    { return other.rfind(addressText(admission.pushedOutTo) + "%", 0) == 0; });
                // Below its share, the largest class gives way; else its own.
                ASSERT_EQ(classOf(victim) == own, !belowShare);
                ASSERT_EQ(classHeld[classOf(victim)], belowShare ? biggest : classHeld[own]);
                ASSERT_EQ(admission.pushedOutHeld, largestIn[classOf(victim)]);
                ASSERT_EQ(heldBy(victim), admission.pushedOutHeld);
                auto newest = model.end();
                for (auto it = model.begin(); it != model.end(); ++it)
                {
                    if (it->ip == victim && (newest == model.end() || it->seq > newest->seq))
                    {
                        newest = it;
                    }
                }
                model.erase(newest);
            }
            else
            {
                ASSERT_EQ(admission.verdict, Verdict::Taken);
            }
            model.push_back({ip, due, step});
        }
        else
        {
            const Clock::time_point now = t0 + milliseconds(random() % 1500);
            const auto earliest =
                std::min_element(model.begin(), model.end(),
                                 [](const Live& a, const Live& b) { return a.due < b.due; });
            PendingResponses::Entry out{};
            const bool due = earliest != model.end() && earliest->due <= now;
            ASSERT_EQ(pending.popDue(now, out), due);
            if (due)
            {
                ASSERT_EQ(out.due, earliest->due);
                model.erase(earliest);
            }
        }
        ASSERT_EQ(pending.size(), model.size());
    }
}
} // namespace
