#pragma once

#include "common/LogLimiter.h"
#include "discovery/Address.h"
#include "discovery/AddressBoard.h"
#include "discovery/Groups.h"
#include "discovery/MessageCache.h"
#include "discovery/NeighbourBudget.h"
#include "discovery/Options.h"
#include "discovery/SenderClass.h"
#include "discovery/UdpSocket.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Every SSDP datagram the daemon sends, all from the responder thread: the answers to consoles,
// and the announcements to the groups out of each interface. Everything leaves from port 1900;
// the interface and the source go in each message. The announcements go through the listeners'
// sockets, without changing any of those sockets' options. The answers go through a send-only
// socket per class of senders (classKey), opened when its interface is taken: an answer to a
// neighbour that never resolves stays charged to its socket's send buffer for seconds, so a crowd
// of forged sources fills only its own class's buffer, never the one that a console of another
// class (or interface) is answered through. An answer its class's socket refuses for want of room
// still goes, through the listener's socket, when the kernel has its destination's link-layer
// address: it then leaves at once and takes no lasting room there. Answers to neighbours the
// kernel does not know wait on the neighbour budget (NeighbourBudget), whatever the buffers can
// hold. Sends never wait (see SEND_BUFFER_BYTES).
class Sender
{
public:
    // Every reference is kept; `limits` is the responder's.
    Sender(const Options& options, const std::vector<Ipv6GroupAddr>& ipv6Groups,
           LogLimiterGroup& limits);
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    // The sockets that carry each family's datagrams, -1 while there is none (`ipv6` nullptr
    // without IPv6); a listener may open its socket after the responder has started.
    void useSockets(const std::atomic<int>* ipv4, const std::atomic<int>* ipv6);

    // Sends one datagram to `to`, wherever the routing table sends it: false, with a rate-limited
    // record, when it could not be sent. (The service's published sendSearchRsp.)
    bool send(const std::string& message, const PeerAddr& to, socklen_t toLen);
    // The same for an answer: out of the interface `ifindex` that the search came in by, from
    // that interface's address in `from`, or for a search sent by unicast from the address it was
    // sent to, `unicastTo`; never through a router when `onLink`.
    bool answer(const std::string& message, const PeerAddr& to, socklen_t toLen, int ifindex,
                const AddressBoard::Entry& from, bool onLink, const IpAddress& unicastTo = {});
    // Sends the announcements, alive or byebye, out of every interface to each group that has an
    // address to announce on it.
    void announce(const MessageCache& messages, bool alive);
    // Opens the send-only sockets of every class of the interfaces that have an address in
    // `messages` (or of `interface`), those not open yet: taken when the interface is, no later
    // socket of another user can take their place. One that cannot be opened is recorded once,
    // its class then answered through the listener's socket.
    void take(const MessageCache& messages);
    void take(const AddressBoard::Entry& interface);
    // The send-only sockets open.
    std::size_t classSockets() const;

private:
    using Clock = std::chrono::steady_clock;
    struct ClassSocket
    {
        Fd fd;                    // none when it could not be opened
        std::uint64_t opened = 0; // the order of opening, to close the oldest past the bound
    };

    // The family's listener socket, -1 while there is none.
    int listenerSocket(bool ipv6) const;
    // The send-only socket of the class `to` belongs to on `ifindex`, opened if it was not; the
    // listener's when it cannot be.
    int classSocket(const PeerAddr& to, int ifindex);
    ClassSocket& open(const ClassKey& key);
    // Whether the kernel has the link-layer address of `to` on `ifindex`, asked over a netlink
    // socket of the sender's own, opened at its first question (false when it cannot be). The
    // messages of one answer go one after the other: the last reply serves them all.
    bool resolved(const PeerAddr& to, int ifindex, Clock::time_point now);
    // Sends through `fd`; out of the interface `ifindex` when it is not 0, from `source` when it
    // is not empty, and with MSG_DONTROUTE when `onLink`: false, errno set, when it could not.
    bool trySend(int fd, const std::string& message, const PeerAddr& to, socklen_t toLen,
                 int ifindex, const IpAddress& source, bool onLink);
    // The same, with a rate-limited record when it could not.
    bool sendVia(int fd, const std::string& message, const PeerAddr& to, socklen_t toLen,
                 int ifindex, const IpAddress& source, bool onLink);
    void recordFailure(int error, const PeerAddr& to);

    const Options& m_options;
    const std::vector<Ipv6GroupAddr>& m_ipv6Groups;
    const std::atomic<int>* m_ipv4 = nullptr;
    const std::atomic<int>* m_ipv6 = nullptr;
    LogLimiter m_sendFailLimit;
    LogLimiter m_budgetLimit;
    std::map<ClassKey, ClassSocket> m_classSockets;
    std::uint64_t m_opened = 0;
    Fd m_netlink;
    unsigned m_questions = 0; // the netlink requests' sequence numbers
    struct
    {
        PeerAddr to{};
        int ifindex = 0;
        bool resolved = false;
        Clock::time_point at{};
    } m_lastAsked;
    NeighbourBudget m_budget;
};
