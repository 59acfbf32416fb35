#pragma once

#include "discovery/Ipv6.h"
#include "discovery/Ssdp.h"

#include <netinet/in.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

struct nlmsghdr;

// The daemon's one view of the host: its links (index, name, up), its addresses of both families
// with their prefixes and flags, and the unicast routes of its main table, kept from the kernel's
// events on one netlink socket (link, address and route groups of both families), dumped whole
// when opened and again whenever an event may have been lost. Both listeners share it: each calls
// update() at every turn, asks it of each datagram whether the sender is this host, on-link for
// the interface it came in by, or routed back out of it, and each interface watch reads its index
// and addresses from it once version() has moved. Every public call takes the one lock inside,
// but for fd() and version().
//
// A sender is judged by what the kernel had told when its datagram was read. The kernel queues
// RTM_NEWADDR on this socket as it adds an address, before a datagram from that address (even one
// sent at once from an address added with `nodad`) can reach a listener's socket; so a listener
// that calls update() after receiving a datagram and before admitting it knows the address and
// never admits a datagram forged from it.
class HostView
{
public:
    HostView();
    ~HostView();
    HostView(const HostView&) = delete;
    HostView& operator=(const HostView&) = delete;

    // Opens the socket and dumps links, addresses and routes: true once that succeeded. A failure
    // to open is recorded once, whichever call meets it first.
    bool open();
    // Applies the events queued since the last call (a receive that finds none when nothing is
    // queued), and dumps again what they leave unsure: everything after the queue overflowed,
    // the routes after a link went down or away, or an IPv4 address went (Linux drops the routes
    // that hung on it without a word). While not open, opens (at most once a second).
    void update();
    // The socket for the listeners' poll(), -1 while not open. Once open it stays until the end.
    int fd() const { return m_fd.load(std::memory_order_acquire); }
    // False until a full dump has succeeded, and again from a lost event or a failed dump until
    // the dump that follows succeeds: a listener then admits nothing.
    bool known() const;
    // Grows with every change applied: a watch reads again only after it has moved.
    unsigned version() const { return m_version.load(std::memory_order_acquire); }

    // Netlink messages as recv() returns them (events or dump parts), applied as events; and the
    // view taken as known. For tests.
    void apply(const void* data, std::size_t size);
    void markKnown();

    // The index of the link named `name` now, 0 for none.
    int indexOf(const std::string& name) const;
    // The link's primary IPv4 address as SIOCGIFADDR gives it: the first of its addresses labelled
    // with its own name, a primary one before a secondary; 0 for none.
    in_addr_t ipv4Of(int index) const;
    // Every IPv6 address of the link with its IFA_F_* flags, for chooseIpv6Addr().
    std::vector<Ipv6IfAddr> ipv6Of(int index) const;
    // An address of this host, on any link, whatever its flags (tentative included).
    bool isLocal(const IpAddress& addr) const;
    // On-link for the link `index`: link-local (169.254/16, RFC 3927; fe80::/10); or within one of
    // its address prefixes (on a point-to-point link, the peer) or one of its connected routes
    // (no gateway; over IPv4 of scope link), less an IPv4 subnet's network and broadcast
    // addresses (wider than /31).
    bool isOnLink(const IpAddress& addr, int index) const;
    // Strict reverse path: the main table's longest match for `addr` (the lowest metric among
    // equals; gateway and default routes included) leaves by `index`, through any of its next
    // hops. False without a route.
    bool routeLeavesBy(const IpAddress& addr, int index) const;
    // What a listener asks of each datagram's sender, under one lock: whether the view is known,
    // the sender is this host, and it is on-link for `index` (or, with `wideScope`, reached back
    // through it by routeLeavesBy).
    struct SenderView
    {
        bool known = false;
        bool local = false;
        bool reachable = false;
    };
    SenderView viewOf(const IpAddress& sender, int index, bool wideScope) const;

private:
    using Clock = std::chrono::steady_clock;
    struct Link
    {
        int index = 0;
        bool up = false;
        std::string name;
        bool operator==(const Link& other) const;
    };
    struct Address
    {
        int index = 0;
        IpAddress local;
        IpAddress prefixBase; // the prefix's address: the peer's on a point-to-point link
        unsigned prefixLength = 0;
        unsigned flags = 0; // IFA_F_*
        std::string label;  // IPv4's, "eth1" or an alias "eth1:0"
        bool operator==(const Address& other) const;
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
    };
    struct State
    {
        std::vector<Link> links;
        std::vector<Address> addresses;
        std::vector<Route> routes;
        bool operator==(const State& other) const;
    };
    // What a dump reads; `m_pending` holds those owed.
    enum Kind : unsigned
    {
        LINKS = 1,
        ADDRESSES = 2,
        ROUTES = 4,
        EVERYTHING = 7,
    };
    enum class Part
    {
        More,
        Done,
        Failed,
    };

    bool openSocket(Clock::time_point now);
    void dumpPending(Clock::time_point now);
    bool dump(Kind kind);
    bool readDump();
    ssize_t receive(int flags);
    void lose();
    Part take(const char* data, std::size_t size);
    void applyLink(const nlmsghdr& message);
    void applyAddress(const nlmsghdr& message);
    static bool addressOf(const nlmsghdr& message, Address& address);
    void applyRoute(const nlmsghdr& message);
    static std::vector<Route> routesOf(const nlmsghdr& message);
    void replace(Kind kind, State&& from);
    void noteChange(const State& before);
    const Link* linkAt(int index) const;
    // The queries, under a lock already held.
    bool isLocalLocked(const IpAddress& addr) const;
    bool isOnLinkLocked(const IpAddress& addr, int index) const;
    bool routeLeavesByLocked(const IpAddress& addr, int index) const;

    mutable std::mutex m_mutex;
    std::atomic<int> m_fd{-1};
    std::atomic<unsigned> m_version{0};
    unsigned m_portId = 0; // the socket's: the kernel's replies to our dumps carry it
    unsigned m_seq = 0;    // the dump's under way
    unsigned m_pending = EVERYTHING;
    bool m_bKnown = false;
    bool m_bOpenFailed = false; // recorded
    Clock::time_point m_nextOpen{};
    Clock::time_point m_nextDump{};
    State m_state;
    std::vector<char> m_buffer;
};
