// The bus on the Pi's header, by wiringPi pin number: the one place the
// pin numbers are written. The link drives these lines, the virtual
// instrument and the loopback plug are wired to them, the wiring check and
// the pictures name them.
#pragma once

#include <array>

namespace bus_pins {

// Bit j of every bus byte travels on entry j.
constexpr std::array<int, 8> data_out = {29, 28, 25, 27, 24, 23, 26, 22};
constexpr int strobe = 21;
constexpr int select = 11; // active low: low for the length of a frame
constexpr std::array<int, 8> data_in = {10, 14, 6, 13, 12, 5, 4, 3};

// Auxiliary lines: given a direction at start-up, never driven or read by
// the link. The loopback plug returns the strobe and the select on two of
// the inputs.
struct aux_line {
    int pin;
    bool output;
};
// In the order the link gives them their directions.
constexpr std::array<aux_line, 5> aux = {{{8, true}, {9, true}, {7, false}, {15, true}, {16, false}}};
constexpr int strobe_return = 7;
constexpr int select_return = 16;

} // namespace bus_pins
