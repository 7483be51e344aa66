// bus_trace: runs instrument operations on the virtual instrument and writes
// what went over the bus, line by line.
//
//   bus_trace [--svg TITLE] OPERATION...
//
// Operations: reset, start, stop, run, datasize, ifc_rd N, setPeriod N,
// setTHR N, setPOL N, readDATA N. Writes a Value Change Dump of the eighteen
// bus lines to standard output, or with --svg a timing diagram of the
// operations' frames.
//
// Exit status: 0 written, 2 a wrong command line, 3 the output could not be
// written.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bus_recording.h"
#include "exit_status.h"
#include "program_start.h"

int main(int argc, char **argv)
{
    guard_standard_descriptors();
    // A reader that went away is a write error, said as such.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> words(argv + 1, argv + argc);
    std::string svg_title;
    bool svg = false;
    if (!words.empty() && words[0] == "--svg") {
        if (words.size() < 2) {
            std::fputs("bus_trace: --svg needs a title\n", stderr);
            return 2;
        }
        svg = true;
        svg_title = words[1];
        words.erase(words.begin(), words.begin() + 2);
    }
    std::vector<bus_operation> ops;
    std::string error;
    if (words.empty())
        error = "no operation given";
    if (!error.empty() || !parse_operations(words, ops, error)) {
        std::fprintf(stderr,
                     "bus_trace: %s\nusage: bus_trace [--svg TITLE] OPERATION...\n"
                     "operations: reset start stop run datasize ifc_rd N setPeriod N setTHR N setPOL N readDATA N\n",
                     error.c_str());
        return 2;
    }
    const std::vector<sim::bus_event> events = record_operations(ops);
    if (svg)
        write_timing_svg(stdout, events, svg_title);
    else
        write_vcd(stdout, events);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "bus_trace: cannot write standard output: %s\n", std::strerror(errno));
        return exit_output_failed;
    }
    return exit_ok;
}
