#pragma once

// The SSDP groups and port of both families, and which of them a datagram was sent to.

#include <netinet/in.h>

#include <cstddef>
#include <vector>

// UPnP Device Architecture 1.1, 1.1.2: SSDP listens on port 1900 in both families.
inline constexpr unsigned short SSDP_PORT = 1900;

// The address family a listener, its socket and its watches serve.
enum class IpFamily
{
    Ipv4,
    Ipv6,
};

// The SSDP group a datagram was sent to. The IPv6 groups are ordered from the narrowest scope to
// the widest: a scope joins its own group and every narrower one.
enum class SsdpGroup
{
    Ipv4,
    Ipv6Link,
    Ipv6Site,
    Ipv6Organization,
    Ipv6Global,
};

// How many SsdpGroup values there are: the size of tables indexed by group.
inline constexpr std::size_t SSDP_GROUP_COUNT = static_cast<std::size_t>(SsdpGroup::Ipv6Global) + 1;

// UPnP Device Architecture 1.1, section 1.1.1: the IPv6 SSDP groups, all on port 1900.
struct Ipv6Group
{
    SsdpGroup id;
    const char* scope;   // as --ipv6-scope names it
    const char* address; // as the UPnP Device Architecture writes it
    const char* host;    // the HOST value of a search sent to it
};

inline constexpr Ipv6Group IPV6_GROUPS[] = {
    {SsdpGroup::Ipv6Link, "link", "FF02::C", "[FF02::C]:1900"},
    {SsdpGroup::Ipv6Site, "site", "FF05::C", "[FF05::C]:1900"},
    {SsdpGroup::Ipv6Organization, "organization", "FF08::C", "[FF08::C]:1900"},
    {SsdpGroup::Ipv6Global, "global", "FF0E::C", "[FF0E::C]:1900"},
};

// True for the IPv6 groups wider than the link: a search sent to one may come from beyond a
// router, and its answer goes back by the route to its source.
inline bool isWideScope(SsdpGroup group)
{
    return group != SsdpGroup::Ipv4 && group != SsdpGroup::Ipv6Link;
}

// A group with its address as the socket calls take it.
struct Ipv6GroupAddr
{
    Ipv6Group group;
    in6_addr addr;
};
// The groups that `scope` joins, narrowest first.
std::vector<Ipv6GroupAddr> ipv6Groups(SsdpGroup scope);

// The group among `groups` whose address `destination` is, or nullptr.
const Ipv6GroupAddr* groupOf(const std::vector<Ipv6GroupAddr>& groups, const in6_addr& destination);
