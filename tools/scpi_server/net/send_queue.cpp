#include "net/send_queue.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>

bool send_some(int fd, byte_queue &q, std::size_t &moved)
{
    moved = 0;
    while (q.backlog() > 0) {
        const ssize_t n = send(fd, q.front(), q.backlog(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0)
            return errno == EAGAIN || errno == EINTR;
        q.take(static_cast<std::size_t>(n));
        moved += static_cast<std::size_t>(n);
    }
    return true;
}

int unacknowledged(int fd)
{
    int n = 0;
    return ioctl(fd, SIOCOUTQ, &n) == 0 ? n : -1;
}
