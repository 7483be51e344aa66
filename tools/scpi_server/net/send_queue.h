// What a connection has to send: handed to the kernel as far as its socket
// takes it, never waiting, so that no client's slowness holds the loop.
#pragma once

#include <cstddef>
#include <string>

struct send_queue {
    std::string bytes; // from `done` on not yet sent
    std::size_t done = 0;
    std::size_t backlog() const { return bytes.size() - done; }
    // Sends what it can; false when the connection failed. `moved`: some went.
    bool flush(int fd, bool &moved);
};

// Bytes the kernel has sent on a socket and its peer's TCP has not yet
// acknowledged (SIOCOUTQ), or -1.
int unacknowledged(int fd);
