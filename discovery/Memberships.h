#pragma once

#include "discovery/Groups.h"

#include <sys/socket.h>

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

// The group memberships of one listener's socket, for its family, on its thread alone: which
// interfaces the socket has joined its groups on, and the join or leave of all of them on one
// interface at a time (by index, never by address: the index names the interface even where two
// share an address). A membership stands while any interface followed wants its index.
class Memberships
{
public:
    using Family = IpFamily;
    // The interfaces whose groups are wanted, by index and name, in the order to join them.
    using Wanted = std::vector<std::pair<int, std::string>>;

    // `ipv6Groups`: the IPv6 groups to join, kept by reference (IPv4 has its one group).
    Memberships(Family family, const std::vector<Ipv6GroupAddr>& ipv6Groups);

    // Joins (or leaves) every group on the interface `index` through `fd`, and holds the index
    // under `name` once joined (or lets it go, whatever the kernel said): 0, or the errno of the
    // first failure. A group that is still joined counts as joined.
    int change(int fd, int index, const std::string& name, bool join);
    // Leaves the indexes no longer wanted and joins those wanted and not held, with a record for
    // each; a failed join is recorded once for its index until one succeeds.
    void keep(int fd, const Wanted& wanted);

    bool holds(int index) const { return m_held.count(index) != 0; }
    // The group a datagram that came in by the interface `index` was sent to, by its destination
    // (IPV6_PKTINFO): false for one that came in by an interface not joined (another socket's
    // membership may bring a group there) or was sent to no group joined (to the host's own
    // address). The IPv4 socket is bound to its group, so whatever reaches it was sent there.
    bool sentTo(int index, const in6_addr& destination, SsdpGroup& group) const;
    // The groups as the records list them: "239.255.255.250", "FF02::C, FF05::C".
    const std::string& groupsText() const { return m_groupsText; }
    // The join's call, as its WARNING names it.
    const char* joinCall() const;
    // Each group's address, as setsourcefilter() takes it.
    std::vector<sockaddr_storage> groupAddresses() const;

private:
    void join(int fd, int index, const std::string& name);

    Family m_family;
    const std::vector<Ipv6GroupAddr>& m_ipv6Groups;
    std::string m_groupsText;
    std::map<int, std::string> m_held; // the indexes joined on, with the name they were joined for
    std::set<int> m_joinFailed;        // recorded once each until a join succeeds
};

// An address of `family`, its in_addr or in6_addr at `addr`, as setsourcefilter() takes it.
sockaddr_storage groupStorage(int family, const void* addr);
