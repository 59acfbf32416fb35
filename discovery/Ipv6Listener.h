#pragma once

#include "common/LogLimiter.h"
#include "discovery/AddressBoard.h"
#include "discovery/DatagramQueue.h"
#include "discovery/InterfaceWatch.h"
#include "discovery/Ipv6.h"
#include "discovery/Options.h"
#include "discovery/ServiceStatus.h"

#include <atomic>
#include <thread>
#include <utility>
#include <vector>

// The IPv6 side (--ipv6): one socket bound to [::]:1900, set up once an interface has an IPv6
// address and then a member of the groups of the chosen scope on each interface; and the thread
// that owns it, receives on it with recvmsg (the destination tells which group's HOST a search must
// name), hands the searches to the responder, and follows each interface's IPv6 address, which it
// publishes on the address board.
class Ipv6Listener
{
public:
    using Clock = std::chrono::steady_clock;

    Ipv6Listener(const Options& options, DatagramQueue& inbox, AddressBoard& board,
                 ServiceStatus& status);
    ~Ipv6Listener();
    Ipv6Listener(const Ipv6Listener&) = delete;
    Ipv6Listener& operator=(const Ipv6Listener&) = delete;

    // Follows the interface once on the calling thread, so that IPv6 is joined at start where it
    // can be, then runs the listener on its own thread until `running` turns false.
    void start(const std::atomic<bool>& running);
    void join();
    // The socket, or -1 until it is set up; once set it stays until the process ends. The
    // responder sends through it.
    int fd() const { return m_fd.load(); }

private:
    void run(const std::atomic<bool>& running);
    // Receives one datagram to a joined group on the interface, or times out; true for a
    // datagram to hand over.
    bool receive();
    void handOver(Clock::time_point now);
    void follow(Clock::time_point now);
    // The socket, not yet a member of any group; false, with one WARNING per kind of failure,
    // when it cannot be made.
    bool initSocket();

    Options m_options;
    DatagramQueue& m_inbox;
    AddressBoard& m_board;
    ServiceStatus& m_status;
    std::vector<Ipv6GroupAddr> m_groups;   // of the chosen scope, narrowest first
    std::vector<InterfaceWatch> m_watches; // one per interface, in the order -i named them
    std::atomic<int> m_fd{-1};
    std::thread m_thread;
    std::vector<char> m_rcvBuf;
    int m_rcvLen = 0;
    PeerAddr m_senderAddr{};
    socklen_t m_senderAddrLen = 0;
    SsdpGroup m_group = SsdpGroup::Ipv6Link;
    std::size_t m_slot = 0; // the interface the datagram came in by
    bool m_bRecvTimeoutSet = false;
    std::string m_setupFailure; // the last one recorded
    LogLimiterGroup m_limits;
    LogLimiter m_timeoutFailLimit{m_limits, "setsockopt() failed to set recv timeout"};
    LogLimiter m_inboxFullLimit{m_limits, "Receive queue full"};
    LogLimiter m_senderLimit{m_limits, "Unanswerable source"};
};
