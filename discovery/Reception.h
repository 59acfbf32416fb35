#pragma once

#include "common/LogLimiter.h"
#include "discovery/AddressBoard.h"
#include "discovery/DatagramQueue.h"
#include "discovery/InterfaceWatch.h"
#include "discovery/Ipv6.h"
#include "discovery/Options.h"
#include "discovery/ServiceStatus.h"
#include "discovery/Watchdog.h"

#include <atomic>
#include <chrono>
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

    // Receives one datagram into `datagram`, or times out: true for one to hand over, which came
    // in by a joined interface, to a joined group, from a sender that an answer may go to.
    bool receive(Datagram& datagram);
    void handOver(Datagram& datagram);
    // Follows the interfaces when a look is due, joins the groups where they are wanted and
    // publishes a changed address; writes the records held back.
    void follow(Clock::time_point now);
    // The records still held back, when the listener ends.
    void finish() { m_limits.flush(Clock::time_point::max()); }

    // The IPv6 listener's loop, until `running` turns false, telling `watchdog` of each turn.
    void run(const std::atomic<bool>& running, Watchdog& watchdog);

private:
    // The interface whose groups were joined by `index`, or -1 for none.
    int joinedSlot(int index) const;
    // True when `sender` is an address of any of the interfaces.
    bool ownsAddress(const PeerAddr& sender) const;
    // The IPv6 socket, made when an interface first wants to join; false while it cannot be.
    bool openIpv6Socket();

    Family m_family;
    const Options& m_options;
    const std::vector<Ipv6GroupAddr>& m_ipv6Groups;
    DatagramQueue& m_inbox;
    AddressBoard& m_board;
    ServiceStatus& m_status;
    std::vector<InterfaceWatch> m_watches;
    std::atomic<int> m_fd{-1};
    bool m_bRecvTimeoutSet = false;
    std::string m_setupFailure; // the last one recorded
    LogLimiterGroup m_limits;
    LogLimiter m_timeoutFailLimit{m_limits, "setsockopt() failed to set recv timeout"};
    LogLimiter m_inboxFullLimit{m_limits, "Receive queue full"};
    LogLimiter m_senderLimit{m_limits, "Unanswerable source"};
};
