// countctl scan threshold FROM:TO:STEP: one acquisition per threshold, in
// order, and one row each (threshold, words, sum, mean, seconds, rate): the
// first measurement anyone makes with a discriminator.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "acquisition.h"

struct scan_request {
    int from = 0, to = 0, step = 1;   // thresholds, from to to inclusive
    long long target_words = 0;       // per threshold; 0: none
    double seconds = -1;              // per threshold; below 0: none
    settings_request settings;        // polarity and period, sent once before
    double tick = 0;                  // seconds a period unit: live time from the words
    std::optional<int> usual_threshold; // the lab's, set back at the end when known
    std::string output_path;
    bool quiet = false;
    std::string command_line;
    std::string config_note;
    bus_wait wait;
    gap_marker marker = gap_marker::none; // the configuration's gap_marker
};

// Parses "FROM:TO:STEP" (STEP may be left out: 1). False, with the reason.
bool parse_threshold_range(const std::string &text, scan_request &r, std::string &error);

int run_scan(const scan_request &r, int out_fd, std::FILE *err);
