#include "discovery/Sender.h"
#include "LogCapture.h"
#include "discovery/NeighbourBudget.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace
{
// One send-only socket per class of senders, two per family and interface, opened when the
// interface is taken. Regression: every IPv4 class bound 224.0.0.0:1900 without sharing it, so
// a second class failed with EADDRINUSE and wrote its WARNING again every second.
TEST(SenderPool, OneSocketPerClassOpenedWithItsInterface)
{
    struct Case
    {
        const char* name;
        std::vector<std::pair<int, int>> taken; // each interface's IPv4 and IPv6 index
        long sockets;
        long warnings;
        bool ipv6;
        bool squatted; // 224.0.0.0:1900 held before by a socket that shares it with none
    };
    const Case cases[] = {
        {"one interface", {{1, 1}}, 2, 0, false, false},
        {"both families", {{1, 1}}, 4, 0, true, false},
        {"two interfaces, taken again", {{1, 1}, {2, 2}, {1, 1}, {2, 2}}, 8, 0, true, false},
        {"an address taken before", {{1, 1}, {2, 0}, {1, 1}}, 2, 4, true, true},
    };
    for (const Case& c : cases)
    {
        Options options;
        options.interfaces = {"eth1", "eth2"};
        options.ipv6 = c.ipv6;
        const std::vector<Ipv6GroupAddr> groups;
        LogLimiterGroup limits;
        UdpSocketSpec squat;
        squat.address = IpAddress::v4(htonl(INADDR_UNSPEC_GROUP));
        const UdpSocket squatter = c.squatted ? openUdpSocket(squat) : UdpSocket{};
        ASSERT_TRUE(squatter.ok()) << squatter.failure(squat);
        LogCapture::clear();
        Sender sender(options, groups, limits);
        for (const auto& [ipv4, ipv6] : c.taken)
        {
            AddressBoard::Entry interface;
            interface.ipv4Index = ipv4;
            interface.ipv6Index = ipv6;
            sender.take(interface);
        }
        EXPECT_EQ(static_cast<long>(sender.classSockets()), c.sockets) << c.name;
        const auto& records = LogCapture::records();
        const long warnings =
            std::count_if(records.begin(), records.end(),
                          [](const LogRecord& r)
                          { return r.message.rfind("bind() failed on 224.0.0.0:1900: ", 0) == 0; });
        EXPECT_EQ(warnings, c.warnings) << c.name;
    }
}

TEST(NeighbourBudget, PlacesPerWindowAndPerClass)
{
    // Each step asks for `count` neighbours of one interface and class (the prefix), from
    // `first` on, `at` seconds in: how many are admitted.
    struct Step
    {
        int ifindex;
        const char* prefix;
        int first, count, at, admitted;
    };
    const Step steps[] = {
        {1, "169.254.0.", 1, 40, 0, 32},    // a crowd takes its class's share only
        {1, "169.254.0.", 1, 32, 1, 32},    // and those counted come again for nothing
        {1, "198.18.0.", 1, 1, 2, 1},       // a console of another class still has its place
        {2, "169.254.0.", 1, 40, 3, 31},    // the whole budget, 64, is taken
        {3, "198.18.2.", 1, 1, 4, 0},       // nor one of any class past it
        {1, "198.18.0.", 1, 1, 29, 1},      // the console, counted
        {1, "169.254.0.", 100, 40, 30, 32}, // places given back a window after they were taken
    };
    NeighbourBudget budget;
    const NeighbourBudget::Clock::time_point start{};
    for (const Step& s : steps)
    {
        int admitted = 0;
        for (int i = s.first; i < s.first + s.count; ++i)
        {
            PeerAddr to{};
            to.v4.sin_family = AF_INET;
            inet_pton(AF_INET, (s.prefix + std::to_string(i)).c_str(), &to.v4.sin_addr);
            admitted += budget.admit(to, s.ifindex, start + std::chrono::seconds(s.at));
        }
        EXPECT_EQ(admitted, s.admitted) << s.prefix << s.first << " at " << s.at << " s";
    }
}
} // namespace
