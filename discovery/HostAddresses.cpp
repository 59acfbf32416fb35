#include "discovery/HostAddresses.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace
{
// The first `bits` bits of `a` and `b` agree.
bool samePrefix(const in6_addr& a, const in6_addr& b, unsigned bits)
{
    const unsigned whole = bits / 8;
    if (std::memcmp(&a, &b, whole) != 0)
    {
        return false;
    }
    const unsigned rest = bits % 8;
    const auto mask = static_cast<std::uint8_t>(0xff00 >> rest);
    return rest == 0 || ((a.s6_addr[whole] ^ b.s6_addr[whole]) & mask) == 0;
}

in6_addr senderAddr(const PeerAddr& sender)
{
    in6_addr addr{};
    if (sender.sa.sa_family == AF_INET6)
    {
        return sender.v6.sin6_addr;
    }
    std::memcpy(&addr, &sender.v4.sin_addr, sizeof(sender.v4.sin_addr));
    return addr;
}

enum class Part
{
    More,
    Done,
    Failed,
};

// One netlink answer: the addresses it lists, appended to `out`.
Part takeAddresses(const char* data, std::size_t size, int family,
                   std::vector<HostAddresses::Address>& out)
{
    for (auto* h = reinterpret_cast<const nlmsghdr*>(data); NLMSG_OK(h, size);
         h = NLMSG_NEXT(h, size))
    {
        if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR)
        {
            return h->nlmsg_type == NLMSG_DONE ? Part::Done : Part::Failed;
        }
        const auto* info = static_cast<const ifaddrmsg*>(NLMSG_DATA(h));
        if (h->nlmsg_type != RTM_NEWADDR || info->ifa_family != family)
        {
            continue;
        }
        HostAddresses::Address address;
        address.index = static_cast<int>(info->ifa_index);
        address.prefixLength = info->ifa_prefixlen;
        const std::size_t length = family == AF_INET ? 4 : 16;
        bool haveLocal = false;
        unsigned attrSize = IFA_PAYLOAD(h);
        for (auto* a = IFA_RTA(info); RTA_OK(a, attrSize); a = RTA_NEXT(a, attrSize))
        {
            if (RTA_PAYLOAD(a) < length || (a->rta_type != IFA_LOCAL && a->rta_type != IFA_ADDRESS))
            {
                continue;
            }
            // IFA_ADDRESS is the prefix's (a point-to-point peer's); IFA_LOCAL, where there is
            // one, the host's own.
            std::memcpy(a->rta_type == IFA_LOCAL ? &address.local : &address.prefixBase,
                        RTA_DATA(a), length);
            haveLocal = haveLocal || a->rta_type == IFA_LOCAL;
        }
        if (!haveLocal)
        {
            address.local = address.prefixBase;
        }
        out.push_back(address);
    }
    return Part::More;
}
} // namespace

void HostAddresses::read()
{
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd == -1)
    {
        return;
    }
    struct
    {
        nlmsghdr header;
        ifaddrmsg body;
    } request{};
    request.header.nlmsg_len = sizeof(request);
    request.header.nlmsg_type = RTM_GETADDR;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.body.ifa_family = static_cast<unsigned char>(m_family);
    std::vector<Address> addresses;
    const ssize_t sent = send(fd, &request, sizeof(request), 0);
    Part part = sent == static_cast<ssize_t>(sizeof(request)) ? Part::More : Part::Failed;
    alignas(nlmsghdr) char buffer[16384];
    while (part == Part::More)
    {
        const ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
        part = got <= 0 ? Part::Failed
                        : takeAddresses(buffer, static_cast<std::size_t>(got), m_family, addresses);
    }
    close(fd);
    if (part == Part::Done)
    {
        m_addresses = std::move(addresses);
    }
}

bool HostAddresses::isLocal(const PeerAddr& sender) const
{
    const in6_addr addr = senderAddr(sender);
    for (const Address& a : m_addresses)
    {
        if (std::memcmp(&a.local, &addr, sizeof(addr)) == 0)
        {
            return true;
        }
    }
    return false;
}

bool HostAddresses::isOnLink(const PeerAddr& sender, int index) const
{
    const in6_addr addr = senderAddr(sender);
    const bool ipv4 = m_family == AF_INET;
    if (ipv4 ? addr.s6_addr[0] == 169 && addr.s6_addr[1] == 254 : IN6_IS_ADDR_LINKLOCAL(&addr))
    {
        return true;
    }
    for (const Address& a : m_addresses)
    {
        if (a.index != index || !samePrefix(a.prefixBase, addr, a.prefixLength))
        {
            continue;
        }
        if (!ipv4 || a.prefixLength >= 31)
        {
            return true;
        }
        // Not the subnet's network address (all host bits 0) or its broadcast (all 1).
        const std::uint32_t host =
            ntohl(sender.v4.sin_addr.s_addr) & (0xffffffffU >> a.prefixLength);
        if (host != 0 && host != (0xffffffffU >> a.prefixLength))
        {
            return true;
        }
    }
    return false;
}
