#pragma once

// Addresses of either family: a peer's socket address, an IP address, and their texts.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>

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

// False for a sender that no answer may go to, whatever it asked: source port 0; over IPv4 a
// source in 0/8, 127/8, or 224/4 and above (multicast, reserved, broadcast); over IPv6 the
// unspecified, loopback, multicast or an IPv4-mapped address. Answering these would send to
// the controller itself (Linux sends to :: and 0.0.0.0 as to loopback) or to a whole group.
// The interface's own addresses are the listener's to check.
bool isAnswerableSender(const PeerAddr& sender);

// The port, in host byte order: at the same place in both families' socket addresses.
inline unsigned short portOf(const PeerAddr& peer)
{
    return ntohs(peer.v4.sin_port);
}

// The address alone, as inet_ntop writes it.
std::string addressText(const PeerAddr& addr);
// The address and port, "198.18.0.2:1900" or "[fd00::2]:1900".
std::string endpointText(const PeerAddr& addr);
// An IPv4 address in network byte order, dotted.
std::string ipv4Text(in_addr_t addr);
