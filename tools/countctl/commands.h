// countctl's commands, one row each: its name, its lines in the general
// help, its own help, its options and whether it takes an operand, and
// what runs it. The general help, `COMMAND --help` and the shell's
// completion (--complete) all come from these rows. Each command checks
// its whole command line before it starts the bus: a refused value sends
// nothing.
#pragma once

#include <vector>

#include "command_line.h"
#include "invocation.h"

struct command {
    const char *name;
    const char *summary; // its lines under "Commands:" in the general help
    const char *help;    // countctl COMMAND --help
    std::vector<option_rule> options;
    bool takes_operand;
    int (*run)(invocation &);
};

const std::vector<command> &countctl_commands();
