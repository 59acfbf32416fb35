#include "discovery/UnicastSockets.h"

#include "common/Logger.h"

#include <algorithm>

UnicastSockets::UnicastSockets(LogLimiterGroup& limits, unsigned short port)
    : m_port(port), m_failureLimit(limits, "Unicast socket failure", FAILURE_RECORD_INTERVAL,
                                   FAILURE_RECORD_BURST)
{
}

void UnicastSockets::keep(const std::vector<Address>& wanted)
{
    std::vector<Held> kept;
    kept.reserve(wanted.size());
    for (const Address& address : wanted)
    {
        const auto held = std::find_if(m_held.begin(), m_held.end(),
                                       [&address](const Held& h) { return h.address == address; });
        kept.push_back({address, held != m_held.end() ? std::move(held->fd) : open(address)});
    }
    m_held = std::move(kept); // closes the sockets of the addresses gone
}

Fd UnicastSockets::open(const Address& wanted)
{
    // Beside the IPv6 group socket bound to [::]:1900: Linux hands a datagram to the socket bound
    // most specifically to its destination, this one.
    UdpSocketSpec spec;
    spec.family = wanted.address.family;
    spec.port = m_port;
    spec.address = wanted.address;
    spec.ifindex = wanted.ifindex;
    spec.shared = true;
    spec.pktinfo = true;
    UdpSocket opened = openUdpSocket(spec);
    if (opened.ok())
    {
        return std::move(opened.fd);
    }
    m_failureLimit.write(
        [&opened, &spec, &wanted]
        {
            LOG_DISC(WARNING) << opened.failure(spec, wanted.ifname)
                              << ": unicast searches to it are not answered";
        });
    return Fd{};
}
