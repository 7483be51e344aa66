// Bytes on their way out, taken from the front: a client's responses, a
// connection's replies. Emptied whole once the last is taken, so it never
// grows by what has gone.
#pragma once

#include <cstddef>
#include <string>

struct byte_queue {
    std::string bytes; // from `done` on not yet taken
    std::size_t done = 0;

    std::size_t backlog() const { return bytes.size() - done; }
    const char *front() const { return bytes.data() + done; }
    void take(std::size_t n)
    {
        done += n;
        if (done >= bytes.size())
            clear();
    }
    void clear()
    {
        bytes.clear();
        done = 0;
    }
};
