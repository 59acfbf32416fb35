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

std::string ipv4Text(in_addr_t addr)
{
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &addr, text, sizeof(text));
    return text;
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
