#pragma once

#include "discovery/Ssdp.h"

#include <netinet/in.h>

#include <vector>

// Every address of this host in one family, on any interface, with its interface's index and its
// prefix, as the kernel lists them (an RTM_GETADDR dump over netlink). A listener reads it again
// as it follows its interfaces, never per datagram, once the kernel has told of a change, and asks
// it two things of each sender: is it one of ours, and is it on-link for the interface the datagram
// came in by.
class HostAddresses
{
public:
    struct Address
    {
        int index = 0;         // the interface's
        in6_addr local{};      // IPv4 in the first 4 bytes
        in6_addr prefixBase{}; // the prefix's address: the peer's on a point-to-point link
        unsigned prefixLength = 0;
    };

    explicit HostAddresses(int family) : m_family(family) {}
    ~HostAddresses();
    HostAddresses(const HostAddresses&) = delete;
    HostAddresses& operator=(const HostAddresses&) = delete;

    // Reads the list again if it may have changed since the last read; keeps the last one when
    // the kernel cannot be asked.
    void read();
    // Takes `addresses` as the list (for tests).
    void assign(std::vector<Address> addresses) { m_addresses = std::move(addresses); }

    // True when `sender` is an address of this host, on any interface.
    bool isLocal(const PeerAddr& sender) const;
    // True when `sender` is on-link for the interface `index`: within one of its subnets and not
    // that subnet's network or broadcast address, or IPv4 link-local (RFC 3927); over IPv6
    // within one of its prefixes, or link-local (fe80::/10).
    bool isOnLink(const PeerAddr& sender, int index) const;

private:
    bool open();
    void dump();

    int m_family;
    int m_fd = -1; // netlink, a member of the family's address-change group
    unsigned m_seq = 0;
    bool m_bStale = true;
    bool m_bOpenFailed = false; // recorded
    std::vector<Address> m_addresses;
};
