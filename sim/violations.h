// Protocol violations seen by the virtual instrument and its pin bank.
//
// Every breach of the bus protocol becomes one entry; nothing is thrown and
// nothing aborts, so a test (or a fuzzer) can drive the bus any way it likes
// and then read what went wrong. The list is bounded: past its capacity only
// the count grows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

enum class violation_kind {
    call_before_setup,      // a pin call before wiringPiSetup
    setup_repeated,         // wiringPiSetup called a second time
    no_such_line,           // pin number outside the bank
    unsupported_mode,       // pinMode with a mode other than input or output
    unsupported_level,      // digitalWrite with a level other than 0 or 1
    write_to_driven_line,   // digitalWrite to a line the far side drives
    write_to_unwired_line,  // digitalWrite to a line the far side is not wired to
    unsupported_pull,       // pullUpDnControl with other than off, down or up
    read_of_non_input,      // digitalRead of a line that is not an input
    strobe_outside_frame,   // strobe rose while select was high
    wrong_pulse_count,      // frame closed after other than 4 (write) / 8 (read) pulses
    reserved_header_bits,   // header byte bits 6..3 not zero
    data_changed_on_strobe, // a data-out line changed while strobe was high
};

const char *to_string(violation_kind kind);

struct violation {
    violation_kind kind;
    std::uint64_t call;  // index of the platform call that caused it, from 0
    int pin;             // the line concerned, or -1
    std::string detail;
};

constexpr std::size_t violation_capacity = 1000;

// Entries in order of occurrence, at most violation_capacity of them.
const std::vector<violation> &violations();
// All violations since the last clear, including those past capacity.
std::uint64_t violation_count();
void clear_violations();

// Records a violation (and prints it when reporting is on).
void flag(violation_kind kind, int pin, std::string detail);

// When on, every violation is printed on standard error as it happens, and
// wiringPiSetup says once that no hardware is driven. On by default, so a
// console built on the virtual instrument tells its operator; tests turn it off.
void set_reporting(bool on);
bool reporting();

} // namespace sim
