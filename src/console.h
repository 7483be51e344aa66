// The operator console: the menu loop over the instrument link.
#pragma once

#include <cstdio>

#include "exit_status.h"
#include "output_buffer.h"

// Exit statuses of the console, beside those of every program.
constexpr int exit_quit = exit_ok;       // command 0, or input ended at the command prompt
constexpr int exit_input_ended = 1;      // input ended while a command waited for its value
constexpr int exit_input_failed = 2;     // standard input could not be read

// Starts the bus and runs the menu, reading the operator's input from
// `in_fd` and writing the dialogue to `out_fd`, until command 0, the end of
// input, a failure of either, or a stop signal. Returns the exit status.
int run_console(int in_fd, int out_fd, std::FILE *err);

// Lists `count` data words, one line each, numbered from 1. Stops at an
// output failure; returns the number of lines put.
int print_listing(output_buffer &out, int count, const int *words);
