#pragma once

#include "discovery/HostTable.h"

#include <vector>

struct nlmsghdr;

// The rtnetlink messages the host's view follows, read into the table's entries. Each checks the
// message's length against its fixed part and walks the attributes within it; nothing is read
// past the message.
namespace rtnl
{
// RTM_NEWLINK or RTM_DELLINK: false for one too short, or of a family other than AF_UNSPEC
// (AF_BRIDGE tells of a bridge port's part in the bridge, not of the link).
bool decodeLink(const nlmsghdr& message, HostTable::Link& link);
// RTM_NEWADDR or RTM_DELADDR: false for one too short, of another family, or without an address.
bool decodeAddress(const nlmsghdr& message, HostTable::Address& address);
// RTM_NEWROUTE or RTM_DELROUTE: one route per next hop, when it is a unicast route of the main
// table that is not a cached exception; none otherwise.
std::vector<HostTable::Route> decodeRoutes(const nlmsghdr& message);
} // namespace rtnl
