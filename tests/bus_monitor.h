// The monitor and checker of the test bench.
//
// The monitor watches the recorded platform calls, line by line, and decodes
// them into frames on its own, without asking the virtual instrument what it
// understood: a test that compares the monitor's frames with the frames it
// expected checks the link and the instrument against the same wire.
#pragma once

#include <cstdint>
#include <ostream>
#include <vector>

#include "pin_bank.h"

struct observed_frame {
    std::vector<std::uint8_t> command; // bytes on the data-out lines at each rising strobe edge
    std::vector<std::uint8_t> reply;   // bytes read from the data-in lines, eight reads a byte
    int writes = 0;                    // digitalWrite calls, select edges included
    int reads = 0;                     // digitalRead calls
    int pulses = 0;                    // rising strobe edges
    bool strobe_low_at_open = false;
    bool strobe_low_at_close = false;
    bool reply_sampled_between_pulses = true; // every byte read after pulse 4+k, before 5+k
    std::int64_t open_wall_ns = 0;
    std::int64_t close_wall_ns = 0;

    bool is_write() const { return !command.empty() && (command[0] & 0x80) != 0; }
    int address() const { return command.empty() ? -1 : command[0] & 7; }
};

struct bus_trace {
    std::vector<observed_frame> frames;
    int calls_between_frames = 0; // pin calls made while select was high
    bool frame_left_open = false;
};

bus_trace decode_bus(const std::vector<sim::bus_event> &events);

// The calls setup_io makes: wiringPiSetup, 23 pin modes, then select and
// strobe to their idle levels. Every recording from power-on starts with them.
constexpr std::uint64_t setup_calls = 26;
// The calls a frame makes.
constexpr std::uint64_t write_frame_calls = 42;
constexpr std::uint64_t read_frame_calls = 82;

// The frames of a recording made from power-on, after its start-up calls.
bus_trace decode_after_setup(const std::vector<sim::bus_event> &events);

// What a frame should look like on the wire.
struct expected_frame {
    std::vector<std::uint8_t> command;
    std::vector<std::uint8_t> reply; // empty: not checked
};

expected_frame write_frame(int address, std::uint32_t data);
expected_frame read_frame(int address, std::uint32_t data);

// True when the frame has the shape of its kind: 42 writes, 4 pulses and no
// reads for a write frame; 50 writes, 8 pulses and 32 reads, each reply byte
// sampled between its pulses, for a read frame; strobe low at both ends.
bool well_formed(const observed_frame &frame);

// The reply bytes as a word, least significant byte first.
std::uint32_t reply_word(const observed_frame &frame);

std::ostream &operator<<(std::ostream &os, const observed_frame &frame);
std::ostream &operator<<(std::ostream &os, const expected_frame &frame);

// Checker: the frames on the bus are exactly the ones expected, in order, each
// with the call counts of its kind (42 writes; or 50 writes and 32 reads).
void expect_frames(const bus_trace &trace, const std::vector<expected_frame> &expected);
