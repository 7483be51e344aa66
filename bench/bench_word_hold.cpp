// The server's hold under the worst a client can do to it: words taken one
// at a time by two clients in turn (so every run is one word long), then
// all of one client's put back at once. Reports the time the put-back
// takes (every other client waits that long: goal at most 100 ms for 300k
// words) and the bytes each held or in-flight word costs (goal at most 16).

#include <malloc.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <new>
#include <numeric>
#include <vector>

#include "core/delivery.h"

// Every byte the heap hands out, counted as the allocator sizes it.
static std::size_t bytes_in_use = 0;

__attribute__((noinline)) void *operator new(std::size_t n)
{
    void *p = std::malloc(n);
    if (p == nullptr)
        throw std::bad_alloc();
    bytes_in_use += malloc_usable_size(p);
    return p;
}

__attribute__((noinline)) void operator delete(void *p) noexcept
{
    if (p != nullptr)
        bytes_in_use -= malloc_usable_size(p);
    std::free(p);
}

__attribute__((noinline)) void operator delete(void *p, std::size_t) noexcept { operator delete(p); }

namespace {

std::size_t heap_in_use() { return bytes_in_use; }

// A hold of `n` words, taken one word a response by two clients in turn.
void take_in_turns(word_hold &h, delivery_ticket &a, delivery_ticket &b, std::size_t n)
{
    std::vector<std::int32_t> words(n);
    std::iota(words.begin(), words.end(), 0);
    h.capacity = n;
    hold_add(h, words.data(), n);
    for (std::size_t i = 0; i < n; ++i)
        (i % 2 == 0 ? a : b).add(hold_take(h, 1));
}

void BM_put_back_one_word_runs(benchmark::State &state)
{
    const auto n = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        word_hold h;
        delivery_ticket a(h), b(h);
        take_in_turns(h, a, b, 2 * n);
        b.fail(); // the hold now has n one-word runs, with gaps between them
        state.ResumeTiming();
        benchmark::DoNotOptimize(a.fail()); // n more one-word runs, merged into the gaps
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n));
}
BENCHMARK(BM_put_back_one_word_runs)->Arg(300000)->Unit(benchmark::kMillisecond);

void BM_bytes_per_word(benchmark::State &state)
{
    const auto n = static_cast<std::size_t>(state.range(0));
    double held_cost = 0, flight_cost = 0;
    for (auto _ : state) {
        const std::size_t before = heap_in_use();
        {
            word_hold h;
            h.capacity = n;
            {
                const std::vector<std::int32_t> words(n);
                hold_add(h, words.data(), n);
            }
            held_cost = static_cast<double>(heap_in_use() - before) / static_cast<double>(n);
            delivery_ticket a(h), b(h);
            for (std::size_t i = 0; i < n; ++i)
                (i % 2 == 0 ? a : b).add(hold_take(h, 1)); // the worst cut: one-word runs
            flight_cost = static_cast<double>(heap_in_use() - before) / static_cast<double>(n);
            b.fail(); // and back into the hold: every run one word long
            held_cost = std::max(held_cost, static_cast<double>(heap_in_use() - before) / static_cast<double>(n));
            a.ack();
        }
    }
    state.counters["held_bytes_per_word"] = held_cost;
    state.counters["in_flight_bytes_per_word"] = flight_cost;
}
BENCHMARK(BM_bytes_per_word)->Arg(1 << 20)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
