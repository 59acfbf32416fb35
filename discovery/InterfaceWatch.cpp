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

InterfaceWatch::InterfaceWatch(Family family, std::string name,
                               const std::vector<Ipv6GroupAddr>& ipv6Groups, bool bothFamilies)
    : m_family(family), m_name(std::move(name)), m_ipv6Groups(ipv6Groups),
      m_bBothFamilies(bothFamilies)
{
    m_groupsText = m_family == Family::Ipv4 ? WIRE_IPV4_GROUP : "";
    for (std::size_t i = 0; m_family == Family::Ipv6 && i < m_ipv6Groups.size(); ++i)
    {
        m_groupsText += (i == 0 ? "" : ", ") + std::string(m_ipv6Groups[i].group.address);
    }
}

void InterfaceWatch::assume(int index, in_addr_t ipv4)
{
    m_index = index;
    m_seenIpv4 = m_ipv4 = ipv4;
    m_bKnown = true;
}

int InterfaceWatch::membership(int fd, int index, bool join) const
{
    // By index, never by address: the index names the interface even where two share an address.
    if (index == 0)
    {
        return ENODEV;
    }
    if (m_family == Family::Ipv4)
    {
        ip_mreqn request{};
        request.imr_multiaddr.s_addr = inet_addr(WIRE_IPV4_GROUP);
        request.imr_ifindex = index;
        const int option = join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP;
        // A group still joined (an interface renamed back into place, an earlier partial join)
        // answers EADDRINUSE, and the membership stands.
        const bool done = setsockopt(fd, IPPROTO_IP, option, &request, sizeof(request)) == 0;
        return done || errno == EADDRINUSE ? 0 : errno;
    }
    for (const Ipv6GroupAddr& group : m_ipv6Groups)
    {
        ipv6_mreq request{};
        request.ipv6mr_multiaddr = group.addr;
        request.ipv6mr_interface = static_cast<unsigned>(index);
        const int option = join ? IPV6_JOIN_GROUP : IPV6_LEAVE_GROUP;
        const int result = setsockopt(fd, IPPROTO_IPV6, option, &request, sizeof(request));
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
        m_seenIpv6 = chooseIpv6Addr(addrs, m_ipv6);
    }

    return true;
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
