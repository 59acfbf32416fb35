#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

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

// One IPv6 address of an interface, as the kernel's netlink messages list it.
struct Ipv6IfAddr
{
    in6_addr addr;
    unsigned flags; // IFA_F_* of <linux/if_addr.h>
};

// The address that responses announce: one that other hosts can reach it on, preferring a global
// or unique-local address to a link-local one and a preferred address to a deprecated one. The
// current address is kept while it is of the best kind there is, so that adding an address does
// not move the URL; otherwise the numerically lowest of the best kind is taken. The unspecified
// address (::) when there is none.
in6_addr chooseIpv6Addr(const std::vector<Ipv6IfAddr>& addrs, const in6_addr& current);

// The link-local address among `addrs` that chooseIpv6Addr would take, :: for none.
in6_addr chooseLinkLocal(const std::vector<Ipv6IfAddr>& addrs, const in6_addr& current);

// As records write an address: "fd00::1", a link-local one with its zone, "fe80::1%eth1".
std::string ipv6AddrText(const in6_addr& addr, std::string_view zone);

// The host part of the service URL: "[2001:db8::1]", or for a link-local address the zone as
// RFC 6874 writes it, "[fe80::1%25eth1]".
std::string ipv6UrlHost(const in6_addr& addr, std::string_view zone);

// The group among `groups` whose address `destination` is, or nullptr.
const Ipv6GroupAddr* groupOf(const std::vector<Ipv6GroupAddr>& groups, const in6_addr& destination);
