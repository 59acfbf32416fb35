#include "discovery/HostView.h"

#include "common/Logger.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
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

// One netlink read: the addresses of the dump numbered `seq` that it lists, appended to `out`.
// A notification read among them sets `changed`.
Part takeAddresses(const char* data, std::size_t size, int family, unsigned seq,
                   std::vector<HostAddresses::Address>& out, bool& changed)
{
    for (auto* h = reinterpret_cast<const nlmsghdr*>(data); NLMSG_OK(h, size);
         h = NLMSG_NEXT(h, size))
    {
        if (h->nlmsg_seq != seq)
        {
            changed = true;
            continue;
        }
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

HostAddresses::~HostAddresses()
{
    if (m_fd != -1)
    {
        close(m_fd);
    }
}

void HostAddresses::read()
{
    if (m_fd == -1 && !open())
    {
        return;
    }
    // Any notification, or a queue that overflowed (ENOBUFS), means the list may have changed.
    alignas(nlmsghdr) char buffer[16384];
    for (;;)
    {
        const ssize_t got = recv(m_fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (got <= 0 && !(got == -1 && errno == ENOBUFS))
        {
            break;
        }
        m_bStale = true;
    }
    if (m_bStale)
    {
        dump();
    }
}

bool HostAddresses::open()
{
    // Told of every change of the family's addresses, so that the list is dumped again only
    // after one: while nothing changes a look costs one receive that finds nothing.
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = m_family == AF_INET ? RTMGRP_IPV4_IFADDR : RTMGRP_IPV6_IFADDR;
    const bool bound =
        fd != -1 && bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) == 0;
    if (!bound)
    {
        const int error = errno;
        if (fd != -1)
        {
            close(fd);
        }
        if (!m_bOpenFailed)
        {
            // Tried again at every look; written once.
            m_bOpenFailed = true;
            LOG_DISC(WARNING) << (fd == -1 ? "socket(AF_NETLINK) failed"
                                           : "bind(AF_NETLINK) failed")
                              << std::strerror(error)
                              << ": the host's addresses are unknown, so no search is answered";
        }
        return false;
    }
    m_fd = fd;
    m_bStale = true;
    return true;
}

void HostAddresses::dump()
{
    struct
    {
        nlmsghdr header;
        ifaddrmsg body;
    } request{};
    request.header.nlmsg_len = sizeof(request);
    request.header.nlmsg_type = RTM_GETADDR;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = ++m_seq;
    request.body.ifa_family = static_cast<unsigned char>(m_family);
    std::vector<Address> addresses;
    const ssize_t sent = send(m_fd, &request, sizeof(request), 0);
    Part part = sent == static_cast<ssize_t>(sizeof(request)) ? Part::More : Part::Failed;
    alignas(nlmsghdr) char buffer[16384];
    bool changed = false;
    while (part == Part::More)
    {
        const ssize_t got = recv(m_fd, buffer, sizeof(buffer), 0);
        part = got <= 0 ? Part::Failed
                        : takeAddresses(buffer, static_cast<std::size_t>(got), m_family, m_seq,
                                        addresses, changed);
    }
    if (part == Part::Done)
    {
        m_addresses = std::move(addresses);
    }
    // A change told during the dump may have come after its part was read: dumped again.
    m_bStale = part != Part::Done || changed;
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
