#include "count_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

output_buffer buffer;

std::string directory_of(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

bool open_count_output(count_output &c, const std::string &path, count_format format, int stdout_fd,
                       std::string &error)
{
    buffer = output_buffer{};
    c.out = &buffer;
    c.format = format;
    c.words_put = 0;
    if (path.empty() || path == "-") {
        buffer.fd = stdout_fd;
        return true;
    }
    c.path = path;
    c.temp_path = path + ".tmp-XXXXXX";
    const int fd = mkstemp(c.temp_path.data());
    if (fd < 0) {
        error = "cannot create " + c.temp_path + ": " + std::strerror(errno);
        return false;
    }
    // mkstemp makes the file private; give it the mode a new file gets.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    buffer.fd = fd;
    return true;
}

void put_comment(count_output &c, const std::string &text)
{
    if (c.format != count_format::csv)
        return;
    put(*c.out, "# ");
    put(*c.out, text.c_str());
    put(*c.out, "\n");
}

void put_header_row(count_output &c)
{
    if (c.format == count_format::csv)
        put(*c.out, "index,count\n");
}

void put_counts(count_output &c, const int *counts, int n)
{
    for (int i = 0; i < n; ++i) {
        char *p = room(*c.out, 48);
        if (p == nullptr) { // the output has failed: the rest is counted as lost
            c.out->lines_dropped += static_cast<std::uint64_t>(n - i);
            c.words_put += static_cast<std::uint64_t>(n - i);
            return;
        }
        ++c.words_put;
        if (c.format == count_format::csv) {
            p = std::to_chars(p, p + 20, c.words_put).ptr;
            *p++ = ',';
        }
        p = std::to_chars(p, p + 12, counts[i]).ptr;
        *p++ = '\n';
        commit(*c.out, p);
    }
}

bool flush_counts(count_output &c) { return flush(*c.out); }

std::uint64_t counts_not_written(const count_output &c, std::uint64_t words_read)
{
    // The buffer holds word rows only while words are put: the lines it lost
    // are words.
    return words_read - (c.words_put - lines_not_written(*c.out));
}

bool finish_count_output(count_output &c, std::string &error)
{
    if (!flush(*c.out)) {
        error = std::strerror(c.out->error);
        return false;
    }
    if (c.path.empty())
        return true;
    const int fd = c.out->fd;
    if (fsync(fd) != 0 || close(fd) != 0) {
        error = std::strerror(errno);
        return false;
    }
    if (std::rename(c.temp_path.c_str(), c.path.c_str()) != 0) {
        error = "cannot rename " + c.temp_path + " to " + c.path + ": " + std::strerror(errno);
        return false;
    }
    // The rename itself is made durable by syncing the directory.
    const int dir = open(directory_of(c.path).c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    c.temp_path.clear();
    return true;
}

std::string output_name(const count_output &c) { return c.path.empty() ? "standard output" : c.path; }
