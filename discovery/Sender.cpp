#include "discovery/Sender.h"

#include "common/Logger.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>

Sender::Sender(const Options& options, const std::vector<Ipv6GroupAddr>& ipv6Groups,
               LogLimiterGroup& limits)
    : m_options(options), m_ipv6Groups(ipv6Groups), m_sendFailLimit(limits, "sendto() failed")
{
}

void Sender::useSockets(const std::atomic<int>* ipv4, const std::atomic<int>* ipv6)
{
    m_ipv4 = ipv4;
    m_ipv6 = ipv6;
}

namespace
{
// The interface and the source in the message itself: the socket's own choice stays untouched.
void pinTo(msghdr& header, char (&control)[CMSG_SPACE(sizeof(in6_pktinfo))], bool ipv6, int ifindex,
           const IpAddress& source)
{
    header.msg_control = control;
    header.msg_controllen = ipv6 ? CMSG_SPACE(sizeof(in6_pktinfo)) : CMSG_SPACE(sizeof(in_pktinfo));
    cmsghdr* c = CMSG_FIRSTHDR(&header);
    c->cmsg_level = ipv6 ? IPPROTO_IPV6 : IPPROTO_IP;
    c->cmsg_type = ipv6 ? IPV6_PKTINFO : IP_PKTINFO;
    if (ipv6)
    {
        in6_pktinfo info{};
        info.ipi6_ifindex = static_cast<unsigned>(ifindex);
        info.ipi6_addr = source.empty() ? in6addr_any : source.ipv6();
        c->cmsg_len = CMSG_LEN(sizeof(info));
        std::memcpy(CMSG_DATA(c), &info, sizeof(info));
    }
    else
    {
        in_pktinfo info{};
        info.ipi_ifindex = ifindex;
        info.ipi_spec_dst.s_addr = source.empty() ? INADDR_ANY : source.ipv4();
        c->cmsg_len = CMSG_LEN(sizeof(info));
        std::memcpy(CMSG_DATA(c), &info, sizeof(info));
    }
}
} // namespace

bool Sender::send(const std::string& message, const PeerAddr& to, socklen_t toLen)
{
    return sendVia(message, to, toLen, 0, IpAddress{}, false);
}

bool Sender::answer(const std::string& message, const PeerAddr& to, socklen_t toLen, int ifindex,
                    const AddressBoard::Entry& from, bool onLink, const IpAddress& unicastTo)
{
    // A search sent by unicast is answered from the address it was sent to (and port 1900, as
    // every answer), which is what the console expects to hear from.
    IpAddress source = unicastTo;
    if (source.empty() && to.sa.sa_family == AF_INET)
    {
        source = IpAddress::v4(from.ipv4);
    }
    else if (source.empty() && !IN6_IS_ADDR_LINKLOCAL(&to.v6.sin6_addr))
    {
        // From the address the answer's AL carries: left to the kernel, the source may be
        // another interface's address (RFC 6724 avoids a deprecated address before it prefers
        // the outgoing interface), leaking another network's address. A link-local destination
        // gets the kernel's choice, which Linux makes among the outgoing interface's addresses
        // alone.
        source = IpAddress::v6(from.ipv6);
    }
    return sendVia(message, to, toLen, ifindex, source, onLink);
}

bool Sender::sendVia(const std::string& message, const PeerAddr& to, socklen_t toLen, int ifindex,
                     const IpAddress& source, bool onLink)
{
    const bool ipv6 = to.sa.sa_family == AF_INET6;
    const std::atomic<int>* socket = ipv6 ? m_ipv6 : m_ipv4;
    const int fd = socket != nullptr ? socket->load(std::memory_order_acquire) : -1;
    iovec data{const_cast<char*>(message.data()), message.size()};
    msghdr header{};
    header.msg_name = const_cast<PeerAddr*>(&to);
    header.msg_namelen = toLen;
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in6_pktinfo))] = {};
    if (ifindex != 0)
    {
        pinTo(header, control, ipv6, ifindex, source);
    }
    // On-link destinations never go by way of a router, whatever the routing table says.
    const int flags = MSG_DONTWAIT | (onLink ? MSG_DONTROUTE : 0);
    const ssize_t sent = ifindex == 0
                             ? sendto(fd, message.data(), message.size(), flags, &to.sa, toLen)
                             : sendmsg(fd, &header, flags);
    if (sent != -1)
    {
        return true;
    }
    const int error = errno;
    m_sendFailLimit.write(
        [error, &to]
        {
            LOG_DISC(WARNING) << "sendto() failed" << std::strerror(error);
            LOG_DISC(WARNING) << "Addr: " << endpointText(to);
        });
    return false;
}

void Sender::announce(const MessageCache& messages, bool alive)
{
    for (std::size_t slot = 0; slot < m_options.interfaces.size(); ++slot)
    {
        // Out of each interface by the index its address was read at, from that address. An
        // interface without an address of a family (gone, or not configured) gets nothing in it:
        // with index 0 the message would leave by the default route.
        const AddressBoard::Entry& from = messages.address(slot);
        if (messages.hasIpv4(slot) && from.ipv4Index != 0)
        {
            PeerAddr to{};
            to.v4.sin_family = AF_INET;
            to.v4.sin_port = htons(SSDP_PORT);
            to.v4.sin_addr.s_addr = inet_addr(WIRE_IPV4_GROUP);
            for (const std::string& message : messages.announcements(alive, SsdpGroup::Ipv4, slot))
            {
                sendVia(message, to, sizeof(to.v4), from.ipv4Index, IpAddress::v4(from.ipv4),
                        false);
            }
        }
        for (const Ipv6GroupAddr& group : m_ipv6Groups)
        {
            if (!messages.hasIpv6(slot) || from.ipv6Index == 0 || m_ipv6 == nullptr ||
                *m_ipv6 == -1)
            {
                break;
            }
            PeerAddr to{};
            to.v6.sin6_family = AF_INET6;
            to.v6.sin6_port = htons(SSDP_PORT);
            to.v6.sin6_addr = group.addr;
            for (const std::string& message : messages.announcements(alive, group.group.id, slot))
            {
                // To a group: the kernel picks the source among the interface's addresses.
                sendVia(message, to, sizeof(to.v6), from.ipv6Index, IpAddress{},
                        group.group.id == SsdpGroup::Ipv6Link);
            }
        }
    }
}
