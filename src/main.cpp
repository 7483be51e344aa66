// The operator console's entry point. It takes no options: the operator
// types into its menu. --help and --version alone are answered, without a
// line of the bus touched, so that asking what the program is never drives
// an instrument; any other argument is ignored, as it always was.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bus_lock.h"
#include "exit_status.h"
#include "console.h"
#include "program_options.h"
#include "program_start.h"
#include "stop_signals.h"

namespace {

std::string help_text(const char *name)
{
    const std::string n = name;
    return "Usage: " + n + " [--help | --version]\n"
           "The operator console of the counting instrument: the operator types a command's\n"
           "number at its menu (1 reset, 2 start, 3 stop, 4 read run, 5 set THR, 6 set POL,\n"
           "7 read datasize, 8 read data, 9 ifc test, 10 set Period, 0 quit), and it drives\n"
           "the instrument over the bus on the GPIO header.\n"
           "\n"
           "Options:\n"
           "      --help     this help\n"
           "      --version  the version, and who supplies the GPIO calls\n"
           "Either is answered before the bus is touched; any other argument is ignored.\n"
"\n"
           "Exit status:\n"
           "  0    command 0, or the end of input at the command prompt\n"
           "  1    the end of input while a command waited for its value\n"
           "  2    standard input could not be read\n"
           "  3    standard output could not be written\n"
           "  4    the bus is in use by another program, or its lock cannot be used\n"
           "  128+N  ended by signal N\n";
}

const char *console_name = "run";

// While the console waits at its prompt or for data (never in a frame):
// its bus lock still its own, taken again when its file was deleted or
// replaced, or, when another program holds it now, the console ends with 4.
void check_bus_lock()
{
    std::string why;
    const bus_lock_state state = recheck_bus_lock(why);
    if (state == bus_lock_state::held)
        return;
    std::fprintf(stderr, "\n%s: %s\n", console_name, why.c_str());
    if (state == bus_lock_state::lost) {
        std::fprintf(stderr, "%s: the bus is no longer this console's: nothing more is sent\n", console_name);
        std::exit(exit_bus_taken);
    }
}

bool asked_for(int argc, char **argv, const char *option)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], option) == 0)
            return true;
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    guard_standard_descriptors();
    const char *name = program_name(argv[0]);
    if (asked_for(argc, argv, "--help"))
        return print_text(name, help_text(name));
    if (asked_for(argc, argv, "--version"))
        return print_version(name);
    // A reader that went away is a write error to report, with the words
    // that were not written, not a silent death.
    std::signal(SIGPIPE, SIG_IGN);
    if (!catch_stop_signals()) {
        std::perror("run: cannot take the stop signals");
        return exit_input_failed;
    }
    if (const int refused = take_bus(name, stderr))
        return refused;
    console_name = name;
    set_waiting_hook(check_bus_lock);
    return run_console(0, 1, stderr);
}
