// Driving the console program as an operator would.
#pragma once

#include "program_run.h"

// The program under test: the console built on the virtual instrument.
inline const char *console_program() { return CONSOLE_PROGRAM; }

using dialogue_result = run_result;

inline dialogue_result run_dialogue(const std::string &input, const run_options &options = {},
                                    bool with_bus_log = false)
{
    return run_program({console_program()}, input, options, with_bus_log);
}

// A console kept running, answered one prompt at a time.
class live_console : public live_program {
public:
    explicit live_console(bool on_terminal = false) : live_program({console_program()}, on_terminal) {}
};
