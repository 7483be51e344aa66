// The pin bank's electrical model: each line's direction, output latch,
// pull and what the far side drives on it, and the far side told of every
// change it listens to.

#include <chrono>
#include <csignal>

#include "../src/pi_header.h"
#include "instrument.h"
#include "pin_bank_core.h"
#include "violations.h"

namespace sim {

namespace bank_detail {

bank_state bank;
far_side attached{};
bool powered = false;
bool announced = false;
bool recording = false;
std::vector<bus_event> recorded;
std::uint64_t stop_at_call = never;

bool input_level(const line_slot &l) { return l.far >= 0 ? l.far == 1 : l.pull == gpio_pull_up; }
bool shown_level(const line_slot &l) { return l.output ? l.latch : input_level(l); }

std::int64_t wall_clock_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Tells the far side when a line it listens to changes level, or starts or
// stops being driven by the Pi.
void tell_far_side(int pin)
{
    if (bank.roles[pin] != wire_role::listens)
        return;
    line_slot &l = bank.lines[pin];
    const bool level = shown_level(l);
    if (l.seen == static_cast<int>(level) && l.seen_driven == l.output)
        return;
    l.seen = level;
    l.seen_driven = l.output;
    attached.line_changed(pin, level);
}

// Counts the call, records it if asked, and returns its index.
std::uint64_t begin_call(call_kind kind, int pin, int value)
{
    const std::uint64_t call = bank.calls++;
    if (call == stop_at_call)
        std::raise(SIGSTOP);
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

} // namespace bank_detail

using namespace bank_detail;

namespace {

int power_on_pull(int pin)
{
    for (const header_pin &p : pi_header)
        if (p.wiringpi == pin)
            return p.bcm <= 8 ? gpio_pull_up : gpio_pull_down;
    return gpio_pull_down;
}

} // namespace

void power_on(const far_side &side)
{
    entry_points_linked();
    powered = true;
    bank = bank_state{};
    attached = side;
    for (int pin = 0; pin < line_count; ++pin) {
        bank.lines[pin].pull = power_on_pull(pin);
        bank.roles[pin] = side.role(pin);
    }
    clear_violations();
    side.power_on();
    for (int pin = 0; pin < line_count; ++pin)
        tell_far_side(pin);
    recorded.clear();
}

void power_on() { power_on(virtual_instrument); }

void far_side_drive(int pin, int level)
{
    line_slot &l = bank.lines[pin];
    if (l.far == level)
        return;
    l.far = level;
    if (recording)
        recorded.push_back({current_call(), wall_clock_ns(), call_kind::far_side, pin, level});
}

bool wire_level(int pin) { return shown_level(bank.lines[pin]); }
bool driven_by_pi(int pin) { return bank.lines[pin].output; }

std::uint64_t current_call() { return bank.calls == 0 ? 0 : bank.calls - 1; }

line_state line(int pin)
{
    if (pin < 0 || pin >= line_count)
        return {false, false};
    return {bank.lines[pin].output, shown_level(bank.lines[pin])};
}

} // namespace sim
