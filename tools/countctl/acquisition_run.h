// What a recording keeps while it runs, wherever its words come from (this
// Pi's bus, or an scpi_server's journal), and the steps each shares:
// keeping words, showing progress, and a rotated run's next file.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "acquisition.h"
#include "count_output.h"
#include "count_summary.h"

using acquisition_clock = std::chrono::steady_clock;

struct acquisition_state {
    acquisition_state(const acquisition_request &r, std::FILE *e) : request(r), err(e) {}
    const acquisition_request &request;
    std::FILE *err;
    count_output out;
    count_summary summary;
    progress_line progress;
    std::uint64_t words_read = 0;
    acquisition_clock::time_point started;
    std::optional<acquisition_clock::time_point> deadline;
    acquisition_clock::time_point file_started; // with --rotate: when this file began
    int files = 1;
    long long threshold_back = -1;
    std::vector<std::string> source_notes; // '#' lines of the header: where the words come from
};

enum class ending { complete, target_reached, time_limit, no_data, signal, output_failed, bus_lost, server_lost };

// Streams `n` words out and counts them. False when the output has failed.
bool keep_words(acquisition_state &s, const int *words, int n);
// The progress line, where one is shown.
void show(acquisition_state &s);
// Each turn of a run: progress, and with --rotate the next file once this
// one's interval is over. False, said with the words lost, when that failed.
bool next_turn(acquisition_state &s);
