#include "discovery/InterfaceWatch.h"

#include "common/Logger.h"
#include "discovery/Ipv6.h"
#include "discovery/Ssdp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace
{
ifreq interfaceRequest(const std::string& name)
{
    ifreq request{};
    request.ifr_addr.sa_family = AF_INET;
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    return request;
}

// The host's IPv6 addresses as the kernel lists them; nothing when the kernel has no IPv6.
std::string readIfInet6()
{
    std::string text;
    const int fd = open("/proc/self/net/if_inet6", O_RDONLY | O_CLOEXEC);
    if (fd == -1)
    {
        return text;
    }
    char chunk[4096];
    for (ssize_t n; (n = read(fd, chunk, sizeof(chunk))) > 0;)
    {
        text.append(chunk, static_cast<std::size_t>(n));
    }
    close(fd);
    return text;
}
} // namespace

InterfaceWatch::InterfaceWatch(Family family, std::string name, std::vector<std::string> groups,
                               bool bothFamilies)
    : m_family(family), m_name(std::move(name)), m_groups(std::move(groups)),
      m_bBothFamilies(bothFamilies)
{
    for (const std::string& group : m_groups)
    {
        m_groupsText += (m_groupsText.empty() ? "" : ", ") + group;
        in6_addr addr{};
        if (m_family == Family::Ipv6 && inet_pton(AF_INET6, group.c_str(), &addr) == 1)
        {
            m_groupAddrs.push_back(addr);
        }
    }
}

void InterfaceWatch::assume(int joinedIndex, in_addr_t ipv4)
{
    m_joinedIndex = joinedIndex;
    m_seenIpv4 = m_ipv4 = ipv4;
    m_bKnown = true;
}

int InterfaceWatch::joinGroups(int fd, int index) const
{
    // By index, never by address: the index names the interface even where two share an address.
    if (index == 0)
    {
        return ENODEV;
    }
    for (std::size_t i = 0; i < m_groups.size(); ++i)
    {
        int result = 0;
        if (m_family == Family::Ipv4)
        {
            ip_mreqn membership{};
            inet_aton(m_groups[i].c_str(), &membership.imr_multiaddr);
            membership.imr_ifindex = index;
            result = setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof(membership));
        }
        else
        {
            ipv6_mreq membership{};
            membership.ipv6mr_multiaddr = m_groupAddrs[i];
            membership.ipv6mr_interface = static_cast<unsigned>(index);
            result = setsockopt(fd, IPPROTO_IPV6, IPV6_JOIN_GROUP, &membership, sizeof(membership));
        }
        // A group still joined (an interface renamed back into place, an earlier partial join)
        // answers EADDRINUSE, and the membership stands.
        if (result == -1 && errno != EADDRINUSE)
        {
            return errno;
        }
    }
    return 0;
}

bool InterfaceWatch::look(Clock::time_point now, int fd)
{
    if (now < m_nextLook)
    {
        return false;
    }
    m_nextLook = now + CHECK_INTERVAL;
    if (m_family == Family::Ipv4)
    {
        ifreq request = interfaceRequest(m_name);
        m_index = ioctl(fd, SIOCGIFINDEX, &request) == 0 ? request.ifr_ifindex : 0;
        request = interfaceRequest(m_name);
        sockaddr_in addr{};
        if (ioctl(fd, SIOCGIFADDR, &request) == 0)
        {
            std::memcpy(&addr, &request.ifr_addr, sizeof(addr));
        }
        m_seenIpv4 = addr.sin_addr.s_addr;
    }
    else
    {
        m_index = static_cast<int>(if_nametoindex(m_name.c_str()));
        const std::vector<Ipv6IfAddr> addrs =
            m_index == 0 ? std::vector<Ipv6IfAddr>{} : parseIfInet6(readIfInet6(), m_name);
        m_ownIpv6.clear();
        for (const Ipv6IfAddr& a : addrs)
        {
            m_ownIpv6.push_back(a.addr);
        }
        m_seenIpv6 = chooseIpv6Addr(addrs, m_ipv6);
    }

    if (m_joinedIndex != 0 && m_index != m_joinedIndex)
    {
        // Gone, or renamed away: an interface that still exists under another name leaves the
        // groups too, so that only searches on the chosen interface are answered.
        for (std::size_t i = 0; i < m_groups.size(); ++i)
        {
            if (m_family == Family::Ipv4)
            {
                ip_mreqn membership{};
                inet_aton(m_groups[i].c_str(), &membership.imr_multiaddr);
                membership.imr_ifindex = m_joinedIndex;
                setsockopt(fd, IPPROTO_IP, IP_DROP_MEMBERSHIP, &membership, sizeof(membership));
            }
            else
            {
                ipv6_mreq membership{};
                membership.ipv6mr_multiaddr = m_groupAddrs[i];
                membership.ipv6mr_interface = static_cast<unsigned>(m_joinedIndex);
                setsockopt(fd, IPPROTO_IPV6, IPV6_LEAVE_GROUP, &membership, sizeof(membership));
            }
        }
        LOG_DISC(INFO) << "Interface " << m_name << " (index " << m_joinedIndex
                       << ") is gone: left " << m_groupsText;
        m_joinedIndex = 0;
    }
    return true;
}

bool InterfaceWatch::isOwnAddress(const PeerAddr& sender) const
{
    if (sender.sa.sa_family == AF_INET)
    {
        const in_addr_t addr = sender.v4.sin_addr.s_addr;
        return addr == m_ipv4 || addr == m_seenIpv4;
    }
    for (const in6_addr& own : m_ownIpv6)
    {
        if (std::memcmp(&own, &sender.v6.sin6_addr, sizeof(own)) == 0)
        {
            return true;
        }
    }
    return false;
}

bool InterfaceWatch::wantsJoin() const
{
    return m_index != 0 && m_joinedIndex == 0 && hasAddress(true);
}

void InterfaceWatch::join(int fd)
{
    const int error = joinGroups(fd, m_index);
    if (error == 0)
    {
        m_joinedIndex = m_index;
        m_joinFailedIndex = 0;
        LOG_DISC(INFO) << "Joined " << m_groupsText << " on " << m_name << " (index " << m_index
                       << ")" << (m_family == Family::Ipv4 ? " again" : "");
    }
    else if (m_joinFailedIndex != m_index)
    {
        // Tried again at every look; written once for each interface.
        m_joinFailedIndex = m_index;
        LOG_DISC(WARNING) << (m_family == Family::Ipv4 ? "setsockopt(...IP_ADD_MEMBERSHIP...)"
                                                       : "setsockopt(...IPV6_JOIN_GROUP...)")
                          << " failed" << std::strerror(error);
    }
}

bool InterfaceWatch::hasAddress(bool seen) const
{
    if (m_family == Family::Ipv4)
    {
        return (seen ? m_seenIpv4 : m_ipv4) != 0;
    }
    return !IN6_IS_ADDR_UNSPECIFIED(seen ? &m_seenIpv6 : &m_ipv6);
}

std::string InterfaceWatch::addressText(bool seen) const
{
    return m_family == Family::Ipv4 ? ipv4Text(seen ? m_seenIpv4 : m_ipv4)
                                    : ipv6AddrText(seen ? m_seenIpv6 : m_ipv6, m_name);
}

bool InterfaceWatch::addressChanged()
{
    const bool ipv4 = m_family == Family::Ipv4;
    const bool same =
        ipv4 ? m_seenIpv4 == m_ipv4 : std::memcmp(&m_seenIpv6, &m_ipv6, sizeof(m_ipv6)) == 0;
    // The first look of an IPv6 watch writes its record too: without an address, that is the
    // WARNING that says IPv6 is not usable yet.
    if (m_bKnown && same)
    {
        return false;
    }
    const char* family = ipv4 ? "IPv4" : "IPv6";
    // With both families on, searches over the other one go on being answered.
    const char* searches =
        !ipv4 ? "searches over IPv6" : (m_bBothFamilies ? "searches over IPv4" : "searches");
    if (!hasAddress(true))
    {
        LOG_DISC(WARNING) << m_name << " has no " << family << " address: " << searches
                          << " are not answered until it has one";
    }
    else if (!hasAddress(false))
    {
        LOG_DISC(INFO) << m_name << " has the " << family << " address " << addressText(true)
                       << ": " << searches << " are answered" << (ipv4 ? " again" : "");
    }
    else
    {
        LOG_DISC(INFO) << "The " << family << " address of " << m_name << " changed from "
                       << addressText(false) << " to " << addressText(true);
    }
    m_bKnown = true;
    m_ipv4 = m_seenIpv4;
    m_ipv6 = m_seenIpv6;
    return true;
}

int joinedSlot(const std::vector<InterfaceWatch>& watches, int index)
{
    for (std::size_t slot = 0; slot < watches.size(); ++slot)
    {
        if (index != 0 && watches[slot].joinedIndex() == index)
        {
            return static_cast<int>(slot);
        }
    }
    return -1;
}

bool ownsAddress(const std::vector<InterfaceWatch>& watches, const PeerAddr& sender)
{
    for (const InterfaceWatch& watch : watches)
    {
        if (watch.isOwnAddress(sender))
        {
            return true;
        }
    }
    return false;
}
