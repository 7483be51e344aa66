#include "output_buffer.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "stop_signals.h"

namespace {

std::uint64_t newlines(const char *text, std::size_t size)
{
    return static_cast<std::uint64_t>(std::count(text, text + size, '\n'));
}

} // namespace

bool flush(output_buffer &out)
{
    std::size_t done = 0;
    while (out.error == 0 && done < out.used) {
        const std::size_t wanted = out.used - done;
        const ssize_t n = write_letting_signals_in(out.fd, out.data + done, wanted);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        // A write cut short on a blocking descriptor was cut by a signal.
        const bool cut = (n < 0 && errno == EINTR) || (n > 0 && static_cast<std::size_t>(n) < wanted);
        if (cut && stop_signals_received() >= 2)
            out.error = ECANCELED;
        else if (n < 0 && errno == EAGAIN && !wait_writable(out.fd))
            out.error = ECANCELED;
        else if (n < 0 && errno != EINTR && errno != EAGAIN)
            out.error = errno;
        else if (n == 0)
            out.error = EIO;
    }
    std::memmove(out.data, out.data + done, out.used - done);
    out.used -= done;
    return out.error == 0;
}

void put(output_buffer &out, const char *text, std::size_t size)
{
    while (out.error == 0 && size > sizeof out.data - out.used) {
        const std::size_t room = sizeof out.data - out.used;
        std::memcpy(out.data + out.used, text, room);
        out.used += room;
        text += room;
        size -= room;
        flush(out);
    }
    if (out.error != 0) {
        out.lines_dropped += newlines(text, size);
        return;
    }
    std::memcpy(out.data + out.used, text, size);
    out.used += size;
    if (size > 0)
        out.last = text[size - 1];
}

char *room(output_buffer &out, std::size_t size)
{
    if (out.error == 0 && sizeof out.data - out.used < size)
        flush(out);
    return out.error == 0 ? out.data + out.used : nullptr;
}

void commit(output_buffer &out, const char *end)
{
    out.used = static_cast<std::size_t>(end - out.data);
    if (out.used > 0)
        out.last = out.data[out.used - 1];
}

void put(output_buffer &out, const char *text) { put(out, text, std::strlen(text)); }

void put_format(output_buffer &out, const char *format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n > 0)
        put(out, text, std::min(static_cast<std::size_t>(n), sizeof text - 1));
}

std::uint64_t lines_not_written(const output_buffer &out)
{
    return out.error == 0 ? 0 : newlines(out.data, out.used) + out.lines_dropped;
}
