// countctl's entry point. The platform it names is the one it is linked with.

#include <csignal>
#include <cstdio>

#include "countctl.h"
#include "program_start.h"
#include "stop_signals.h"

int main(int argc, char **argv)
{
    // A closed pipe is a write error to report, with the run stopped, not a
    // death in the middle of an acquisition.
    guard_standard_descriptors();
    countctl_name = program_name(argv[0]);
    std::signal(SIGPIPE, SIG_IGN);
    if (!catch_stop_signals()) {
        std::perror("countctl: cannot take the stop signals");
        return exit_usage;
    }
    return run_countctl(std::vector<std::string>(argv + 1, argv + argc), 1, stderr);
}
