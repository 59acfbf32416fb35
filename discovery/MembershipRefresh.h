#pragma once

#include "common/LogLimiter.h"
#include "discovery/InterfaceWatch.h"
#include "discovery/Memberships.h"

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

// Keeps one listener's group memberships known to switches that snoop IGMP or MLD, on its own
// thread. Such a switch forwards a group only to the ports that reported it within its
// membership interval; a host reports at the join and then only in answer to a querier, so on a
// VLAN without one the switch forgets the port minutes after the start. Every period, on each
// interface in turn, the socket's source filter for each group goes from EXCLUDE{} to
// INCLUDE{a documentation address} and straight back: the kernel sends a state-change report
// whose TO_EX{} record both IGMPv2/MLDv1 and IGMPv3/MLDv2 snooping take as a report (RFC 3376
// 6.4, RFC 3810 7.4), and the membership is never left. In IGMPv2/MLDv1 compatibility mode (an
// old querier heard within about 260 s) the kernel sends nothing for it: that querier's own
// queries keep the switch's state there. For the instant between the two calls, datagrams
// from other sources are dropped by the host.
class MembershipRefresh
{
public:
    using Clock = std::chrono::steady_clock;
    using Family = InterfaceWatch::Family;

    // `period`: 0 for none. `slots`: the interfaces followed. `phase` of `phases`: where this
    // family's rounds fall, so that every interface and family has a moment of its own in the
    // period. `memberships`: the socket's, whose groups are refreshed. `limits`: the listener's
    // limiters, which write the counts of records held back.
    MembershipRefresh(Family family, std::chrono::seconds period, std::size_t slots,
                      std::size_t phase, std::size_t phases, const Memberships& memberships,
                      LogLimiterGroup& limits, Clock::time_point start = Clock::now());

    // At every turn: the memberships held on the interface whose moment has come are reported
    // again through `fd`; a filter left changed by a failure is put back first.
    void turn(Clock::time_point now, int fd, const std::vector<InterfaceWatch>& watches,
              const Memberships& memberships);

    // When the interface at `slot` is next refreshed.
    Clock::time_point dueAt(std::size_t slot) const { return m_due.at(slot); }

private:
    // The filter of every group on `index` changed and put back; false for one left changed.
    bool refresh(int fd, int index, const std::string& name);
    // Every group's filter on `index` back to EXCLUDE{}; false for one left changed.
    bool restore(int fd, int index, const std::string& name);
    // One group's filter: INCLUDE{the documentation address}, or back to EXCLUDE{}.
    int setFilter(int fd, int index, const sockaddr_storage& group, bool include) const;
    void recordFailure(int error, const std::string& name);

    Family m_family;
    Clock::duration m_period;
    std::vector<Clock::time_point> m_due;       // per interface
    std::vector<sockaddr_storage> m_groups;     // the groups held on each interface
    sockaddr_storage m_quiet{};                 // a source that never sends
    std::map<int, std::string> m_unrestored;    // indexes whose filter is still INCLUDE
    std::unique_ptr<LogLimiter> m_failureLimit; // on the heap, as the watches' limiters are
};
