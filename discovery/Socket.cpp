// The IPv4 socket: bound to the SSDP group and joined to it at start on each interface; its
// listener (a Reception) receives on it and follows the interfaces afterwards.

#include "common/Logger.h"
#include "discovery/RedfishDiscovery.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

namespace
{
constexpr int UDP_PROTOCOL = 17;

ifreq interfaceRequest(const std::string& name)
{
    ifreq request{};
    request.ifr_addr.sa_family = AF_INET;
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    return request;
}
} // namespace

bool RedfishDiscovery::initSocket()
{
    LOG_DISC(TRACE);
    m_sockFd = socket(AF_INET, SOCK_DGRAM, UDP_PROTOCOL);
    if (m_sockFd == -1)
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

    // Only the groups this socket joined, on the interfaces it joined them on: by default Linux
    // delivers a group's datagrams to every socket bound to it, whoever joined it where. Each
    // datagram's arrival interface (IP_PKTINFO) is checked against the one joined as well.
    // Where the kernel lacks IP_MULTICAST_ALL, the arrival check alone keeps them out.
    const int off = 0;
    const int on = 1;
    setsockopt(m_sockFd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof(off));
    if (setsockopt(m_sockFd, IPPROTO_IP, IP_PKTINFO, &on, sizeof(on)) == -1)
    {
        LOG_DISC(WARNING) << "setsockopt(...IP_PKTINFO...) failed" << std::strerror(errno);
        return false;
    }
    widenSendBuffer(m_sockFd);
    m_ipv4->setFd(m_sockFd);
    // Bound to the group address, not the wildcard: only datagrams sent to the group arrive,
    // never a search sent straight to the controller's own address.
    if (::bind(m_sockFd, reinterpret_cast<sockaddr*>(&m_ssdpAddr), sizeof(m_ssdpAddr)) == -1)
    {
        LOG_DISC(WARNING) << "bind() failed" << std::strerror(errno);
        return false;
    }
    return true;
}

bool RedfishDiscovery::initMulticast()
{
    LOG_DISC(TRACE);
    std::vector<InterfaceWatch>& watches = m_ipv4->watches();
    const bool several = watches.size() > 1;
    for (std::size_t slot = 0; slot < watches.size(); ++slot)
    {
        InterfaceWatch& watch = watches[slot];
        ifreq request = interfaceRequest(watch.name());
        // Without an address from the query there is nothing to join with or to announce.
        if (ioctl(m_sockFd, SIOCGIFADDR, &request) == -1)
        {
            const int error = errno;
            if ((m_options.ipv6 || several) && error == EADDRNOTAVAIL)
            {
                // An IPv6-only network, or one of several ports not configured yet: answered
                // elsewhere meanwhile, while this one waits for an address as it does after
                // losing one.
                LOG_DISC(WARNING) << watch.name() << " has no IPv4 address: "
                                  << (m_options.ipv6 ? "searches over IPv4" : "searches")
                                  << " are not answered until it has one";
                watch.assume(0, 0);
                continue;
            }
            // A name that no interface has ends the start, so that a mistyped one shows.
            LOG_DISC(WARNING) << "ioctl(SIOCGIFADDR) failed" << std::strerror(error)
                              << (several ? " on " + watch.name() : "");
            return false;
        }
        sockaddr_in ifAddr{};
        std::memcpy(&ifAddr, &request.ifr_addr, sizeof(ifAddr));
        request = interfaceRequest(watch.name());
        const int index = ioctl(m_sockFd, SIOCGIFINDEX, &request) == 0 ? request.ifr_ifindex : 0;
        if (const int error = m_ipv4->joinAtStart(slot, index); error != 0)
        {
            LOG_DISC(WARNING) << "setsockopt(...IP_ADD_MEMBERSHIP...) failed"
                              << std::strerror(error) << (several ? " on " + watch.name() : "");
            return false;
        }
        watch.assume(index, ifAddr.sin_addr.s_addr);
        m_board.publishIpv4(slot, ifAddr.sin_addr.s_addr, index);
    }
    return true;
}

bool RedfishDiscovery::setMulticastTtl()
{
    const int ttl = m_options.notifyTtl;
    if (setsockopt(m_sockFd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl)) == -1)
    {
        LOG_DISC(WARNING) << "setsockopt(...IP_MULTICAST_TTL...) failed" << std::strerror(errno);
        return false;
    }
    return true;
}
