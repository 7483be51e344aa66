#include "count_summary.h"

#include <unistd.h>

#include <algorithm>

#include "countctl_common.h"

namespace {

long long floor_to(long long v, long long width)
{
    const long long q = v / width;
    return (q * width > v ? q - 1 : q) * width;
}

// Makes room for `v`, given that every count so far lies in [lo, hi]:
// moves the bins when the span fits, else doubles their width.
void make_room(count_histogram &h, long long v, long long lo, long long hi)
{
    const long long n = count_histogram::bins;
    while (v < h.base || v >= h.base + h.width * n) {
        std::uint64_t moved[count_histogram::bins] = {};
        const long long from = floor_to(lo, h.width);
        long long new_base = from, new_width = h.width;
        if (hi >= from + h.width * n) {
            new_width = h.width * 2;
            new_base = floor_to(h.base, new_width);
        }
        for (long long i = 0; i < n; ++i)
            if (h.count[i] != 0)
                moved[(h.base + i * h.width - new_base) / new_width] += h.count[i];
        std::copy(moved, moved + n, h.count);
        h.base = new_base;
        h.width = new_width;
    }
}

} // namespace

void add_counts(count_summary &s, const int *counts, int n)
{
    count_histogram &h = s.histogram;
    for (int i = 0; i < n; ++i) {
        const marked_word w = read_marked(s.marker, counts[i]);
        s.gaps += w.follows_gap;
        const long long v = w.count;
        if (s.words == 0) {
            h.base = v;
            h.width = 1;
            s.min = s.max = v;
        }
        s.min = std::min(s.min, v);
        s.max = std::max(s.max, v);
        s.sum += v;
        ++s.words;
        if (v < h.base || v >= h.base + h.width * count_histogram::bins)
            make_room(h, v, s.min, s.max);
        ++h.count[(v - h.base) / h.width];
    }
}

void print_summary(std::FILE *err, const count_summary &s, bool with_histogram)
{
    if (s.words == 0) {
        std::fprintf(err, "%s: no words\n", countctl_name);
        return;
    }
    std::fprintf(err, "%s: %llu words; min %lld, mean %.3Lf, max %lld", countctl_name,
                 static_cast<unsigned long long>(s.words), s.min, s.sum / s.words, s.max);
    if (s.gaps > 0)
        std::fprintf(err, "; %llu gaps: the instrument's FIFO overflowed and measurements were lost",
                     static_cast<unsigned long long>(s.gaps));
    std::fputc('\n', err);
    if (s.seconds > 0)
        std::fprintf(err, "%s: over the run's %.6g s: %.1f counts/s (the counts added up: the event rate), %.1f words/s\n",
                     countctl_name, s.seconds, static_cast<double>(s.sum) / s.seconds,
                     static_cast<double>(s.words) / s.seconds);
    if (!with_histogram)
        return;

    // About a dozen rows between the minimum and the maximum, each made of
    // whole bins: a bin's counts are known only to lie somewhere in it, so
    // a row that cut through one could not say which of its counts it holds.
    constexpr long long max_rows = 12;
    const count_histogram &h = s.histogram;
    const long long first_bin = (s.min - h.base) / h.width;
    const long long last_bin = (s.max - h.base) / h.width;
    const long long bins_per_row = (last_bin - first_bin + max_rows) / max_rows;
    const long long rows = (last_bin - first_bin) / bins_per_row + 1;
    std::uint64_t in_row[max_rows] = {};
    for (long long i = first_bin; i <= last_bin; ++i)
        in_row[(i - first_bin) / bins_per_row] += h.count[i];
    const std::uint64_t most = *std::max_element(in_row, in_row + rows);
    for (long long r = 0; r < rows; ++r) {
        const long long row_base = h.base + (first_bin + r * bins_per_row) * h.width;
        const long long lo = std::max(row_base, s.min);
        const long long hi = std::min(row_base + bins_per_row * h.width - 1, s.max);
        const int bar = static_cast<int>((in_row[r] * 40 + most - 1) / most);
        std::fprintf(err, "  %11lld .. %-11lld |%-40.*s| %llu\n", lo, hi, bar,
                     "########################################", static_cast<unsigned long long>(in_row[r]));
    }
}

void start_progress(progress_line &p, std::FILE *err, bool quiet)
{
    p.shown = !quiet && isatty(fileno(err)) == 1;
    p.started = std::chrono::steady_clock::now();
    p.drawn_once = false;
}

void show_progress(progress_line &p, std::FILE *err, std::uint64_t words, std::uint64_t target_words, double seconds)
{
    if (!p.shown)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (p.drawn_once && now - p.drawn < std::chrono::milliseconds(100))
        return;
    p.drawn = now;
    p.drawn_once = true;
    const double elapsed = std::chrono::duration<double>(now - p.started).count();
    char target[64] = "";
    if (target_words > 0)
        std::snprintf(target, sizeof target, " of %llu", static_cast<unsigned long long>(target_words));
    else if (seconds >= 0)
        std::snprintf(target, sizeof target, " (%.0f s run)", seconds);
    std::fprintf(err, "\r\033[K%llu%s words, %.0f words/s, %.1f s", static_cast<unsigned long long>(words), target,
                 elapsed > 0 ? static_cast<double>(words) / elapsed : 0.0, elapsed);
    std::fflush(err);
}

void end_progress(progress_line &p, std::FILE *err)
{
    if (p.shown && p.drawn_once)
        std::fputs("\r\033[K", err);
}
