#include "discovery/HostView.h"

#include "common/Logger.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <tuple>

namespace
{
// A dump part is at most 32 kB (the kernel sizes them by our reads, up to that).
constexpr std::size_t BUFFER_BYTES = 32768;
// Event reads at one turn (an event is one read).
constexpr unsigned MAX_EVENT_READS = 256;
// Dumps at one turn: two full rounds; a kernel that keeps overflowing the queue waits a turn.
constexpr unsigned MAX_DUMPS = 6;
constexpr unsigned MAX_DUMP_READS = 10000;
constexpr int DUMP_WAIT_MS = 1000;
constexpr std::chrono::seconds RETRY{1};

std::size_t addressBytes(int family)
{
    return family == AF_INET ? 4 : 16;
}

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

// `addr` is within `base`/`length`; with `subnet`, not an IPv4 subnet's network address (host
// bits all 0) or broadcast (all 1), in subnets wider than /31.
bool within(const IpAddress& base, unsigned length, const IpAddress& addr, bool subnet)
{
    if (base.family != addr.family || !samePrefix(base.bytes, addr.bytes, length))
    {
        return false;
    }
    if (!subnet || addr.family != AF_INET || length >= 31)
    {
        return true;
    }
    const std::uint32_t host = ntohl(addr.ipv4()) & (0xffffffffU >> length);
    return host != 0 && host != (0xffffffffU >> length);
}

// Calls `each` for every attribute of `message` after its fixed part `fixed`; false (and no call)
// when the message is too short for that part.
template <typename Each> bool eachAttr(const nlmsghdr& message, std::size_t fixed, Each each)
{
    if (message.nlmsg_len < NLMSG_LENGTH(fixed))
    {
        return false;
    }
    int size = static_cast<int>(message.nlmsg_len) - static_cast<int>(NLMSG_SPACE(fixed));
    const auto* attr = reinterpret_cast<const rtattr*>(
        static_cast<const char*>(NLMSG_DATA(&message)) + NLMSG_ALIGN(fixed));
    for (; RTA_OK(attr, size); attr = RTA_NEXT(attr, size))
    {
        each(*attr);
    }
    return true;
}

// The attribute's address of `family`, or none when it is too short.
IpAddress addressAttr(const rtattr& attr, int family)
{
    IpAddress addr;
    if (RTA_PAYLOAD(&attr) >= addressBytes(family))
    {
        addr.family = family;
        std::memcpy(&addr.bytes, RTA_DATA(&attr), addressBytes(family));
    }
    return addr;
}

unsigned u32Attr(const rtattr& attr)
{
    std::uint32_t value = 0;
    std::memcpy(&value, RTA_DATA(&attr), std::min<std::size_t>(RTA_PAYLOAD(&attr), 4));
    return value;
}

// The next hop that RTA_GATEWAY or RTA_VIA names. Never AF_UNSPEC, even when unreadable: a route
// through a gateway never counts as connected.
IpAddress gatewayAttr(const rtattr& attr, int family)
{
    const auto* data = static_cast<const unsigned char*>(RTA_DATA(&attr));
    std::size_t size = RTA_PAYLOAD(&attr);
    if (attr.rta_type == RTA_VIA && size >= sizeof(rtvia))
    {
        std::uint16_t via = 0;
        std::memcpy(&via, data, sizeof(via));
        family = via == AF_UNSPEC ? family : via;
        data += sizeof(rtvia);
        size -= sizeof(rtvia);
    }
    IpAddress gateway;
    gateway.family = family;
    std::memcpy(&gateway.bytes, data, std::min(size, sizeof(gateway.bytes)));
    return gateway;
}

std::string textAttr(const rtattr& attr)
{
    const auto* text = static_cast<const char*>(RTA_DATA(&attr));
    return std::string(text, strnlen(text, RTA_PAYLOAD(&attr)));
}

// Puts `entry` in the place of the one `same` finds (or adds it), or with `keep` false takes that
// one away.
template <typename Entry, typename Same>
void keepEntry(std::vector<Entry>& table, const Entry& entry, bool keep, Same same)
{
    const auto known = std::find_if(table.begin(), table.end(), same);
    if (known != table.end() && keep)
    {
        *known = entry;
    }
    else if (known != table.end())
    {
        table.erase(known);
    }
    else if (keep)
    {
        table.push_back(entry);
    }
}

template <typename Entry, typename Gone> void eraseIf(std::vector<Entry>& table, Gone gone)
{
    table.erase(std::remove_if(table.begin(), table.end(), gone), table.end());
}

bool isGateway(const rtattr& attr)
{
    return attr.rta_type == RTA_GATEWAY || attr.rta_type == RTA_VIA;
}
} // namespace

bool HostView::Link::operator==(const Link& other) const
{
    return std::tie(index, up, name) == std::tie(other.index, other.up, other.name);
}

bool HostView::Address::operator==(const Address& other) const
{
    return std::tie(index, local, prefixBase, prefixLength, flags, label) ==
           std::tie(other.index, other.local, other.prefixBase, other.prefixLength, other.flags,
                    other.label);
}

bool HostView::Route::operator==(const Route& other) const
{
    return std::tie(destination, length, priority, index, gateway, tos, scope) ==
           std::tie(other.destination, other.length, other.priority, other.index, other.gateway,
                    other.tos, other.scope);
}

bool HostView::State::operator==(const State& other) const
{
    return std::tie(links, addresses, routes) ==
           std::tie(other.links, other.addresses, other.routes);
}

HostView::HostView() : m_buffer(BUFFER_BYTES) {}

HostView::~HostView()
{
    if (m_fd != -1)
    {
        close(m_fd);
    }
}

bool HostView::open()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    const Clock::time_point now = Clock::now();
    if (m_fd == -1 && !openSocket(now))
    {
        return false;
    }
    const State before = m_state;
    dumpPending(now);
    noteChange(before);
    return m_bKnown;
}

void HostView::update()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    const Clock::time_point now = Clock::now();
    if (m_fd == -1 && (now < m_nextOpen || !openSocket(now)))
    {
        return;
    }
    ssize_t got = receive(MSG_DONTWAIT);
    const bool dumpDue = m_pending != 0 && now >= m_nextDump;
    if (got == 0 && !dumpDue)
    {
        return; // the usual turn: nothing told, nothing owed
    }
    const State before = m_state;
    for (unsigned reads = 1; got != 0; ++reads)
    {
        if (got > 0)
        {
            take(m_buffer.data(), static_cast<std::size_t>(got));
        }
        else
        {
            lose();
        }
        if (reads == MAX_EVENT_READS)
        {
            // A long burst: a dump catches up at once, reading every event queued before it.
            lose();
            break;
        }
        got = receive(MSG_DONTWAIT);
    }
    if (m_pending != 0 && now >= m_nextDump)
    {
        dumpPending(now);
    }
    noteChange(before);
}

bool HostView::openSocket(Clock::time_point now)
{
    m_nextOpen = now + RETRY;
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE |
                      RTMGRP_IPV6_ROUTE;
    socklen_t size = sizeof(local);
    const bool bound = fd != -1 &&
                       bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) == 0 &&
                       getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) == 0;
    if (!bound)
    {
        const int error = errno;
        if (fd != -1)
        {
            close(fd);
        }
        if (!m_bOpenFailed)
        {
            // Tried again once a second; written once.
            m_bOpenFailed = true;
            LOG_DISC(WARNING) << (fd == -1 ? "socket(AF_NETLINK) failed"
                                           : "bind(AF_NETLINK) failed")
                              << std::strerror(error)
                              << ": the host's addresses are unknown, so no search is answered";
        }
        return false;
    }
    // A burst of events (an interface with many addresses going away) should not overflow the
    // queue: the kernel caps the size at net.core.rmem_max; an overflow costs a dump, no more.
    const int bytes = 1024 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
    m_portId = local.nl_pid;
    m_pending = EVERYTHING;
    m_fd = fd;
    return true;
}

void HostView::dumpPending(Clock::time_point now)
{
    for (unsigned round = 0; round < MAX_DUMPS && m_pending != 0; ++round)
    {
        const Kind kind = (m_pending & LINKS) != 0       ? LINKS
                          : (m_pending & ADDRESSES) != 0 ? ADDRESSES
                                                         : ROUTES;
        m_pending &= ~kind;
        if (!dump(kind))
        {
            m_pending |= kind;
            m_bKnown = false;
            m_nextDump = now + RETRY;
            return;
        }
    }
    m_bKnown = m_bKnown || m_pending == 0;
}

bool HostView::dump(Kind kind)
{
    // The kind's table is read afresh. Events read among the parts are applied in their order: a
    // part is made as it is read, after every event queued before it, so the last word on each
    // entry wins.
    State saved = m_state;
    replace(kind, State{});
    alignas(nlmsghdr) char request[NLMSG_SPACE(sizeof(ifinfomsg))] = {}; // each family AF_UNSPEC
    auto* header = reinterpret_cast<nlmsghdr*>(request);
    header->nlmsg_len = NLMSG_LENGTH(kind == LINKS       ? sizeof(ifinfomsg)
                                     : kind == ADDRESSES ? sizeof(ifaddrmsg)
                                                         : sizeof(rtmsg));
    header->nlmsg_type = kind == LINKS       ? RTM_GETLINK
                         : kind == ADDRESSES ? RTM_GETADDR
                                             : RTM_GETROUTE;
    header->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    header->nlmsg_seq = ++m_seq;
    if (send(m_fd, request, header->nlmsg_len, 0) == static_cast<ssize_t>(header->nlmsg_len) &&
        readDump())
    {
        return true;
    }
    // The last full table stands while the view is not known.
    replace(kind, std::move(saved));
    return false;
}

bool HostView::readDump()
{
    for (unsigned reads = 0; reads < MAX_DUMP_READS; ++reads)
    {
        const ssize_t got = receive(MSG_DONTWAIT);
        if (got > 0)
        {
            const Part part = take(m_buffer.data(), static_cast<std::size_t>(got));
            if (part != Part::More)
            {
                return part == Part::Done;
            }
        }
        else if (got < 0)
        {
            lose();
        }
        else
        {
            // Waited for in poll(), so that a kernel that never answers cannot hold the lock.
            pollfd readable{m_fd, POLLIN, 0};
            if (poll(&readable, 1, DUMP_WAIT_MS) != 1)
            {
                return false;
            }
        }
    }
    return false;
}

ssize_t HostView::receive(int flags)
{
    // One read: its size; 0 for none (or a failed read); -1 when messages were lost, the queue
    // having overflowed (ENOBUFS) or a message being longer than the buffer.
    const ssize_t got = recv(m_fd, m_buffer.data(), m_buffer.size(), flags | MSG_TRUNC);
    if (got < 0)
    {
        return errno == ENOBUFS ? -1 : 0;
    }
    return static_cast<std::size_t>(got) > m_buffer.size() ? -1 : got;
}

void HostView::lose()
{
    m_pending = EVERYTHING;
    m_bKnown = false;
}

HostView::Part HostView::take(const char* data, std::size_t size)
{
    std::size_t left = size;
    for (auto* message = reinterpret_cast<const nlmsghdr*>(data); NLMSG_OK(message, left);
         message = NLMSG_NEXT(message, left))
    {
        if (m_portId != 0 && message->nlmsg_pid == m_portId)
        {
            if (message->nlmsg_seq != m_seq)
            {
                continue; // the rest of a dump given up
            }
            if (message->nlmsg_type == NLMSG_DONE || message->nlmsg_type == NLMSG_ERROR)
            {
                return message->nlmsg_type == NLMSG_DONE ? Part::Done : Part::Failed;
            }
        }
        switch (message->nlmsg_type)
        {
        case RTM_NEWLINK:
        case RTM_DELLINK:
            applyLink(*message);
            break;
        case RTM_NEWADDR:
        case RTM_DELADDR:
            applyAddress(*message);
            break;
        case RTM_NEWROUTE:
        case RTM_DELROUTE:
            applyRoute(*message);
            break;
        default:
            break;
        }
    }
    return Part::More;
}

void HostView::applyLink(const nlmsghdr& message)
{
    const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(&message));
    Link link;
    const bool read = eachAttr(message, sizeof(ifinfomsg),
                               [&link](const rtattr& attr)
                               {
                                   if (attr.rta_type == IFLA_IFNAME)
                                   {
                                       link.name = textAttr(attr);
                                   }
                               });
    // Other families tell of a link's part in them (AF_BRIDGE: a bridge port's), not the link.
    if (!read || info->ifi_family != AF_UNSPEC)
    {
        return;
    }
    link.index = info->ifi_index;
    link.up = (info->ifi_flags & IFF_UP) != 0;
    const int index = link.index;
    const Link* known = linkAt(index);
    const bool gone = message.nlmsg_type == RTM_DELLINK;
    // Linux drops the IPv4 routes of a link set down without a word.
    if (gone || (known != nullptr && known->up && !link.up))
    {
        m_pending |= ROUTES;
    }
    keepEntry(m_state.links, link, !gone, [index](const Link& l) { return l.index == index; });
    if (gone)
    {
        eraseIf(m_state.addresses, [index](const Address& a) { return a.index == index; });
        eraseIf(m_state.routes, [index](const Route& r) { return r.index == index; });
    }
}

bool HostView::addressOf(const nlmsghdr& message, Address& address)
{
    const auto* info = static_cast<const ifaddrmsg*>(NLMSG_DATA(&message));
    const int family = message.nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg)) ? 0 : info->ifa_family;
    if (family != AF_INET && family != AF_INET6)
    {
        return false;
    }
    address.flags = info->ifa_flags;
    eachAttr(message, sizeof(ifaddrmsg),
             [&address, family](const rtattr& attr)
             {
                 // IFA_ADDRESS is the prefix's (a point-to-point peer's); IFA_LOCAL, where there
                 // is one, the host's own. IFA_FLAGS holds every flag, ifa_flags the first eight.
                 if (attr.rta_type == IFA_ADDRESS || attr.rta_type == IFA_LOCAL)
                 {
                     (attr.rta_type == IFA_LOCAL ? address.local : address.prefixBase) =
                         addressAttr(attr, family);
                 }
                 address.flags = attr.rta_type == IFA_FLAGS ? u32Attr(attr) : address.flags;
                 address.label = attr.rta_type == IFA_LABEL ? textAttr(attr) : address.label;
             });
    address.local = address.local.family == AF_UNSPEC ? address.prefixBase : address.local;
    address.prefixBase =
        address.prefixBase.family == AF_UNSPEC ? address.local : address.prefixBase;
    address.index = static_cast<int>(info->ifa_index);
    address.prefixLength = std::min<unsigned>(info->ifa_prefixlen, 8 * addressBytes(family));
    return address.local.family != AF_UNSPEC;
}

void HostView::applyAddress(const nlmsghdr& message)
{
    Address address;
    if (!addressOf(message, address))
    {
        return;
    }
    const bool gone = message.nlmsg_type == RTM_DELADDR;
    // Linux drops the routes that named it as their source, and every route of a link left
    // without an IPv4 address, without a word.
    if (gone && address.local.family == AF_INET)
    {
        m_pending |= ROUTES;
    }
    // IPv6 knows an address by itself; IPv4 may hold one address in two subnets.
    keepEntry(m_state.addresses, address, !gone,
              [&address](const Address& a)
              {
                  return a.index == address.index && a.local == address.local &&
                         (a.local.family == AF_INET6 || (a.prefixLength == address.prefixLength &&
                                                         a.prefixBase == address.prefixBase));
              });
}

// The routes that `message` tells, one per next hop, when it is a route of the main table that
// leads somewhere (unicast, not a cached exception); nothing otherwise.
std::vector<HostView::Route> HostView::routesOf(const nlmsghdr& message)
{
    const auto* info = static_cast<const rtmsg*>(NLMSG_DATA(&message));
    const int family = message.nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg)) ? 0 : info->rtm_family;
    if ((family != AF_INET && family != AF_INET6) || info->rtm_type != RTN_UNICAST ||
        (info->rtm_flags & RTM_F_CLONED) != 0)
    {
        return {};
    }
    Route route;
    route.destination.family = family;
    route.length = std::min<unsigned>(info->rtm_dst_len, 8 * addressBytes(family));
    route.tos = info->rtm_tos;
    route.scope = info->rtm_scope;
    unsigned table = info->rtm_table;
    const rtattr* hops = nullptr;
    eachAttr(message, sizeof(rtmsg),
             [&](const rtattr& attr)
             {
                 const unsigned short type = attr.rta_type;
                 table = type == RTA_TABLE ? u32Attr(attr) : table;
                 route.priority = type == RTA_PRIORITY ? u32Attr(attr) : route.priority;
                 route.index = type == RTA_OIF ? static_cast<int>(u32Attr(attr)) : route.index;
                 hops = type == RTA_MULTIPATH ? &attr : hops;
                 if (type == RTA_DST && RTA_PAYLOAD(&attr) >= addressBytes(family))
                 {
                     route.destination = addressAttr(attr, family);
                 }
                 route.gateway = isGateway(attr) ? gatewayAttr(attr, family) : route.gateway;
             });
    if (table != RT_TABLE_MAIN)
    {
        return {};
    }
    if (hops == nullptr)
    {
        return {route};
    }
    std::vector<Route> routes;
    int left = static_cast<int>(RTA_PAYLOAD(hops));
    for (const auto* hop = static_cast<const rtnexthop*>(RTA_DATA(hops));
         left >= static_cast<int>(sizeof(rtnexthop)) && RTNH_OK(hop, left);
         left -= RTNH_ALIGN(hop->rtnh_len), hop = RTNH_NEXT(hop))
    {
        Route one = route;
        one.index = hop->rtnh_ifindex;
        int size = hop->rtnh_len - static_cast<int>(RTNH_LENGTH(0));
        for (const auto* attr = reinterpret_cast<const rtattr*>(RTNH_DATA(hop)); RTA_OK(attr, size);
             attr = RTA_NEXT(attr, size))
        {
            one.gateway = isGateway(*attr) ? gatewayAttr(*attr, family) : one.gateway;
        }
        routes.push_back(one);
    }
    return routes;
}

void HostView::applyRoute(const nlmsghdr& message)
{
    const std::vector<Route> told = routesOf(message);
    std::vector<Route>& routes = m_state.routes;
    if (told.empty())
    {
        return;
    }
    if (message.nlmsg_type == RTM_DELROUTE || (message.nlmsg_flags & NLM_F_REPLACE) != 0)
    {
        // A replacement takes the place of every route to the same destination and metric.
        const bool replacing = message.nlmsg_type == RTM_NEWROUTE;
        const Route& first = told.front();
        const auto gone = [&](const Route& r)
        {
            return replacing ? r.destination == first.destination && r.length == first.length &&
                                   r.tos == first.tos && r.priority == first.priority
                             : std::find(told.begin(), told.end(), r) != told.end();
        };
        eraseIf(routes, gone);
    }
    for (const Route& route : told)
    {
        if (message.nlmsg_type == RTM_NEWROUTE &&
            std::find(routes.begin(), routes.end(), route) == routes.end())
        {
            routes.push_back(route);
        }
    }
}

void HostView::replace(Kind kind, State&& from)
{
    if (kind == LINKS)
    {
        m_state.links = std::move(from.links);
    }
    else if (kind == ADDRESSES)
    {
        m_state.addresses = std::move(from.addresses);
    }
    else
    {
        m_state.routes = std::move(from.routes);
    }
}

void HostView::noteChange(const State& before)
{
    if (!(m_state == before))
    {
        m_version.fetch_add(1, std::memory_order_release);
    }
}

void HostView::apply(const void* data, std::size_t size)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    const State before = m_state;
    take(static_cast<const char*>(data), size);
    noteChange(before);
}

void HostView::markKnown()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_bKnown = true;
}

bool HostView::known() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_bKnown;
}

const HostView::Link* HostView::linkAt(int index) const
{
    for (const Link& link : m_state.links)
    {
        if (link.index == index)
        {
            return &link;
        }
    }
    return nullptr;
}

int HostView::indexOf(const std::string& name) const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    for (const Link& link : m_state.links)
    {
        if (link.name == name)
        {
            return link.index;
        }
    }
    return 0;
}

in_addr_t HostView::ipv4Of(int index) const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    const Link* link = linkAt(index);
    const Address* found = nullptr;
    for (const Address& a : m_state.addresses)
    {
        if (link == nullptr || a.index != index || a.local.family != AF_INET ||
            a.label != link->name)
        {
            continue;
        }
        if ((a.flags & IFA_F_SECONDARY) == 0)
        {
            return a.local.ipv4();
        }
        found = found == nullptr ? &a : found;
    }
    return found == nullptr ? 0 : found->local.ipv4();
}

std::vector<Ipv6IfAddr> HostView::ipv6Of(int index) const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Ipv6IfAddr> addrs;
    for (const Address& a : m_state.addresses)
    {
        if (a.index == index && a.local.family == AF_INET6)
        {
            addrs.push_back({a.local.ipv6(), a.flags});
        }
    }
    return addrs;
}

bool HostView::isLocal(const IpAddress& addr) const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return isLocalLocked(addr);
}

bool HostView::isLocalLocked(const IpAddress& addr) const
{
    for (const Address& a : m_state.addresses)
    {
        if (a.local == addr)
        {
            return true;
        }
    }
    return false;
}

bool HostView::isOnLink(const IpAddress& addr, int index) const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return isOnLinkLocked(addr, index);
}

bool HostView::isOnLinkLocked(const IpAddress& addr, int index) const
{
    if (addr.isLinkLocal())
    {
        return true;
    }
    for (const Address& a : m_state.addresses)
    {
        if (a.index == index && within(a.prefixBase, a.prefixLength, addr, true))
        {
            return true;
        }
    }
    for (const Route& r : m_state.routes)
    {
        // A route to a group (ff00::/8) leads to no neighbour; IPv6 routes have no link scope.
        const bool connected =
            r.gateway.family == AF_UNSPEC &&
            (r.destination.family == AF_INET ? r.scope == RT_SCOPE_LINK
                                             : !IN6_IS_ADDR_MULTICAST(&r.destination.bytes));
        if (r.index == index && connected && within(r.destination, r.length, addr, true))
        {
            return true;
        }
    }
    return false;
}

bool HostView::routeLeavesBy(const IpAddress& addr, int index) const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return routeLeavesByLocked(addr, index);
}

bool HostView::routeLeavesByLocked(const IpAddress& addr, int index) const
{
    const Route* best = nullptr;
    bool leaves = false; // by one of the best routes: any of equal next hops may be taken
    for (const Route& r : m_state.routes)
    {
        if (!within(r.destination, r.length, addr, false))
        {
            continue;
        }
        const bool better = best == nullptr || r.length > best->length ||
                            (r.length == best->length && r.priority < best->priority);
        if (better || (r.length == best->length && r.priority == best->priority))
        {
            leaves = (!better && leaves) || r.index == index;
            best = &r;
        }
    }
    return leaves;
}

HostView::SenderView HostView::viewOf(const IpAddress& sender, int index, bool wideScope) const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    SenderView view;
    view.known = m_bKnown;
    view.local = isLocalLocked(sender);
    view.reachable =
        isOnLinkLocked(sender, index) || (wideScope && routeLeavesByLocked(sender, index));
    return view;
}
