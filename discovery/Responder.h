#pragma once

#include "common/LogLimiter.h"
#include "discovery/Address.h"
#include "discovery/AddressBoard.h"
#include "discovery/Announcer.h"
#include "discovery/DatagramQueue.h"
#include "discovery/Groups.h"
#include "discovery/MessageCache.h"
#include "discovery/Options.h"
#include "discovery/PendingResponses.h"
#include "discovery/SearchParser.h"
#include "discovery/Sender.h"
#include "discovery/ServiceInfo.h"
#include "discovery/ServiceStatus.h"
#include "discovery/Watchdog.h"
#include "discovery/Wire.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <vector>

// The responder thread and everything it owns: it takes the datagrams the listeners hand over,
// judges each one, keeps the answers waiting for their random delay, and sends them, with the
// announcements, from the messages it keeps built. Nothing here is touched by another thread; what
// it shares (the inbox, the address board, the counts, the watchdog) is passed in.
class Responder
{
public:
    using Clock = std::chrono::steady_clock;

    // When it wakes, the responder sends every answer that falls due within this window: one wake
    // for the answers of a round, not one per answer. Early, never late, so every answer still
    // leaves within its search's MX window; 10 ms early changes no answer's 100 ms share of a
    // fleet's spread. Not while more than three quarters of the pool wait (roundEnd).
    static constexpr std::chrono::milliseconds ROUND_WINDOW{10};
    // An answer to a search sent by unicast waits below this while few answers wait.
    static constexpr std::chrono::milliseconds UNICAST_DELAY_BOUND{100};

    // Every reference is kept.
    Responder(const Options& options, const std::vector<Ipv6GroupAddr>& ipv6Groups,
              DatagramQueue& inbox, const AddressBoard& board, ServiceStatus& status,
              Watchdog& watchdog);

    // Before run(), and again whenever the options change.
    void configure();
    // The listeners' sockets: the announcements leave through them, and an answer when its
    // class's send-only socket has no room (see Sender).
    void useSockets(const std::atomic<int>* ipv4, const std::atomic<int>* ipv6)
    {
        m_sender.useSockets(ipv4, ipv6);
    }

    // The loop, until the inbox is closed and empty; then every answer still waiting goes out at
    // once, and byebye when announcements are on.
    void run();

    // Screens one received datagram: the search rules' verdict (search::judge), then the service
    // information read and a UUID search matched to it. True for a search to answer, with its MX
    // (1 to 5) in `mx` and what it asked for in `target`.
    bool screen(char* text, int& mx, SearchTarget& target, SsdpGroup group);
    // Screens a datagram sent by unicast to `to` (--unicast): true for a search to answer, for
    // what it asked in `target`.
    bool screenUnicast(char* text, const IpAddress& to, SearchTarget& target);
    // The service information, read until the UUID is known: true once it has a UUID (an empty
    // one too).
    bool readRedfishdInfo(Clock::time_point now = Clock::now()) { return m_info.read(now); }
    const RedfishdInfo& redfishdInfo() const { return m_info.info(); }
    // The random delay of an answer to a search with `mx` (1 to 5, as the search rules give it),
    // in milliseconds.
    int drawDelayMs(int mx);
    // The same for an answer to a search sent by unicast.
    int drawUnicastDelayMs();
    Sender& sender() { return m_sender; }
    // Runs on the responder's thread as each datagram's work begins: lets a test hold the
    // responder inside one piece of work, as a hung file read or send would.
    void onDatagram(std::function<void()> hook) { m_onDatagram = std::move(hook); }

private:
    // The published addresses and the UUID into the messages at once; a fresh set of
    // announcements, with a new BOOTID, once new addresses have held still.
    void refreshMessages(Clock::time_point now);
    void handleDatagram(Datagram& datagram);
    // A verdict once the service information is read: true for a search to answer (one for a
    // UUID only when it is the service's).
    bool answerable(const search::Verdict& verdict, const search::Headers& headers);
    void recordDrop(const Datagram& datagram, const PendingResponses::Admission& admission);
    // Where this wake's round ends.
    Clock::time_point roundEnd(Clock::time_point now) const;
    // Sends the answers due by `by`.
    void sendDue(Clock::time_point by);
    void announceIfDue(Clock::time_point now);

    const Options& m_options;
    DatagramQueue& m_inbox;
    const AddressBoard& m_board;
    ServiceStatus& m_status;
    Watchdog& m_watchdog;
    const std::vector<Ipv6GroupAddr>& m_ipv6Groups;
    std::function<void()> m_onDatagram;
    PendingResponses m_pending;
    MessageCache m_cache;
    Announcer m_announcer;
    std::mt19937 m_rng;
    LogLimiterGroup m_limits;
    Sender m_sender;
    ServiceInfoCache m_info{m_limits};
    LogLimiter m_pendingFullLimit{m_limits, "Too many pending responses"};
};
