// What the link costs on top of the GPIO calls: a write frame and a read
// frame through the link, against a platform that only stores levels, beside
// two baselines making the same calls: from a list in a loop ("baseline"),
// and written out call by call ("straight"). Prints link / each.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

#include "../src/spi.h"
#include "baseline_frames.h"

namespace {

void link_write_frame(benchmark::State &state)
{
    int data = 0x123456;
    for (auto _ : state) {
        gpio_write(4, data);
        benchmark::ClobberMemory();
    }
}

void baseline_write_frame(benchmark::State &state)
{
    const std::vector<platform_call> calls = frame_calls(true, 4, 0x123456);
    for (auto _ : state) {
        make_calls(calls);
        benchmark::ClobberMemory();
    }
}

void link_read_frame(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(gpio_read(6, 0x123456));
}

void baseline_read_frame(benchmark::State &state)
{
    const std::vector<platform_call> calls = frame_calls(false, 6, 0x123456);
    for (auto _ : state)
        benchmark::DoNotOptimize(make_calls(calls));
}

void straight_write(benchmark::State &state)
{
    for (auto _ : state) {
        straight_write_frame(4, 0x123456);
        benchmark::ClobberMemory();
    }
}

void straight_read(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(straight_read_frame(6, 0x123456));
}

BENCHMARK(link_write_frame);
BENCHMARK(baseline_write_frame);
BENCHMARK(straight_write)->Name("straight_write_frame");
BENCHMARK(link_read_frame);
BENCHMARK(baseline_read_frame);
BENCHMARK(straight_read)->Name("straight_read_frame");

// Keeps each benchmark's CPU time per iteration for the ratios at the end.
class ratio_reporter : public benchmark::ConsoleReporter {
public:
    ratio_reporter() : ConsoleReporter(OO_None) {}
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs)
            if (run.run_type == Run::RT_Iteration)
                ns_[run.benchmark_name()] = run.GetAdjustedCPUTime();
    }
    void print_ratio(const char *frame, const char *baseline) const
    {
        const auto link = ns_.find(std::string("link_") + frame);
        const auto base = ns_.find(std::string(baseline) + "_" + frame);
        if (link != ns_.end() && base != ns_.end())
            std::printf("%-12s link / %-8s = %.3f\n", frame, baseline, link->second / base->second);
    }

private:
    std::map<std::string, double> ns_;
};

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const char *frame : {"write_frame", "read_frame"})
        for (const char *baseline : {"baseline", "straight"})
            reporter.print_ratio(frame, baseline);
    return 0;
}
