#include "discovery/HostView.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <cstring>

namespace
{
IpAddress ip(const char* text)
{
    in6_addr v6{};
    if (inet_pton(AF_INET6, text, &v6) == 1)
    {
        return IpAddress::v6(v6);
    }
    in_addr v4{};
    inet_pton(AF_INET, text, &v4);
    return IpAddress::v4(v4.s_addr);
}

// Netlink messages as the kernel writes them, one after the other.
class Messages
{
public:
    Messages& link(std::uint16_t type, int index, const char* name, bool up = true)
    {
        ifinfomsg body{};
        body.ifi_index = index;
        body.ifi_flags = up ? IFF_UP : 0;
        begin(type, &body, sizeof(body));
        attr(IFLA_IFNAME, name, std::strlen(name) + 1);
        return *this;
    }
    // IPv4 with `label` as its IFA_LABEL; with `peer`, a point-to-point address.
    Messages& address(std::uint16_t type, int index, const char* local, unsigned length,
                      unsigned flags = 0, const char* label = "", const char* peer = nullptr)
    {
        const IpAddress a = ip(local);
        ifaddrmsg body{};
        body.ifa_family = static_cast<unsigned char>(a.family);
        body.ifa_prefixlen = static_cast<unsigned char>(length);
        body.ifa_index = static_cast<unsigned>(index);
        begin(type, &body, sizeof(body));
        attr(IFA_ADDRESS, ip(peer == nullptr ? local : peer));
        attr(IFA_LOCAL, a);
        attr(IFA_FLAGS, &flags, sizeof(flags)); // ifa_flags left 0: the attribute counts
        attr(IFA_LABEL, label, std::strlen(label) + 1);
        return *this;
    }
    Messages& route(std::uint16_t type, int index, const char* destination, unsigned length,
                    const char* gateway = nullptr, unsigned priority = 0,
                    unsigned table = RT_TABLE_MAIN, std::uint16_t flags = 0)
    {
        const IpAddress d = ip(destination);
        rtmsg body{};
        body.rtm_family = static_cast<unsigned char>(d.family);
        body.rtm_dst_len = static_cast<unsigned char>(length);
        body.rtm_table = RT_TABLE_UNSPEC;
        body.rtm_type = RTN_UNICAST;
        body.rtm_scope = gateway == nullptr ? RT_SCOPE_LINK : RT_SCOPE_UNIVERSE;
        begin(type, &body, sizeof(body), flags);
        attr(RTA_TABLE, &table, sizeof(table));
        attr(RTA_DST, d);
        attr(RTA_OIF, &index, sizeof(index));
        attr(RTA_PRIORITY, &priority, sizeof(priority));
        if (gateway != nullptr)
        {
            attr(RTA_GATEWAY, ip(gateway));
        }
        return *this;
    }
    const std::vector<char>& bytes() const { return m_bytes; }

private:
    void begin(std::uint16_t type, const void* body, std::size_t size, std::uint16_t flags = 0)
    {
        m_start = m_bytes.size();
        nlmsghdr header{};
        header.nlmsg_type = type;
        header.nlmsg_flags = flags;
        put(&header, sizeof(header));
        put(body, size);
    }
    void attr(std::uint16_t type, const void* data, std::size_t size)
    {
        const rtattr header{static_cast<unsigned short>(RTA_LENGTH(size)), type};
        put(&header, sizeof(header));
        put(data, size);
    }
    void attr(std::uint16_t type, const IpAddress& a)
    {
        attr(type, &a.bytes, a.family == AF_INET ? 4 : 16);
    }
    void put(const void* data, std::size_t size)
    {
        const auto* bytes = static_cast<const char*>(data);
        m_bytes.insert(m_bytes.end(), bytes, bytes + size);
        m_bytes.resize(NLMSG_ALIGN(m_bytes.size()));
        const auto length = static_cast<std::uint32_t>(m_bytes.size() - m_start);
        std::memcpy(&m_bytes[m_start], &length, sizeof(length));
    }
    std::vector<char> m_bytes;
    std::size_t m_start = 0;
};

// Links 2 (eth1), 3 (eth2), 4 (eth3, a /32 and a /128 with connected routes) and 5 (gone);
// every query's answer, sender by sender.
TEST(HostView, AnswersFromEvents)
{
    Messages m;
    m.link(RTM_NEWLINK, 2, "eth1").link(RTM_NEWLINK, 3, "eth2").link(RTM_NEWLINK, 4, "eth3");
    m.link(RTM_NEWLINK, 5, "eth4").address(RTM_NEWADDR, 5, "198.18.50.1", 24, 0, "eth4");
    m.route(RTM_NEWROUTE, 5, "198.18.51.0", 24).link(RTM_DELLINK, 5, "eth4");
    m.address(RTM_NEWADDR, 2, "198.18.6.1", 24, 0, "eth1:0");
    m.address(RTM_NEWADDR, 2, "198.18.0.1", 24, 0, "eth1").route(RTM_NEWROUTE, 2, "198.18.0.0", 24);
    m.address(RTM_NEWADDR, 2, "198.18.5.1", 31, 0, "eth1");
    m.address(RTM_NEWADDR, 2, "10.9.0.1", 32, 0, "eth1", "10.9.0.2");
    m.address(RTM_NEWADDR, 2, "198.18.0.7", 24).address(RTM_DELADDR, 2, "198.18.0.7", 24);
    m.address(RTM_NEWADDR, 2, "fd00::1", 64).address(RTM_NEWADDR, 2, "fd00:1:0:10::1", 60);
    m.address(RTM_NEWADDR, 3, "198.18.1.7", 20, IFA_F_SECONDARY, "eth2");
    m.address(RTM_NEWADDR, 3, "198.18.1.1", 20, 0, "eth2")
        .address(RTM_NEWADDR, 3, "fd00:77::1", 64);
    m.address(RTM_NEWADDR, 4, "198.18.9.1", 32, 0, "eth3").route(RTM_NEWROUTE, 4, "198.18.9.0", 24);
    m.address(RTM_NEWADDR, 4, "fd00:4::1", 64, IFA_F_TENTATIVE);
    m.address(RTM_NEWADDR, 4, "fd00:9::1", 128, IFA_F_DEPRECATED)
        .route(RTM_NEWROUTE, 4, "fd00:9::", 64);
    m.route(RTM_NEWROUTE, 2, "198.18.8.0", 24).route(RTM_DELROUTE, 2, "198.18.8.0", 24);
    m.route(RTM_NEWROUTE, 4, "198.18.77.0", 24, nullptr, 0, 100);
    m.route(RTM_NEWROUTE, 4, "198.19.0.0", 16, "198.18.9.254");
    m.route(RTM_NEWROUTE, 4, "198.18.0.128", 25, "198.18.9.254");
    m.route(RTM_NEWROUTE, 2, "0.0.0.0", 0, "198.18.0.254", 100);
    m.route(RTM_NEWROUTE, 4, "0.0.0.0", 0, "198.18.9.254", 50);
    m.route(RTM_NEWROUTE, 2, "::", 0, "fe80::1", 1024);
    m.route(RTM_NEWROUTE, 2, "fd00:5::", 64, "fe80::1", 1024);
    m.route(RTM_NEWROUTE, 4, "fd00:5::", 64, nullptr, 1024, RT_TABLE_MAIN, NLM_F_REPLACE);
    HostView view;
    view.apply(m.bytes().data(), m.bytes().size());
    EXPECT_FALSE(view.known()); // until a dump has succeeded
    const unsigned version = view.version();
    view.apply(m.bytes().data(), m.bytes().size());
    EXPECT_EQ(view.version(), version); // told again, nothing changed
    EXPECT_GT(version, 0U);

    EXPECT_EQ(view.indexOf("eth3"), 4);
    EXPECT_EQ(view.indexOf("eth4"), 0);
    EXPECT_EQ(view.ipv4Of(2), ip("198.18.0.1").ipv4());
    EXPECT_EQ(view.ipv4Of(3), ip("198.18.1.1").ipv4());
    EXPECT_EQ(view.ipv4Of(5), 0U);
    EXPECT_EQ(IpAddress::v6(chooseIpv6Addr(view.ipv6Of(4), in6addr_any)), ip("fd00:9::1"));
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
             Case{"198.18.77.5", false, false, false, 4},
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
        EXPECT_EQ(view.isOnLink(ip(c.sender), 2), c.onLink2) << c.sender;
        EXPECT_EQ(view.isOnLink(ip(c.sender), 4), c.onLink4) << c.sender;
        EXPECT_EQ(view.isLocal(ip(c.sender)), c.local) << c.sender;
        for (int index = 2; index <= 4; ++index)
        {
            EXPECT_EQ(view.routeLeavesBy(ip(c.sender), index), index == c.leaves) << c.sender;
        }
    }
}

// The kernel's own dumps, parsed: the loopback link is there by its name.
TEST(HostView, OpensOnTheKernel)
{
    HostView view;
    ASSERT_TRUE(view.open());
    EXPECT_TRUE(view.known());
    EXPECT_NE(view.fd(), -1);
    EXPECT_EQ(view.indexOf("lo"), 1);
    EXPECT_GT(view.version(), 0U);
    view.update();
    EXPECT_TRUE(view.known());
}
} // namespace
