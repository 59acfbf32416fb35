#pragma once

// What every part of the daemon says about SSDP itself: the port, a peer's socket address, the
// search targets it answers, and addresses as records write them.

#include <netinet/in.h>
#include <sys/socket.h>

#include <string>

class LogLimiter;

// UPnP Device Architecture 1.1, 1.1.2: SSDP listens on port 1900 in both families.
inline constexpr unsigned short SSDP_PORT = 1900;

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

// What an answered search asked for (UPnP Device Architecture 1.1, section 1.3.2).
enum class SearchTarget
{
    Redfish,
    All,
    RootDevice,
};
inline constexpr std::size_t SEARCH_TARGET_COUNT = 3;

// The address alone, as inet_ntop writes it.
std::string addressText(const PeerAddr& addr);
// An IPv4 address in network byte order, dotted.
std::string ipv4Text(in_addr_t addr);

// Bounds how long a listener's receive waits, and so how long a stop request waits for it. A
// failure is written through `failures`; the caller tries again before its next receive.
bool setReceiveTimeout(int fd, LogLimiter& failures);
