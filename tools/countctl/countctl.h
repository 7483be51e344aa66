// countctl: the instrument from scripts. A command and options, as git or
// systemctl take them; counts saved to files with what produced them.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "countctl_common.h"

// Runs one countctl command line (args without the program's name), with
// the counts and results on `out_fd` and messages on `err`.
int run_countctl(const std::vector<std::string> &args, int out_fd, std::FILE *err);
