#include "discovery/SenderClass.h"

#include <arpa/inet.h>

ClassKey classKey(const PeerAddr& to, int ifindex)
{
    // RFC 3927 and RFC 4291, 2.5.6: on-link on every interface, so one host may forge any of it.
    const int family = to.sa.sa_family;
    const bool linkLocal = family == AF_INET6 ? IN6_IS_ADDR_LINKLOCAL(&to.v6.sin6_addr)
                                              : (ntohl(to.v4.sin_addr.s_addr) >> 16) == 0xa9fe;
    return {ifindex, family, linkLocal};
}
