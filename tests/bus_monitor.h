// The monitor and checker of the test bench.
//
// The monitor is the frame decoder (sim/frame_decoder.h) over the recorded
// platform calls: a test that compares the monitor's frames with the frames
// it expected checks the link and the instrument against the same wire.
#pragma once

#include <cstdint>
#include <ostream>
#include <vector>

#include "frame_decoder.h"

// What a frame should look like on the wire.
struct expected_frame {
    std::vector<std::uint8_t> command;
    std::vector<std::uint8_t> reply; // empty: not checked
};

expected_frame write_frame(int address, std::uint32_t data);
expected_frame read_frame(int address, std::uint32_t data);

std::ostream &operator<<(std::ostream &os, const observed_frame &frame);
std::ostream &operator<<(std::ostream &os, const expected_frame &frame);

// Checker: the frames on the bus are exactly the ones expected, in order, each
// with the call counts of its kind (42 writes; or 50 writes and 32 reads).
void expect_frames(const bus_trace &trace, const std::vector<expected_frame> &expected);
