#include "program_start.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

void guard_standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0)
            continue;
        const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        // open gives the lowest free descriptor: this one, as the lower
        // ones are open already. Without /dev/null nothing here is safe.
        if (opened != fd)
            std::abort();
    }
}

const char *program_name(const char *argv0)
{
    if (argv0 == nullptr || *argv0 == '\0')
        return "counter";
    const char *slash = std::strrchr(argv0, '/');
    return slash != nullptr ? slash + 1 : argv0;
}
