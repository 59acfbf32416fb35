#include "discovery/Groups.h"

#include <arpa/inet.h>

#include <cstring>

std::vector<Ipv6GroupAddr> ipv6Groups(SsdpGroup scope)
{
    std::vector<Ipv6GroupAddr> groups;
    for (const Ipv6Group& group : IPV6_GROUPS)
    {
        if (group.id <= scope)
        {
            Ipv6GroupAddr entry{group, {}};
            inet_pton(AF_INET6, group.address, &entry.addr);
            groups.push_back(entry);
        }
    }
    return groups;
}

const Ipv6GroupAddr* groupOf(const std::vector<Ipv6GroupAddr>& groups, const in6_addr& destination)
{
    for (const Ipv6GroupAddr& group : groups)
    {
        if (std::memcmp(&group.addr, &destination, sizeof(destination)) == 0)
        {
            return &group;
        }
    }
    return nullptr;
}
