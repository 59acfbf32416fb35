#include "discovery/UdpSocket.h"

#include "discovery/Ipv6.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

void Fd::reset(int fd)
{
    if (m_fd != -1)
    {
        ::close(m_fd);
    }
    m_fd = fd;
}

namespace
{
// setsockopt() with an int, or nullptr when it succeeds: `call` otherwise.
const char* setInt(int fd, int level, int option, int value, const char* call)
{
    return setsockopt(fd, level, option, &value, sizeof(value)) == -1 ? call : nullptr;
}

const char* setOptions(int fd, const UdpSocketSpec& spec)
{
    const bool ipv6 = spec.family == AF_INET6;
    const char* failed = nullptr;
    if (ipv6)
    {
        failed = setInt(fd, IPPROTO_IPV6, IPV6_V6ONLY, 1, "setsockopt(IPV6_V6ONLY)");
    }
    if (failed == nullptr && spec.pktinfo)
    {
        failed = ipv6
                     ? setInt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, 1, "setsockopt(IPV6_RECVPKTINFO)")
                     : setInt(fd, IPPROTO_IP, IP_PKTINFO, 1, "setsockopt(IP_PKTINFO)");
    }
    if (failed == nullptr && spec.shared)
    {
        failed = setInt(fd, SOL_SOCKET, SO_REUSEPORT, 1, "setsockopt(SO_REUSEPORT)");
    }
    if (failed == nullptr && spec.multicastHops > 0)
    {
        failed = setInt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, spec.multicastHops,
                        "setsockopt(IPV6_MULTICAST_HOPS)");
    }
    if (failed != nullptr)
    {
        return failed;
    }
    if (spec.ownGroupsOnly)
    {
        // A guard only: a kernel or emulator without it leaves the arrival checks to keep other
        // groups' datagrams out.
        (void)setInt(fd, ipv6 ? IPPROTO_IPV6 : IPPROTO_IP,
                     ipv6 ? IPV6_MULTICAST_ALL : IP_MULTICAST_ALL, 0, "");
    }
    if (spec.sendBuffer == UdpSocketSpec::SendBuffer::Widened)
    {
        widenSendBuffer(fd);
    }
    else if (spec.sendBuffer == UdpSocketSpec::SendBuffer::Capped)
    {
        failed =
            setInt(fd, SOL_SOCKET, SO_SNDBUF, CLASS_SEND_BUFFER_BYTES, "setsockopt(SO_SNDBUF)");
    }
    return failed;
}
} // namespace

UdpSocket openUdpSocket(const UdpSocketSpec& spec)
{
    UdpSocket opened;
    const bool ipv6 = spec.family == AF_INET6;
    opened.fd.reset(socket(spec.family, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
    if (!opened.fd.valid())
    {
        opened.failedCall = "socket()";
        opened.error = errno;
        return opened;
    }
    opened.failedCall = setOptions(opened.fd.get(), spec);
    if (opened.failedCall == nullptr)
    {
        PeerAddr local{};
        local.v4.sin_port = htons(spec.port); // the same place in both families' addresses
        if (ipv6)
        {
            local.v6.sin6_family = AF_INET6;
            local.v6.sin6_addr = spec.address.empty() ? in6addr_any : spec.address.ipv6();
            local.v6.sin6_scope_id =
                spec.address.isLinkLocal() ? static_cast<unsigned>(spec.ifindex) : 0;
        }
        else
        {
            local.v4.sin_family = AF_INET;
            local.v4.sin_addr.s_addr = spec.address.empty() ? INADDR_ANY : spec.address.ipv4();
        }
        if (::bind(opened.fd.get(), &local.sa, ipv6 ? sizeof(local.v6) : sizeof(local.v4)) == -1)
        {
            opened.failedCall = "bind()";
        }
    }
    opened.error = opened.ok() ? 0 : errno;
    return opened;
}

std::string udpEndpointText(const UdpSocketSpec& spec, const std::string& zone)
{
    const std::string port = ":" + std::to_string(spec.port);
    if (spec.family == AF_INET)
    {
        return ipv4Text(spec.address.empty() ? INADDR_ANY : spec.address.ipv4()) + port;
    }
    return "[" + ipv6AddrText(spec.address.empty() ? in6addr_any : spec.address.ipv6(), zone) +
           "]" + port;
}

std::string UdpSocket::failure(const UdpSocketSpec& spec, const std::string& zone) const
{
    return std::string(failedCall) + " failed on " + udpEndpointText(spec, zone) + ": " +
           std::strerror(error);
}

int openIpv6Socket(int hops, std::string& failure)
{
    // Bound to the wildcard address, unlike the IPv4 socket: one socket serves every group of
    // the scope, and each datagram's destination (IPV6_PKTINFO) tells which group's HOST it must
    // name and keeps out datagrams sent to the host's own address, which are never judged. IPv6
    // only: the IPv4 socket keeps IPv4's port 1900.
    UdpSocketSpec spec;
    spec.family = AF_INET6;
    spec.shared = true;
    spec.pktinfo = true;
    spec.ownGroupsOnly = true;
    spec.multicastHops = hops;
    spec.sendBuffer = UdpSocketSpec::SendBuffer::Widened;
    UdpSocket opened = openUdpSocket(spec);
    if (!opened.ok())
    {
        failure = opened.failure(spec);
        return -1;
    }
    return opened.fd.release();
}

void widenSendBuffer(int fd)
{
    // Past net.core.wmem_max only with CAP_NET_ADMIN; without it the kernel takes its cap
    // instead: neither is worth a record.
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &SEND_BUFFER_BYTES, sizeof(SEND_BUFFER_BYTES)) ==
        -1)
    {
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &SEND_BUFFER_BYTES, sizeof(SEND_BUFFER_BYTES));
    }
}

int receiveDatagram(int fd, std::vector<char>& buffer, PeerAddr& sender, socklen_t& senderLen,
                    Arrival& arrival)
{
    iovec data{buffer.data(), buffer.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in6_pktinfo))];
    msghdr message{};
    message.msg_name = &sender;
    message.msg_namelen = sizeof(sender);
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    const int length = static_cast<int>(recvmsg(fd, &message, MSG_DONTWAIT));
    senderLen = message.msg_namelen;
    arrival = Arrival{};
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); length > 0 && c != nullptr;
         c = CMSG_NXTHDR(&message, c))
    {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO)
        {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(c), sizeof(info));
            arrival.ifindex = info.ipi_ifindex;
        }
        else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO)
        {
            in6_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(c), sizeof(info));
            arrival.ifindex = static_cast<int>(info.ipi6_ifindex);
            arrival.destination = info.ipi6_addr;
        }
    }
    return length;
}
