// How fast the virtual instrument runs: frames per second, and a full
// read-out of 4095 words (a size query, then readDATA).

#include <benchmark/benchmark.h>

#include <vector>

#include "../src/spi.h"
#include "instrument.h"
#include "pin_bank.h"
#include "violations.h"

namespace {

void power_on_bus()
{
    sim::set_reporting(false);
    sim::power_on();
    setup_io();
}

void virtual_write_frame(benchmark::State &state)
{
    power_on_bus();
    for (auto _ : state)
        gpio_write(4, 0x123);
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// The frame a read-out is made of: a data word from register 7, the FIFO
// kept full of the same words the full read-out below reads.
void virtual_read_frame(benchmark::State &state)
{
    power_on_bus();
    const std::vector<std::uint32_t> words(4095, 7);
    int left = 0;
    for (auto _ : state) {
        if (left == 0) {
            state.PauseTiming();
            sim::load_fifo(words);
            left = 4095;
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(gpio_read(7, 0));
        --left;
    }
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void virtual_full_read_out(benchmark::State &state)
{
    power_on_bus();
    const std::vector<std::uint32_t> words(4095, 7);
    static int buffer[max_data_words];
    for (auto _ : state) {
        state.PauseTiming();
        reset();
        sim::load_fifo(words);
        state.ResumeTiming();
        const int count = datasize();
        readDATA(count, buffer, max_data_words);
        benchmark::DoNotOptimize(buffer[4094]);
        if (count != 4095)
            state.SkipWithError("the instrument did not hold 4095 words");
    }
    state.counters["words/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * 4095, benchmark::Counter::kIsRate);
}

BENCHMARK(virtual_write_frame);
BENCHMARK(virtual_read_frame);
BENCHMARK(virtual_full_read_out)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
