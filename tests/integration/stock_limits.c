/* Preloaded into the daemon by the integration tests (testbed.py): a process without
 * CAP_NET_ADMIN on a stock kernel, whatever this machine's own limits. The *BUFFORCE options are
 * refused, and SO_SNDBUF and SO_RCVBUF are capped at Linux's default net.core.wmem_max and
 * rmem_max before the kernel doubles them, as it would cap them there. The machine's sysctls are
 * global, not per network namespace, so the tests leave them alone. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <string.h>
#include <sys/socket.h>

enum
{
    STOCK_BUFFER_MAX = 212992
};

typedef int (*SetSockOpt)(int, int, int, const void*, socklen_t);

int setsockopt(int fd, int level, int name, const void* value, socklen_t length)
{
    static SetSockOpt real;
    if (real == NULL)
    {
        real = (SetSockOpt)dlsym(RTLD_NEXT, "setsockopt");
    }
    if (level == SOL_SOCKET && (name == SO_SNDBUFFORCE || name == SO_RCVBUFFORCE))
    {
        errno = EPERM;
        return -1;
    }
    int asked = 0;
    if (level == SOL_SOCKET && (name == SO_SNDBUF || name == SO_RCVBUF) &&
        length >= sizeof(asked))
    {
        memcpy(&asked, value, sizeof(asked));
        if (asked > STOCK_BUFFER_MAX)
        {
            const int capped = STOCK_BUFFER_MAX;
            return real(fd, level, name, &capped, sizeof(capped));
        }
    }
    return real(fd, level, name, value, length);
}
