#include "discovery/Sender.h"

#include "common/Logger.h"

#include <arpa/inet.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

Sender::Sender(const Options& options, const std::vector<Ipv6GroupAddr>& ipv6Groups,
               LogLimiterGroup& limits)
    : m_options(options), m_ipv6Groups(ipv6Groups), m_sendFailLimit(limits, "sendto() failed"),
      m_budgetLimit(limits, "Unresolved neighbours' budget full")
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

// A socket that sends from port 1900 as the listeners do, and to which no datagram is ever
// delivered: bound to the multicast address that no group may have (RFC 5771's 224.0.0.0, RFC
// 4291's FF0E::) and never joined, so that no datagram, to a group or not, matches its address.
// Bound to an address, not the wildcard, so that the IPv4 group socket's bind and the unicast
// sockets' stay as they are. The classes' sockets share that address among themselves, and with
// no other user's socket.
UdpSocketSpec sendOnly(bool ipv6)
{
    UdpSocketSpec spec;
    spec.family = ipv6 ? AF_INET6 : AF_INET;
    if (ipv6)
    {
        in6_addr unspecifiedGlobal{};
        unspecifiedGlobal.s6_addr[0] = 0xff;
        unspecifiedGlobal.s6_addr[1] = 0x0e;
        spec.address = IpAddress::v6(unspecifiedGlobal);
    }
    else
    {
        spec.address = IpAddress::v4(htonl(INADDR_UNSPEC_GROUP));
    }
    spec.shared = true;
    spec.ownGroupsOnly = true;
    spec.sendBuffer = UdpSocketSpec::SendBuffer::Capped;
    return spec;
}

// Whether the kernel has the link-layer address of `to` on `ifindex` (RFC 4861's REACHABLE,
// STALE, DELAY or PROBE, or a static entry): a datagram to it then leaves at once, never waiting
// in the neighbour's queue. One request, numbered `sequence`, and its reply, read without
// waiting: the kernel answers within the send. A reply left by an earlier question is skipped.
bool neighbourResolved(int netlink, const PeerAddr& to, int ifindex, unsigned sequence)
{
    const bool ipv6 = to.sa.sa_family == AF_INET6;
    const std::size_t length = ipv6 ? sizeof(in6_addr) : sizeof(in_addr);
    struct
    {
        nlmsghdr header;
        ndmsg neighbour;
        alignas(NLMSG_ALIGNTO) char attribute[RTA_SPACE(sizeof(in6_addr))];
    } request{};
    request.header.nlmsg_type = RTM_GETNEIGH;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = sequence;
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ndmsg) + RTA_SPACE(length));
    request.neighbour.ndm_family = static_cast<unsigned char>(to.sa.sa_family);
    request.neighbour.ndm_ifindex = ifindex;
    auto* destination = reinterpret_cast<rtattr*>(request.attribute);
    destination->rta_type = NDA_DST;
    destination->rta_len = static_cast<unsigned short>(RTA_LENGTH(length));
    std::memcpy(RTA_DATA(destination),
                ipv6 ? static_cast<const void*>(&to.v6.sin6_addr)
                     : static_cast<const void*>(&to.v4.sin_addr),
                length);
    if (send(netlink, &request, request.header.nlmsg_len, MSG_DONTWAIT) == -1)
    {
        return false;
    }
    alignas(nlmsghdr) char reply[512];
    const auto* answer = reinterpret_cast<const nlmsghdr*>(reply);
    for (;;)
    {
        const ssize_t got = recv(netlink, reply, sizeof(reply), MSG_DONTWAIT);
        if (got < 0)
        {
            return false; // no reply
        }
        if (got >= static_cast<ssize_t>(sizeof(nlmsghdr)) && answer->nlmsg_seq == sequence)
        {
            break;
        }
    }
    // No entry comes as an error reply.
    if (answer->nlmsg_type != RTM_NEWNEIGH || answer->nlmsg_len < NLMSG_LENGTH(sizeof(ndmsg)))
    {
        return false;
    }
    const auto* entry = static_cast<const ndmsg*>(NLMSG_DATA(answer));
    return (entry->ndm_state &
            (NUD_REACHABLE | NUD_STALE | NUD_DELAY | NUD_PROBE | NUD_PERMANENT | NUD_NOARP)) != 0;
}
} // namespace

int Sender::listenerSocket(bool ipv6) const
{
    const std::atomic<int>* socket = ipv6 ? m_ipv6 : m_ipv4;
    return socket != nullptr ? socket->load(std::memory_order_acquire) : -1;
}

int Sender::classSocket(const PeerAddr& to, int ifindex)
{
    const ClassKey key = classKey(to, ifindex);
    auto found = m_classSockets.find(key);
    const ClassSocket& socket = found != m_classSockets.end() ? found->second : open(key);
    return socket.fd.valid() ? socket.fd.get() : listenerSocket(to.sa.sa_family == AF_INET6);
}

Sender::ClassSocket& Sender::open(const ClassKey& key)
{
    // Two families and two ranges per interface; an interface that comes back under another
    // index makes new classes, and the oldest socket is closed for each (its datagrams in flight
    // still leave).
    const std::size_t bound = 4 * std::max<std::size_t>(m_options.interfaces.size(), 1);
    if (m_classSockets.size() >= bound)
    {
        m_classSockets.erase(std::min_element(m_classSockets.begin(), m_classSockets.end(),
                                              [](const auto& a, const auto& b)
                                              { return a.second.opened < b.second.opened; }));
    }
    const UdpSocketSpec spec = sendOnly(std::get<1>(key) == AF_INET6);
    UdpSocket opened = openUdpSocket(spec);
    ClassSocket& socket = m_classSockets[key];
    socket.opened = ++m_opened;
    if (opened.ok())
    {
        socket.fd = std::move(opened.fd);
        return socket;
    }
    // Never tried again: another user holds the address, or the process is out of descriptors;
    // written once for each class.
    LOG_DISC(WARNING) << opened.failure(spec) << ": answers to the "
                      << (std::get<2>(key) ? "link-local" : "other") << " senders on interface "
                      << std::get<0>(key) << " leave through the listener's socket";
    return socket;
}

void Sender::take(const MessageCache& messages)
{
    for (std::size_t slot = 0; slot < m_options.interfaces.size(); ++slot)
    {
        take(messages.address(slot));
    }
}

void Sender::take(const AddressBoard::Entry& interface)
{
    for (const bool linkLocal : {false, true})
    {
        if (interface.ipv4Index != 0 &&
            m_classSockets.count({interface.ipv4Index, AF_INET, linkLocal}) == 0)
        {
            open({interface.ipv4Index, AF_INET, linkLocal});
        }
        if (m_options.ipv6 && interface.ipv6Index != 0 &&
            m_classSockets.count({interface.ipv6Index, AF_INET6, linkLocal}) == 0)
        {
            open({interface.ipv6Index, AF_INET6, linkLocal});
        }
    }
}

std::size_t Sender::classSockets() const
{
    return static_cast<std::size_t>(std::count_if(m_classSockets.begin(), m_classSockets.end(),
                                                  [](const auto& entry)
                                                  { return entry.second.fd.valid(); }));
}

bool Sender::send(const std::string& message, const PeerAddr& to, socklen_t toLen)
{
    return sendVia(listenerSocket(to.sa.sa_family == AF_INET6), message, to, toLen, 0, IpAddress{},
                   false);
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
    const Clock::time_point now = Clock::now();
    const bool known = resolved(to, ifindex, now);
    if (!known && !m_budget.admit(to, ifindex, now))
    {
        m_budgetLimit.write(
            [&to]
            {
                LOG_DISC(WARNING) << "Answer to " << addressText(to)
                                  << " not sent: " << NeighbourBudget::SIZE
                                  << " neighbours not known to be reachable were answered in the "
                                     "last "
                                  << NeighbourBudget::WINDOW.count() << " s";
            });
        return false;
    }
    // A class's buffer full of answers waiting for neighbours that never answer leaves its
    // resolved consoles the listener's socket, through which nothing waits.
    const int fd = classSocket(to, ifindex);
    const int listener = listenerSocket(to.sa.sa_family == AF_INET6);
    if (fd == listener)
    {
        return sendVia(listener, message, to, toLen, ifindex, source, onLink);
    }
    if (trySend(fd, message, to, toLen, ifindex, source, onLink))
    {
        return true;
    }
    const int error = errno;
    if ((error == EAGAIN || error == ENOBUFS) && known)
    {
        return sendVia(listener, message, to, toLen, ifindex, source, onLink);
    }
    recordFailure(error, to);
    return false;
}

bool Sender::resolved(const PeerAddr& to, int ifindex, Clock::time_point now)
{
    if (m_lastAsked.ifindex == ifindex && now - m_lastAsked.at < std::chrono::milliseconds(100) &&
        IpAddress::of(m_lastAsked.to) == IpAddress::of(to))
    {
        return m_lastAsked.resolved;
    }
    if (!m_netlink.valid())
    {
        m_netlink.reset(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    }
    const bool resolved =
        m_netlink.valid() && neighbourResolved(m_netlink.get(), to, ifindex, ++m_questions);
    m_lastAsked = {to, ifindex, resolved, now};
    return resolved;
}

bool Sender::trySend(int fd, const std::string& message, const PeerAddr& to, socklen_t toLen,
                     int ifindex, const IpAddress& source, bool onLink)
{
    const bool ipv6 = to.sa.sa_family == AF_INET6;
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
    return sent != -1;
}

bool Sender::sendVia(int fd, const std::string& message, const PeerAddr& to, socklen_t toLen,
                     int ifindex, const IpAddress& source, bool onLink)
{
    if (trySend(fd, message, to, toLen, ifindex, source, onLink))
    {
        return true;
    }
    recordFailure(errno, to);
    return false;
}

void Sender::recordFailure(int error, const PeerAddr& to)
{
    m_sendFailLimit.write(
        [error, &to]
        {
            LOG_DISC(WARNING) << "sendto() failed" << std::strerror(error);
            LOG_DISC(WARNING) << "Addr: " << endpointText(to);
        });
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
                sendVia(listenerSocket(false), message, to, sizeof(to.v4), from.ipv4Index,
                        IpAddress::v4(from.ipv4), false);
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
                sendVia(listenerSocket(true), message, to, sizeof(to.v6), from.ipv6Index,
                        IpAddress{}, group.group.id == SsdpGroup::Ipv6Link);
            }
        }
    }
}
