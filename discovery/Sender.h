#pragma once

#include "common/LogLimiter.h"
#include "discovery/Ipv6.h"
#include "discovery/MessageCache.h"
#include "discovery/Options.h"
#include "discovery/Reception.h"
#include "discovery/Ssdp.h"

#include <string>
#include <vector>

// Every SSDP datagram the daemon sends, all from the responder thread: the answers to consoles,
// and the announcements to the groups out of each interface. They go through the listeners'
// sockets, so that they leave from port 1900, without changing any of those sockets' options.
// Sends never wait (see SEND_BUFFER_BYTES).
class Sender
{
public:
    // Every reference is kept; `limits` is the responder's.
    Sender(const Options& options, const std::vector<Ipv6GroupAddr>& ipv6Groups,
           LogLimiterGroup& limits);

    // The listeners whose sockets carry each family's datagrams (`ipv6` nullptr without IPv6).
    void useSockets(const Reception* ipv4, const Reception* ipv6);

    // Sends one datagram to `to`: false, with a rate-limited record, when it could not be sent.
    bool send(const std::string& message, const PeerAddr& to, socklen_t toLen);
    // The same for an answer: out of the interface `ifindex` that the search came in by, from
    // that interface's address in `from`, whatever the routing table says.
    bool answer(const std::string& message, const PeerAddr& to, socklen_t toLen, int ifindex,
                const AddressBoard::Entry& from);
    // Sends the announcements, alive or byebye, out of every interface to each group that has an
    // address to announce on it.
    void announce(const MessageCache& messages, bool alive);

private:
    // Sends through the family's socket; out of the interface `ifindex` when it is not 0, and
    // from `from`'s address when it is given.
    bool sendVia(const std::string& message, const PeerAddr& to, socklen_t toLen, int ifindex,
                 const AddressBoard::Entry* from = nullptr);

    const Options& m_options;
    const std::vector<Ipv6GroupAddr>& m_ipv6Groups;
    const Reception* m_ipv4 = nullptr;
    const Reception* m_ipv6 = nullptr;
    LogLimiter m_sendFailLimit;
};
