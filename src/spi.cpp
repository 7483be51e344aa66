#include "spi.h"

#include <array>
#include <cstdint>
#include <ctime>

#include "bus_pins.h"
#include "gpio_platform.h"

// The least time, in nanoseconds, that the data lines hold still before
// each strobe rise, that the strobe stays high, and that the instrument is
// given to present a reply byte before it is sampled. 0 (the default) adds
// nothing to a frame: the bus runs as fast as the GPIO calls return.
#ifndef BUS_SETTLE_NS
#define BUS_SETTLE_NS 0
#endif

namespace {

// The link's view of the pin table (bus_pins.h): the ten lines it drives,
// data-out 0..7 then the strobe and the select, and the eight it reads.
constexpr std::array<int, 10> gpio_out = {bus_pins::data_out[0], bus_pins::data_out[1], bus_pins::data_out[2],
                                          bus_pins::data_out[3], bus_pins::data_out[4], bus_pins::data_out[5],
                                          bus_pins::data_out[6], bus_pins::data_out[7], bus_pins::strobe,
                                          bus_pins::select};
constexpr const std::array<int, 8> &gpio_in = bus_pins::data_in;

// Instrument registers.
constexpr int reg_reset_ifc = 0;
constexpr int reg_start = 1;
constexpr int reg_stop = 2;
constexpr int reg_period_run = 3;
constexpr int reg_threshold = 4;
constexpr int reg_polarity = 5;
constexpr int reg_datasize = 6;
constexpr int reg_data = 7;

constexpr std::uint32_t write_flag = 0x80000000u;

constexpr int strobe_pin = bus_pins::strobe;
constexpr int select_pin = bus_pins::select;

constexpr long long bus_settle_ns = BUS_SETTLE_NS;
static_assert(bus_settle_ns >= 0, "BUS_SETTLE_NS is a number of nanoseconds");

std::int64_t monotonic_ns()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Holds the lines as they are for bus_settle_ns from now: a busy wait on the
// monotonic clock, since a sleep is far coarser than the times wanted and a
// count of loop turns would mean nothing from one Pi to the next.
inline void settle()
{
    if constexpr (bus_settle_ns > 0) {
        const std::int64_t from = monotonic_ns();
        while (monotonic_ns() - from < bus_settle_ns) {
        }
    }
}

std::uint32_t bus_word(int address, int data)
{
    return (static_cast<std::uint32_t>(address) & 7u) << 24 |
           (static_cast<std::uint32_t>(data) & 0xFFFFFFu);
}

void strobe_pulse()
{
    digitalWrite(strobe_pin, gpio_high);
    settle();
    digitalWrite(strobe_pin, gpio_low);
}

// Every data line is written for every byte, changed or not: the instrument
// latches all eight on the strobe, and a skipped write would leave a line at
// whatever an earlier byte left there only by coincidence of the code path.
// The loops over the pin tables are unrolled, so the pins become constants
// in the calls: a frame costs what call-by-call code would.
void send_byte(std::uint32_t byte)
{
#pragma GCC unroll 8
    for (int j = 0; j < 8; ++j)
        digitalWrite(gpio_out[j], static_cast<int>((byte >> j) & 1u));
    settle();
    strobe_pulse();
}

void send_bus_word(std::uint32_t word)
{
    send_byte(word >> 24);
    send_byte((word >> 16) & 0xFFu);
    send_byte((word >> 8) & 0xFFu);
    send_byte(word & 0xFFu);
}

// The reply is assembled unsigned and converted without relying on
// implementation-defined narrowing: bit 31 set means a negative word.
int to_signed(std::uint32_t word)
{
    if (word <= 0x7FFFFFFFu)
        return static_cast<int>(word);
    return -static_cast<int>(~word) - 1;
}

} // namespace

// Select and strobe get their idle levels while they are still inputs: the
// level goes to the line's output latch, and the line drives it from the
// moment it becomes an output. Made an output first, select would drive the
// latch's power-on low until the next write, and the instrument would see a
// frame open and close with no byte in it.
bool setup_io()
{
    if (wiringPiSetup() < 0)
        return false; // the platform said why; no line was touched
    for (const bus_pins::aux_line &line : bus_pins::aux)
        pinMode(line.pin, line.output ? gpio_mode_output : gpio_mode_input);
    for (int pin : gpio_in)
        pinMode(pin, gpio_mode_input);
    digitalWrite(select_pin, gpio_high);
    digitalWrite(strobe_pin, gpio_low);
    for (int pin : gpio_out)
        pinMode(pin, gpio_mode_output);
    return true;
}

void gpio_write(int address, int data)
{
    digitalWrite(select_pin, gpio_low);
    send_bus_word(write_flag | bus_word(address, data));
    digitalWrite(select_pin, gpio_high);
}

int gpio_read(int address, int data)
{
    digitalWrite(select_pin, gpio_low);
    send_bus_word(bus_word(address, data));
    // Each reply byte is sampled before the pulse that asks for the next;
    // the eighth pulse follows the last sample.
    std::uint32_t reply = 0;
    std::uint32_t bit = 1; // bit 8k + j of the reply
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k) {
        settle();
#pragma GCC unroll 8
        for (int j = 0; j < 8; ++j, bit <<= 1) {
            if (digitalRead(gpio_in[j]) == 1)
                reply |= bit;
        }
        strobe_pulse();
    }
    digitalWrite(select_pin, gpio_high);
    return to_signed(reply);
}

void reset() { gpio_write(reg_reset_ifc, 0); }
void start() { gpio_write(reg_start, 0); }
void stop() { gpio_write(reg_stop, 0); }
int run() { return gpio_read(reg_period_run, 0) & 1; }
int ifc_rd(int value) { return gpio_read(reg_reset_ifc, value); }

void setPeriod(int period)
{
    if (period <= 0)
        period = 1;
    if (period >= 4096)
        period = 4095;
    gpio_write(reg_period_run, period);
}

int setTHR(int threshold)
{
    const int value = threshold & 0xFFF;
    gpio_write(reg_threshold, value);
    return gpio_read(reg_threshold, value);
}

void setPOL(int polarity) { gpio_write(reg_polarity, polarity & 1); }

int datasize()
{
    gpio_write(reg_datasize, 0);
    return gpio_read(reg_datasize, 0) & 0xFFF;
}

int readDATA(int count, int *buffer, int capacity)
{
    const int n = count < capacity ? count : capacity;
    for (int i = 0; i < n; ++i)
        buffer[i] = gpio_read(reg_data, 0);
    return n > 0 ? n : 0;
}
