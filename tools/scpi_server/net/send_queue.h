// Sending to a socket without ever waiting, so that no client's slowness
// holds the loop, and knowing when the peer's TCP has everything sent.
#pragma once

#include "core/byte_queue.h"

// Sends what the socket takes now; false when the connection failed.
// `moved`: the bytes that went.
bool send_some(int fd, byte_queue &q, std::size_t &moved);

// Bytes the kernel has sent on a socket and its peer's TCP has not yet
// acknowledged (SIOCOUTQ), or -1.
int unacknowledged(int fd);

// Nothing waits to be sent, and the peer's TCP acknowledged everything
// sent: the peer has every byte.
inline bool all_acknowledged(int fd, const byte_queue &q) { return q.backlog() == 0 && unacknowledged(fd) == 0; }
