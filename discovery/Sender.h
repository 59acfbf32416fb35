#pragma once

#include "common/LogLimiter.h"
#include "discovery/AddressBoard.h"
#include "discovery/Ipv6.h"
#include "discovery/MessageCache.h"
#include "discovery/Options.h"
#include "discovery/Ssdp.h"

#include <atomic>
#include <string>
#include <vector>

// Every SSDP datagram the daemon sends, all from the responder thread: the answers to consoles,
// and the announcements to the groups out of each interface. They go through the listeners'
// sockets, so that they leave from port 1900, without changing any of those sockets' options:
// the interface and the source go in each message.
// Sends never wait (see SEND_BUFFER_BYTES).
class Sender
{
public:
    // Every reference is kept; `limits` is the responder's.
    Sender(const Options& options, const std::vector<Ipv6GroupAddr>& ipv6Groups,
           LogLimiterGroup& limits);

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

private:
    // Sends through the family's socket; out of the interface `ifindex` when it is not 0, from
    // `source` when it is not empty, and with MSG_DONTROUTE when `onLink`.
    bool sendVia(const std::string& message, const PeerAddr& to, socklen_t toLen, int ifindex,
                 const IpAddress& source, bool onLink);

    const Options& m_options;
    const std::vector<Ipv6GroupAddr>& m_ipv6Groups;
    const std::atomic<int>* m_ipv4 = nullptr;
    const std::atomic<int>* m_ipv6 = nullptr;
    LogLimiter m_sendFailLimit;
};
