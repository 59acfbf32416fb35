#include "discovery/Address.h"

#include <arpa/inet.h>

#include <cstring>

std::string addressText(const PeerAddr& addr)
{
    char text[INET6_ADDRSTRLEN] = "";
    const void* bytes = addr.sa.sa_family == AF_INET6 ? static_cast<const void*>(&addr.v6.sin6_addr)
                                                      : static_cast<const void*>(&addr.v4.sin_addr);
    inet_ntop(addr.sa.sa_family == AF_INET6 ? AF_INET6 : AF_INET, bytes, text, sizeof(text));
    return text;
}

std::string endpointText(const PeerAddr& addr)
{
    const bool ipv6 = addr.sa.sa_family == AF_INET6;
    const std::string address = addressText(addr);
    return (ipv6 ? "[" + address + "]" : address) + ":" +
           std::to_string(ntohs(ipv6 ? addr.v6.sin6_port : addr.v4.sin_port));
}

IpAddress IpAddress::of(const PeerAddr& peer)
{
    if (peer.sa.sa_family == AF_INET6)
    {
        return v6(peer.v6.sin6_addr);
    }
    return peer.sa.sa_family == AF_INET ? v4(peer.v4.sin_addr.s_addr) : IpAddress{};
}

IpAddress IpAddress::v4(in_addr_t addr)
{
    IpAddress address;
    address.family = AF_INET;
    std::memcpy(&address.bytes, &addr, sizeof(addr));
    return address;
}

IpAddress IpAddress::v6(const in6_addr& addr)
{
    IpAddress address;
    address.family = AF_INET6;
    address.bytes = addr;
    return address;
}

in_addr_t IpAddress::ipv4() const
{
    in_addr_t addr = 0;
    std::memcpy(&addr, &bytes, sizeof(addr));
    return addr;
}

bool IpAddress::empty() const
{
    return family == AF_UNSPEC || IN6_IS_ADDR_UNSPECIFIED(&bytes);
}

bool IpAddress::isLinkLocal() const
{
    if (family == AF_INET)
    {
        return bytes.s6_addr[0] == 169 && bytes.s6_addr[1] == 254;
    }
    return family == AF_INET6 && IN6_IS_ADDR_LINKLOCAL(&bytes);
}

bool IpAddress::operator==(const IpAddress& other) const
{
    return family == other.family && std::memcmp(&bytes, &other.bytes, sizeof(bytes)) == 0;
}

bool isAnswerableSender(const PeerAddr& sender)
{
    if (sender.sa.sa_family == AF_INET6)
    {
        const in6_addr& a = sender.v6.sin6_addr;
        return sender.v6.sin6_port != 0 && !IN6_IS_ADDR_UNSPECIFIED(&a) &&
               !IN6_IS_ADDR_LOOPBACK(&a) && !IN6_IS_ADDR_MULTICAST(&a) && !IN6_IS_ADDR_V4MAPPED(&a);
    }
    const unsigned first = ntohl(sender.v4.sin_addr.s_addr) >> 24;
    return sender.sa.sa_family == AF_INET && sender.v4.sin_port != 0 && first != 0 &&
           first != 127 && first < 224;
}

std::string ipv4Text(in_addr_t addr)
{
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &addr, text, sizeof(text));
    return text;
}
