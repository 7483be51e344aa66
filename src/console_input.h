// Reading the operator's numbers.
//
// Input is a stream of white-space separated tokens; several may stand on
// one line and answer successive prompts. A token counts only if it is wholly
// a decimal integer, with an optional sign, within the range of int. Anything
// else is refused: one line on the error stream names it, and the rest of its
// input line is dropped, so that nothing typed after a mistake is taken as
// the answer to a later prompt.
//
// The input is read from a descriptor through a buffer of its own, and a
// wait for more input ends when a stop signal comes (see stop_signals.h).
#pragma once

#include <cstddef>
#include <cstdio>

struct input_source {
    int fd = 0;
    int error = 0;             // errno of a failed read
    bool ended = false;        // a read returned the end of input: never read again
    bool newline_read = false; // the last read ended with a newline (on a terminal: echoed)
    std::size_t at = 0;
    std::size_t end = 0;
    unsigned char data[4096];
};

enum class read_status {
    number,      // value holds the number read
    refused,     // a token was refused and reported; value is untouched
    ended,       // end of input before any token
    failed,      // the input could not be read: source.error says why
    interrupted, // a stop signal came while waiting for input
};

read_status read_number(input_source &in, std::FILE *err, int &value);
