// countctl's own cost: an acquisition of 1,000,000 words on the virtual
// instrument, written to a file, against as many bare read frames on the
// virtual bus in the same run; then the resident memory an acquisition of
// 10,000,000 words adds over one of 1,000.

#include <sys/resource.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

#include "countctl.h"
#include "instrument.h"
#include "pin_bank.h"
#include "spi.h"
#include "violations.h"

namespace {

constexpr long long words = 1000000;
std::string file_name = "/tmp/bench-countctl.csv";

void power_on_bus()
{
    sim::set_reporting(false);
    sim::power_on();
}

int acquire(long long n, const std::string &to = file_name)
{
    power_on_bus();
    std::FILE *err = std::fopen("/dev/null", "w");
    const int status = run_countctl(
        {"acquire", "--period", "1", "--words", std::to_string(n), "--quiet", "-o", to}, 1, err);
    std::fclose(err);
    return status;
}

void acquire_to_a_file(benchmark::State &state)
{
    for (auto _ : state)
        if (acquire(words) != 0)
            state.SkipWithError("the acquisition failed");
    state.counters["ns/word"] = benchmark::Counter(static_cast<double>(words), benchmark::Counter::kIsIterationInvariantRate |
                                                                                   benchmark::Counter::kInvert);
}

// The same, to an HDF5 file (where the build has HDF5).
void acquire_to_hdf5(benchmark::State &state)
{
    const std::string h5 = file_name + ".h5";
    for (auto _ : state)
        if (acquire(words, h5) != 0)
            state.SkipWithError("the acquisition failed (a build without HDF5?)");
    unlink(h5.c_str());
    state.counters["ns/word"] = benchmark::Counter(static_cast<double>(words), benchmark::Counter::kIsIterationInvariantRate |
                                                                                   benchmark::Counter::kInvert);
}

// The same instrument state: running at period 1, a word in every frame.
void bare_read_frames(benchmark::State &state)
{
    for (auto _ : state) {
        state.PauseTiming();
        power_on_bus();
        setup_io();
        setPeriod(1);
        start();
        state.ResumeTiming();
        for (long long i = 0; i < words; ++i)
            benchmark::DoNotOptimize(gpio_read(7, 0));
    }
    state.counters["ns/word"] = benchmark::Counter(static_cast<double>(words), benchmark::Counter::kIsIterationInvariantRate |
                                                                                   benchmark::Counter::kInvert);
}

BENCHMARK(acquire_to_a_file)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(acquire_to_hdf5)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(bare_read_frames)->Iterations(3)->Unit(benchmark::kMillisecond);

class ratio_reporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs)
            cpu_[run.benchmark_name()] = run.GetAdjustedCPUTime();
    }
    double cpu(const std::string &name) const { return cpu_.count(name) ? cpu_.at(name) : 0; }

private:
    std::map<std::string, double> cpu_;
};

long max_resident_kib()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

int main(int argc, char **argv)
{
    file_name = "/tmp/bench-countctl-" + std::to_string(getpid()) + ".csv";
    benchmark::Initialize(&argc, argv);
    ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double tool = reporter.cpu("acquire_to_a_file/iterations:3");
    const double frames = reporter.cpu("bare_read_frames/iterations:3");
    if (tool > 0 && frames > 0)
        std::printf("countctl's own cost: %.1f ns a word on top of a %.1f ns read frame: %.1f %% (target: 30 %%)\n",
                    (tool - frames) * 1e6 / words, frames * 1e6 / words, 100.0 * (tool - frames) / frames);

    acquire(1000);
    const long small = max_resident_kib();
    acquire(10000000);
    const long large = max_resident_kib();
    std::printf("resident memory: %ld KiB after 1,000 words, %ld KiB after 10,000,000: %ld KiB added (target: under "
                "2048)\n",
                small, large, large - small);
    unlink(file_name.c_str());
    return 0;
}
