// bus_check: checks the Pi's side of the cable with a loopback plug in
// place of the instrument. One line per jumper, then the verdict.
//
//   bus_check [--help]
//
// Exit status: 0 every line loops back, 1 a fault was found, 2 the check
// could not run (no loopback plug found, or a wrong command line), 4 the
// bus is in use by another program.

#include <cstdio>
#include <cstring>

#include "bus_lock.h"
#include "program_start.h"
#include "spi.h"
#include "wiring_check.h"

namespace {

void print_help()
{
    std::printf("usage: bus_check [--help]\n"
                "\n"
                "Checks the wiring between the Pi's header and the instrument's connector:\n"
                "unplug the instrument, put the loopback plug on its end of the cable, run\n"
                "bus_check. It drives the bus outputs, reads them back and names every line\n"
                "that does not loop back: open, stuck high or low, swapped, bridged.\n"
                "\n"
                "The loopback plug, jumper by jumper (wiringPi number, Broadcom GPIO, header pin):\n");
    for (int j = 0; j < 8; ++j)
        std::printf("  data-out %d  %-30s -> data-in %d  %s\n", j, pin_name(gpio_out[j]).c_str(), j,
                    pin_name(gpio_in[j]).c_str());
    std::printf("  strobe      %-30s -> input       %s\n", pin_name(gpio_out[gpio_strobe_entry]).c_str(),
                pin_name(strobe_return_pin).c_str());
    std::printf("  select      %-30s -> input       %s\n", pin_name(gpio_out[gpio_select_entry]).c_str(),
                pin_name(select_return_pin).c_str());
    std::printf("\n"
                "With the instrument still attached it sends no frame: select stays high while\n"
                "the data lines are tried, and it stops there (status 2). It leaves the pulls of\n"
                "the lines it reads off.\n"
                "\n"
                "Exit status: 0 every line loops back, 1 a fault was found, 2 the check could\n"
                "not run, 4 the bus is in use by another program (nothing is sent).\n");
}

} // namespace

int main(int argc, char **argv)
{
    guard_standard_descriptors();
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        print_help();
        return std::fflush(stdout) == 0 ? 0 : 2;
    }
    if (argc != 1) {
        std::fprintf(stderr, "bus_check: unknown argument '%s'\nusage: bus_check [--help]\n", argv[1]);
        return 2;
    }

    if (const int refused = take_bus(program_name(argv[0]), stderr))
        return refused;
    const wiring_report report = check_wiring();
    if (report.verdict == wiring_verdict::no_plug) {
        std::fputs("bus_check: no loopback plug found: no data-in line follows any data-out line.\n"
                   "Is the instrument still attached? Put the loopback plug in its place"
                   " (bus_check --help shows its wiring).\n",
                   stderr);
        return 2;
    }
    for (const std::string &line : report.lines)
        std::printf("%s\n", line.c_str());
    if (report.verdict == wiring_verdict::good)
        std::printf("verdict: all %zu lines loop back; the Pi's side of the cable is good\n", report.lines.size());
    else
        std::printf("verdict: %d line%s at fault; mend %s and run bus_check again\n", report.faults,
                    report.faults == 1 ? "" : "s", report.faults == 1 ? "it" : "them");
    if (std::fflush(stdout) != 0) {
        std::perror("bus_check: standard output");
        return 2;
    }
    return report.verdict == wiring_verdict::good ? 0 : 1;
}
