/* Preloaded into the server by a test: caps every SO_SNDBUF it asks for at
 * 212992 bytes, the net.core.wmem_max of a stock kernel (Raspberry Pi OS
 * included), so that a machine whose wmem_max is larger shows what a Pi
 * does with a client that never reads. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <sys/socket.h>

int setsockopt(int fd, int level, int name, const void *value, socklen_t length)
{
    static int (*real)(int, int, int, const void *, socklen_t);
    static const int capped = 212992;
    if (real == 0)
        real = (int (*)(int, int, int, const void *, socklen_t))dlsym(RTLD_NEXT, "setsockopt");
    if (level == SOL_SOCKET && name == SO_SNDBUF && length == sizeof(int) && *(const int *)value > capped)
        value = &capped;
    return real(fd, level, name, value, length);
}
