// Preloaded by the integration tests for failures no namespace can cause: REFUSE_CALL=pipe2
// refuses pipe2 (EMFILE), REFUSE_CALL=rcvtimeo setsockopt's SO_RCVTIMEO (ENOPROTOOPT).
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <sys/socket.h>

static bool refused(const char* call, int error)
{
    const char* which = std::getenv("REFUSE_CALL");
    errno = which != nullptr && std::strcmp(which, call) == 0 ? error : 0;
    return errno != 0;
}

extern "C" int pipe2(int fds[2], int flags)
{
    using Real = int (*)(int*, int);
    return refused("pipe2", EMFILE) ? -1
                                    : reinterpret_cast<Real>(dlsym(RTLD_NEXT, "pipe2"))(fds, flags);
}

extern "C" int setsockopt(int fd, int level, int name, const void* value, socklen_t length)
{
    using Real = int (*)(int, int, int, const void*, socklen_t);
    if (level == SOL_SOCKET && name == SO_RCVTIMEO && refused("rcvtimeo", ENOPROTOOPT))
        return -1;
    return reinterpret_cast<Real>(dlsym(RTLD_NEXT, "setsockopt"))(fd, level, name, value, length);
}
