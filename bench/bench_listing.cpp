// The console's listing of a full read-out, 4095 words, written to a file.

#include <unistd.h>

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
    static output_buffer out;
    out.fd = fileno(file);
    for (auto _ : state) {
        lseek(out.fd, 0, SEEK_SET);
        print_listing(out, 4095, words);
        flush(out);
    }
    state.SetBytesProcessed(state.iterations() * lseek(out.fd, 0, SEEK_CUR));
    std::fclose(file);
}

BENCHMARK(listing_4095_words_to_a_file)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
