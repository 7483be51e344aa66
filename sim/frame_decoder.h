// The one frame decoder: recorded platform calls (see pin_bank.h), line by
// line, decoded into frames on their own, without asking the virtual
// instrument what it understood. The test bench's monitor judges the link
// and the instrument with it; bus_trace finds in it the moments its
// pictures mark.
#pragma once

#include <cstdint>
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
    std::vector<std::uint64_t> latch_calls;  // the call of each command byte's rising strobe edge
    std::vector<std::uint64_t> sample_calls; // the first and last read of each reply byte, in pairs

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

// True when the frame has the shape of its kind: 42 writes, 4 pulses and no
// reads for a write frame; 50 writes, 8 pulses and 32 reads, each reply byte
// sampled between its pulses, for a read frame; strobe low at both ends.
bool well_formed(const observed_frame &frame);

// The reply bytes as a word, least significant byte first.
std::uint32_t reply_word(const observed_frame &frame);
