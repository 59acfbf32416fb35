#pragma once

#include "common/LogLimiter.h"
#include "discovery/Address.h"
#include "discovery/Groups.h"
#include "discovery/HostView.h"
#include "discovery/Ipv6.h"

#include <netinet/in.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

// Follows one network interface for one address family, on that family's listener thread, the
// only thread that touches it. It looks up the interface's index and address in the host's view
// when the view has changed, and writes a record for each change of the address, within a limit.
// The listener keeps its socket's memberships by what its watches find, and publishes the address
// when addressChanged() says so.
class InterfaceWatch
{
public:
    using Clock = std::chrono::steady_clock;
    using Family = IpFamily;

    // The address records: an operator's few changes are all told at once, a link that flaps or
    // routers advertising prefixes in turn (a change at every look) at most this many a while.
    static constexpr std::chrono::seconds CHANGE_RECORD_INTERVAL{10};
    static constexpr unsigned CHANGE_RECORD_BURST = 3;

    // `bothFamilies`: the other family is answered too, which the IPv4 records then say.
    // `limits`: the listener's limiters, which write the counts of records held back.
    InterfaceWatch(Family family, std::string name, bool bothFamilies, LogLimiterGroup& limits);

    const std::string& name() const { return m_name; }
    // The state found at start-up: the index (0 for none) and the IPv4 address, taken without a
    // record; without an address, the WARNING that says searches wait for one.
    void assume(int index, in_addr_t ipv4);

    // Looks the interface up in the host's view: its index and address.
    void look(const HostView& host);
    // What a look found: the interface's index (0 for none) and its family's addresses.
    void see(int index, in_addr_t ipv4, const std::vector<Ipv6IfAddr>& ipv6);
    // After a look: the interface is there with an address, so its groups are wanted.
    bool wantsGroups() const { return m_index != 0 && hasAddress(Which::Seen); }
    // After a look: true once for each change of the address. The first look of an IPv6 watch
    // counts as a change. Its record, from the address last recorded to this one, goes within
    // the limit.
    bool addressChanged();
    // At every turn: a change held back by the limit is recorded once the limit lets it through,
    // so that the last record always tells the address the interface settled on.
    void tellHeldChange(Clock::time_point now);

    int index() const { return m_index; } // as the last look found it; 0 for none
    in_addr_t ipv4() const { return m_ipv4; }
    const in6_addr& ipv6() const { return m_ipv6; }
    // The address last taken, of the watch's family.
    IpAddress address() const;

private:
    enum class Which
    {
        Seen,     // as the last look found it
        Taken,    // as addressChanged() last took it
        Recorded, // as the last record told it
    };
    in_addr_t ipv4Of(Which which) const;
    const in6_addr& ipv6Of(Which which) const;
    bool hasAddress(Which which) const;
    std::string addressText(Which which) const;
    bool sameAddress(Which a, Which b) const;
    // The record of the change from the address recorded to the one taken.
    void recordChange();

    Family m_family;
    std::string m_name;
    bool m_bBothFamilies;
    int m_index = 0; // as the last look found it
    in_addr_t m_seenIpv4 = 0;
    in6_addr m_seenIpv6{};
    bool m_bKnown = false; // whether the address below was ever taken
    in_addr_t m_ipv4 = 0;  // the address last taken by addressChanged()
    in6_addr m_ipv6{};
    bool m_bRecorded = false; // whether the address below was ever recorded
    in_addr_t m_recordedIpv4 = 0;
    in6_addr m_recordedIpv6{};
    // On the heap: the listener's group keeps its address while the watches move into place.
    std::unique_ptr<LogLimiter> m_changeLimit;
};
