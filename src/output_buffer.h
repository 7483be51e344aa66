// Standard output of the console and the tools: a 64 KiB buffer written to
// a descriptor with write(2), so that a failure is seen with its errno and
// what did reach the descriptor is known to the byte.
//
// After the first failure nothing more is written: the bytes not written
// stay in the buffer, later output is dropped, and both are counted in
// lines, so a caller can say which of its lines were lost.
//
// A descriptor that cannot take more (a slow reader on a non-blocking pipe)
// is waited for, never taken for a failure. While a write blocks, the stop
// signals are let in: the first is kept for the program to act on when the
// write is done, and a second gives the output up (error ECANCELED), so a
// reader that stopped reading cannot keep the program from ending.
#pragma once

#include <cstddef>
#include <cstdint>

struct output_buffer {
    int fd = 1;
    int error = 0;                  // errno of the first failed write; 0 while all is well
    std::size_t used = 0;
    std::uint64_t lines_dropped = 0; // lines put after the failure
    char last = '\n';              // the last byte put: a line is left open when it is not a newline
    char data[65536];
};

void put(output_buffer &out, const char *text, std::size_t size);
void put(output_buffer &out, const char *text);
// printf-style, for results printed by a format string.
void put_format(output_buffer &out, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Room for `size` bytes (at most 4096) at the end of the buffer, written
// out first if need be; nullptr after a failure. Whatever is put there is
// kept by commit(), given the end of what was put.
char *room(output_buffer &out, std::size_t size);
void commit(output_buffer &out, const char *end);

// Writes out what is buffered. False when this or an earlier write failed.
bool flush(output_buffer &out);

// Lines (newlines) that never reached the descriptor: those left in the
// buffer by the failure, and those put after it.
std::uint64_t lines_not_written(const output_buffer &out);
