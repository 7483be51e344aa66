#include "count_output.h"

#include "atomic_file.h"
#include "hdf5_counts.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

std::string reason(const std::string &what) { return what + ": " + std::strerror(errno); }

// The path with its symbolic links followed, to the file they end at (which
// need not exist yet). False, with the reason, on a loop or a read failure.
bool follow_links(const std::string &path, std::string &target, std::string &error)
{
    target = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st{};
        if (lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return true;
        char link[PATH_MAX];
        const ssize_t n = readlink(target.c_str(), link, sizeof link - 1);
        if (n < 0) {
            error = reason("cannot follow the link " + target);
            return false;
        }
        const std::string to(link, static_cast<std::size_t>(n));
        target = to[0] == '/' ? to : directory_of(target) + "/" + to;
    }
    error = "cannot follow " + path + ": too many symbolic links";
    return false;
}

// A temporary file beside `target`, with the permission bits (and, for
// root, the owner) of the file it will replace, or those of a new file.
bool open_temporary(count_output &c, const struct stat *replaced, std::string &error)
{
    const int fd = open_beside(c.target, c.temp_path);
    if (fd < 0) {
        // The temporary name is this program's own: the path given is what
        // the user knows and can mend.
        error = reason("cannot create " + c.path);
        c.temp_path.clear();
        return false;
    }
    mode_t mode = 0;
    if (replaced != nullptr) {
        mode = replaced->st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    bool kept = fchmod(fd, mode) == 0;
    if (!kept)
        error = reason("cannot set the mode of " + c.temp_path);
    if (kept && replaced != nullptr && geteuid() == 0 && fchown(fd, replaced->st_uid, replaced->st_gid) != 0) {
        kept = false;
        error = reason("cannot give " + c.temp_path + " the owner of " + c.target);
    }
    if (!kept) {
        close(fd);
        unlink(c.temp_path.c_str());
        c.temp_path.clear();
        return false;
    }
    c.out->fd = fd;
    return true;
}

bool open_stream(count_output &c, std::string &error)
{
    const int fd = open(c.path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        error = reason("cannot open " + c.path);
        return false;
    }
    c.stream = true;
    c.out->fd = fd;
    return true;
}

} // namespace

bool open_count_output(count_output &c, const std::string &path, count_format format, int stdout_fd,
                       std::string &error)
{
    c = count_output{};
    c.out = std::make_unique<output_buffer>();
    c.format = format;
    if (format == count_format::hdf5 && !hdf5_available()) {
        error = "this build writes no HDF5 (build it with libhdf5-dev installed)";
        return false;
    }
    if (format == count_format::hdf5 && (path.empty() || path == "-")) {
        error = "HDF5 goes to a file: -o FILE.h5";
        return false;
    }
    if (path.empty() || path == "-") {
        c.stream = true;
        c.out->fd = stdout_fd;
        return true;
    }
    c.path = path;
    c.target = path;
    // What the path names, its links followed by the kernel: a link into
    // /proc (/dev/stdout) names a pipe or a terminal by no path of its own.
    struct stat st{};
    const bool exists = stat(path.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) {
        error = reason("cannot write " + path);
        return false;
    }
    const bool stream = exists && (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
    if (stream && format == count_format::hdf5) { // HDF5 seeks back into its file: no stream can take it
        error = "cannot write " + path + ": HDF5 goes to a regular file, not to a device, FIFO or socket";
        return false;
    }
    if (stream)
        return open_stream(c, error);
    if (exists && !S_ISREG(st.st_mode)) {
        error = "cannot write " + path + ": " + (S_ISDIR(st.st_mode) ? "it is a directory" : "it is not a file");
        return false;
    }
    // A file, or none yet: the one at the end of the links is replaced.
    if (!follow_links(path, c.target, error))
        return false;
    if (!open_temporary(c, exists ? &st : nullptr, error))
        return false;
    if (format == count_format::hdf5) { // the library opens the temporary file itself
        close(c.out->fd);
        c.out->fd = -1;
    }
    return true;
}

namespace {

// A number at the start of `text`, and what follows it.
bool leading_number(const std::string &text, double &number, std::string &rest)
{
    const char *begin = text.c_str();
    char *end = nullptr;
    number = std::strtod(begin, &end);
    if (end == begin)
        return false;
    rest = end;
    return true;
}

void numeric_attribute(count_output &c, const std::string &key, double number)
{
    if (number == static_cast<double>(static_cast<long long>(number)) && std::abs(number) < 9e15)
        hdf5_attribute(c.hdf5, key, static_cast<long long>(number));
    else
        hdf5_attribute(c.hdf5, key, number);
}

// "name: value": numbers as numbers, with their unit in the name where
// they have one (tick_s), and the text as text.
void hdf5_value(count_output &c, const std::string &name, const std::string &value)
{
    double number = 0;
    std::string rest;
    const bool numeric = leading_number(value, number, rest);
    if (name == "settings sent") { // "threshold 1000, polarity 1, period 4", each a number of its own
        hdf5_attribute(c.hdf5, "settings_sent", value);
        for (const char *setting : {"threshold", "polarity", "period"}) {
            const std::size_t at = value.find(std::string(setting) + " ");
            if (at != std::string::npos)
                hdf5_attribute(c.hdf5, setting, std::atoll(value.c_str() + at + std::strlen(setting) + 1));
        }
    } else if (numeric && name == "tick") { // "2e-06 s; time_s is ..."
        hdf5_attribute(c.hdf5, "tick_s", number);
        hdf5_attribute(c.hdf5, "time_axis", rest.substr(rest.find_first_not_of("s; ")));
    } else if (numeric && (name == "time limit" || name == "timeout")) { // "2 s"
        hdf5_attribute(c.hdf5, name + "_s", number);
    } else if (numeric && name == "target") { // "100 words"
        numeric_attribute(c, "target_words", number);
    } else if (numeric && name == "gaps") { // "3 (words after a FIFO overflow: ...)"
        numeric_attribute(c, "gaps", number);
        const std::size_t open = rest.find('(');
        if (open != std::string::npos)
            hdf5_attribute(c.hdf5, "gaps_are", rest.substr(open + 1, rest.rfind(')') - open - 1));
    } else if (numeric && rest.empty()) { // words, threshold read back, ...
        numeric_attribute(c, name, number);
    } else {
        hdf5_attribute(c.hdf5, name, value);
    }
}

// A '#' line as HDF5 keeps it: the program line, a read-out's time, the
// file's place in a rotated run, or a "name: value" attribute.
void hdf5_note(count_output &c, const std::string &text)
{
    const std::size_t colon = text.find(": ");
    if (text.rfind("countctl ", 0) == 0 && colon != std::string::npos) {
        hdf5_attribute(c.hdf5, "program", "countctl");
        hdf5_attribute(c.hdf5, "version", text.substr(9, colon - 9));
        hdf5_attribute(c.hdf5, "command_line", text.substr(colon + 2));
    } else if (text.rfind("read at ", 0) == 0) { // "read at 2026-12-08T21:43:58.432Z: words from 2"
        std::tm utc{};
        const char *rest = strptime(text.c_str() + 8, "%Y-%m-%dT%H:%M:%S", &utc);
        const double ms = rest != nullptr && *rest == '.' ? std::strtod(rest, nullptr) : 0;
        const std::size_t from = text.rfind("words from ");
        if (rest != nullptr && from != std::string::npos)
            hdf5_read_out(c.hdf5, std::strtoull(text.c_str() + from + 11, nullptr, 10),
                          static_cast<double>(timegm(&utc)) + ms);
    } else if (text.rfind("file ", 0) == 0) { // "file 2 of the run, from index 4097; a new file every 60 s"
        long long file = 0, every = 0;
        if (std::sscanf(text.c_str(), "file %lld of the run", &file) == 1)
            hdf5_attribute(c.hdf5, "file_of_the_run", file);
        const std::size_t at = text.find("a new file every ");
        if (at != std::string::npos && std::sscanf(text.c_str() + at, "a new file every %lld s", &every) == 1)
            hdf5_attribute(c.hdf5, "rotate_s", every);
    } else if (colon != std::string::npos) {
        hdf5_value(c, text.substr(0, colon), text.substr(colon + 2));
    }
}

void hdf5_failed(count_output &c) { c.out->error = c.out->error != 0 ? c.out->error : EIO; }

} // namespace

void discard_count_output(count_output &c)
{
    if (c.hdf5 != nullptr)
        hdf5_abandon(c.hdf5);
    c.hdf5 = nullptr;
    if (c.format == count_format::hdf5)
        c.closed = true;
    if (c.temp_path.empty())
        return;
    if (!c.closed)
        close(c.out->fd);
    c.closed = true;
    unlink(c.temp_path.c_str());
    c.temp_path.clear();
}

std::string escaped_line(const std::string &text)
{
    static const char hex[] = "0123456789abcdef";
    std::string safe;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\n')
            safe += "\\n";
        else if (c == '\r')
            safe += "\\r";
        else if (c == '\t')
            safe += "\\t";
        else if (c == '\\')
            safe += "\\\\";
        else if (c < 0x20 || c == 0x7F)
            safe += std::string("\\x") + hex[c >> 4] + hex[c & 0xF];
        else
            safe += ch;
    }
    return safe;
}

void put_comment(count_output &c, const std::string &text)
{
    if (c.format == count_format::hdf5) {
        if (c.hdf5 == nullptr)
            c.hdf5_notes.push_back(text);
        else
            hdf5_note(c, text);
        return;
    }
    if (c.format != count_format::csv)
        return;
    const std::string line = "# " + escaped_line(text) + "\n";
    put(*c.out, line.data(), line.size());
    if (c.rows_begun) {
        // Only lines that may still be lost need accounting: while all is
        // well, those the buffer can hold (a line is 2 bytes at least).
        constexpr std::uint64_t most_buffered = sizeof(output_buffer::data) / 2;
        const std::uint64_t surely_written = c.lines_put > most_buffered ? c.lines_put - most_buffered : 0;
        while (c.out->error == 0 && !c.comment_lines.empty() && c.comment_lines.front() < surely_written)
            c.comment_lines.pop_front();
        c.comment_lines.push_back(c.lines_put++);
    }
}

void put_header_row(count_output &c)
{
    c.rows_begun = true;
    if (c.format == count_format::hdf5 && c.hdf5 == nullptr) {
        std::string error;
        c.hdf5 = hdf5_create(c.temp_path, c.seconds_per_word, error, c.index_base + 1);
        if (c.hdf5 == nullptr) {
            c.hdf5_error = error;
            return hdf5_failed(c);
        }
        for (const std::string &note : c.hdf5_notes)
            hdf5_note(c, note);
        c.hdf5_notes.clear();
    }
    if (c.format == count_format::csv)
        put(*c.out, c.seconds_per_word > 0 ? "index,count,time_s\n" : "index,count\n");
}

void put_row(count_output &c, const std::string &line)
{
    c.rows_begun = true;
    const std::string whole = line + "\n";
    put(*c.out, whole.data(), whole.size());
    ++c.words_put;
    ++c.lines_put;
}

void put_counts(count_output &c, const int *counts, int n)
{
    if (c.format == count_format::hdf5) {
        std::string error;
        if (c.out->error == 0 && c.hdf5 != nullptr && hdf5_append(c.hdf5, counts, n, error))
            c.words_put += static_cast<std::uint64_t>(n);
        else if (c.out->error == 0) {
            c.hdf5_error = error;
            hdf5_failed(c);
        }
        return;
    }
    for (int i = 0; i < n; ++i) {
        char *p = room(*c.out, 72);
        if (p == nullptr) { // the output has failed: the rest is counted as lost
            c.out->lines_dropped += static_cast<std::uint64_t>(n - i);
            c.words_put += static_cast<std::uint64_t>(n - i);
            c.lines_put += static_cast<std::uint64_t>(n - i);
            return;
        }
        ++c.words_put;
        if (c.format == count_format::csv) {
            p = std::to_chars(p, p + 20, c.index_base + c.words_put).ptr;
            *p++ = ',';
        }
        p = std::to_chars(p, p + 12, counts[i]).ptr;
        if (c.format == count_format::csv && c.seconds_per_word > 0) {
            *p++ = ',';
            p += std::snprintf(p, 24, "%.9g", static_cast<double>(c.index_base + c.words_put) * c.seconds_per_word);
        }
        *p++ = '\n';
        ++c.lines_put;
        commit(*c.out, p);
    }
}

bool flush_counts(count_output &c) { return c.format == count_format::hdf5 ? c.out->error == 0 : flush(*c.out); }

std::uint64_t counts_not_written(const count_output &c, std::uint64_t words_read)
{
    if (c.format == count_format::hdf5) // only the words the library took count as written
        return words_read - std::min(words_read, c.words_put);
    // The lines that never reached the output are the last ones put: the
    // '#' lines after the rows first, then rows.
    // The lines lost are the last ones put; the '#' lines among them are
    // not words.
    const std::uint64_t lines_lost = std::min(lines_not_written(*c.out), c.lines_put);
    const std::uint64_t first_lost = c.lines_put - lines_lost;
    const auto comments_lost = static_cast<std::uint64_t>(
        std::count_if(c.comment_lines.begin(), c.comment_lines.end(), [&](std::uint64_t l) { return l >= first_lost; }));
    const std::uint64_t rows_lost = std::min(c.words_put, lines_lost - std::min(lines_lost, comments_lost));
    return words_read - (c.words_put - rows_lost);
}

// An HDF5 file closed by the library, synced, and renamed into place.
bool finish_hdf5(count_output &c, std::string &error)
{
    hdf5_counts *h = c.hdf5;
    c.hdf5 = nullptr;
    c.closed = true;
    if (c.out->error != 0 || h == nullptr || !hdf5_close(h, error)) {
        if (h == nullptr || c.out->error != 0)
            error = "the HDF5 library could not write it";
        return false;
    }
    const int fd = open(c.temp_path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool synced = fd >= 0 && fsync(fd) == 0;
    if (fd >= 0)
        close(fd);
    if (!synced) {
        error = reason("fsync");
        return false;
    }
    return place_count_output(c, c.target, error);
}

bool finish_count_output(count_output &c, std::string &error)
{
    if (c.format == count_format::hdf5)
        return finish_hdf5(c, error);
    if (!flush(*c.out)) {
        error = std::strerror(c.out->error);
        return false;
    }
    if (c.path.empty())
        return true;
    const int fd = c.out->fd;
    c.closed = true;
    if (c.stream) {
        if (close(fd) != 0) {
            error = reason("close");
            return false;
        }
        return true;
    }
    const bool synced = fsync(fd) == 0;
    if (!synced)
        error = reason("fsync");
    const bool closed = close(fd) == 0; // even after a failed fsync: the descriptor is not leaked
    if (synced && !closed)
        error = reason("close");
    if (!synced || !closed)
        return false;
    return place_count_output(c, c.target, error);
}

namespace {

// "dir/20261209T063000Z.csv" -> "dir/20261209T063000Z-2.csv"
std::string numbered(const std::string &path, int n)
{
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    const std::size_t at = dot != std::string::npos && (slash == std::string::npos || dot > slash) ? dot : path.size();
    return path.substr(0, at) + "-" + std::to_string(n) + path.substr(at);
}

} // namespace

bool place_count_output(count_output &c, const std::string &target, std::string &error)
{
    // Where nothing may be replaced, a name taken (a file of an earlier
    // run, or of another life of the server, made in the same second or
    // after the clock went back) gives the next in sequence: NAME-2.csv, ...
    int renamed = -1;
    for (int n = 1; renamed != 0 && n < 1000; ++n) {
        c.target = n == 1 ? target : numbered(target, n);
        renamed = c.never_replace
                      ? renameat2(AT_FDCWD, c.temp_path.c_str(), AT_FDCWD, c.target.c_str(), RENAME_NOREPLACE)
                      : std::rename(c.temp_path.c_str(), c.target.c_str());
        if (renamed != 0 && !(c.never_replace && errno == EEXIST))
            break;
    }
    if (renamed != 0) {
        const int e = errno;
        error = reason("cannot rename " + c.temp_path + " to " + c.target);
        errno = e;
        return false;
    }
    c.temp_path.clear();
    // The rename itself is made durable by syncing the directory.
    if (!sync_directory_of(c.target)) {
        error = reason(c.target + " is in place, but its directory could not be synced");
        return false;
    }
    return true;
}

std::string output_name(const count_output &c) { return c.path.empty() ? "standard output" : c.path; }
