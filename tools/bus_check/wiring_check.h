// The wiring self-test: with a loopback plug on the Pi's header in place of
// the instrument, drives the bus outputs and reads them back, and names
// every line that does not loop back and why.
//
// The plug: data-out line j jumpered to data-in line j (j = 0..7), strobe to
// the auxiliary input wiringPi 7, select to the auxiliary input wiringPi 16.
//
// Safe with the instrument still attached: select stays high and strobe low
// while the data lines are tested, so the instrument sees no frame, and
// strobe and select move only once a data line has looped back: a plug,
// not an instrument, is on the far side.
#pragma once

#include <string>
#include <vector>

#include "bus_pins.h"

// The auxiliary inputs that take back the strobe and the select.
constexpr int strobe_return_pin = bus_pins::strobe_return;
constexpr int select_return_pin = bus_pins::select_return;

enum class wiring_verdict {
    good = 0,     // every line loops back
    faulty = 1,   // at least one line does not
    no_plug = 2,  // no data line loops back at all: no plug, or the instrument
};

struct wiring_report {
    wiring_verdict verdict = wiring_verdict::good;
    std::vector<std::string> lines; // one per line checked: "ok" or its fault
    int faults = 0;
    bool set_up = true; // false: the platform could not set the bus up, and nothing was checked
};

// Sets the bus up (as the console does) and checks it. Leaves select high,
// strobe low, and the pulls of the lines it read off.
wiring_report check_wiring();

// "wiringPi 29 (GPIO 21, pin 40)"
std::string pin_name(int wiringpi);
