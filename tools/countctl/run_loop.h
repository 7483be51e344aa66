// One run of the instrument, as acquire and scan make it: started, read
// out whenever the instrument holds data, until its target words, its time
// limit, a stop signal, the loss of the bus, or the reader's failure; then
// stopped (not when the bus is another program's now), and after the time
// limit the words measured before it are read too (past the target, only
// if the reader asks for them).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

enum class run_end { target_reached, time_limit, signal, bus_lost, reader_failed };

struct run_limits {
    long long target_words = 0; // 0: no target
    std::optional<std::chrono::steady_clock::time_point> deadline;
};

struct run_reader {
    // Each turn, once the limits are not reached: progress, a rotated
    // file. False ends the run (reader_failed).
    std::function<bool()> each_turn;
    // Reads `n` words the instrument holds and keeps them; false when they
    // could not be kept (reader_failed).
    std::function<bool(int n)> take;
    // Words taken so far, counted against the target.
    std::function<std::uint64_t()> taken;
    // Once the target is reached, what the instrument still holds (it
    // measured on until the stop) is read through this, when given; else
    // it is left in the instrument.
    std::function<bool(int n)> past_target;
};

run_end run_and_read(const run_limits &limits, const run_reader &reader);
