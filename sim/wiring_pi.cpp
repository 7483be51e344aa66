// The four calls of wiringPi (and pullUpDnControl) with its C signatures,
// answered by the pin bank: what a program on the virtual instrument links
// in their place.

#include <cstdio>

#include "../src/gpio_platform.h"
#include "pin_bank_core.h"
#include "violations.h"

using namespace sim;
using namespace sim::bank_detail;

void sim::bank_detail::entry_points_linked() { platform_linked(); }

// -1 when the environment asks for what cannot be (said on standard error):
// the program's start-up ends with platform_setup_failure_status().
extern "C" int wiringPiSetup(void)
{
    if (!powered && !power_on_from_environment())
        return -1;
    begin_call(call_kind::setup, -1, 0);
    if (bank.setup_done) {
        flag(violation_kind::setup_repeated, -1, "");
        return 0;
    }
    bank.setup_done = true;
    if (reporting() && !announced) {
        announced = true;
        std::fprintf(stderr, "virtual %s: no hardware is driven; the bus goes to a simulated %s\n", attached.name,
                     attached.name);
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
    bank.lines[pin].output = mode == gpio_mode_output;
    tell_far_side(pin);
}

extern "C" void digitalWrite(int pin, int value)
{
    begin_call(call_kind::write, pin, value);
    if (!usable_line(pin))
        return;
    if (value != gpio_low && value != gpio_high)
        flag(violation_kind::unsupported_level, pin, "level " + std::to_string(value));
    switch (bank.roles[pin]) {
    case wire_role::listens:
        break;
    case wire_role::drives:
        flag(violation_kind::write_to_driven_line, pin, "pin " + std::to_string(pin));
        return;
    case wire_role::none:
        flag(violation_kind::write_to_unwired_line, pin, "pin " + std::to_string(pin));
        return;
    }
    bank.lines[pin].latch = value != gpio_low;
    tell_far_side(pin);
}

extern "C" int digitalRead(int pin)
{
    begin_call(call_kind::read, pin, 0);
    if (!usable_line(pin))
        return 0;
    const line_slot &l = bank.lines[pin];
    if (l.output) {
        flag(violation_kind::read_of_non_input, pin, "pin " + std::to_string(pin));
        finish_read(l.latch);
        return l.latch;
    }
    const int level = input_level(l) ? 1 : 0;
    finish_read(level);
    return level;
}

extern "C" void pullUpDnControl(int pin, int pud)
{
    begin_call(call_kind::pull, pin, pud);
    if (!usable_line(pin))
        return;
    if (pud != gpio_pull_off && pud != gpio_pull_down && pud != gpio_pull_up) {
        flag(violation_kind::unsupported_pull, pin, "pull " + std::to_string(pud));
        return;
    }
    bank.lines[pin].pull = pud;
    tell_far_side(pin);
}

