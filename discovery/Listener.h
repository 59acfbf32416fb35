#pragma once

#include "common/LogLimiter.h"
#include "discovery/Address.h"
#include "discovery/AddressBoard.h"
#include "discovery/DatagramQueue.h"
#include "discovery/Groups.h"
#include "discovery/HostView.h"
#include "discovery/InterfaceWatch.h"
#include "discovery/MembershipRefresh.h"
#include "discovery/Memberships.h"
#include "discovery/Options.h"
#include "discovery/RouteLookup.h"
#include "discovery/ServiceStatus.h"
#include "discovery/UnicastSockets.h"

#include <poll.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

// One listener, for one address family, and the thread that runs it: its socket and group
// memberships (and with --unicast the sockets bound to the addresses it follows), the receive,
// the checks that admit a datagram (the interface it came in by, the group it was sent to, its
// sender), the hand-over to the responder, and the following of every interface in that family,
// whose addresses it publishes on the address board. What it learns of
// the host it asks the host's view, which it reads when the view's socket is readable or a dump
// is due again. The service sets the
// IPv4 listener up before the threads start (openIpv4, joinIpv4); after that only its own thread
// touches it, and the responder sends through its socket's descriptor.
class Listener
{
public:
    using Clock = std::chrono::steady_clock;
    using Family = InterfaceWatch::Family;
    // Called at the end of every turn: the thread's own duties (the watchdog, systemd).
    using Tick = std::function<void(Clock::time_point)>;

    // Every reference is kept.
    Listener(Family family, const Options& options, const std::vector<Ipv6GroupAddr>& ipv6Groups,
             DatagramQueue& inbox, AddressBoard& board, ServiceStatus& status, HostView& host);
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // The socket, -1 until it is opened: the IPv4 one at start, the IPv6 one once an interface
    // has an IPv6 address. Once set it stays until the process ends. Senders load it.
    const std::atomic<int>& fd() const { return m_sockFd; }

    // IPv4 start-up: the socket bound to the SSDP group, each datagram's arrival interface asked
    // for; false, with a WARNING naming the failed call, when it cannot be made.
    bool openIpv4();
    // IPv4 start-up: every interface's address read (SIOCGIFADDR) and the group joined on it, the
    // addresses published; false, with a WARNING, for an interface that cannot be used.
    bool joinIpv4();
    // The announcements' time-to-live on the IPv4 socket.
    bool setMulticastTtl(int ttl);

    // The loop, until `running` turns false: receive and hand over, follow, then `tick`.
    void run(const std::atomic<bool>& running, const Tick& tick);
    // Waits one turn at most for datagrams, on the group socket and the unicast ones in one
    // wait, and hands over one from each socket found ready that came in by a joined interface
    // (for a unicast one, the interface whose address it was sent to), to a joined group or an
    // address followed, from an on-link sender that is not this host.
    void receive();
    // Hands the datagram just received to the responder.
    void handOver();
    // Keeps the interfaces' memberships and published addresses as the host's view has them;
    // writes the records held back.
    void follow(Clock::time_point now);

private:
    // What differs between the families' listeners, one entry each, indexed by Family.
    struct Traits;
    static const Traits FAMILY[];

    // The datagram waiting on the group socket, or on the unicast socket `i`: true for one to
    // hand over.
    bool receiveFromGroup();
    // The group socket's receive time-out, RECEIVE_TIMEOUT, with its record when refused.
    void setReceiveTimeout();
    bool receiveUnicast(std::size_t i);
    // True for a sender that an answer may go to; a refusal is counted and recorded, except for
    // this host's own datagrams from port 1900, which are our announcements looped back.
    bool admit(const PeerAddr& sender, int index, SsdpGroup group);
    // What the host's view says now, after it changed: the watches' looks, then the memberships,
    // the addresses published and the unicast sockets kept by them.
    void lookAgain();
    // The memberships as the watches want them, the IPv6 socket made first when it is wanted.
    void keepMemberships();
    // Publishes the addresses of the interfaces whose address or index changed.
    void publish();
    // With --unicast: a socket bound to each address followed, and the link-local ones.
    void keepUnicast();
    // The IPv6 socket, made when an interface first wants to join; false while it cannot be.
    bool openIpv6Socket();

    Family m_family;
    const Traits& m_traits;
    const Options& m_options;
    DatagramQueue& m_inbox;
    AddressBoard& m_board;
    ServiceStatus& m_status;
    HostView& m_host;
    std::vector<InterfaceWatch> m_watches;
    Datagram m_rcvBuf;            // the receive buffer: the datagram, its sender and how it came
    unsigned m_hostVersion = ~0U; // the view's version the watches last looked at
    bool m_bUnknownTold = false;  // a datagram dropped while the view is unknown, recorded
    std::vector<int> m_published; // the index each interface's address was published at
    std::atomic<int> m_sockFd{-1};
    sockaddr_in m_ssdpAddr{};   // IPv4: the group address the socket is bound to
    std::string m_setupFailure; // the last one recorded
    LogLimiterGroup m_limits;
    LogLimiter m_inboxFullLimit{m_limits, "Receive queue full"};
    LogLimiter m_senderLimit{m_limits, "Unanswerable source"};
    LogLimiter m_timeoutLimit{m_limits, "Receive time-out"};
    UnicastSockets m_unicast{m_limits};
    RouteLookup m_routes{m_limits};
    Memberships m_memberships;
    MembershipRefresh m_refresh;
    std::vector<in6_addr> m_linkLocal; // bound for each interface, :: for none
    // What each turn waits on: the group socket, the host's view, then each unicast socket.
    std::vector<pollfd> m_polled{{-1, POLLIN, 0}, {-1, POLLIN, 0}};
};
