#pragma once

// What is IPv6's own: which of an interface's addresses is announced, and how it is written.

#include <netinet/in.h>

#include <string>
#include <string_view>
#include <vector>

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
