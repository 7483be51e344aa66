#include "send_queue.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>

bool send_queue::flush(int fd, bool &moved)
{
    moved = false;
    while (backlog() > 0) {
        const ssize_t n = send(fd, bytes.data() + done, backlog(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0)
            return errno == EAGAIN || errno == EINTR;
        done += static_cast<std::size_t>(n);
        moved = true;
    }
    bytes.clear();
    done = 0;
    return true;
}

int unacknowledged(int fd)
{
    int n = 0;
    return ioctl(fd, SIOCOUTQ, &n) == 0 ? n : -1;
}
