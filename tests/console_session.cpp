#include "console_session.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "console.h"
#include "pin_bank.h"
#include "violations.h"

namespace {

// Closing a memory stream sets its buffer and size for the last time, so
// they are read only afterwards, through the references.
std::string close_and_take(std::FILE *stream, char *&text, std::size_t &size)
{
    std::fclose(stream);
    std::string s(text, size);
    std::free(text);
    return s;
}

} // namespace

int memory_file(const std::string &contents)
{
    const int fd = memfd_create("console-session", MFD_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("cannot make a file in memory");
    for (std::size_t done = 0; done < contents.size();) {
        const ssize_t n = write(fd, contents.data() + done, contents.size() - done);
        if (n <= 0)
            throw std::runtime_error("cannot fill a file in memory");
        done += static_cast<std::size_t>(n);
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

std::string take_memory_file(int fd)
{
    std::string contents;
    char buffer[65536];
    lseek(fd, 0, SEEK_SET);
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        contents.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    return contents;
}

console_session run_console_session(const std::string &input, const std::function<void()> &prepare)
{
    sim::set_reporting(false);
    sim::power_on();
    prepare();
    sim::record_events(true);

    const int in = memory_file(input);
    const int out = memory_file("");
    char *err_text = nullptr;
    std::size_t err_size = 0;
    std::FILE *err = open_memstream(&err_text, &err_size);
    if (err == nullptr)
        throw std::runtime_error("cannot open the console's error stream in memory");

    console_session s;
    s.status = run_console(in, out, err);
    close(in);
    s.out = take_memory_file(out);
    s.err = close_and_take(err, err_text, err_size);

    sim::record_events(false);
    const std::vector<sim::bus_event> &events = sim::events();
    s.bus_set_up = events.size() >= setup_calls;
    if (s.bus_set_up)
        s.bus = decode_after_setup(events);
    return s;
}
