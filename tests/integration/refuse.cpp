// Preloaded into the daemon by the tests of start-up and receive failures that no namespace can
// cause: REFUSE_CALL names the call to refuse, "pipe2" (EMFILE) or "rcvtimeo", setsockopt's
// SO_RCVTIMEO (ENOPROTOOPT). Every other call goes through untouched.

#include <dlfcn.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace
{
bool refused(const char* call)
{
    const char* which = std::getenv("REFUSE_CALL");
    return which != nullptr && std::strcmp(which, call) == 0;
}

template <typename F> F next(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
} // namespace

extern "C" int pipe2(int fds[2], int flags)
{
    if (refused("pipe2"))
    {
        errno = EMFILE;
        return -1;
    }
    return next<int (*)(int*, int)>("pipe2")(fds, flags);
}

extern "C" int setsockopt(int fd, int level, int name, const void* value, socklen_t length)
{
    if (level == SOL_SOCKET && name == SO_RCVTIMEO && refused("rcvtimeo"))
    {
        errno = ENOPROTOOPT;
        return -1;
    }
    return next<int (*)(int, int, int, const void*, socklen_t)>("setsockopt")(fd, level, name,
                                                                              value, length);
}
