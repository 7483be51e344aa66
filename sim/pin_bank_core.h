// What the pin bank's files share: the bank's lines and the far side
// attached to it, the calls counted and recorded, and the hooks between
// them. Not for the programs: they see pin_bank.h and the wiringPi calls.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../src/gpio_pulls.h"
#include "wiring.h"
#include "pin_bank.h"

namespace sim::bank_detail {

struct line_slot {
    bool output = false;
    bool latch = false;
    int pull = gpio_pull_down;
    int far = -1;              // what the far side drives: -1 nothing, 0 or 1
    int seen = -1;             // last level the far side was told of
    bool seen_driven = false;  // and whether the Pi drove it then
};

struct bank_state {
    bool setup_done = false;
    line_slot lines[line_count] = {};
    wire_role roles[line_count] = {};
    std::uint64_t calls = 0;
};

constexpr std::uint64_t never = ~std::uint64_t{0};

extern bank_state bank;
extern far_side attached;
extern bool powered;   // by a test, or from the environment at the first setup
extern bool announced; // the "no hardware is driven" line is said, or not wanted
extern bool recording;
extern std::vector<bus_event> recorded;
extern std::uint64_t stop_at_call;

bool input_level(const line_slot &l);
bool shown_level(const line_slot &l);
void tell_far_side(int pin);
std::int64_t wall_clock_ns();
// Counts the call, records it if asked, and returns its index.
std::uint64_t begin_call(call_kind kind, int pin, int value);
// A read's result is known only at its end; its record is completed then.
void finish_read(int level);
// False, with the violation flagged, before setup or for a line not there.
bool usable_line(int pin);

const char *kind_name(call_kind kind);
// Writes the recorded calls to `path` when the program exits.
void log_at_exit(const std::string &path);

// Defined beside the wiringPi entry points and beside the platform's
// answers, and called at power-on, so that a program that links the bank
// from its archive gets both, whatever the order of the libraries on its
// link line.
void entry_points_linked();
void platform_linked();

// The bus was taken by another program: the shared state is not saved.
void forget_shared_state();

// The shared state file: loaded now, saved at exit. False, said on standard
// error, when the file is no saved state (it is left as it is).
bool share_state(const char *path);

// A program's bus as its environment asks (see pin_bank.h). False, said on
// standard error, when a variable is wrong or the shared state cannot be
// used; setup_failure_status is then the status to end with.
bool power_on_from_environment();
extern int setup_failure_status;

} // namespace sim::bank_detail
