#pragma once

#include "discovery/Address.h"
#include "discovery/Groups.h"
#include "discovery/Wire.h"

// The rules that judge an SSDP search (UPnP Device Architecture 1.1, section 1.3.2). Pure: bytes
// in, verdict and header map out; no socket, clock, log or state, so that the tests and fuzz
// targets call them as they are.

#include <map>
#include <string>
#include <string_view>

namespace search
{
using Headers = std::map<std::string, std::string>;

// UPnP Device Architecture 1.1: a device waits a random time below MX seconds, and MX values
// above 5 are treated as 5.
inline constexpr int MX_MAX = 5;

// The request line, the four headers, HOST and MAN, then the ST rule. `group` is the group the
// datagram was sent to: over IPv6 HOST must name it.
bool parseQuery(char* text, Headers& headers, SsdpGroup group = SsdpGroup::Ipv4);
// The same without the ST rule.
bool readHeaders(char* text, Headers& headers, SsdpGroup group = SsdpGroup::Ipv4);
bool isHostValid(const std::string& value, SsdpGroup group = SsdpGroup::Ipv4);
// True when a search that came to the IPv6 group `group` names that group in its HOST value:
// the whole value, without regard to case, blanks and a carriage return at its end ignored;
// "[FF02::C]:1900", or "FF02::C:1900" without the brackets.
bool isIpv6HostValid(std::string_view value, SsdpGroup group);
// The HOST of a search sent by unicast to `to`, port 1900: the address and the port, an IPv6
// address in brackets (a link-local one with or without a zone, "%25eth0" or "%eth0"), in any
// form that names those bytes and in any letter case, blanks and a carriage return at its end
// ignored; or the SSDP group's HOST of that family ("239.255.255.250:1900", "[FF02::C]:1900"),
// which consoles that send their multicast search by unicast keep.
bool isUnicastHostValid(std::string_view value, const IpAddress& to);
bool isManValid(const std::string& value);
bool isStValid(const std::string& value);
bool isMxValid(const std::string& value);
// Whether an ST value is answered, and what it asks for. Without `exact` (the legacy form) the
// value must pass isStValid, and its first 8 characters decide. With `exact` (the standard form)
// only the targets themselves count (a Redfish type may carry a minor version, ":2"), and
// "uuid:<UUID>" too, as SearchTarget::Uuid.
bool classifyTarget(const std::string& value, bool exact, SearchTarget& target);
// True for an ST value "uuid:<text>" (the line's carriage return and trailing blanks aside) and,
// given `uuid`, for that UUID in any letter case.
bool isUuidTarget(const std::string& value, const std::string& uuid = "");
// The MX value as the delay uses it: its leading decimal number, raised to 1 and capped at 5.
int clampMx(const std::string& value);
int clampMx(long mx);

// What a search asks, once its headers are read: whether it is answered at all, its target and
// its MX (1 to 5). A search for a UUID is answered only for the service's own, which the caller
// checks with isUuidTarget(st, uuid) once the UUID is known.
struct Verdict
{
    bool asked = false;
    SearchTarget target = SearchTarget::Redfish;
    int mx = 1;
};
// `standard`: the standard form's rules for ST (classifyTarget's `exact`). `headers` keeps what
// was read, for the UUID check.
Verdict judge(char* text, bool standard, SsdpGroup group, Headers& headers);
// A search sent by unicast to `to`, port 1900: the request line, HOST (isUnicastHostValid), MAN,
// and ST by the standard form's rules; MX is not needed and, when present, not looked at.
Verdict judgeUnicast(char* text, const IpAddress& to, Headers& headers);
} // namespace search
