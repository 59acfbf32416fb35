#include "discovery/RtnlDecoder.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <algorithm>
#include <cerrno>
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

std::string textAttr(const rtattr& attr)
{
    const auto* text = static_cast<const char*>(RTA_DATA(&attr));
    return std::string(text, strnlen(text, RTA_PAYLOAD(&attr)));
}

// Appends attribute `type` holding `size` bytes of `data` to the message in `bytes`.
void appendAttr(std::vector<char>& bytes, unsigned short type, const void* data, std::size_t size)
{
    const std::size_t at = bytes.size();
    bytes.resize(at + RTA_SPACE(size));
    auto* attr = reinterpret_cast<rtattr*>(&bytes[at]);
    attr->rta_len = static_cast<unsigned short>(RTA_LENGTH(size));
    attr->rta_type = type;
    std::memcpy(RTA_DATA(attr), data, size);
}

// The verdict of one route in the reply (an RTM_NEWROUTE) for interface `index`.
rtnl::RouteVerdict verdictOf(const nlmsghdr& message, int index)
{
    using rtnl::RouteVerdict;
    const auto* info = static_cast<const rtmsg*>(NLMSG_DATA(&message));
    int leaves = 0;
    bool gateway = false;
    const bool read =
        eachAttr(message, sizeof(rtmsg),
                 [&leaves, &gateway](const rtattr& attr)
                 {
                     leaves = attr.rta_type == RTA_OIF ? static_cast<int>(u32Attr(attr)) : leaves;
                     gateway = gateway || attr.rta_type == RTA_GATEWAY ||
                               attr.rta_type == RTA_VIA || attr.rta_type == RTA_MULTIPATH;
                 });
    if (!read)
    {
        return RouteVerdict::Failed;
    }
    // A local, broadcast, multicast, unreachable or blackhole route leads to no neighbour.
    if (info->rtm_type != RTN_UNICAST || leaves != index || index == 0)
    {
        return RouteVerdict::Elsewhere;
    }
    return gateway ? RouteVerdict::Routed : RouteVerdict::OnLink;
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

std::vector<char> routeRequest(const IpAddress& addr, int index, unsigned seq)
{
    std::vector<char> bytes(NLMSG_SPACE(sizeof(rtmsg)));
    auto* header = reinterpret_cast<nlmsghdr*>(bytes.data());
    header->nlmsg_type = RTM_GETROUTE;
    header->nlmsg_flags = NLM_F_REQUEST;
    header->nlmsg_seq = seq;
    auto* info = static_cast<rtmsg*>(NLMSG_DATA(header));
    info->rtm_family = static_cast<unsigned char>(addr.family);
    info->rtm_dst_len = static_cast<unsigned char>(8 * addressBytes(addr.family));
    appendAttr(bytes, RTA_DST, &addr.bytes, addressBytes(addr.family));
    if (addr.family == AF_INET6 && addr.isLinkLocal())
    {
        const std::uint32_t oif = static_cast<std::uint32_t>(index);
        appendAttr(bytes, RTA_OIF, &oif, sizeof(oif));
    }
    reinterpret_cast<nlmsghdr*>(bytes.data())->nlmsg_len = static_cast<std::uint32_t>(bytes.size());
    return bytes;
}

RouteVerdict routeVerdict(const char* data, std::size_t size, unsigned seq, int index)
{
    for (auto* message = reinterpret_cast<const nlmsghdr*>(data); NLMSG_OK(message, size);
         message = NLMSG_NEXT(message, size))
    {
        if (message->nlmsg_seq != seq)
        {
            continue; // the late reply to a question given up
        }
        if (message->nlmsg_type == RTM_NEWROUTE)
        {
            return verdictOf(*message, index);
        }
        if (message->nlmsg_type != NLMSG_ERROR)
        {
            continue;
        }
        if (message->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr)))
        {
            return RouteVerdict::Failed;
        }
        const int error = -static_cast<const nlmsgerr*>(NLMSG_DATA(message))->error;
        // No route at all is an answer too: not on this link.
        return error == ENETUNREACH || error == EHOSTUNREACH ? RouteVerdict::Elsewhere
                                                             : RouteVerdict::Failed;
    }
    return RouteVerdict::Pending;
}
} // namespace rtnl
