#pragma once

// What every part of the daemon says about SSDP itself: the port, a peer's socket address, the
// search targets it answers, and addresses as records write them.

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <vector>

// The fixed text of the messages the daemon sends and expects, each value written once: the
// service object's constants are these, the judge reads searches by them, and MessageCache builds
// the legacy answer from them and the standard form's values (UUID, URL, targets) too. The
// standard form's own header names are written where MessageCache builds it.
#define WIRE_IPV4_GROUP "239.255.255.250"
#define WIRE_IPV4_HOST WIRE_IPV4_GROUP ":1900"
#define WIRE_STATUS_LINE "HTTP/1.1 200 OK\r\n"
#define WIRE_MAX_AGE "1800"
#define WIRE_REDFISH_SERVICE "dmtf-org:service:redfish-rest:1"
#define WIRE_REDFISH_ST "urn:" WIRE_REDFISH_SERVICE
#define WIRE_ALL_TARGETS "ssdp:all"
#define WIRE_ROOT_DEVICE "upnp:rootdevice"
#define WIRE_UUID_PREFIX "uuid:"
#define WIRE_SERVICE_ROOT "/redfish/v1"
// A search's request line and the headers it must carry.
#define WIRE_SEARCH_METHOD "M-SEARCH"
#define WIRE_HOST_NAME "HOST"
#define WIRE_MAN_NAME "MAN"
#define WIRE_MAN_VALUE "\"ssdp:discover\""
#define WIRE_MX_NAME "MX"
#define WIRE_ST_NAME "ST"
#define WIRE_URN_TAG "URN"
// The legacy answer's lines, in order; "<...>" stands for the value put in its place.
#define WIRE_LEGACY_CACHE "CACHE-CONTROL:" WIRE_MAX_AGE "\r\n"
#define WIRE_LEGACY_ST "ST:" WIRE_REDFISH_ST "\r\n"
#define WIRE_LEGACY_USN                                                                            \
    "USN:" WIRE_UUID_PREFIX "<UUID of Manager>::dmtf-org::" WIRE_REDFISH_ST ":2\r\n"
#define WIRE_LEGACY_AL "AL:https://<ip-addr:port>" WIRE_SERVICE_ROOT "\r\n"
#define WIRE_LEGACY_EXT "EXT:\r\n"

// UPnP Device Architecture 1.1, 1.1.2: SSDP listens on port 1900 in both families.
inline constexpr unsigned short SSDP_PORT = 1900;

// The interface answered on when the command line names none.
inline constexpr const char* DEFAULT_INTERFACE = "eth1";

// A receive buffer holds one datagram plus the NUL that ends its text, so at most 1023 bytes of
// a datagram are ever seen.
inline constexpr std::size_t DATAGRAM_BUF_SIZE = 1024;

// A socket address of either family, as recvfrom fills it and sendto takes it.
union PeerAddr
{
    sockaddr sa;
    sockaddr_in v4;
    sockaddr_in6 v6;
};

// An address of either family: IPv4 in the first four bytes (network order), the rest zero.
struct IpAddress
{
    int family = AF_UNSPEC;
    in6_addr bytes{};

    static IpAddress of(const PeerAddr& peer); // AF_UNSPEC for a peer of another family
    static IpAddress v4(in_addr_t addr);
    static IpAddress v6(const in6_addr& addr);
    in_addr_t ipv4() const;
    const in6_addr& ipv6() const { return bytes; }
    // No address: none at all, or the unspecified one (0.0.0.0, ::).
    bool empty() const;
    // 169.254.0.0/16 (RFC 3927) or fe80::/10.
    bool isLinkLocal() const;
    bool operator==(const IpAddress& other) const;
    bool operator!=(const IpAddress& other) const { return !(*this == other); }
};

// What an answered search asked for (UPnP Device Architecture 1.1, section 1.3.2).
enum class SearchTarget
{
    Redfish,
    All,
    RootDevice,
    Uuid, // the device's own UUID, "uuid:<UUID>": answered in the standard form only
};
inline constexpr std::size_t SEARCH_TARGET_COUNT = static_cast<std::size_t>(SearchTarget::Uuid) + 1;

// False for a sender that no answer may go to, whatever it asked: source port 0; over IPv4 a
// source in 0/8, 127/8, or 224/4 and above (multicast, reserved, broadcast); over IPv6 the
// unspecified, loopback, multicast or an IPv4-mapped address. Answering these would send to
// the controller itself (Linux sends to :: and 0.0.0.0 as to loopback) or to a whole group.
// The interface's own addresses are the listener's to check.
bool isAnswerableSender(const PeerAddr& sender);

// The address alone, as inet_ntop writes it.
std::string addressText(const PeerAddr& addr);
// The address and port, "198.18.0.2:1900" or "[fd00::2]:1900".
std::string endpointText(const PeerAddr& addr);
// An IPv4 address in network byte order, dotted.
std::string ipv4Text(in_addr_t addr);

// Sends never wait (MSG_DONTWAIT): an answer to a neighbour that never answers ARP or neighbour
// solicitation stays charged to the socket until resolution fails, about 3 s, and a full send
// buffer drops answers rather than stalling every other one. The buffer is widened to hold a
// full set of pending answers (256 searches, three messages each, about 1.3 kB of kernel memory
// apiece) so that a burst from silent senders does not crowd out a console's answer. It costs
// memory only while datagrams wait. Without CAP_NET_ADMIN (as under the unit) the kernel caps it
// at twice net.core.wmem_max, 425,984 bytes by default: enough for a full set of legacy answers.
inline constexpr int SEND_BUFFER_BYTES = 1024 * 1024;
void widenSendBuffer(int fd);

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

// Bounds how long a listener waits for a datagram, and so how long a stop request waits for it
// (and how often a listener turns, which the watchdog counts on).
inline constexpr std::chrono::milliseconds RECEIVE_TIMEOUT{100};
