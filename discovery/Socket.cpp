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

    // Bound to the group address, not the wildcard: only datagrams sent to the group arrive,
    // never a search sent straight to the controller's own address.
    if (bind(m_sockFd, reinterpret_cast<sockaddr*>(&m_ssdpAddr), sizeof(m_ssdpAddr)) == -1)
    {
        LOG_DISC(WARNING) << "bind() failed" << std::strerror(errno);
        return false;
    }
    return true;
}

bool RedfishDiscovery::initMulticast()
{
    LOG_DISC(TRACE);
    ifreq request{};
    request.ifr_addr.sa_family = AF_INET;
    std::strncpy(request.ifr_name, MULTICAST_IF(), IFNAMSIZ - 1);

    // Without an address from the query there is nothing to join with or to announce.
    if (ioctl(m_sockFd, SIOCGIFADDR, &request) == -1)
    {
        LOG_DISC(WARNING) << "ioctl(SIOCGIFADDR) failed" << std::strerror(errno);
        return false;
    }
    const in_addr ifAddr = ipv4Of(request.ifr_addr);
    setIfAddr(ifAddr);

    ip_mreq membership{};
    membership.imr_multiaddr = m_ssdpAddr.sin_addr;
    membership.imr_interface = ifAddr;
    if (setsockopt(m_sockFd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof(membership)) == -1)
    {
        LOG_DISC(WARNING) << "setsockopt(...IP_ADD_MEMBERSHIP...) failed" << std::strerror(errno);
        return false;
    }
    return true;
}

bool RedfishDiscovery::setRecvTimeout()
{
    // Bounds how long a stop request waits for the listener. Set once; a failure is tried again
    // before the next receive.
    timeval timeout{0, RECV_TIMEOUT_US};
    if (setsockopt(m_sockFd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) < 0)
    {
        const int error = errno;
        m_timeoutFailLimit.write(
            [error] {
                LOG_DISC(WARNING) << "setsockopt() failed to set recv timeout"
                                  << std::strerror(error);
            });
        return false;
    }
    return true;
}
