#include "discovery/Sender.h"

#include "common/Logger.h"

#include <arpa/inet.h>
#include <net/if.h>

#include <cerrno>
#include <cstring>

Sender::Sender(const Options& options, const std::vector<Ipv6GroupAddr>& ipv6Groups,
               LogLimiterGroup& limits)
    : m_options(options), m_ipv6Groups(ipv6Groups), m_sendFailLimit(limits, "sendto() failed")
{
}

void Sender::useSockets(const Reception* ipv4, const Reception* ipv6)
{
    m_ipv4 = ipv4;
    m_ipv6 = ipv6;
}

bool Sender::send(const std::string& message, const PeerAddr& to, socklen_t toLen)
{
    return sendVia(message, to, toLen, 0);
}

bool Sender::answer(const std::string& message, const PeerAddr& to, socklen_t toLen, int ifindex,
                    const AddressBoard::Entry& from)
{
    return sendVia(message, to, toLen, ifindex, &from);
}

bool Sender::sendVia(const std::string& message, const PeerAddr& to, socklen_t toLen, int ifindex,
                     const AddressBoard::Entry* from)
{
    const bool ipv6 = to.sa.sa_family == AF_INET6;
    const Reception* listener = ipv6 ? m_ipv6 : m_ipv4;
    const int fd = listener != nullptr ? listener->fd() : -1;
    iovec data{const_cast<char*>(message.data()), message.size()};
    msghdr header{};
    header.msg_name = const_cast<PeerAddr*>(&to);
    header.msg_namelen = toLen;
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    // The interface named in the message itself: the socket's own choice stays untouched.
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in6_pktinfo))] = {};
    if (ifindex != 0)
    {
        header.msg_control = control;
        header.msg_controllen =
            ipv6 ? CMSG_SPACE(sizeof(in6_pktinfo)) : CMSG_SPACE(sizeof(in_pktinfo));
        cmsghdr* c = CMSG_FIRSTHDR(&header);
        c->cmsg_level = ipv6 ? IPPROTO_IPV6 : IPPROTO_IP;
        c->cmsg_type = ipv6 ? IPV6_PKTINFO : IP_PKTINFO;
        if (ipv6)
        {
            in6_pktinfo info{};
            info.ipi6_ifindex = static_cast<unsigned>(ifindex);
            // The source is the kernel's choice among that interface's addresses (RFC 6724):
            // a link-local console gets the link-local address it can best reach.
            c->cmsg_len = CMSG_LEN(sizeof(info));
            std::memcpy(CMSG_DATA(c), &info, sizeof(info));
        }
        else
        {
            in_pktinfo info{};
            info.ipi_ifindex = ifindex;
            info.ipi_spec_dst.s_addr = from != nullptr ? from->ipv4 : INADDR_ANY;
            c->cmsg_len = CMSG_LEN(sizeof(info));
            std::memcpy(CMSG_DATA(c), &info, sizeof(info));
        }
    }
    const ssize_t sent =
        ifindex == 0 ? sendto(fd, message.data(), message.size(), MSG_DONTWAIT, &to.sa, toLen)
                     : sendmsg(fd, &header, MSG_DONTWAIT);
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
        // Out of each interface by its index now, from its address. An interface that has just
        // gone away gets nothing: with index 0 the message would leave by the default route.
        const int index = static_cast<int>(if_nametoindex(m_options.interfaces[slot].c_str()));
        if (index == 0)
        {
            continue;
        }
        const AddressBoard::Entry& from = messages.address(slot);
        if (messages.hasIpv4(slot) && from.ipv4Index == index)
        {
            PeerAddr to{};
            to.v4.sin_family = AF_INET;
            to.v4.sin_port = htons(SSDP_PORT);
            to.v4.sin_addr.s_addr = inet_addr(WIRE_IPV4_GROUP);
            for (const std::string& message : messages.announcements(alive, SsdpGroup::Ipv4, slot))
            {
                sendVia(message, to, sizeof(to.v4), index, &from);
            }
        }
        for (const Ipv6GroupAddr& group : m_ipv6Groups)
        {
            if (!messages.hasIpv6(slot) || from.ipv6Index != index || m_ipv6 == nullptr ||
                m_ipv6->fd() == -1)
            {
                break;
            }
            PeerAddr to{};
            to.v6.sin6_family = AF_INET6;
            to.v6.sin6_port = htons(SSDP_PORT);
            to.v6.sin6_addr = group.addr;
            for (const std::string& message :
                 messages.announcements(alive, group.group.group, slot))
            {
                sendVia(message, to, sizeof(to.v6), index, &from);
            }
        }
    }
}
