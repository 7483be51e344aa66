// The console's listing of a full read-out, 4095 words, written to a file.

#include <benchmark/benchmark.h>

#include <cstdio>

#include "../src/console.h"

namespace {

void listing_4095_words_to_a_file(benchmark::State &state)
{
    static int words[4095];
    for (int i = 0; i < 4095; ++i)
        words[i] = i * 37 - 1000;
    std::FILE *file = std::tmpfile();
    if (file == nullptr) {
        state.SkipWithError("no temporary file");
        return;
    }
    for (auto _ : state) {
        std::rewind(file);
        print_listing(file, 4095, words);
        std::fflush(file);
    }
    state.SetBytesProcessed(state.iterations() * std::ftell(file));
    std::fclose(file);
}

BENCHMARK(listing_4095_words_to_a_file)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
