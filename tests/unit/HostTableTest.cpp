#include "discovery/HostTable.h"
#include "tests/TestSupport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>

namespace
{
using testsupport::ip;

// IPv4 with `label` as its label; with `peer`, a point-to-point address.
HostTable::Address address(int index, const char* local, unsigned length, unsigned flags = 0,
                           const char* label = "", const char* peer = nullptr)
{
    return {index, ip(local), ip(peer == nullptr ? local : peer), length, flags, label};
}

HostTable::Route route(int index, const char* destination, unsigned length,
                       const char* gateway = nullptr, unsigned priority = 0)
{
    HostTable::Route r;
    r.destination = ip(destination);
    r.length = length;
    r.priority = priority;
    r.index = index;
    r.gateway = gateway == nullptr ? IpAddress{} : ip(gateway);
    r.scope = gateway == nullptr ? RT_SCOPE_LINK : RT_SCOPE_UNIVERSE;
    return r;
}

using Change = HostTable::RouteChange;

// Links 2 (eth1), 3 (eth2), 4 (eth3, a /32 and a /128 with connected routes) and 5 (gone);
// every query's answer, sender by sender.
TEST(HostTable, AnswersFromEntries)
{
    HostTable t;
    for (const HostTable::Link& l : {HostTable::Link{2, true, "eth1"},
                                     {3, true, "eth2"},
                                     {4, true, "eth3"},
                                     {5, true, "eth4"}})
    {
        t.applyLink(l, false);
    }
    t.applyAddress(address(5, "198.18.50.1", 24, 0, "eth4"), false);
    t.applyRoutes({route(5, "198.18.51.0", 24)}, Change::Add);
    t.applyLink({5, true, "eth4"}, true);
    t.applyAddress(address(2, "198.18.6.1", 24, 0, "eth1:0"), false);
    t.applyAddress(address(2, "198.18.0.1", 24, 0, "eth1"), false);
    t.applyRoutes({route(2, "198.18.0.0", 24)}, Change::Add);
    t.applyAddress(address(2, "198.18.5.1", 31, 0, "eth1"), false);
    t.applyAddress(address(2, "10.9.0.1", 32, 0, "eth1", "10.9.0.2"), false);
    t.applyAddress(address(2, "198.18.0.7", 24), false);
    t.applyAddress(address(2, "198.18.0.7", 24), true);
    t.applyAddress(address(2, "fd00::1", 64), false);
    t.applyAddress(address(2, "fd00:1:0:10::1", 60), false);
    t.applyAddress(address(3, "198.18.1.7", 20, IFA_F_SECONDARY, "eth2"), false);
    t.applyAddress(address(3, "198.18.1.1", 20, 0, "eth2"), false);
    t.applyAddress(address(3, "fd00:77::1", 64), false);
    t.applyAddress(address(4, "198.18.9.1", 32, 0, "eth3"), false);
    t.applyRoutes({route(4, "198.18.9.0", 24)}, Change::Add);
    t.applyAddress(address(4, "fd00:4::1", 64, IFA_F_TENTATIVE), false);
    t.applyAddress(address(4, "fd00:9::1", 128, IFA_F_DEPRECATED), false);
    t.applyRoutes({route(4, "fd00:9::", 64)}, Change::Add);
    t.applyRoutes({route(2, "198.18.8.0", 24)}, Change::Add);
    t.applyRoutes({route(2, "198.18.8.0", 24)}, Change::Remove);
    t.applyRoutes({route(4, "198.19.0.0", 16, "198.18.9.254")}, Change::Add);
    t.applyRoutes({route(4, "198.18.0.128", 25, "198.18.9.254")}, Change::Add);
    t.applyRoutes({route(2, "0.0.0.0", 0, "198.18.0.254", 100)}, Change::Add);
    t.applyRoutes({route(4, "0.0.0.0", 0, "198.18.9.254", 50)}, Change::Add);
    t.applyRoutes({route(2, "::", 0, "fe80::1", 1024)}, Change::Add);
    t.applyRoutes({route(2, "fd00:5::", 64, "fe80::1", 1024)}, Change::Add);
    t.applyRoutes({route(4, "fd00:5::", 64, nullptr, 1024)}, Change::Replace);
    // Told again, nothing moves.
    EXPECT_FALSE(t.applyAddress(address(2, "198.18.0.1", 24, 0, "eth1"), false).moved);

    EXPECT_EQ(t.indexOf("eth3"), 4);
    EXPECT_EQ(t.indexOf("eth4"), 0);
    EXPECT_EQ(t.ipv4Of(2), ip("198.18.0.1").ipv4());
    EXPECT_EQ(t.ipv4Of(3), ip("198.18.1.1").ipv4());
    EXPECT_EQ(t.ipv4Of(5), 0U);
    EXPECT_EQ(IpAddress::v6(chooseIpv6Addr(t.ipv6Of(4), in6addr_any)), ip("fd00:9::1"));
    struct Case
    {
        const char* sender;
        bool onLink2; // over eth1
        bool onLink4; // over eth3
        bool local;
        int leaves; // the link the longest route leaves by, 0 for none
    };
    for (const Case& c : {
             Case{"198.18.0.2", true, false, false, 2},
             Case{"198.18.0.254", true, false, false, 4}, // a /25 through eth3
             Case{"198.18.0.0", false, false, false, 2},
             Case{"198.18.0.255", false, false, false, 4},
             Case{"198.18.5.0", true, false, false, 4},
             Case{"10.9.0.2", true, false, false, 4},
             Case{"10.9.0.3", false, false, false, 4},
             Case{"169.254.3.3", true, true, false, 4},
             Case{"198.18.1.9", false, false, false, 4},
             Case{"198.19.0.2", false, false, false, 4},
             Case{"198.18.1.1", false, false, true, 4},
             Case{"198.18.0.1", true, false, true, 2},
             Case{"198.18.0.7", true, false, false, 2},
             Case{"198.18.9.2", false, true, false, 4},
             Case{"198.18.9.255", false, false, false, 4},
             Case{"198.18.8.5", false, false, false, 4},
             Case{"198.18.50.1", false, false, false, 4},
             Case{"198.18.51.2", false, false, false, 4},
             Case{"fd00::2", true, false, false, 2},
             Case{"fe80::9", true, true, false, 2},
             Case{"fd00:1:0:1f::5", true, false, false, 2},
             Case{"fd00:1:0:20::5", false, false, false, 2},
             Case{"fd00:77::2", false, false, false, 2},
             Case{"fd00:77::1", false, false, true, 2},
             Case{"2001:db8::1", false, false, false, 2},
             Case{"fd00:4::1", false, true, true, 2},
             Case{"fd00:9::2", false, true, false, 4},
             Case{"fd00:5::2", false, true, false, 4},
         })
    {
        EXPECT_EQ(t.isOnLink(ip(c.sender), 2), c.onLink2) << c.sender;
        EXPECT_EQ(t.isOnLink(ip(c.sender), 4), c.onLink4) << c.sender;
        EXPECT_EQ(t.isLocal(ip(c.sender)), c.local) << c.sender;
        for (int index = 2; index <= 4; ++index)
        {
            EXPECT_EQ(t.routeLeavesBy(ip(c.sender), index), index == c.leaves) << c.sender;
        }
    }
}

// Only what the options need is kept: IPv6 with IPv6 alone, and the named interfaces' entries;
// a link renamed to a followed name owes the dumps that bring its entries.
TEST(HostTable, KeepsWhatTheOptionsNeed)
{
    HostTable t(HostTable::Scope{false, {"eth1"}});
    t.applyLink({2, true, "eth1"}, false);
    t.applyLink({3, true, "eth2"}, false);
    t.applyAddress(address(2, "fd00::1", 64), false);
    t.applyAddress(address(3, "198.18.1.1", 24, 0, "eth2"), false);
    t.applyRoutes({route(3, "198.18.7.0", 24)}, Change::Add);
    EXPECT_TRUE(t.ipv6Of(2).empty());
    EXPECT_FALSE(t.isLocal(ip("198.18.1.1")));
    EXPECT_FALSE(t.routeLeavesBy(ip("198.18.7.1"), 3));
    EXPECT_EQ(t.applyLink({3, true, "eth1"}, false).owed,
              unsigned{HostTable::ADDRESSES | HostTable::ROUTES});
}

// A segment's router advertisements once grew the routes without end; past the bound one
// interface says so once, and its on-link rule keeps to its own address prefixes.
TEST(HostTable, BoundsRoutesPerInterface)
{
    HostTable t;
    t.applyLink({2, true, "eth1"}, false);
    t.applyAddress(address(2, "fd00::1", 64), false);
    t.applyRoutes({route(2, "fd01::", 64)}, Change::Add);
    EXPECT_TRUE(t.isOnLink(ip("fd01::5"), 2));
    int full = 0;
    for (unsigned i = 1; i <= HostTable::MAX_PER_INTERFACE + 10; ++i)
    {
        const std::string prefix = "fd02:" + std::to_string(i) + "::";
        const int told = t.applyRoutes({route(2, prefix.c_str(), 64)}, Change::Add).full;
        EXPECT_TRUE(told == 0 || full == 0) << "told twice";
        full = told != 0 ? told : full;
    }
    EXPECT_EQ(full, 2);
    EXPECT_EQ(t.routeCount(), HostTable::MAX_PER_INTERFACE);
    EXPECT_FALSE(t.isOnLink(ip("fd01::5"), 2));
    EXPECT_TRUE(t.isOnLink(ip("fd00::5"), 2));
}
} // namespace
