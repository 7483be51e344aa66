// SIGINT, SIGTERM and SIGHUP, taken only between frames.
//
// Once catch_stop_signals() has run, the three are blocked: they stay
// pending while frames go out, and are let through only where the program
// waits (for input, or in a sleep) or asks for them (poll_stop_signals).
// Their handlers only record the signal; the program acts on it there.
#pragma once

#include <chrono>
#include <string>

// False, with errno, when the signals could not be set up.
bool catch_stop_signals();

// The signal recorded and not yet cleared, or 0. SIGTERM or SIGHUP replace
// a recorded SIGINT; otherwise the first one stays.
int stop_signal();
// How many stop signals came since the last clear.
int stop_signals_received();
void clear_stop_signal();

// "SIGINT", "SIGTERM", "SIGHUP", or "signal N".
std::string signal_name(int signal);

// Lets pending stop signals through now; returns stop_signal().
int poll_stop_signals();

// Waits until `fd` can be read. False when a stop signal came first.
bool wait_readable(int fd);

// While the program waits (for input, or in a sleep), about once a second:
// `hook`, for a program that must look at something from time to time (the
// console checks that its bus lock is still its own). None by default.
void set_waiting_hook(void (*hook)());

// poll(2) over several descriptors, at most `timeout_ms` (-1: no limit),
// with the stop signals let in while it waits: its result, -1 with EINTR
// when a stop signal came.
int poll_letting_signals_in(struct pollfd *fds, unsigned long count, int timeout_ms);

// Sleeps for `duration`. False, early, when a stop signal came.
bool sleep_unless_stopped(std::chrono::nanoseconds duration);

// write(2), with the stop signals let in while it blocks, so that a reader
// that stopped reading cannot hold them back: a signal that comes meanwhile
// is recorded and the write returns early (EINTR, or short).
long write_letting_signals_in(int fd, const void *data, unsigned long size);

// Waits until `fd` can be written (a non-blocking descriptor that said
// EAGAIN). False when a second stop signal came: the output is given up.
bool wait_writable(int fd);
