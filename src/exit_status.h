// Exit statuses that mean the same in every program. Each program adds its
// own 1 and 2 (see its --help and the README).
#pragma once

constexpr int exit_ok = 0;
constexpr int exit_output_failed = 3; // the output could not be written
constexpr int exit_bus_taken = 4;     // the bus is in use, or its lock cannot be used; nothing was sent
constexpr int exit_signal_base = 128; // + the number of the stop signal that ended it
