#include "discovery/Ssdp.h"

#include "common/LogLimiter.h"
#include "common/Logger.h"

#include <arpa/inet.h>
#include <sys/time.h>

#include <cerrno>
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

void widenSendBuffer(int fd)
{
    // Above net.core.wmem_max the kernel takes its cap instead: not worth a record.
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &SEND_BUFFER_BYTES, sizeof(SEND_BUFFER_BYTES));
}

bool setReceiveTimeout(int fd, LogLimiter& failures)
{
    const timeval timeout{0, 100000};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) < 0)
    {
        const int error = errno;
        failures.write(
            [error] {
                LOG_DISC(WARNING) << "setsockopt() failed to set recv timeout"
                                  << std::strerror(error);
            });
        return false;
    }
    return true;
}
