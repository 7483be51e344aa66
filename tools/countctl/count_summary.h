// What a person watching countctl sees on standard error: a progress line
// while an acquisition runs (on a terminal only), and a summary at the end:
// words, minimum, mean, maximum and a histogram of the counts (the histogram
// on a terminal only, or when asked; a log keeps the one line). Memory stays
// the same however many words go by.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>

#include "gap_marker.h"

// Counts in a fixed number of bins; when a count falls outside them, the
// bins double in width (and the range grows down or up) until it fits, so
// a narrow range of counts is kept exactly and any range fits.
struct count_histogram {
    static constexpr int bins = 4096;
    long long base = 0;
    long long width = 1;
    std::uint64_t count[bins] = {};
};

// Counts as the instrument gives them, whole and signed. With a gap marker
// named, a word that marks a gap is counted in `gaps` and read as its count.
struct count_summary {
    gap_marker marker = gap_marker::none;
    std::uint64_t words = 0;
    std::uint64_t gaps = 0;
    long long min = 0;
    long long max = 0;
    long double sum = 0;
    double seconds = 0; // the run's length, for its rates; 0: no run
    count_histogram histogram;
};

void add_counts(count_summary &s, const int *counts, int n);
// The words, minimum, mean and maximum on one line; for a run, its rates
// (counts per second and words per second) on the next; then, with
// `with_histogram`, the histogram.
void print_summary(std::FILE *err, const count_summary &s, bool with_histogram = true);

// A progress line, redrawn in place at most ten times a second.
struct progress_line {
    bool shown = false; // on a terminal, and not --quiet
    std::chrono::steady_clock::time_point started;
    std::chrono::steady_clock::time_point drawn;
    bool drawn_once = false;
};

void start_progress(progress_line &p, std::FILE *err, bool quiet);
// `target_words` 0: no target; `seconds` below 0: no time limit.
void show_progress(progress_line &p, std::FILE *err, std::uint64_t words, std::uint64_t target_words, double seconds);
void end_progress(progress_line &p, std::FILE *err);
