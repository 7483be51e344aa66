// SIGINT, SIGTERM and SIGHUP, taken only between frames.
//
// Once catch_stop_signals() has run, the three are blocked: they stay
// pending while frames go out, and are let through only where the program
// waits (for input, or in a sleep) or asks for them (poll_stop_signals).
// Their handlers only record the signal; the program acts on it there.
#pragma once

#include <chrono>

void catch_stop_signals();

// The signal recorded and not yet cleared, or 0. SIGTERM or SIGHUP replace
// a recorded SIGINT; otherwise the first one stays.
int stop_signal();
void clear_stop_signal();

// Lets pending stop signals through now; returns stop_signal().
int poll_stop_signals();

// Waits until `fd` can be read. False when a stop signal came first.
bool wait_readable(int fd);

// Sleeps for `duration`. False, early, when a stop signal came.
bool sleep_unless_stopped(std::chrono::nanoseconds duration);
