#pragma once

#include "discovery/Address.h"
#include "discovery/Groups.h"

#include <chrono>
#include <string>
#include <vector>

// A descriptor and its owner: closed when the owner goes, handed on by a move only.
class Fd
{
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : m_fd(other.release()) {}
    Fd& operator=(Fd&& other) noexcept
    {
        if (this != &other)
        {
            reset(other.release());
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd != -1; }
    // Hands the descriptor over, no longer closed here.
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd = -1);

private:
    int m_fd = -1;
};

// How a UDP socket of the daemon is opened: at port 1900 but in tests.
struct UdpSocketSpec
{
    int family = AF_INET;
    unsigned short port = SSDP_PORT;
    IpAddress address; // bound to; empty for the family's wildcard address
    int ifindex = 0;   // a link-local address's zone
    // SO_REUSEPORT: the address is shared with other sockets of this daemon, and of its
    // effective user alone; no other user can bind beside it (SO_REUSEADDR would let anyone).
    bool shared = false;
    bool pktinfo = false;       // each datagram's arrival asked for (IP_PKTINFO, IPV6_RECVPKTINFO)
    bool ownGroupsOnly = false; // IP_MULTICAST_ALL off, where the kernel knows it
    int multicastHops = 0;      // 0: the kernel's
    enum class SendBuffer
    {
        Kernel,  // as the kernel makes it
        Widened, // SEND_BUFFER_BYTES, past net.core.wmem_max where the process may
        Capped,  // CLASS_SEND_BUFFER_BYTES, the same whatever the limits and privileges
    };
    SendBuffer sendBuffer = SendBuffer::Kernel;
};

// Sends never wait (MSG_DONTWAIT): an answer to a neighbour that never answers ARP or neighbour
// solicitation stays charged to the socket until resolution fails, about 3 s, and a full send
// buffer drops answers rather than stalling every other one. The buffer is widened to hold a
// full set of pending answers (256 searches, three messages each, about 1.3 kB of kernel memory
// apiece) so that a burst from silent senders does not crowd out a console's answer. It costs
// memory only while datagrams wait. Without CAP_NET_ADMIN (as under the unit) the kernel caps it
// at twice net.core.wmem_max, 425,984 bytes by default: enough for a full set of legacy answers.
inline constexpr int SEND_BUFFER_BYTES = 1024 * 1024;
void widenSendBuffer(int fd);

// A send-only socket's buffer: below a stock net.core.wmem_max (212,992 bytes), so that it is the
// same as root and unprivileged, under any limits (the kernel doubles it for its bookkeeping).
// It holds about 250 answers' messages, more than the unresolved neighbours' budget lets wait.
inline constexpr int CLASS_SEND_BUFFER_BYTES = 160 * 1024;

// The socket opened, or the call that failed and its error. After a failed step the socket is
// still open, for a caller that keeps it as it was.
struct UdpSocket
{
    Fd fd;
    const char* failedCall = nullptr; // "socket()", "setsockopt(IP_PKTINFO)", "bind()", ...
    int error = 0;

    bool ok() const { return failedCall == nullptr; }
    // "bind() failed on [::]:1900: Address already in use"
    std::string failure(const UdpSocketSpec& spec, const std::string& zone = {}) const;
};

// Opens, sets and binds, in that order, stopping at the first call that fails.
UdpSocket openUdpSocket(const UdpSocketSpec& spec);
// "224.0.0.0:1900", "[::]:1900", "[fe80::1%eth1]:1900".
std::string udpEndpointText(const UdpSocketSpec& spec, const std::string& zone = {});

// The IPv6 listener's socket: UDP, IPv6 only, bound to [::]:1900, told each datagram's
// destination and arrival interface, a member of no group yet. `hops` is the announcements'
// hop limit (0 without announcements). With SO_REUSEPORT, so that the sender's sockets and (with
// --unicast) the sockets bound to the interfaces' own addresses can take port 1900 beside it, and
// no other user's.
// -1 when it cannot be made, with `failure` naming the call that failed and its error.
int openIpv6Socket(int hops, std::string& failure);

// Where a received datagram came in: the interface's index (0 when the kernel did not say) and,
// over IPv6, the address it was sent to.
struct Arrival
{
    int ifindex = 0;
    in6_addr destination{};
};
// Receives one datagram into `buffer`, without waiting, with its sender and, from IP_PKTINFO or
// IPV6_PKTINFO, its arrival: the byte count, or -1.
int receiveDatagram(int fd, std::vector<char>& buffer, PeerAddr& sender, socklen_t& senderLen,
                    Arrival& arrival);

// How long a listener's turn waits (its poll) for a datagram or news of the host, and so how
// long a stop request waits for it and how often a listener turns, which the watchdog counts on.
// The receives themselves never wait (MSG_DONTWAIT).
inline constexpr std::chrono::milliseconds RECEIVE_TIMEOUT{100};
