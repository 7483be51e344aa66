// How the virtual instrument and the loopback plug are wired to the Pi's
// header, by wiringPi pin, as the bus's pin table has them.
#pragma once

#include <array>

#include "../src/bus_pins.h"

namespace sim {

constexpr int line_count = 64; // wiringPi numbers 0..63 exist in the bank

constexpr std::array<int, 8> data_out_pins = bus_pins::data_out;
constexpr int strobe_pin = bus_pins::strobe;
constexpr int select_pin = bus_pins::select;
constexpr std::array<int, 8> data_in_pins = bus_pins::data_in;

// Where the loopback plug returns the strobe and the select: two auxiliary
// inputs of the Pi's.
constexpr int strobe_return_pin = bus_pins::strobe_return;
constexpr int select_return_pin = bus_pins::select_return;

enum class line_role : unsigned char { unused, data_out, strobe, select, data_in };

struct line_use {
    line_role role = line_role::unused;
    int bit = 0; // bit position for data lines
};

constexpr std::array<line_use, line_count> make_line_uses()
{
    std::array<line_use, line_count> uses{};
    for (int j = 0; j < 8; ++j) {
        uses[static_cast<unsigned>(data_out_pins[j])] = {line_role::data_out, j};
        uses[static_cast<unsigned>(data_in_pins[j])] = {line_role::data_in, j};
    }
    uses[strobe_pin] = {line_role::strobe, 0};
    uses[select_pin] = {line_role::select, 0};
    return uses;
}

constexpr std::array<line_use, line_count> line_uses = make_line_uses();

} // namespace sim
