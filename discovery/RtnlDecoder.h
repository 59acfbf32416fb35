#pragma once

#include "discovery/HostTable.h"

#include <cstddef>
#include <vector>

struct nlmsghdr;

// The rtnetlink messages the host's view follows, read into the table's entries, and the one
// question it asks of the kernel's routes. Each checks the
// message's length against its fixed part and walks the attributes within it; nothing is read
// past the message.
namespace rtnl
{
// RTM_NEWLINK or RTM_DELLINK: false for one too short, or of a family other than AF_UNSPEC
// (AF_BRIDGE tells of a bridge port's part in the bridge, not of the link).
bool decodeLink(const nlmsghdr& message, HostTable::Link& link);
// RTM_NEWADDR or RTM_DELADDR: false for one too short, of another family, or without an address.
bool decodeAddress(const nlmsghdr& message, HostTable::Address& address);
// The question `ip route get ADDR` asks: an RTM_GETROUTE request for the route to `addr`, from
// interface `index` for an IPv6 link-local address (whose scope only the interface resolves).
// Never with the interface otherwise: given one, Linux takes an IPv4 address it has no route for
// as on that interface's link.
std::vector<char> routeRequest(const IpAddress& addr, int index, unsigned seq);
// What the kernel's reply to routeRequest() says of the sender behind `addr`.
enum class RouteVerdict
{
    Pending,   // not the reply to request `seq`: read on
    Failed,    // the kernel refused the question, or the reply cannot be read
    Elsewhere, // no route, or one not leaving by the interface as asked
    OnLink,    // unicast, leaving by the interface, without a gateway
    Routed,    // unicast, leaving by the interface, through a gateway
};
// Reads the reply in `data` (one read, `size` bytes) to request `seq` for interface `index`.
RouteVerdict routeVerdict(const char* data, std::size_t size, unsigned seq, int index);
} // namespace rtnl
