// Preloaded into the arm64 daemon when it runs under Debian 12's qemu-aarch64 (QEMU 7.2) in the
// cross stage of scripts/ci-stages.sh; never part of the daemon.
//
// That emulator reads the interface index of struct ip_mreqn as a target long, 8 bytes on a
// 64-bit target, and takes the index only from an option of that widened size: the 12 bytes of a
// real ip_mreqn reach the host's kernel with an index left uninitialised, and every join by index
// fails with ENODEV. Here the request is handed on widened to the size the emulator expects, the
// index in its low half (little-endian), so that the host's kernel gets the index it was given.

#include <cstring>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>

extern "C" int setsockopt(int fd, int level, int name, const void* value, socklen_t length)
{
    using Setsockopt = int (*)(int, int, int, const void*, socklen_t);
    static const auto next = reinterpret_cast<Setsockopt>(dlsym(RTLD_NEXT, "setsockopt"));
    const bool membership = level == IPPROTO_IP &&
                            (name == IP_ADD_MEMBERSHIP || name == IP_DROP_MEMBERSHIP) &&
                            length == sizeof(ip_mreqn);
    if (!membership)
    {
        return next(fd, level, name, value, length);
    }
    unsigned char widened[sizeof(ip_mreqn) + sizeof(int)] = {};
    std::memcpy(widened, value, sizeof(ip_mreqn));
    return next(fd, level, name, widened, sizeof(widened));
}
