// Fuzz target: arbitrary sequences of the four platform calls against the
// virtual instrument. It must never crash nor lose its footing: breaches
// only become entries in its violation list, its state stays in range, and
// after the bus is set up again a well-formed frame gets the right answer.

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "../src/gpio_platform.h"
#include "instrument.h"
#include "pin_bank.h"
#include "spi.h"
#include "violations.h"
#include "wiring.h"

namespace {

// Pin numbers worth trying: the bus lines most of the time, anything else
// (unused, negative, past the bank) otherwise.
int pick_pin(std::uint8_t b)
{
    if (b < 0xC0) {
        const int line = b % 18;
        if (line < 8)
            return sim::data_out_pins[static_cast<unsigned>(line)];
        if (line == 8)
            return sim::strobe_pin;
        if (line == 9)
            return sim::select_pin;
        return sim::data_in_pins[static_cast<unsigned>(line - 10)];
    }
    return static_cast<std::int8_t>(b) * 3; // -192..-3 and beyond the bank
}

void require(bool holds, const char *what)
{
    if (!holds) {
        std::fprintf(stderr, "virtual instrument broke: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    sim::set_reporting(false);
    sim::power_on();
    for (std::size_t i = 0; i + 3 <= size; i += 3) {
        const int pin = pick_pin(data[i + 1]);
        const int value = data[i + 2] < 0xF0 ? data[i + 2] & 1 : static_cast<std::int8_t>(data[i + 2]);
        switch (data[i] & 3) {
        case 0: wiringPiSetup(); break;
        case 1: pinMode(pin, value); break;
        case 2: digitalWrite(pin, value); break;
        default: require(digitalRead(pin) == 0 || digitalRead(pin) == 1, "a read returned other than 0 or 1"); break;
        }
    }

    const sim::instrument_view v = sim::inspect_instrument();
    require(v.period >= 1 && v.period <= 4095, "period out of range");
    require(v.threshold >= 0 && v.threshold <= 4095, "threshold out of range");
    require(v.polarity == 0 || v.polarity == 1, "polarity out of range");
    require(v.fifo_words >= 0 && v.fifo_words <= sim::fifo_capacity, "FIFO count out of range");
    require(v.latched_size >= 0 && v.latched_size <= sim::fifo_capacity, "latched size out of range");
    require(sim::violations().size() <= sim::violation_capacity, "violation list unbounded");
    require(sim::violation_count() >= sim::violations().size(), "violation count below the list");

    setup_io(); // may itself be a breach (setup again, a frame cut short)
    const std::uint64_t breaches = sim::violation_count();
    require(ifc_rd(0x5A00C3) == static_cast<int>(0x3C5A00C3u), "interface test answered wrongly");
    require(ifc_rd(0x000080) == 0x7F000080, "interface test answered wrongly");
    start();
    require(run() == 1, "run flag not raised by start");
    stop();
    require(run() == 0, "run flag not cleared by stop");
    require(sim::violation_count() == breaches, "well-formed frames flagged");
    return 0;
}
