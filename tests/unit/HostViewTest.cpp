#include "discovery/HostView.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>

namespace
{
PeerAddr peer(const char* text)
{
    PeerAddr addr{};
    if (inet_pton(AF_INET6, text, &addr.v6.sin6_addr) == 1)
    {
        addr.v6.sin6_family = AF_INET6;
    }
    else
    {
        addr.v4.sin_family = AF_INET;
        inet_pton(AF_INET, text, &addr.v4.sin_addr);
    }
    return addr;
}

HostAddresses::Address address(int index, const char* local, const char* base, unsigned length)
{
    HostAddresses::Address a;
    a.index = index;
    const PeerAddr l = peer(local);
    const PeerAddr b = peer(base);
    const bool ipv6 = l.sa.sa_family == AF_INET6;
    std::memcpy(&a.local, ipv6 ? static_cast<const void*>(&l.v6.sin6_addr) : &l.v4.sin_addr,
                ipv6 ? 16 : 4);
    std::memcpy(&a.prefixBase, ipv6 ? static_cast<const void*>(&b.v6.sin6_addr) : &b.v4.sin_addr,
                ipv6 ? 16 : 4);
    a.prefixLength = length;
    return a;
}

// Who may be answered over interface 2: its subnets less their network and broadcast addresses,
// a point-to-point peer, link-local addresses; never a host address, nor another interface's
// subnet.
TEST(HostAddresses, OnLinkAndLocalSenders)
{
    struct Case
    {
        const char* sender;
        bool onLink; // over interface 2
        bool local;
    };
    HostAddresses v4(AF_INET);
    v4.assign({address(2, "198.18.0.1", "198.18.0.1", 24),
               address(2, "198.18.5.1", "198.18.5.1", 31), address(2, "10.9.0.1", "10.9.0.2", 32),
               address(3, "198.18.1.1", "198.18.1.1", 20)});
    for (const Case& c : {Case{"198.18.0.2", true, false}, Case{"198.18.0.254", true, false},
                          Case{"198.18.0.0", false, false}, Case{"198.18.0.255", false, false},
                          Case{"198.18.5.0", true, false}, Case{"10.9.0.2", true, false},
                          Case{"10.9.0.3", false, false}, Case{"169.254.3.3", true, false},
                          Case{"198.18.1.9", false, false}, Case{"198.19.0.2", false, false},
                          Case{"198.18.1.1", false, true}, Case{"198.18.0.1", true, true}})
    {
        EXPECT_EQ(v4.isOnLink(peer(c.sender), 2), c.onLink) << c.sender;
        EXPECT_EQ(v4.isLocal(peer(c.sender)), c.local) << c.sender;
    }
    HostAddresses v6(AF_INET6);
    v6.assign({address(2, "fd00::1", "fd00::1", 64),
               address(2, "fd00:1:0:10::1", "fd00:1:0:10::1", 60),
               address(3, "fd00:77::1", "fd00:77::1", 64)});
    for (const Case& c : {Case{"fd00::2", true, false}, Case{"fe80::9", true, false},
                          Case{"fd00:1:0:1f::5", true, false}, Case{"fd00:1:0:20::5", false, false},
                          Case{"fd00:77::2", false, false}, Case{"fd00:77::1", false, true},
                          Case{"2001:db8::1", false, false}})
    {
        EXPECT_EQ(v6.isOnLink(peer(c.sender), 2), c.onLink) << c.sender;
        EXPECT_EQ(v6.isLocal(peer(c.sender)), c.local) << c.sender;
    }
}
} // namespace
