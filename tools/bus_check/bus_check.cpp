// bus_check: checks the Pi's side of the cable with a loopback plug in
// place of the instrument. One line per jumper, then the verdict.
//
//   bus_check [--help | --version]
//
// Exit status: 0 every line loops back, 1 a fault was found, 2 the check
// could not run (no loopback plug found, or a wrong command line), 4 the
// bus is in use by another program.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bus_pins.h"
#include "bus_lock.h"
#include "exit_status.h"
#include "platform.h"
#include "program_options.h"
#include "program_start.h"
#include "spi.h"
#include "wiring_check.h"

namespace {

const char usage[] = "usage: bus_check [--help | --version]\n";

std::string help(const char *program)
{
    std::string text = std::string("Usage: ") + program +
                       " [OPTION]\n"
                       "Check the wiring between the Pi's header and the instrument's connector with a\n"
                       "loopback plug: unplug the instrument, put the plug on its end of the cable, run\n" +
                       program +
                       ". It drives the bus outputs, reads them back and names every line that does\n"
                       "not loop back: open, stuck high or low, swapped, bridged.\n"
                       "\n"
                       "Options:\n"
                       "  -h, --help      this help, with the plug's jumpers\n"
                       "      --version   the version, and who supplies the GPIO calls\n"
                       "\n"
                       "The loopback plug, jumper by jumper (wiringPi number, Broadcom GPIO, header pin):\n";
    char line[160];
    for (int j = 0; j < 8; ++j) {
        std::snprintf(line, sizeof line, "  data-out %d  %-30s -> data-in %d  %s\n", j, pin_name(bus_pins::data_out[j]).c_str(), j,
                      pin_name(bus_pins::data_in[j]).c_str());
        text += line;
    }
    std::snprintf(line, sizeof line, "  strobe      %-30s -> input       %s\n",
                  pin_name(bus_pins::strobe).c_str(), pin_name(strobe_return_pin).c_str());
    text += line;
    std::snprintf(line, sizeof line, "  select      %-30s -> input       %s\n",
                  pin_name(bus_pins::select).c_str(), pin_name(select_return_pin).c_str());
    text += line;
    return text + "\n"
                  "With the instrument still attached it sends no frame: select stays high while\n"
                  "the data lines are tried, and it stops there (status 2). It leaves the pulls of\n"
                  "the lines it reads off.\n"
                  "\n"
                  "Exit status:\n"
                  "  0    every line loops back\n"
                  "  1    a fault was found\n"
                  "  2    the check could not run (no loopback plug found, or a wrong command line)\n"
                  "  4    the bus is in use by another program (nothing is sent)\n";
}

} // namespace

int main(int argc, char **argv)
{
    guard_standard_descriptors();
    const char *program = program_name(argv[0]);
    enum { version_option = 256 };
    static const option long_options[] = {{"help", no_argument, nullptr, 'h'},
                                          {"version", no_argument, nullptr, version_option},
                                          {nullptr, 0, nullptr, 0}};
    std::vector<char *> args(argv, argv + argc);
    std::string error;
    optind = 0;
    for (int c; (c = next_option(args, "h", long_options, error)) != -1;) {
        if (const int answered = answer_help_or_version(c, version_option, program, help(program)); answered >= 0)
            return answered;
        return usage_error(stderr, program, error, usage);
    }
    if (optind < argc)
        return usage_error(stderr, program, std::string("unexpected '") + argv[optind] + "'", usage);

    if (const int refused = take_bus(program, stderr))
        return refused;
    const wiring_report report = check_wiring();
    if (!report.set_up)
        return platform_setup_failure_status();
    if (report.verdict == wiring_verdict::no_plug) {
        std::fprintf(stderr,
                     "%s: no loopback plug found: no data-in line follows any data-out line.\n"
                     "Is the instrument still attached? Put the loopback plug in its place"
                     " (%s --help shows its wiring).\n",
                     program, program);
        return 2;
    }
    std::string text;
    for (const std::string &line : report.lines)
        text += line + "\n";
    if (report.verdict == wiring_verdict::good)
        text += "verdict: all " + std::to_string(report.lines.size()) +
                " lines loop back; the Pi's side of the cable is good\n";
    else
        text += "verdict: " + std::to_string(report.faults) + " line" + (report.faults == 1 ? "" : "s") +
                " at fault; mend " + (report.faults == 1 ? "it" : "them") + " and run " + program + " again\n";
    if (print_text(program, text) != exit_ok)
        return 2;
    return report.verdict == wiring_verdict::good ? 0 : 1;
}
