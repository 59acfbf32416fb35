// The IPv6 socket (--ipv6): set up once the interface has an IPv6 address, a member of the groups
// of the chosen scope on the interface, and the address that answers over IPv6 announce. Run by
// the IPv6 listener, at start by init().

#include "common/Logger.h"
#include "discovery/RedfishDiscovery.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <unistd.h>

namespace
{
constexpr unsigned short SSDP_PORT = 1900;

// The host's IPv6 addresses as the kernel lists them; nothing when the kernel has no IPv6.
std::string readIfInet6()
{
    std::string text;
    const int fd = open("/proc/net/if_inet6", O_RDONLY | O_CLOEXEC);
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

bool RedfishDiscovery::initIpv6Socket()
{
    const char* failed = nullptr;
    int error = 0;
    const auto check = [&failed, &error](bool ok, const char* call)
    {
        if (!ok)
        {
            failed = call;
            error = errno;
        }
        return ok;
    };
    // Bound to the wildcard address, unlike the IPv4 socket: one socket serves every group of
    // the scope, and each datagram's destination (IPV6_PKTINFO) tells which group's HOST it must
    // name and keeps out datagrams sent to the host's own address, which are never judged.
    const int fd = socket(AF_INET6, SOCK_DGRAM, IPPROTO_UDP);
    const int on = 1;
    const int off = 0;
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_port = htons(SSDP_PORT);
    any.sin6_addr = in6addr_any;
    if (check(fd != -1, "socket(AF_INET6)") &&
        // IPv6 only: the IPv4 socket keeps IPv4's port 1900.
        check(setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on)) == 0,
              "setsockopt(IPV6_V6ONLY)") &&
        check(setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof(on)) == 0,
              "setsockopt(IPV6_RECVPKTINFO)") &&
        check(m_options.notifyInterval == 0 ||
                  setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &m_options.notifyTtl,
                             sizeof(m_options.notifyTtl)) == 0,
              "setsockopt(IPV6_MULTICAST_HOPS)") &&
        check(bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof(any)) == 0,
              "bind([::]:1900)"))
    {
        // Spares the listener the datagrams of groups that other programs joined; the
        // destination check drops them anyway where the kernel lacks this option.
        setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_ALL, &off, sizeof(off));
        m_v6.fd = fd;
        m_ipv6SetupFailure.clear();
        return true;
    }
    if (fd != -1)
    {
        close(fd);
    }
    // Tried again at every check: written once for each kind of failure.
    const std::string failure = std::string(failed) + " failed: " + std::strerror(error);
    if (failure != m_ipv6SetupFailure)
    {
        m_ipv6SetupFailure = failure;
        LOG_DISC(WARNING) << "IPv6 cannot be set up on " << m_options.interface << ": " << failure
                          << "; searches over IPv6 are not answered until it can";
    }
    return false;
}

int RedfishDiscovery::joinIpv6Groups(int index)
{
    for (const auto& [group, addr] : m_ipv6Groups)
    {
        ipv6_mreq membership{};
        membership.ipv6mr_multiaddr = addr;
        membership.ipv6mr_interface = static_cast<unsigned>(index);
        // A group still joined (an interface renamed back into place, an earlier partial join)
        // answers EADDRINUSE, and the membership stands.
        if (setsockopt(m_v6.fd, IPPROTO_IPV6, IPV6_JOIN_GROUP, &membership, sizeof(membership)) ==
                -1 &&
            errno != EADDRINUSE)
        {
            return errno;
        }
    }
    return 0;
}

void RedfishDiscovery::leaveIpv6Groups(int index)
{
    for (const auto& [group, addr] : m_ipv6Groups)
    {
        ipv6_mreq membership{};
        membership.ipv6mr_multiaddr = addr;
        membership.ipv6mr_interface = static_cast<unsigned>(index);
        setsockopt(m_v6.fd, IPPROTO_IPV6, IPV6_LEAVE_GROUP, &membership, sizeof(membership));
    }
}

void RedfishDiscovery::followIpv6(Clock::time_point now)
{
    if (now < m_v6.nextIfCheck)
    {
        return;
    }
    m_v6.nextIfCheck = now + IF_CHECK_INTERVAL;
    const std::string& name = m_options.interface;
    const int index = static_cast<int>(if_nametoindex(name.c_str()));
    const in6_addr addr =
        index == 0 ? in6addr_any : chooseIpv6Addr(parseIfInet6(readIfInet6(), name), m_ipv6Addr);
    std::string groups;
    for (const auto& [group, groupAddr] : m_ipv6Groups)
    {
        groups += (groups.empty() ? "" : ", ") + std::string(group.address);
    }

    if (m_v6.joinedIndex != 0 && index != m_v6.joinedIndex)
    {
        leaveIpv6Groups(m_v6.joinedIndex);
        LOG_DISC(INFO) << "Interface " << name << " (index " << m_v6.joinedIndex
                       << ") is gone: left " << groups;
        m_v6.joinedIndex = 0;
    }
    if (index != 0 && m_v6.joinedIndex == 0 && !IN6_IS_ADDR_UNSPECIFIED(&addr) &&
        (m_v6.fd != -1 || initIpv6Socket()))
    {
        const int error = joinIpv6Groups(index);
        if (error == 0)
        {
            m_v6.joinedIndex = index;
            m_v6.joinFailedIndex = 0;
            LOG_DISC(INFO) << "Joined " << groups << " on " << name << " (index " << index << ")";
        }
        else if (m_v6.joinFailedIndex != index)
        {
            // Tried again at every check; written once for each interface.
            m_v6.joinFailedIndex = index;
            LOG_DISC(WARNING) << "setsockopt(...IPV6_JOIN_GROUP...) failed" << std::strerror(error);
        }
    }
    announceIpv6Addr(addr);
}

void RedfishDiscovery::announceIpv6Addr(const in6_addr& addr)
{
    const bool none = IN6_IS_ADDR_UNSPECIFIED(&addr);
    const bool hadNone = IN6_IS_ADDR_UNSPECIFIED(&m_ipv6Addr);
    // The first check writes its record too: without an address, that is the WARNING that says
    // IPv6 is not usable yet.
    if (m_bIpv6AddrKnown && std::memcmp(&addr, &m_ipv6Addr, sizeof(addr)) == 0)
    {
        return;
    }
    const std::string& name = m_options.interface;
    if (none)
    {
        LOG_DISC(WARNING) << name
                          << " has no IPv6 address: searches over IPv6 are not answered until it "
                             "has one";
    }
    else if (hadNone)
    {
        LOG_DISC(INFO) << name << " has the IPv6 address " << ipv6AddrText(addr, name)
                       << ": searches over IPv6 are answered";
    }
    else
    {
        LOG_DISC(INFO) << "The IPv6 address of " << name << " changed from "
                       << ipv6AddrText(m_ipv6Addr, name) << " to " << ipv6AddrText(addr, name);
    }
    m_bIpv6AddrKnown = true;
    m_ipv6Addr = addr;
    setIpv6Addr(addr);
    if (m_options.notifyInterval > 0)
    {
        // The responder announces a new address at once.
        m_inbox.nudge();
    }
}
