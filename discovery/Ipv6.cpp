#include "discovery/Ipv6.h"

#include <arpa/inet.h>
#include <linux/if_addr.h>
#include <net/if.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace
{
// Tentative (duplicate address detection not done) and failed addresses cannot be reached yet;
// temporary ones are for connections the host opens, and change by design.
bool usable(const Ipv6IfAddr& a)
{
    const bool tentative = (a.flags & IFA_F_TENTATIVE) != 0 && (a.flags & IFA_F_OPTIMISTIC) == 0;
    return !tentative && (a.flags & (IFA_F_DADFAILED | IFA_F_TEMPORARY)) == 0 &&
           !IN6_IS_ADDR_LOOPBACK(&a.addr) && !IN6_IS_ADDR_UNSPECIFIED(&a.addr) &&
           !IN6_IS_ADDR_MULTICAST(&a.addr);
}

// Lower is better.
int rank(const Ipv6IfAddr& a)
{
    return (IN6_IS_ADDR_LINKLOCAL(&a.addr) ? 2 : 0) + ((a.flags & IFA_F_DEPRECATED) != 0 ? 1 : 0);
}

bool sameAddr(const in6_addr& a, const in6_addr& b)
{
    return std::memcmp(&a, &b, sizeof(a)) == 0;
}
} // namespace

in6_addr chooseIpv6Addr(const std::vector<Ipv6IfAddr>& addrs, const in6_addr& current)
{
    const Ipv6IfAddr* best = nullptr;
    for (const Ipv6IfAddr& a : addrs)
    {
        if (!usable(a))
        {
            continue;
        }
        if (best == nullptr || rank(a) < rank(*best))
        {
            best = &a;
            continue;
        }
        if (rank(a) == rank(*best) && !sameAddr(best->addr, current) &&
            (sameAddr(a.addr, current) || std::memcmp(&a.addr, &best->addr, sizeof(a.addr)) < 0))
        {
            best = &a;
        }
    }
    return best == nullptr ? in6addr_any : best->addr;
}

in6_addr chooseLinkLocal(const std::vector<Ipv6IfAddr>& addrs, const in6_addr& current)
{
    std::vector<Ipv6IfAddr> linkLocal;
    std::copy_if(addrs.begin(), addrs.end(), std::back_inserter(linkLocal),
                 [](const Ipv6IfAddr& a) { return IN6_IS_ADDR_LINKLOCAL(&a.addr); });
    return chooseIpv6Addr(linkLocal, current);
}

std::string ipv6AddrText(const in6_addr& addr, std::string_view zone)
{
    char text[INET6_ADDRSTRLEN] = "";
    inet_ntop(AF_INET6, &addr, text, sizeof(text));
    return IN6_IS_ADDR_LINKLOCAL(&addr) ? std::string(text) + "%" + std::string(zone)
                                        : std::string(text);
}

std::string ipv6UrlHost(const in6_addr& addr, std::string_view zone)
{
    char text[INET6_ADDRSTRLEN] = "";
    inet_ntop(AF_INET6, &addr, text, sizeof(text));
    std::string host = std::string("[") + text;
    if (IN6_IS_ADDR_LINKLOCAL(&addr))
    {
        // RFC 6874: "%" is written "%25" in a URI, and a zone is unreserved characters and
        // percent-encoded bytes.
        host += "%25";
        for (const char c : zone)
        {
            if (std::isalnum(static_cast<unsigned char>(c)) ||
                (c != '\0' && std::strchr("-._~", c) != nullptr))
            {
                host += c;
            }
            else
            {
                char escaped[4];
                std::snprintf(escaped, sizeof(escaped), "%%%02X", static_cast<unsigned char>(c));
                host += escaped;
            }
        }
    }
    return host + "]";
}
