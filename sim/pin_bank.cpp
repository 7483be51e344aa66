#include "pin_bank.h"

#include <chrono>
#include <cstdio>
#include <string>

#include "../src/gpio_platform.h"
#include "instrument.h"
#include "violations.h"
#include "wiring.h"

namespace sim {

namespace {

struct bank_state {
    bool setup_done = false;
    line_state lines[line_count] = {};
    std::uint64_t calls = 0;
};

bank_state bank;
bool recording = false;
bool announced = false;
std::vector<bus_event> recorded;

std::int64_t wall_clock_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Counts the call, records it if asked, and returns its index.
std::uint64_t begin_call(call_kind kind, int pin, int value)
{
    const std::uint64_t call = bank.calls++;
    if (recording)
        recorded.push_back({call, wall_clock_ns(), kind, pin, value});
    return call;
}

// A read's result is known only at its end; its record is completed then.
void finish_read(int level)
{
    if (recording)
        recorded.back().value = level;
}

bool usable_line(int pin)
{
    if (!bank.setup_done) {
        flag(violation_kind::call_before_setup, pin, "");
        return false;
    }
    if (pin < 0 || pin >= line_count) {
        flag(violation_kind::no_such_line, pin, "pin " + std::to_string(pin));
        return false;
    }
    return true;
}

} // namespace

void power_on()
{
    bank = bank_state{};
    recorded.clear();
    clear_violations();
    instrument_power_on();
}

void record_instrument_drive(int pin, bool level)
{
    if (recording)
        recorded.push_back({current_call(), wall_clock_ns(), call_kind::instrument, pin, level ? 1 : 0});
}

void record_events(bool on) { recording = on; }
const std::vector<bus_event> &events() { return recorded; }
void clear_events() { recorded.clear(); }
std::uint64_t current_call() { return bank.calls == 0 ? 0 : bank.calls - 1; }

line_state line(int pin)
{
    if (pin < 0 || pin >= line_count)
        return {false, false};
    return bank.lines[pin];
}

} // namespace sim

using namespace sim;

extern "C" int wiringPiSetup(void)
{
    begin_call(call_kind::setup, -1, 0);
    if (bank.setup_done) {
        flag(violation_kind::setup_repeated, -1, "");
        return 0;
    }
    bank.setup_done = true;
    if (reporting() && !announced) {
        announced = true;
        std::fputs("virtual instrument: no hardware is driven; the bus goes to a simulated"
                   " instrument\n",
                   stderr);
    }
    return 0;
}

extern "C" void pinMode(int pin, int mode)
{
    begin_call(call_kind::mode, pin, mode);
    if (!usable_line(pin))
        return;
    if (mode != gpio_mode_input && mode != gpio_mode_output) {
        flag(violation_kind::unsupported_mode, pin, "mode " + std::to_string(mode));
        return;
    }
    line_state &state = bank.lines[pin];
    state.output = mode == gpio_mode_output;
    // A line turned output drives the level last written to it.
    if (state.output)
        instrument_line_driven(pin, state.level);
}

extern "C" void digitalWrite(int pin, int value)
{
    begin_call(call_kind::write, pin, value);
    if (!usable_line(pin))
        return;
    if (value != gpio_low && value != gpio_high)
        flag(violation_kind::unsupported_level, pin, "level " + std::to_string(value));
    line_state &state = bank.lines[pin];
    if (!state.output) {
        flag(violation_kind::write_to_non_output, pin, "pin " + std::to_string(pin));
        return;
    }
    state.level = value != gpio_low;
    instrument_line_driven(pin, state.level);
}

extern "C" int digitalRead(int pin)
{
    begin_call(call_kind::read, pin, 0);
    if (!usable_line(pin))
        return 0;
    const line_state &state = bank.lines[pin];
    if (state.output) {
        flag(violation_kind::read_of_non_input, pin, "pin " + std::to_string(pin));
        finish_read(state.level);
        return state.level;
    }
    const int level = instrument_data_in_level(pin) ? 1 : 0;
    finish_read(level);
    return level;
}
