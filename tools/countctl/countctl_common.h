// What every countctl command shares, as libgpiod's tools share
// tools-common: the name countctl was started by, its own exit status, and
// how a refused command line is said.
#pragma once

#include <cstdio>
#include <string>

#include "exit_status.h"
#include "program_options.h" // exit_usage

// Exit statuses of countctl, beside those of every program.
constexpr int exit_instrument = 1; // the instrument did not do what was asked

// The name countctl was started by, for its messages.
extern const char *countctl_name;

// A help or usage text under the name countctl was started by.
std::string with_name(const char *text);
// A command line refused: its reason and the usage line on `err`; returns exit_usage.
int usage_error(std::FILE *err, const std::string &why);
// The same, for a check that goes on: returns false.
bool refused(std::FILE *err, const std::string &why);

bool ends_with(const std::string &s, const char *end);
// A path an HDF5 file goes by: FILE.h5 or FILE.hdf5.
bool names_hdf5(const std::string &path);
