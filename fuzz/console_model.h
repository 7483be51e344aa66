// A reference model of the console, for checking a run of it as a whole.
//
// From the operator's input alone it knows which commands run and with which
// values; from the frames the bus monitor saw it takes the instrument's
// answers. It then says what the frames, standard output and exit status
// must have been. It reads the input its own way (split on white space,
// strtoll for the range), not with the console's reader.
#pragma once

#include <string>

#include "bus_monitor.h"

struct model_verdict {
    bool ok = true;
    std::string why; // the first difference found
};

model_verdict check_console_run(const std::string &input, const std::string &out, int status,
                                const bus_trace &bus);
