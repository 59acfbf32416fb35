// Judging of SSDP search requests (UPnP Device Architecture 1.1, section 1.3.2). Pure: bytes in,
// verdict and header map out; nothing here throws for any input, logs or touches a socket.

#include "discovery/SearchParser.h"

#include <arpa/inet.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string_view>
#include <strings.h>

namespace
{
// Every comparison with a constant looks at 8 characters at most: a constant shorter than that
// matches only itself, a longer one matches any text that starts with its first 8 characters.
constexpr std::size_t COMPARE_LEN = 8;
constexpr const char* BLANKS = " \t";

bool matches(const char* text, const char* constant)
{
    return std::strncmp(text, constant, COMPARE_LEN) == 0;
}

bool matches(const std::string& text, const char* constant)
{
    return matches(text.c_str(), constant);
}

// The same comparison in any letter case, for an upper-case constant and text that holds no NUL
// and need not end with one. Header names are compared on every line of every datagram: no
// upper-case copy is made.
bool matchesAnyCase(std::string_view text, std::string_view constant)
{
    if (constant.size() < COMPARE_LEN ? text.size() != constant.size() : text.size() < COMPARE_LEN)
    {
        return false;
    }
    return strncasecmp(text.data(), constant.data(), std::min(constant.size(), COMPARE_LEN)) == 0;
}

// The whole text equal to the constant in any letter case.
bool equalsAnyCase(std::string_view text, std::string_view constant)
{
    return text.size() == constant.size() &&
           strncasecmp(text.data(), constant.data(), text.size()) == 0;
}

// The line feed that ends the line starting at `line`, or nullptr when the text up to `end` holds
// no more. A datagram may be a thousand lines: the walk costs one memchr per line.
const char* lineEnd(const char* line, const char* end)
{
    return static_cast<const char*>(std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
}

std::string_view skipBlanks(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    {
        text.remove_prefix(1);
    }
    return text;
}
} // namespace

namespace
{
// How many headers a search must carry: HOST, MAN, MX and ST.
constexpr std::size_t NAME_COUNT = 4;
using Names = std::string_view[NAME_COUNT];

// Walks the header lines after the request line and keeps, for each name, the value of the last
// line that names it. Only text up to the last line feed forms lines; a line keeps any carriage
// return.
void scanHeaderLines(const char* lf, const char* end, const Names& names,
                     std::string_view (&values)[NAME_COUNT], bool (&seen)[NAME_COUNT])
{
    // A name shorter than COMPARE_LEN (all of these are) matches only a name of its own length:
    // a line whose colon comes later names none of them, and the search for it stops there.
    std::size_t longest = 0;
    for (const std::string_view name : names)
    {
        longest = std::max(longest, name.size());
    }
    const std::size_t window = longest < COMPARE_LEN ? longest + 1 : std::string_view::npos;
    while (lf != nullptr)
    {
        const char* const start = lf + 1;
        lf = lineEnd(start, end);
        if (lf == nullptr)
        {
            break;
        }
        const std::size_t head = std::min(static_cast<std::size_t>(lf - start), window);
        const char* const colon = static_cast<const char*>(std::memchr(start, ':', head));
        if (colon == nullptr)
        {
            continue;
        }
        const std::string_view name(start, static_cast<std::size_t>(colon - start));
        for (std::size_t i = 0; i < NAME_COUNT; ++i)
        {
            if (matchesAnyCase(name, names[i]))
            {
                values[i] = skipBlanks(
                    std::string_view(colon + 1, static_cast<std::size_t>(lf - colon - 1)));
                seen[i] = true;
                break;
            }
        }
    }
}
} // namespace

bool search::parseQuery(char* text, Headers& headers, SsdpGroup group)
{
    return readHeaders(text, headers, group) && isStValid(headers.find(WIRE_ST_NAME)->second);
}

namespace
{
// The request line, then every header line into `headers`, with `stored` pointing at the value
// each of the four names has in the map afterwards (nullptr for none). The map is filled after
// the lines; a name the request lacks keeps a value the map held. False for another method.
bool readLines(char* text, search::Headers& headers, const std::string* (&stored)[NAME_COUNT])
{
    // In the map's order.
    const Names names = {WIRE_HOST_NAME, WIRE_MAN_NAME, WIRE_MX_NAME, WIRE_ST_NAME};
    const char* const end = text + std::strlen(text); // the text ends at its first NUL
    // The first line is the request line.
    const char* lf = lineEnd(text, end);
    const std::size_t methodLen = std::strlen(WIRE_SEARCH_METHOD);
    if (lf != nullptr && (static_cast<std::size_t>(lf - text) < methodLen ||
                          std::memcmp(text, WIRE_SEARCH_METHOD, methodLen) != 0))
    {
        return false;
    }
    std::string_view values[NAME_COUNT];
    bool seen[NAME_COUNT] = {};
    scanHeaderLines(lf, end, names, values, seen);
    for (std::size_t i = 0; i < NAME_COUNT; ++i)
    {
        stored[i] = nullptr;
        if (seen[i])
        {
            // The names come in the map's order: into a map that held nothing, each goes in at
            // the end after one comparison.
            stored[i] =
                &headers
                     .insert_or_assign(headers.end(), std::string(names[i]), std::string(values[i]))
                     ->second;
        }
        else if (const auto it = headers.find(std::string(names[i])); it != headers.end())
        {
            stored[i] = &it->second;
        }
    }
    return true;
}

enum Name
{
    HOST,
    MAN,
    MX,
    ST,
};

// The value without the blanks and carriage return that end the line.
std::string_view trimEnd(std::string_view value)
{
    const std::size_t end = value.find_last_not_of(" \t\r");
    return end == std::string_view::npos ? std::string_view() : value.substr(0, end + 1);
}

// The address in `text` (no more than an address's length, the port cut off) is `to`.
bool namesAddress(std::string_view text, const IpAddress& to)
{
    char address[INET6_ADDRSTRLEN] = "";
    if (text.empty() || text.size() >= sizeof(address))
    {
        return false;
    }
    text.copy(address, text.size());
    in6_addr bytes{};
    return inet_pton(to.family, address, &bytes) == 1 &&
           std::memcmp(&bytes, &to.bytes, to.family == AF_INET6 ? 16 : 4) == 0;
}
} // namespace

bool search::readHeaders(char* text, Headers& headers, SsdpGroup group)
{
    const std::string* stored[NAME_COUNT] = {};
    if (!readLines(text, headers, stored))
    {
        return false;
    }
    for (const std::string* value : stored)
    {
        if (value == nullptr)
        {
            return false;
        }
    }
    return isHostValid(*stored[HOST], group) && isManValid(*stored[MAN]);
}

bool search::isUnicastHostValid(std::string_view value, const IpAddress& to)
{
    value = trimEnd(value);
    const std::string_view port = ":1900";
    if (to.family == AF_INET)
    {
        // A console that sends its multicast search by unicast keeps the group's HOST.
        return equalsAnyCase(value, WIRE_IPV4_HOST) ||
               (value.size() > port.size() && value.substr(value.size() - port.size()) == port &&
                namesAddress(value.substr(0, value.size() - port.size()), to));
    }
    if (to.family != AF_INET6)
    {
        return false;
    }
    if (search::isIpv6HostValid(value, SsdpGroup::Ipv6Link))
    {
        return true;
    }
    const std::string_view tail = "]:1900";
    if (value.size() <= tail.size() + 1 || value.front() != '[' ||
        value.substr(value.size() - tail.size()) != tail)
    {
        return false;
    }
    std::string_view address = value.substr(1, value.size() - tail.size() - 1);
    // RFC 6874: a link-local address may carry its zone, "%25" and the console's own interface,
    // which means nothing here.
    const std::size_t zone = address.find('%');
    if (zone != std::string_view::npos)
    {
        const std::size_t name = address.substr(zone, 3) == "%25" ? zone + 3 : zone + 1;
        if (!to.isLinkLocal() || name == address.size() ||
            address.find_first_of("%[]", name) != std::string_view::npos)
        {
            return false;
        }
        address = address.substr(0, zone);
    }
    return namesAddress(address, to);
}

bool search::isHostValid(const std::string& value, SsdpGroup group)
{
    return group == SsdpGroup::Ipv4 ? matches(value, WIRE_IPV4_HOST)
                                    : search::isIpv6HostValid(value, group);
}

bool search::isIpv6HostValid(std::string_view value, SsdpGroup group)
{
    // Unlike the IPv4 rule, which compares the first 8 characters, the whole value must name the
    // group: over IPv6 the request must say which of the groups it was sent to.
    value = trimEnd(value);
    for (const Ipv6Group& g : IPV6_GROUPS)
    {
        if (g.id == group)
        {
            // DMTF's Redfish Protocol Validator writes the group without brackets,
            // "ff02::c:1900": taken too, though RFC 3986 brackets an IPv6 address before a port.
            const std::string_view address(g.address);
            const std::string_view host(g.host);
            const std::string_view port = host.substr(address.size() + 2); // after the "]"
            return equalsAnyCase(value, host) ||
                   (value.size() == address.size() + port.size() &&
                    equalsAnyCase(value.substr(0, address.size()), address) &&
                    value.substr(address.size()) == port);
        }
    }
    return false;
}

bool search::isManValid(const std::string& value)
{
    return matches(value, WIRE_MAN_VALUE);
}

bool search::isStValid(const std::string& value)
{
    // Search targets answered: all devices, the root device, and the Redfish service type
    // (DSP0266 names "urn:dmtf-org:service:redfish-rest:1" as the service's SSDP target).
    if (matches(value, WIRE_ALL_TARGETS) || matches(value, WIRE_ROOT_DEVICE))
    {
        return true;
    }
    const std::size_t colon = value.find(':');
    if (colon == std::string::npos)
    {
        return false;
    }
    // The tag ends at a NUL, as a C string would.
    if (!matchesAnyCase(std::string_view(value.c_str()).substr(0, colon), WIRE_URN_TAG))
    {
        return false;
    }
    // The service type runs to the end of the value, so it ends with the value's NUL.
    const std::size_t service = value.find_first_not_of(BLANKS, colon + 1);
    return service != std::string::npos && matches(value.c_str() + service, WIRE_REDFISH_SERVICE);
}

bool search::isMxValid(const std::string& value)
{
    const long mx = std::strtol(value.c_str(), nullptr, 10);
    return mx >= 1 && mx <= MX_MAX;
}

bool search::isUuidTarget(const std::string& value, const std::string& uuid)
{
    std::string_view st(value);
    st = trimEnd(st);
    constexpr std::string_view prefix = WIRE_UUID_PREFIX;
    if (st.size() <= prefix.size() || st.substr(0, prefix.size()) != prefix)
    {
        return false;
    }
    // RFC 4122: UUIDs are compared without regard to case, and consoles upper-case them.
    const std::string_view id = st.substr(prefix.size());
    return uuid.empty() ||
           (id.size() == uuid.size() && strncasecmp(id.data(), uuid.data(), id.size()) == 0);
}

int search::clampMx(const std::string& value)
{
    // Read as atoi reads it (leading blanks, a sign, digits), but saturating instead of
    // overflowing. An MX below 1 (empty, 0, negative, not a number) is answered within a second.
    return clampMx(std::strtol(value.c_str(), nullptr, 10));
}

int search::clampMx(long mx)
{
    if (mx > MX_MAX)
    {
        return MX_MAX;
    }
    return mx < 1 ? 1 : static_cast<int>(mx);
}

bool search::classifyTarget(const std::string& value, bool exact, SearchTarget& target)
{
    if (!isStValid(value))
    {
        // Only the standard form takes a search for a device's UUID.
        target = SearchTarget::Uuid;
        return exact && isUuidTarget(value);
    }
    if (!exact)
    {
        target = matches(value, WIRE_ALL_TARGETS)   ? SearchTarget::All
                 : matches(value, WIRE_ROOT_DEVICE) ? SearchTarget::RootDevice
                                                    : SearchTarget::Redfish;
        return true;
    }
    // The value keeps the line's carriage return and any trailing blanks.
    std::string_view st(value);
    st = trimEnd(st);
    if (st == WIRE_ALL_TARGETS || st == WIRE_ROOT_DEVICE)
    {
        target = st == WIRE_ALL_TARGETS ? SearchTarget::All : SearchTarget::RootDevice;
        return true;
    }
    // isStValid has checked the "urn:" tag in any letter case.
    const std::string_view service = skipBlanks(st.substr(st.find(':') + 1));
    const std::string_view redfish(WIRE_REDFISH_SERVICE);
    const std::string_view minor = service.substr(std::min(service.size(), redfish.size()));
    const bool versioned = minor.size() > 1 && minor[0] == ':' &&
                           minor.find_first_not_of("0123456789", 1) == std::string_view::npos;
    target = SearchTarget::Redfish;
    return service.substr(0, redfish.size()) == redfish && (minor.empty() || versioned);
}

search::Verdict search::judgeUnicast(char* text, const IpAddress& to, Headers& headers)
{
    // UPnP Device Architecture 1.1, 1.3.2: a search sent by unicast names the device's address
    // and port in HOST and needs no MX; it is answered within a second, in the standard form.
    Verdict verdict;
    const std::string* stored[NAME_COUNT] = {};
    verdict.asked = readLines(text, headers, stored) && stored[HOST] != nullptr &&
                    stored[MAN] != nullptr && stored[ST] != nullptr &&
                    isUnicastHostValid(*stored[HOST], to) && isManValid(*stored[MAN]) &&
                    classifyTarget(*stored[ST], true, verdict.target);
    return verdict;
}

search::Verdict search::judge(char* text, bool standard, SsdpGroup group, Headers& headers)
{
    Verdict verdict;
    // UPnP Device Architecture 1.1, 1.3.2: a device answers a search for its own UUID too; the
    // legacy rules never took such a target, the standard form does.
    verdict.asked = readHeaders(text, headers, group) &&
                    classifyTarget(headers.find(WIRE_ST_NAME)->second, standard, verdict.target);
    if (verdict.asked)
    {
        verdict.mx = clampMx(headers.find(WIRE_MX_NAME)->second);
    }
    return verdict;
}
