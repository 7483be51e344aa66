// The virtual pin bank: wiringPi-numbered lines with their directions,
// output latches and pulls, behind the platform calls the programs make.
//
// Electrical model, as on the Pi's GPIO blocks (Broadcom and RP1 alike):
// - Every line has an output latch. Any write sets it, whatever the line's
//   direction; an output drives its latch, so a line that becomes an output
//   drives whatever was last written to it.
// - An input shows what the far side drives on it, or else its pull: after
//   power-on Broadcom GPIO 0 to 8 are pulled up and 9 to 27 down (lines off
//   the 40-pin header down too). With the pull off, an undriven input reads low.
// - What is on the far side of the header is chosen when the bus is powered
//   on: the virtual instrument, or a loopback plug. The far side is told
//   every change on the lines it listens to, and tells the bank what it
//   drives; the bank alone records events and keeps time.
//
// Each call is checked as the protocol requires (setup first, writes only to
// lines the far side listens to, reads only of inputs, existing lines,
// modes, levels and pulls the programs use); a breach is flagged and the
// call has no effect on the lines.
//
// Time: every platform call costs a fixed nominal bus_call_ns of virtual
// time, so recorded traces are the same on every machine and every run.
//
// A program built on the bank (the console, the tools) takes its set-up from
// the environment, for end-to-end tests:
//   VIRTUAL_BUS=instrument|plug      the far side (default: instrument)
//   VIRTUAL_PLUG_FAULTS=...          faults of the plug (see loopback_plug.h)
//   VIRTUAL_BUS_LOG=FILE             every call written to FILE at exit
//   VIRTUAL_BUS_STOP_AT_CALL=N       the process stops itself (SIGSTOP) as
//                                    call N begins, so a test can act there
//   VIRTUAL_INSTRUMENT_STATE=FILE    the instrument powers on from the state
//                                    saved in FILE (fresh when there is none)
//                                    and saves its state there at exit; FILE
//                                    is then the bus lock too (platform.h)
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

constexpr std::uint64_t bus_call_ns = 50;

// Platform calls, and the far side driving a line (which it does in answer
// to the call recorded just before, half a call's time after it).
enum class call_kind : unsigned char { setup, mode, write, read, pull, far_side };

struct bus_event {
    std::uint64_t call;    // index of the call since power-on, from 0
    std::int64_t wall_ns;  // steady-clock reading when the call was made
    call_kind kind;
    int pin;               // -1 for setup
    int value;             // mode, level written, level returned by a read,
                           // pull, or the far side's level (-1: released)
};

// How a line meets the far side.
enum class wire_role : unsigned char {
    none,    // not wired to it
    listens, // the Pi drives it, the far side watches it
    drives,  // the far side drives it, the Pi reads it
};

struct far_side {
    const char *name;                          // "instrument", "loopback plug"
    void (*power_on)();                       // after the bank's own power-on
    void (*line_changed)(int pin, bool level); // a line it listens to
    wire_role (*role)(int pin);
};

// Back to the state of a freshly booted Pi: no setup done, every line an
// input at its power-on pull, latches low, no events, no violations; the far
// side (the virtual instrument unless another is given) powered on.
void power_on();
void power_on(const far_side &side);

// For the far side: drive a line to 0 or 1, or release it (-1).
void far_side_drive(int pin, int level);
// For the far side: the level on a line, and whether the Pi drives it.
bool wire_level(int pin);
bool driven_by_pi(int pin);

// Recording of every platform call, off by default.
void record_events(bool on);
const std::vector<bus_event> &events();
void clear_events();

// Index of the platform call being made (or last made); the virtual clock.
std::uint64_t current_call();

struct line_state {
    bool output;
    bool level; // what the line shows
};
line_state line(int pin);

// Reads a log written by VIRTUAL_BUS_LOG; false if it cannot be read.
bool read_bus_log(const std::string &path, std::vector<bus_event> &events);

} // namespace sim
