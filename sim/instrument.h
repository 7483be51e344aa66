// The virtual counting instrument: the far side of the bus.
//
// Bus decoding, as the hardware does it
//   A frame opens when select falls and closes when it rises. Each rising
//   strobe edge inside a frame latches the eight data-out lines as the next
//   command byte. If the header byte (the first) has bit 7 clear, the frame
//   is a read: when the fourth pulse ends the instrument acts on the register
//   and puts reply byte 0 (bits 7..0) on the data-in lines, and when each
//   further pulse ends the next byte, up to byte 3 after the seventh. After
//   the eighth pulse, and between frames, the data-in lines are low. A write
//   frame takes effect when it closes after exactly four pulses.
//
// Registers (write frame / read frame)
//   0  reset to the defaults below  / interface test (see below)
//   1  start a run                   / 0
//   2  stop the run                  / 0
//   3  period, 1..4095 ticks (0 is   / bit 0 run flag, bits 27..16 period
//      taken as 1)
//   4  threshold, 0..4095            / the stored threshold (the read-back)
//   5  polarity: 0 positive pulses,  / the polarity
//      1 negative pulses
//   6  latch the number of words     / bits 11..0 the latched number,
//      held in the FIFO              /   bit 12 overflow, bit 13 running
//   7  ignored                       / the oldest word, taken from the FIFO;
//                                    /   0 when the FIFO is empty
//
// Interface test: the reply to a read of register 0 with data d (24 bits) is
//   ((~d & 0xFF) << 24) | d
// The low 24 bits echo the data and the top byte is the complement of its
// low byte, so data 0 and 0xFFFFFF between them drive every data-in line
// both high and low, and the reply is negative whenever d's bit 7 is clear.
//
// Acquisition model
//   A virtual clock advances one tick on every rising strobe edge, so a run
//   depends on bus activity only, never on the wall clock. While running,
//   the instrument closes one measurement every `period` ticks. A
//   measurement sees `period` candidate pulses from a seeded xorshift32
//   generator; each is negative with probability 1/4 and otherwise positive,
//   with a height uniform over 0..4095. The measurement's count is the
//   number of pulses of the chosen polarity whose height is above the
//   threshold: a higher threshold counts fewer, and positive pulses are
//   three times as common as negative ones.
//   Counts go into a FIFO of 4095 words. When it is full a measurement is
//   dropped, the sticky overflow flag is raised, and the next word stored
//   has bit 31 set, marking the gap; bits 30..0 of a word are the count.
//   Reset stops the run, empties the FIFO, clears the flags and the latched
//   size, re-seeds the generator and restores the defaults: period 16,
//   threshold 2048, polarity 0. Power-on is a reset. With the defaults the
//   second data-size query after a start finds a word, and a read-out
//   (eight ticks a word) drains the FIFO twice as fast as it fills.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pin_bank.h"

namespace sim {

constexpr int fifo_capacity = 4095;
constexpr int default_period = 16;
constexpr int default_threshold = 2048;
constexpr int default_polarity = 0;

constexpr std::uint32_t status_overflow = 1u << 12;
constexpr std::uint32_t status_running = 1u << 13;
constexpr std::uint32_t word_after_gap = 1u << 31;

// What a test may look at inside the instrument.
struct instrument_view {
    int period;
    int threshold;
    int polarity;
    bool running;
    bool overflow;
    int fifo_words;
    int latched_size;
    std::uint64_t ticks;
    bool in_frame;
    std::uint64_t frames; // frames opened (select fell) since power-on
};

// The instrument as the pin bank's far side.
extern const far_side virtual_instrument;

instrument_view inspect_instrument();

// Test-bench controls. A queued reply replaces the register's answer to the
// next read frame (and its side effects); words loaded go into the FIFO as
// if measured, with no flag bits added.
void queue_reply(std::uint32_t word);
void load_fifo(const std::vector<std::uint32_t> &words);
// When on, a size latch (write to register 6) that finds the FIFO empty
// first stores one word of count 1, so a read-out never waits for data: for
// harnesses that feed the console arbitrary commands. Off at power-on.
void keep_data_ready(bool on);

// VIRTUAL_INSTRUMENT_CLOCK=wall: the clock ticks with real time, one tick
// every `tick_ns` (1 µs unless VIRTUAL_INSTRUMENT_TICK says otherwise),
// instead of one a strobe rise, so a started instrument fills (and
// overflows) its FIFO between programs as the real one does. The shared
// state carries the wall-clock reading it counts from.
void use_wall_clock(std::uint64_t tick_ns);
// With the bus clock: `ticks` pass at once, as they would while a program
// waits between two queries of a run (platform_waited). The wall clock
// counts them itself.
void let_time_pass(std::uint64_t ticks);

// The instrument's whole state (registers, run flag, FIFO and its flags,
// generator, clock, latched size) as text, and back: what a program on the
// virtual instrument leaves for the next when VIRTUAL_INSTRUMENT_STATE
// names a file. Loading checks every field and changes nothing unless the
// whole text is a state of this version; false, with the reason, otherwise.
std::string instrument_state_text();
bool load_instrument_state(const std::string &text, std::string &error);

} // namespace sim
