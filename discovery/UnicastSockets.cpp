#include "discovery/UnicastSockets.h"

#include "common/Logger.h"
#include "discovery/Ipv6.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace
{
// "198.18.0.1:1900", "[fd00::1]:1900", "[fe80::1%eth1]:1900".
std::string endpoint(const UnicastSockets::Address& a)
{
    return a.address.family == AF_INET ? ipv4Text(a.address.ipv4()) + ":1900"
                                       : "[" + ipv6AddrText(a.address.ipv6(), a.ifname) + "]:1900";
}
} // namespace

UnicastSockets::UnicastSockets(LogLimiterGroup& limits)
    : m_failureLimit(limits, "Unicast socket failure", FAILURE_RECORD_INTERVAL,
                     FAILURE_RECORD_BURST)
{
}

UnicastSockets::~UnicastSockets()
{
    for (const Held& held : m_held)
    {
        if (held.fd != -1)
        {
            ::close(held.fd);
        }
    }
}

void UnicastSockets::keep(const std::vector<Address>& wanted)
{
    std::vector<Held> kept;
    kept.reserve(wanted.size());
    for (const Address& address : wanted)
    {
        const auto held = std::find_if(m_held.begin(), m_held.end(),
                                       [&address](const Held& h) { return h.address == address; });
        if (held != m_held.end())
        {
            kept.push_back(*held);
            held->fd = -1; // kept's now: not closed below
            continue;
        }
        kept.push_back({address, open(address)});
    }
    for (const Held& gone : m_held)
    {
        if (gone.fd != -1)
        {
            ::close(gone.fd);
        }
    }
    m_held = std::move(kept);
}

int UnicastSockets::open(const Address& wanted)
{
    const bool ipv6 = wanted.address.family == AF_INET6;
    const int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    const int on = 1;
    PeerAddr local{};
    const char* failed = fd == -1 ? "socket()" : nullptr;
    if (failed == nullptr && ipv6)
    {
        local.v6.sin6_family = AF_INET6;
        local.v6.sin6_port = htons(SSDP_PORT);
        local.v6.sin6_addr = wanted.address.ipv6();
        local.v6.sin6_scope_id =
            wanted.address.isLinkLocal() ? static_cast<unsigned>(wanted.ifindex) : 0;
        // Beside the group socket bound to [::]:1900: both take SO_REUSEADDR, and Linux hands a
        // datagram to the socket bound most specifically to its destination, this one.
        failed = setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on)) == -1
                     ? "setsockopt(IPV6_V6ONLY)"
                 : setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) == -1
                     ? "setsockopt(SO_REUSEADDR)"
                 : setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof(on)) == -1
                     ? "setsockopt(IPV6_RECVPKTINFO)"
                     : nullptr;
    }
    else if (failed == nullptr)
    {
        local.v4.sin_family = AF_INET;
        local.v4.sin_port = htons(SSDP_PORT);
        local.v4.sin_addr.s_addr = wanted.address.ipv4();
        failed = setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof(on)) == -1
                     ? "setsockopt(IP_PKTINFO)"
                     : nullptr;
    }
    const socklen_t length = ipv6 ? sizeof(local.v6) : sizeof(local.v4);
    if (failed == nullptr && ::bind(fd, &local.sa, length) == -1)
    {
        failed = "bind()";
    }
    if (failed == nullptr)
    {
        return fd;
    }
    const int error = errno;
    if (fd != -1)
    {
        ::close(fd);
    }
    m_failureLimit.write(
        [failed, error, &wanted]
        {
            LOG_DISC(WARNING) << failed << " failed on " << endpoint(wanted) << ": "
                              << std::strerror(error)
                              << ": unicast searches to it are not answered";
        });
    return -1;
}
