// The virtual pin bank: wiringPi-numbered lines with their directions and
// levels, behind the four platform calls the instrument link makes.
//
// Each call is checked as the protocol requires (setup first, writes only to
// outputs, reads only of inputs, existing lines, modes and levels the link
// uses); a breach is flagged and the call has no effect on the lines. Output
// levels go to the instrument, which answers reads of its data-in lines.
//
// Time: every platform call costs a fixed nominal bus_call_ns of virtual
// time, so recorded traces are the same on every machine and every run.
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

constexpr std::uint64_t bus_call_ns = 50;

// Platform calls, and the instrument driving a data-in line (which it does
// in answer to the call recorded just before, half a call's time after it).
enum class call_kind : unsigned char { setup, mode, write, read, instrument };

struct bus_event {
    std::uint64_t call;    // index of the call since power-on, from 0
    std::int64_t wall_ns;  // steady-clock reading when the call was made
    call_kind kind;
    int pin;               // -1 for setup
    int value;             // mode, level written, or level returned by a read
};

// Back to the state of a freshly booted Pi: no setup done, every line an
// input at level low, no events, no violations; the instrument powered on.
void power_on();

// Recording of every platform call, off by default.
void record_events(bool on);
const std::vector<bus_event> &events();
void clear_events();

// Index of the platform call being made (or last made); the virtual clock.
std::uint64_t current_call();

// Records a data-in line's new level, as the instrument drives it.
void record_instrument_drive(int pin, bool level);

struct line_state {
    bool output;
    bool level;
};
line_state line(int pin);

} // namespace sim
