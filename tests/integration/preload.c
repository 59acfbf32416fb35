/* Preloaded into the daemon by the integration tests (testbed.py).
 * - A process without CAP_NET_ADMIN on a stock kernel, whatever this machine's own limits: the
 *   *BUFFORCE options are refused, and SO_SNDBUF and SO_RCVBUF are capped at Linux's default
 *   net.core.wmem_max and rmem_max before the kernel doubles them, as it would cap them there.
 *   The machine's sysctls are global, not per network namespace, so the tests leave them alone.
 * - Failures no namespace can cause: REFUSE_CALL=pipe2 refuses pipe2 (EMFILE), REFUSE_CALL=rcvtimeo
 *   setsockopt's SO_RCVTIMEO (ENOPROTOOPT). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

enum
{
    STOCK_BUFFER_MAX = 212992
};

typedef int (*SetSockOpt)(int, int, int, const void*, socklen_t);
typedef int (*Pipe2)(int*, int);

static int refused(const char* call, int error)
{
    const char* which = getenv("REFUSE_CALL");
    if (which == NULL || strcmp(which, call) != 0)
    {
        return 0;
    }
    errno = error;
    return 1;
}

int pipe2(int fds[2], int flags)
{
    static Pipe2 real;
    if (real == NULL)
    {
        real = (Pipe2)dlsym(RTLD_NEXT, "pipe2");
    }
    return refused("pipe2", EMFILE) ? -1 : real(fds, flags);
}

int setsockopt(int fd, int level, int name, const void* value, socklen_t length)
{
    static SetSockOpt real;
    if (real == NULL)
    {
        real = (SetSockOpt)dlsym(RTLD_NEXT, "setsockopt");
    }
    if (level == SOL_SOCKET && name == SO_RCVTIMEO && refused("rcvtimeo", ENOPROTOOPT))
    {
        return -1;
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
