#pragma once

#include "discovery/Ipv6.h"
#include "discovery/Ssdp.h"

#include <netinet/in.h>

#include <array>
#include <cstddef>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// The host's links, addresses and main-table routes as the kernel has told them, and the
// questions a listener asks of a sender. Pure: no socket, no lock, no clock; the host's view
// (HostView) feeds it decoded netlink messages and guards it. Only what the options need is kept:
// IPv6 entries with IPv6 only, and addresses and routes only of the interfaces named (every link
// is kept, small as that table is, to map names to indexes; and with a wider IPv6 scope, every
// IPv6 route, for the reverse path). Each interface keeps at most
// MAX_PER_INTERFACE addresses and as many routes: a segment's router advertisements can add
// routes without end, and past the bound the interface's on-link rule falls back to its own
// address prefixes.
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
    struct Route // one per next hop
    {
        IpAddress destination;
        unsigned length = 0;
        unsigned priority = 0;
        int index = 0;
        IpAddress gateway; // AF_UNSPEC for none: a connected route
        unsigned char tos = 0;
        unsigned char scope = 0;
        bool operator==(const Route& other) const;
        // A route to a neighbour: no gateway, over IPv4 of link scope, never to a group.
        bool connected() const;
    };
    // What the table keeps: every interface when `names` is empty; with `everyIpv6Route`, the
    // IPv6 routes of every interface, which the reverse path of a search to a group wider than
    // the link is judged by.
    struct Scope
    {
        bool ipv6 = true;
        std::vector<std::string> names;
        bool everyIpv6Route = false;
    };
    // The parts a dump reads afresh.
    enum Kind : unsigned
    {
        LINKS = 1,
        ADDRESSES = 2,
        ROUTES = 4,
        EVERYTHING = 7,
    };
    // What applying one message did: the dumps it leaves owed (Linux drops routes without a word
    // when a link goes down or an IPv4 address goes, and a link newly named as wanted brings
    // addresses not kept), whether the links or addresses moved (the watches look again), and the
    // interface that has just reached its bound (0 for none).
    struct Effect
    {
        unsigned owed = 0;
        bool moved = false;
        int full = 0;
        void add(const Effect& other);
    };
    enum class RouteChange
    {
        Add,
        Replace, // takes the place of every route to the same destination, TOS and metric
        Remove,
    };

    HostTable();
    explicit HostTable(Scope scope);

    Effect applyLink(const Link& link, bool gone);
    Effect applyAddress(const Address& address, bool gone);
    Effect applyRoutes(const std::vector<Route>& hops, RouteChange change);
    // The `kind` part becomes `from`'s: a finished dump's, made in a table of its own so that
    // this one answers meanwhile.
    Effect adopt(Kind kind, HostTable&& from);
    // The links of `from`, for a dump of addresses or routes that asks which interfaces count.
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
    // On-link for the link `index`: link-local (169.254/16, RFC 3927; fe80::/10); or within one of
    // its address prefixes (on a point-to-point link, the peer) or one of its connected routes
    // (unless it holds more than the bound), less an IPv4 subnet's network and broadcast
    // addresses (wider than /31).
    bool isOnLink(const IpAddress& addr, int index) const;
    // Strict reverse path: the longest match kept for `addr` (the lowest metric among equals;
    // gateway and default routes included) leaves by `index`, through any of its next hops.
    // False without a route.
    bool routeLeavesBy(const IpAddress& addr, int index) const;
    // What a listener asks of each datagram's sender: whether the sender is this host, and on-link
    // for `index` (or, with `wideScope`, reached back through it by routeLeavesBy).
    struct SenderView
    {
        bool known = false; // the view's to fill
        bool local = false;
        bool reachable = false;
    };
    SenderView viewOf(const IpAddress& sender, int index, bool wideScope) const;
    // Routes kept now, for the figures.
    std::size_t routeCount() const { return m_routeCount; }

private:
    struct AddressHash
    {
        std::size_t operator()(const IpAddress& a) const;
    };
    struct Prefix
    {
        IpAddress destination; // its host bits cleared
        unsigned length = 0;
        bool operator==(const Prefix& other) const;
    };
    struct PrefixHash
    {
        std::size_t operator()(const Prefix& p) const;
    };
    using Bucket = std::vector<Route>;

    static Prefix prefixOf(const IpAddress& addr, unsigned length);
    // The routes at `addr`'s prefix of `length`, null for none.
    const Bucket* bucketAt(const IpAddress& addr, unsigned length) const;
    Effect addRoute(const Route& route);
    void removeRoute(const Route& route);
    void dropIndex(int index);
    // The indexes of links followed.
    std::unordered_set<int> wantedIndexes() const;
    // The lengths of IPv4 (0) and IPv6 (1) prefixes that have routes, counted.
    std::array<unsigned, 129>& lengths(int family) { return m_lengths[family == AF_INET ? 0 : 1]; }
    const std::array<unsigned, 129>& lengths(int family) const
    {
        return m_lengths[family == AF_INET ? 0 : 1];
    }

    Scope m_scope;
    std::unordered_map<int, Link> m_links;
    std::unordered_map<std::string, int> m_indexes;
    // Addresses: by interface, and how many entries hold each address.
    std::unordered_map<int, std::vector<Address>> m_addresses;
    std::unordered_map<IpAddress, unsigned, AddressHash> m_local;
    std::unordered_set<int> m_addressesFull;
    // Routes: by prefix, with the count of prefixes at each length and of routes by interface.
    std::unordered_map<Prefix, Bucket, PrefixHash> m_routes;
    std::array<std::array<unsigned, 129>, 2> m_lengths{};
    std::unordered_map<int, std::size_t> m_routesOf;
    std::unordered_set<int> m_routesFull; // their on-link rule is the address prefixes alone
    std::size_t m_routeCount = 0;
};
