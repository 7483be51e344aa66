// The operator console: the menu loop over the instrument link.
#pragma once

#include <cstdio>

// Starts the bus and runs the menu until command 0 or the end of input.
// Returns the process exit status: 0 after command 0 or when input ends at
// the command prompt, 1 when input ends while a command waits for its value.
int run_console(std::FILE *in, std::FILE *out, std::FILE *err);

// Lists `count` data words, one line each, numbered from 1.
void print_listing(std::FILE *out, int count, const int *words);
