#pragma once

#include "common/LogLimiter.h"
#include "discovery/AddressBoard.h"
#include "discovery/DatagramQueue.h"
#include "discovery/HostView.h"
#include "discovery/InterfaceWatch.h"
#include "discovery/Ipv6.h"
#include "discovery/Options.h"
#include "discovery/ServiceStatus.h"
#include "discovery/Watchdog.h"

#include <atomic>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

// One listener, for one address family: its socket's receive, the checks that admit a datagram
// (the interface it came in by, the group it was sent to, its sender), the hand-over to the
// responder, and the following of every interface in that family, whose addresses it publishes
// on the address board. The IPv4 and the IPv6 listener are one of these each, and each is
// touched by its own listener thread only; the responder reads the socket's descriptor to send.
class Reception
{
public:
    using Clock = std::chrono::steady_clock;
    using Family = InterfaceWatch::Family;

    // Every reference is kept.
    Reception(Family family, const Options& options, const std::vector<Ipv6GroupAddr>& ipv6Groups,
              DatagramQueue& inbox, AddressBoard& board, ServiceStatus& status);
    Reception(const Reception&) = delete;
    Reception& operator=(const Reception&) = delete;

    // The socket, -1 until it is set: the IPv4 one by the service's set-up before the threads
    // start, the IPv6 one by follow() once an interface has an IPv6 address. Once set it stays
    // until the process ends.
    int fd() const { return m_fd.load(std::memory_order_acquire); }
    void setFd(int fd) { m_fd.store(fd, std::memory_order_release); }
    // One per interface, in the order -i named them.
    std::vector<InterfaceWatch>& watches() { return m_watches; }
    // At start: joins the groups of interface `slot` on `index`, without a record; 0 or the errno.
    int joinAtStart(std::size_t slot, int index);

    // Receives one datagram into `datagram`, or times out: true for one to hand over, which came
    // in by a joined interface, to a joined group, from an on-link sender that is not this host.
    bool receive(Datagram& datagram);
    void handOver(Datagram& datagram);
    // Follows the interfaces when a look is due: keeps the memberships, publishes a changed
    // address and reads the host's addresses again; writes the records held back.
    void follow(Clock::time_point now);
    // The records still held back, when the listener ends.
    void finish() { m_limits.flush(Clock::time_point::max()); }

    // The IPv6 listener's loop, until `running` turns false, telling `watchdog` of each turn.
    void run(const std::atomic<bool>& running, Watchdog& watchdog);

private:
    // True for a sender that an answer may go to; a refusal is counted and recorded, except for
    // this host's own datagrams from port 1900, which are our announcements looped back.
    bool admit(const PeerAddr& sender, int index);
    // Leaves the indexes no watch wants any more and joins those wanted and not held, with a
    // record for each; a membership stands while any watch of this socket wants its index.
    void keepMemberships();
    // The IPv6 socket, made when an interface first wants to join; false while it cannot be.
    bool openIpv6Socket();

    Family m_family;
    const Options& m_options;
    const std::vector<Ipv6GroupAddr>& m_ipv6Groups;
    DatagramQueue& m_inbox;
    AddressBoard& m_board;
    ServiceStatus& m_status;
    std::vector<InterfaceWatch> m_watches;
    HostView m_host;
    std::map<int, std::string> m_held; // the indexes joined on, with the name they were joined for
    std::set<int> m_joinFailed;        // recorded once each until a join succeeds
    std::vector<int> m_published;      // the index each interface's address was published at
    std::atomic<int> m_fd{-1};
    bool m_bRecvTimeoutSet = false;
    std::string m_setupFailure; // the last one recorded
    LogLimiterGroup m_limits;
    LogLimiter m_timeoutFailLimit{m_limits, "setsockopt() failed to set recv timeout"};
    LogLimiter m_inboxFullLimit{m_limits, "Receive queue full"};
    LogLimiter m_senderLimit{m_limits, "Unanswerable source"};
};
