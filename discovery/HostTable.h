#pragma once

#include "discovery/Address.h"
#include "discovery/Ipv6.h"

#include <netinet/in.h>

#include <cstddef>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// The host's links and addresses as the kernel has told them, and what a listener asks of them
// about a sender. Pure: no socket, no lock, no clock; the host's view (HostView) feeds it decoded
// netlink messages and guards it. Only what the options need is kept: IPv6 addresses with IPv6
// only, and addresses only of the interfaces named (every link is kept, small as that table is,
// to map names to indexes). Each interface keeps at most MAX_PER_INTERFACE addresses. Routes are
// not kept: what a segment's router advertisements can add without end is asked of the kernel,
// one sender at a time (RouteLookup).
class HostTable
{
public:
    static constexpr std::size_t MAX_PER_INTERFACE = 4096;

    struct Link
    {
        int index = 0;
        bool up = false;
        std::string name;
    };
    struct Address
    {
        int index = 0;
        IpAddress local;
        IpAddress prefixBase; // the prefix's address: the peer's on a point-to-point link
        unsigned prefixLength = 0;
        unsigned flags = 0; // IFA_F_*
        std::string label;  // IPv4's, "eth1" or an alias "eth1:0"
        bool sameEntry(const Address& other) const;
    };
    // What the table keeps: every interface when `names` is empty.
    struct Scope
    {
        bool ipv6 = true;
        std::vector<std::string> names;
    };
    // The parts a dump reads afresh.
    enum Kind : unsigned
    {
        LINKS = 1,
        ADDRESSES = 2,
        EVERYTHING = 3,
    };
    // What applying one message did: the dumps it leaves owed (a link newly named as wanted brings
    // addresses not kept), whether the links or addresses moved (the watches look again, and the
    // senders judged are judged afresh), and the interface that has just reached its bound (0 for
    // none).
    struct Effect
    {
        unsigned owed = 0;
        bool moved = false;
        int full = 0;
        void add(const Effect& other);
    };

    HostTable();
    explicit HostTable(Scope scope);

    Effect applyLink(const Link& link, bool gone);
    Effect applyAddress(const Address& address, bool gone);
    // The `kind` part becomes `from`'s: a finished dump's, made in a table of its own so that
    // this one answers meanwhile.
    Effect adopt(Kind kind, HostTable&& from);
    // The links of `from`, for a dump of addresses that asks which interfaces count.
    void copyLinks(const HostTable& from);
    // Whether `family` and interface `index` are followed.
    bool wants(int family) const { return family == AF_INET || m_scope.ipv6; }
    bool wants(int family, int index) const;

    // The index of the link named `name` now, 0 for none.
    int indexOf(const std::string& name) const;
    const Link* linkAt(int index) const;
    // The link's primary IPv4 address as SIOCGIFADDR gives it: the first of its addresses labelled
    // with its own name, a primary one before a secondary; 0 for none.
    in_addr_t ipv4Of(int index) const;
    // Every IPv6 address of the link with its IFA_F_* flags, for chooseIpv6Addr().
    std::vector<Ipv6IfAddr> ipv6Of(int index) const;
    // An address of this host, on an interface followed, whatever its flags (tentative included).
    bool isLocal(const IpAddress& addr) const;
    // On-link for the link `index` by its addresses alone: link-local (169.254/16, RFC 3927;
    // fe80::/10), or within one of its address prefixes (on a point-to-point link, the peer), less
    // an IPv4 subnet's network and broadcast addresses (wider than /31). The kernel's routes are
    // asked of the rest (RouteLookup).
    bool isOnLink(const IpAddress& addr, int index) const;
    // An IPv4 subnet's network or broadcast address (wider than /31) among the prefixes of the
    // link `index`'s addresses: never a sender, though a route may lead to it.
    bool isSubnetEdge(const IpAddress& addr, int index) const;
    // What a listener asks of each datagram's sender before it asks the kernel's routes.
    struct SenderView
    {
        bool known = false; // the view's to fill
        bool local = false;
        bool onLink = false;
        bool subnetEdge = false;
    };
    SenderView viewOf(const IpAddress& sender, int index) const;

private:
    struct AddressHash
    {
        std::size_t operator()(const IpAddress& a) const;
    };
    void dropIndex(int index);
    // The indexes of links followed.
    std::unordered_set<int> wantedIndexes() const;

    Scope m_scope;
    std::unordered_map<int, Link> m_links;
    std::unordered_map<std::string, int> m_indexes;
    // Addresses: by interface, and how many entries hold each address.
    std::unordered_map<int, std::vector<Address>> m_addresses;
    std::unordered_map<IpAddress, unsigned, AddressHash> m_local;
    std::unordered_set<int> m_addressesFull;
};
