// bus_trace: runs instrument operations on the virtual instrument and writes
// what went over the bus, line by line: a Value Change Dump of the eighteen
// bus lines on standard output, or with --svg a timing diagram of the
// operations' frames.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bus_recording.h"
#include "exit_status.h"
#include "program_options.h"
#include "program_start.h"

namespace {

const char usage[] = "usage: bus_trace [--svg=TITLE] OPERATION [NUMBER]...\n";

std::string help(const char *program)
{
    return std::string("Usage: ") + program + " [--svg=TITLE] OPERATION [NUMBER]...\n" +
           "Run instrument operations on the virtual instrument and write every change of the\n"
           "eighteen bus lines as a Value Change Dump (IEEE 1364), for GTKWave or PulseView.\n"
           "\n"
           "Operations, the link's names, and what a user types for each (countctl; menu):\n"
           "  reset         countctl reset; menu 1\n"
           "  start         countctl start; menu 2\n"
           "  stop          countctl stop; menu 3\n"
           "  run           countctl status (run); menu 4\n"
           "  datasize      countctl status (datasize); menu 7\n"
           "  ifc_rd N      countctl ifc N; menu 9\n"
           "  setPeriod N   countctl set --period N; menu 10\n"
           "  setTHR N      countctl set --threshold N; menu 5\n"
           "  setPOL N      countctl set --polarity N; menu 6\n"
           "  readDATA N    countctl read (N words, 0 to 4095); menu 8\n"
           "Numbers are decimal, or hexadecimal after 0x, and may be negative. An SVG names\n"
           "each operation both ways where it begins.\n"
           "\n"
           "Options:\n"
           "      --svg=TITLE   an SVG timing diagram of the frames, titled TITLE, instead\n"
           "  -h, --help        this help\n"
           "      --version     the version\n"
           "\n"
           "Time is virtual: each GPIO call counts 50 ns, and the instrument moves a data-in\n"
           "line 25 ns after the call that caused it, so a trace is the same on every machine.\n"
           "\n"
           "Exit status:\n"
           "  0    written\n"
           "  2    a wrong command line\n"
           "  3    the output could not be written\n";
}

} // namespace

int main(int argc, char **argv)
{
    guard_standard_descriptors();
    // A reader that went away is a write error, said as such.
    std::signal(SIGPIPE, SIG_IGN);
    const char *program = program_name(argv[0]);

    enum { svg_option = 256, version_option };
    static const option long_options[] = {{"svg", required_argument, nullptr, svg_option},
                                          {"help", no_argument, nullptr, 'h'},
                                          {"version", no_argument, nullptr, version_option},
                                          {nullptr, 0, nullptr, 0}};
    // Options come first: the operations after them are a sequence, whose
    // numbers may be negative.
    std::vector<char *> args(argv, argv + argc);
    bool svg = false;
    std::string svg_title, error;
    optind = 0;
    for (int c; (c = next_option(args, "+h", long_options, error)) != -1;) {
        switch (c) {
        case svg_option:
            if (svg)
                return usage_error(stderr, program, "--svg is given twice", usage);
            svg = true;
            svg_title = optarg;
            break;
        case 'h':
            return print_text(program, help(program));
        case version_option:
            return print_version(program);
        default:
            return usage_error(stderr, program, error, usage);
        }
    }
    const std::vector<std::string> words(args.begin() + optind, args.end());
    std::vector<bus_operation> ops;
    if (words.empty())
        return usage_error(stderr, program, "no operation given", usage);
    if (!parse_operations(words, ops, error))
        return usage_error(stderr, program, error, usage);

    const bus_recording recording = record_operations(ops);
    if (svg)
        write_timing_svg(stdout, recording, svg_title);
    else
        write_vcd(stdout, recording.events);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "%s: cannot write standard output: %s\n", program, std::strerror(errno));
        return exit_output_failed;
    }
    return exit_ok;
}
