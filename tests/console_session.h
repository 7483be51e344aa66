// The console loop run in-process on the virtual instrument, with its
// standard streams in memory and the wire recorded: the driver of the tests
// and of the console fuzzer.
#pragma once

#include <functional>
#include <string>

#include "bus_monitor.h"

struct console_session {
    std::string out;
    std::string err;
    int status = -1;
    bool bus_set_up = false; // the start-up calls came before any frame
    bus_trace bus;           // the frames after the start-up
};

// A file in memory holding `contents`, open at its start; and what one
// holds, read from its start (the descriptor is closed).
int memory_file(const std::string &contents);
std::string take_memory_file(int fd);

// Powers the instrument on, lets `prepare` set it up (load words, say), then
// runs the console on `input` until it returns.
console_session run_console_session(const std::string &input, const std::function<void()> &prepare = [] {});
