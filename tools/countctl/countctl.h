// countctl: the instrument from scripts. A command and options, as git or
// systemctl take them; counts saved to files with what produced them.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// Exit statuses.
constexpr int exit_ok = 0;
constexpr int exit_instrument = 1;   // the instrument did not do what was asked
constexpr int exit_usage = 2;        // a wrong command line; nothing was sent
constexpr int exit_output = 3;       // the output could not be written
constexpr int exit_signal_base = 128; // + the signal that ended it

// Runs one countctl command line (args without the program's name), with
// the counts and results on `out_fd` and messages on `err`.
int run_countctl(const std::vector<std::string> &args, int out_fd, std::FILE *err);

// The version, and who supplies the GPIO calls: "wiringPi" or "virtual
// instrument" (defined with the program, by the platform it links).
extern const char *const countctl_version;
extern const char *const countctl_platform;
