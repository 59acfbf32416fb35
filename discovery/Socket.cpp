#include "common/Logger.h"
#include "discovery/RedfishDiscovery.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/time.h>

namespace
{
constexpr unsigned short SSDP_PORT = 1900;
constexpr int UDP_PROTOCOL = 17;
constexpr suseconds_t RECV_TIMEOUT_US = 100000;

ifreq interfaceRequest(const std::string& name)
{
    ifreq request{};
    request.ifr_addr.sa_family = AF_INET;
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    return request;
}

in_addr ipv4Of(const sockaddr& addr)
{
    sockaddr_in ipv4{};
    std::memcpy(&ipv4, &addr, sizeof(ipv4));
    return ipv4.sin_addr;
}
} // namespace

bool RedfishDiscovery::initSocket()
{
    LOG_DISC(TRACE);
    m_v4.fd = socket(AF_INET, SOCK_DGRAM, UDP_PROTOCOL);
    if (m_v4.fd == -1)
    {
        LOG_DISC(WARNING) << "socket() failed" << std::strerror(errno);
        return false;
    }

    std::memset(&m_ssdpAddr, 0, sizeof(m_ssdpAddr));
    m_ssdpAddr.sin_family = AF_INET;
    m_ssdpAddr.sin_port = htons(SSDP_PORT);
    if (inet_aton(SSDP_ADDR(), &m_ssdpAddr.sin_addr) == 0)
    {
        LOG_DISC(WARNING) << "inet_aton() failed";
        return false;
    }

    // Bound to the group address, not the wildcard: only datagrams sent to the group arrive,
    // never a search sent straight to the controller's own address.
    if (::bind(m_v4.fd, reinterpret_cast<sockaddr*>(&m_ssdpAddr), sizeof(m_ssdpAddr)) == -1)
    {
        LOG_DISC(WARNING) << "bind() failed" << std::strerror(errno);
        return false;
    }
    return true;
}

bool RedfishDiscovery::initMulticast()
{
    LOG_DISC(TRACE);
    ifreq request = interfaceRequest(m_options.interface);
    // Without an address from the query there is nothing to join with or to announce.
    if (ioctl(m_v4.fd, SIOCGIFADDR, &request) == -1)
    {
        const int error = errno;
        if (m_options.ipv6 && error == EADDRNOTAVAIL)
        {
            // An IPv6-only network: answered over IPv6, while IPv4 waits for an address as it
            // does after losing one.
            LOG_DISC(WARNING) << m_options.interface
                              << " has no IPv4 address: searches over IPv4 are not answered "
                                 "until it has one";
            return true;
        }
        LOG_DISC(WARNING) << "ioctl(SIOCGIFADDR) failed" << std::strerror(error);
        return false;
    }
    const in_addr ifAddr = ipv4Of(request.ifr_addr);
    setIfAddr(ifAddr);
    if (const int error = joinGroup(ifAddr); error != 0)
    {
        LOG_DISC(WARNING) << "setsockopt(...IP_ADD_MEMBERSHIP...) failed" << std::strerror(error);
        return false;
    }
    request = interfaceRequest(m_options.interface);
    m_v4.joinedIndex = ioctl(m_v4.fd, SIOCGIFINDEX, &request) == 0 ? request.ifr_ifindex : 0;
    return true;
}

int RedfishDiscovery::joinGroup(in_addr ifAddr)
{
    ip_mreq membership{};
    membership.imr_multiaddr = m_ssdpAddr.sin_addr;
    membership.imr_interface = ifAddr;
    return setsockopt(m_v4.fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof(membership)) == -1
               ? errno
               : 0;
}

void RedfishDiscovery::followInterface(Clock::time_point now)
{
    if (now < m_v4.nextIfCheck)
    {
        return;
    }
    m_v4.nextIfCheck = now + IF_CHECK_INTERVAL;
    const char* name = m_options.interface.c_str();
    ifreq request = interfaceRequest(m_options.interface);
    const int index = ioctl(m_v4.fd, SIOCGIFINDEX, &request) == 0 ? request.ifr_ifindex : 0;
    request = interfaceRequest(m_options.interface);
    const in_addr ifAddr =
        ioctl(m_v4.fd, SIOCGIFADDR, &request) == 0 ? ipv4Of(request.ifr_addr) : in_addr{};

    if (m_v4.joinedIndex != 0 && index != m_v4.joinedIndex)
    {
        // Gone, or renamed away: an interface that still exists under another name leaves the
        // group too, so that only searches on the chosen interface are answered.
        ip_mreqn membership{};
        membership.imr_multiaddr = m_ssdpAddr.sin_addr;
        membership.imr_ifindex = m_v4.joinedIndex;
        setsockopt(m_v4.fd, IPPROTO_IP, IP_DROP_MEMBERSHIP, &membership, sizeof(membership));
        LOG_DISC(INFO) << "Interface " << name << " (index " << m_v4.joinedIndex
                       << ") is gone: left " << SSDP_ADDR();
        m_v4.joinedIndex = 0;
    }
    if (index != 0 && m_v4.joinedIndex == 0 && ifAddr.s_addr != 0)
    {
        // An interface renamed back into place is still a member: the kernel then answers
        // EADDRINUSE, and the membership stands.
        const int error = joinGroup(ifAddr);
        if (error == 0 || error == EADDRINUSE)
        {
            m_v4.joinedIndex = index;
            m_v4.joinFailedIndex = 0;
            LOG_DISC(INFO) << "Joined " << SSDP_ADDR() << " on " << name << " (index " << index
                           << ") again";
        }
        else if (m_v4.joinFailedIndex != index)
        {
            // Tried again at every check; written once for each interface.
            m_v4.joinFailedIndex = index;
            LOG_DISC(WARNING) << "setsockopt(...IP_ADD_MEMBERSHIP...) failed"
                              << std::strerror(error);
        }
    }
    announceAddr(ifAddr.s_addr);
}

void RedfishDiscovery::announceAddr(in_addr_t addr)
{
    const in_addr_t previous = m_announcedAddr;
    if (addr == previous)
    {
        return;
    }
    setIfAddr(in_addr{addr});
    if (m_options.notifyInterval > 0)
    {
        // The responder announces a new address at once.
        m_inbox.nudge();
    }
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &addr, text, sizeof(text));
    const char* name = m_options.interface.c_str();
    // With IPv6 on, searches over IPv6 go on being answered.
    const char* searches = m_options.ipv6 ? "searches over IPv4" : "searches";
    if (addr == 0)
    {
        LOG_DISC(WARNING) << name << " has no IPv4 address: " << searches
                          << " are not answered until it has one";
    }
    else if (previous == 0)
    {
        LOG_DISC(INFO) << name << " has the IPv4 address " << text << ": " << searches
                       << " are answered again";
    }
    else
    {
        char before[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &previous, before, sizeof(before));
        LOG_DISC(INFO) << "The IPv4 address of " << name << " changed from " << before << " to "
                       << text;
    }
}

bool RedfishDiscovery::setRecvTimeout(Listener& listener)
{
    // Bounds how long a stop request waits for the listener. Set once; a failure is tried again
    // before the next receive.
    timeval timeout{0, RECV_TIMEOUT_US};
    if (setsockopt(listener.fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) < 0)
    {
        const int error = errno;
        listener.timeoutFailLimit.write(
            [error] {
                LOG_DISC(WARNING) << "setsockopt() failed to set recv timeout"
                                  << std::strerror(error);
            });
        return false;
    }
    return true;
}
