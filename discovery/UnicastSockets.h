#pragma once

#include "common/LogLimiter.h"
#include "discovery/Address.h"
#include "discovery/UdpSocket.h"

#include <chrono>
#include <string>
#include <vector>

// The sockets that take searches sent by unicast (--unicast) for one family, owned by that
// family's listener and touched by its thread alone: one UDP socket bound to each address that
// the daemon advertises on a listed interface (over IPv6, the interface's link-local address as
// well), at port 1900, each datagram's arrival interface asked for. The listener says which
// addresses it wants whenever the host's view has moved: a socket is opened for an address that
// came, and closed for one that went. Each shares port 1900 with the daemon's other sockets through
// SO_REUSEPORT, so no other user can bind beside it. Answers never leave through these sockets,
// whose send buffers are therefore left as they are: the responder sends them through its own
// sockets (Sender), from the address the search was sent to, so that no socket closes under a
// send on another thread.
class UnicastSockets
{
public:
    // An address to be bound, on the interface it belongs to.
    struct Address
    {
        IpAddress address;
        int ifindex = 0;
        std::string ifname; // for the records, and a link-local address's zone
        bool operator==(const Address& other) const
        {
            return address == other.address && ifindex == other.ifindex;
        }
    };

    // Failures follow address changes, so they are recorded within the same limit.
    static constexpr std::chrono::seconds FAILURE_RECORD_INTERVAL{10};
    static constexpr unsigned FAILURE_RECORD_BURST = 3;

    // `limits`: the listener's limiters, which write the counts of records held back. `port`:
    // another than 1900 in tests only.
    explicit UnicastSockets(LogLimiterGroup& limits, unsigned short port = SSDP_PORT);
    UnicastSockets(const UnicastSockets&) = delete;
    UnicastSockets& operator=(const UnicastSockets&) = delete;

    // Closes the sockets of the addresses no longer wanted and opens one for each address newly
    // wanted. One that cannot be opened (a bind refused: another program holds port 1900 on that
    // address or on the wildcard one) is recorded, a WARNING naming the call, the address and
    // the error, and is not tried again until its address has gone, or moved, and come back.
    void keep(const std::vector<Address>& wanted);

    // Every address wanted, in the order of keep()'s argument, and its socket: -1 for one that
    // could not be opened.
    std::size_t size() const { return m_held.size(); }
    int fd(std::size_t i) const { return m_held[i].fd.get(); }
    const Address& address(std::size_t i) const { return m_held[i].address; }

private:
    struct Held
    {
        Address address;
        Fd fd;
    };
    Fd open(const Address& wanted);

    unsigned short m_port;
    std::vector<Held> m_held;
    LogLimiter m_failureLimit;
};
