#include "discovery/RtnlDecoder.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <algorithm>
#include <cstring>

namespace
{
std::size_t addressBytes(int family)
{
    return family == AF_INET ? 4 : 16;
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

bool isGateway(const rtattr& attr)
{
    return attr.rta_type == RTA_GATEWAY || attr.rta_type == RTA_VIA;
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

// The route's next hops from RTA_MULTIPATH, each `route` but for its interface and gateway.
std::vector<HostTable::Route> hopsOf(const rtattr& hops, const HostTable::Route& route)
{
    std::vector<HostTable::Route> routes;
    int left = static_cast<int>(RTA_PAYLOAD(&hops));
    for (const auto* hop = static_cast<const rtnexthop*>(RTA_DATA(&hops));
         left >= static_cast<int>(sizeof(rtnexthop)) && RTNH_OK(hop, left);
         left -= RTNH_ALIGN(hop->rtnh_len), hop = RTNH_NEXT(hop))
    {
        HostTable::Route one = route;
        one.index = hop->rtnh_ifindex;
        int size = hop->rtnh_len - static_cast<int>(RTNH_LENGTH(0));
        for (const auto* attr = reinterpret_cast<const rtattr*>(RTNH_DATA(hop)); RTA_OK(attr, size);
             attr = RTA_NEXT(attr, size))
        {
            one.gateway =
                isGateway(*attr) ? gatewayAttr(*attr, route.destination.family) : one.gateway;
        }
        routes.push_back(one);
    }
    return routes;
}
} // namespace

namespace rtnl
{
bool decodeLink(const nlmsghdr& message, HostTable::Link& link)
{
    const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(&message));
    const bool read = eachAttr(message, sizeof(ifinfomsg),
                               [&link](const rtattr& attr)
                               {
                                   if (attr.rta_type == IFLA_IFNAME)
                                   {
                                       link.name = textAttr(attr);
                                   }
                               });
    if (!read || info->ifi_family != AF_UNSPEC)
    {
        return false;
    }
    link.index = info->ifi_index;
    link.up = (info->ifi_flags & IFF_UP) != 0;
    return true;
}

bool decodeAddress(const nlmsghdr& message, HostTable::Address& address)
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

std::vector<HostTable::Route> decodeRoutes(const nlmsghdr& message)
{
    const auto* info = static_cast<const rtmsg*>(NLMSG_DATA(&message));
    const int family = message.nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg)) ? 0 : info->rtm_family;
    if ((family != AF_INET && family != AF_INET6) || info->rtm_type != RTN_UNICAST ||
        (info->rtm_flags & RTM_F_CLONED) != 0)
    {
        return {};
    }
    HostTable::Route route;
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
    return hops == nullptr ? std::vector<HostTable::Route>{route} : hopsOf(*hops, route);
}
} // namespace rtnl
