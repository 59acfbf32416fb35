#include "discovery/HostTable.h"
#include "tests/TestSupport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_addr.h>

namespace
{
using testsupport::ip;

// IPv4 with `label` as its label; with `peer`, a point-to-point address.
HostTable::Address address(int index, const char* local, unsigned length, unsigned flags = 0,
                           const char* label = "", const char* peer = nullptr)
{
    return {index, ip(local), ip(peer == nullptr ? local : peer), length, flags, label};
}

// Links 2 (eth1), 3 (eth2), 4 (eth3, a /32 and a /128) and 5 (gone); every query's answer,
// sender by sender.
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
    t.applyLink({5, true, "eth4"}, true);
    t.applyAddress(address(2, "198.18.6.1", 24, 0, "eth1:0"), false);
    t.applyAddress(address(2, "198.18.0.1", 24, 0, "eth1"), false);
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
    t.applyAddress(address(4, "fd00:4::1", 64, IFA_F_TENTATIVE), false);
    t.applyAddress(address(4, "fd00:9::1", 128, IFA_F_DEPRECATED), false);
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
        bool onLink2; // over eth1, by its addresses
        bool edge2;   // a subnet's network or broadcast address on eth1
        bool local;
    };
    for (const Case& c : {
             Case{"198.18.0.2", true, false, false},
             Case{"198.18.0.0", false, true, false},
             Case{"198.18.0.255", false, true, false},
             Case{"198.18.5.0", true, false, false}, // a /31 has neither
             Case{"198.18.5.1", true, false, true},
             Case{"10.9.0.2", true, false, false}, // the point-to-point peer
             Case{"10.9.0.3", false, false, false},
             Case{"169.254.3.3", true, false, false},
             Case{"198.18.6.255", false, true, false}, // an alias's subnet
             Case{"198.18.1.1", false, false, true},
             Case{"198.18.0.7", true, false, false},   // gone again
             Case{"198.18.9.2", false, false, false},  // on eth3's link by a route alone
             Case{"198.18.50.1", false, false, false}, // its link gone
             Case{"fd00::", true, false, false},
             Case{"fe80::9", true, false, false},
             Case{"fd00:1:0:1f::5", true, false, false},
             Case{"fd00:1:0:20::5", false, false, false},
             Case{"fd00:77::1", false, false, true},
             Case{"fd00:4::1", false, false, true},
         })
    {
        EXPECT_EQ(t.isOnLink(ip(c.sender), 2), c.onLink2) << c.sender;
        EXPECT_EQ(t.isSubnetEdge(ip(c.sender), 2), c.edge2) << c.sender;
        EXPECT_EQ(t.isLocal(ip(c.sender)), c.local) << c.sender;
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
    EXPECT_TRUE(t.ipv6Of(2).empty());
    EXPECT_FALSE(t.isLocal(ip("198.18.1.1")));
    EXPECT_EQ(t.applyLink({3, true, "eth1"}, false).owed, unsigned{HostTable::ADDRESSES});
}

} // namespace
