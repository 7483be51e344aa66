// The baseline for the link's cost: the same platform calls a frame makes,
// from a precomputed list in a plain loop, with nothing else around them.
#pragma once

#include <cstdint>
#include <vector>

struct platform_call {
    bool read;
    int pin;
    int value;
};

// The 42 calls of a write frame, or the 82 of a read frame, as the link
// makes them for the given register and data.
std::vector<platform_call> frame_calls(bool write, int address, int data);

// Makes the calls in order; returns the reply assembled from the reads
// (without it the reads could be dropped as dead code).
std::uint32_t make_calls(const std::vector<platform_call> &calls);

// The same frames written out call by call: pin numbers as constants, no
// loops, the same calls in the same order as the link's. Returns the reply
// (0 for a write frame).
std::uint32_t straight_write_frame(int address, int data);
std::uint32_t straight_read_frame(int address, int data);
