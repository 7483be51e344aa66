#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

std::string directory_of(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

int open_beside(const std::string &target, std::string &temp_path)
{
    temp_path = target + ".tmp-XXXXXX";
    const int fd = mkostemp(temp_path.data(), O_CLOEXEC);
    if (fd < 0)
        temp_path.clear();
    return fd;
}

bool sync_directory_of(const std::string &path)
{
    const int dir = open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return false;
    const bool synced = fsync(dir) == 0;
    const int e = errno;
    close(dir);
    errno = e;
    return synced;
}

bool write_file_atomically(const std::string &path, const std::string &text, mode_t mode, std::string &error)
{
    std::string temp;
    const int fd = open_beside(path, temp);
    if (fd < 0) {
        error = "cannot create a file beside " + path + ": " + std::strerror(errno);
        return false;
    }
    bool written = true;
    for (std::size_t done = 0; written && done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        written = n > 0 || (n < 0 && errno == EINTR);
        done += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    written = written && fchmod(fd, mode) == 0 && fsync(fd) == 0;
    written = close(fd) == 0 && written;
    written = written && std::rename(temp.c_str(), path.c_str()) == 0;
    if (!written) {
        error = std::string("cannot write ") + path + ": " + std::strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    sync_directory_of(path);
    return true;
}
