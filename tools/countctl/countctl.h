// countctl: the instrument from scripts. A command and options, as git or
// systemctl take them; counts saved to files with what produced them.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "exit_status.h"

// Exit statuses of countctl, beside those of every program.
constexpr int exit_instrument = 1;   // the instrument did not do what was asked
constexpr int exit_usage = 2;        // a wrong command line; nothing was sent

// Runs one countctl command line (args without the program's name), with
// the counts and results on `out_fd` and messages on `err`.
int run_countctl(const std::vector<std::string> &args, int out_fd, std::FILE *err);

// The version, and who supplies the GPIO calls: "wiringPi" or "virtual
// instrument" (defined with the program, by the platform it links).
extern const char *const countctl_version;
extern const char *const countctl_platform;
