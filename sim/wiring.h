// How the virtual instrument is wired to the Pi's header, by wiringPi pin.
//
// This is the instrument's side of the cable, kept apart from the link's own
// pin tables on purpose: if the link drove a wrong pin, the instrument would
// see a wrong byte, as real hardware would.
#pragma once

#include <array>

namespace sim {

constexpr int line_count = 64; // wiringPi numbers 0..63 exist in the bank

constexpr std::array<int, 8> data_out_pins = {29, 28, 25, 27, 24, 23, 26, 22};
constexpr int strobe_pin = 21;
constexpr int select_pin = 11;
constexpr std::array<int, 8> data_in_pins = {10, 14, 6, 13, 12, 5, 4, 3};

// Where the loopback plug returns the strobe and the select: two auxiliary
// inputs of the Pi's.
constexpr int strobe_return_pin = 7;
constexpr int select_return_pin = 16;

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
