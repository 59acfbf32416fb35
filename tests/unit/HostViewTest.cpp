#include "discovery/HostView.h"
#include "discovery/RtnlDecoder.h"
#include "tests/TestSupport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace
{
using testsupport::ip;

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
    // The kernel's reply to the route request `seq`: a route of `kind` out of `index`.
    Messages& route(std::uint32_t seq, unsigned char kind, int index, const char* gateway = nullptr)
    {
        rtmsg body{};
        body.rtm_family = AF_INET6;
        body.rtm_type = kind;
        begin(RTM_NEWROUTE, &body, sizeof(body), 0, seq);
        attr(RTA_DST, ip("fd00:5::2"));
        attr(RTA_OIF, &index, sizeof(index));
        if (gateway != nullptr)
        {
            attr(RTA_GATEWAY, ip(gateway));
        }
        return *this;
    }
    // The kernel's refusal of request `seq`, cut short within its error code with `cut`.
    Messages& error(std::uint32_t seq, int error, bool cut = false)
    {
        const nlmsgerr body{-error, {}};
        begin(NLMSG_ERROR, &body, cut ? 2 : sizeof(body), 0, seq);
        return *this;
    }
    const std::vector<char>& bytes() const { return m_bytes; }

private:
    void begin(std::uint16_t type, const void* body, std::size_t size, std::uint16_t flags = 0,
               std::uint32_t seq = 0)
    {
        m_start = m_bytes.size();
        nlmsghdr header{};
        header.nlmsg_type = type;
        header.nlmsg_flags = flags;
        header.nlmsg_seq = seq;
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

// The decoder on messages as the kernel writes them: what each entry holds, and what is passed by.
TEST(RtnlDecoder, ReadsTheKernelsMessages)
{
    HostTable::Link link;
    Messages m;
    ASSERT_TRUE(rtnl::decodeLink(
        *reinterpret_cast<const nlmsghdr*>(m.link(RTM_NEWLINK, 4, "eth3", false).bytes().data()),
        link));
    EXPECT_EQ(link.index, 4);
    EXPECT_EQ(link.name, "eth3");
    EXPECT_FALSE(link.up);
    HostTable::Address a;
    Messages p2p;
    p2p.address(RTM_NEWADDR, 2, "10.9.0.1", 32, IFA_F_SECONDARY, "eth1:0", "10.9.0.2");
    ASSERT_TRUE(rtnl::decodeAddress(*reinterpret_cast<const nlmsghdr*>(p2p.bytes().data()), a));
    EXPECT_EQ(a.local, ip("10.9.0.1"));
    EXPECT_EQ(a.prefixBase, ip("10.9.0.2"));
    EXPECT_EQ(a.flags, unsigned{IFA_F_SECONDARY});
    EXPECT_EQ(a.label, "eth1:0");
    // The route lookup's replies, as the sender behind them is judged for interface 4.
    using rtnl::RouteVerdict;
    const std::pair<Messages, RouteVerdict> replies[] = {
        {Messages().route(7, RTN_UNICAST, 4), RouteVerdict::OnLink},
        {Messages().route(7, RTN_UNICAST, 4, "fe80::1"), RouteVerdict::Routed},
        {Messages().route(7, RTN_UNICAST, 3), RouteVerdict::Elsewhere},
        {Messages().route(7, RTN_LOCAL, 4), RouteVerdict::Elsewhere}, // this host's own
        {Messages().route(7, RTN_UNREACHABLE, 4), RouteVerdict::Elsewhere},
        {Messages().route(6, RTN_UNICAST, 4), RouteVerdict::Pending}, // a question given up
        {Messages().route(6, RTN_UNICAST, 3).route(7, RTN_UNICAST, 4), RouteVerdict::OnLink},
        {Messages().error(7, ENETUNREACH), RouteVerdict::Elsewhere},
        {Messages().error(7, EINVAL), RouteVerdict::Failed},
        {Messages().error(7, ENETUNREACH, true), RouteVerdict::Failed},
    };
    for (const auto& reply : replies)
    {
        const std::vector<char>& bytes = reply.first.bytes();
        EXPECT_EQ(rtnl::routeVerdict(bytes.data(), bytes.size(), 7, 4), reply.second)
            << &reply - replies;
    }
    // The arrival interface goes with an IPv6 link-local address alone: given one, Linux takes an
    // IPv4 address it has no route for as on that interface's link.
    for (const auto& [sender, withInterface] :
         {std::pair{"fe80::9", true}, {"fd00:5::2", false}, {"198.18.0.2", false}})
    {
        const std::vector<char> request = rtnl::routeRequest(ip(sender), 4, 1);
        const auto& header = *reinterpret_cast<const nlmsghdr*>(request.data());
        EXPECT_EQ(header.nlmsg_len, request.size()) << sender;
        const std::size_t destination = RTA_SPACE(ip(sender).family == AF_INET ? 4 : 16);
        EXPECT_EQ(request.size(),
                  NLMSG_SPACE(sizeof(rtmsg)) + destination + (withInterface ? RTA_SPACE(4) : 0))
            << sender;
    }
    // A message cut short within its fixed part is passed by.
    nlmsghdr cut{NLMSG_LENGTH(2), RTM_NEWADDR, 0, 0, 0};
    EXPECT_FALSE(rtnl::decodeAddress(cut, a));
}

// The kernel's own dumps, parsed: the loopback link is there by its name.
TEST(HostView, OpensOnTheKernel)
{
    HostView view;
    view.open();
    EXPECT_TRUE(view.known());
    EXPECT_NE(view.fd(), -1);
    EXPECT_EQ(view.indexOf("lo"), 1);
    EXPECT_GT(view.version(), 0U);
    view.update();
    EXPECT_TRUE(view.known());
}

// A dump that failed was tried again only when the kernel next spoke, which on a quiet host may be
// hours: it is owed again a second later, whatever the kernel says meanwhile.
TEST(HostView, RetriesAFailedDumpWithoutAnEvent)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    constexpr unsigned PORT = 4321;
    // The kernel's part: the first request fails, every other one is an empty dump.
    std::thread kernel(
        [&pair]
        {
            nlmsghdr request{};
            for (unsigned n = 0; recv(pair[1], &request, sizeof(request), 0) > 0; ++n)
            {
                const nlmsghdr reply{NLMSG_LENGTH(0),
                                     std::uint16_t(n == 0 ? NLMSG_ERROR : NLMSG_DONE), 0,
                                     request.nlmsg_seq, PORT};
                send(pair[1], &reply, sizeof(reply), 0);
            }
            close(pair[1]);
        });
    {
        HostView view({}, [&pair](unsigned) { return HostView::Socket{pair[0], PORT, "", 0}; });
        const HostView::Clock::time_point before = HostView::Clock::now();
        view.open();
        EXPECT_FALSE(view.known());
        EXPECT_FALSE(view.due(before));
        const HostView::Clock::time_point owed = HostView::Clock::now() + std::chrono::seconds(1);
        ASSERT_TRUE(view.due(owed));
        std::this_thread::sleep_until(owed);
        view.update(); // as the listener's turn does once due, with nothing to read
        EXPECT_TRUE(view.known());
        EXPECT_FALSE(view.due(HostView::Clock::now()));
    }
    kernel.join();
}
} // namespace
