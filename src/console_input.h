// Reading the operator's numbers.
//
// Input is a stream of white-space separated tokens; several may stand on
// one line and answer successive prompts. A token counts only if it is wholly
// a decimal integer, with an optional sign, within the range of int. Anything
// else is refused: one line on the error stream names it, and the rest of its
// input line is dropped, so that nothing typed after a mistake is taken as
// the answer to a later prompt.
#pragma once

#include <cstdio>

enum class read_status {
    number,   // value holds the number read
    refused,  // a token was refused and reported; value is untouched
    ended,    // end of input before any token
};

read_status read_number(std::FILE *in, std::FILE *err, int &value);
