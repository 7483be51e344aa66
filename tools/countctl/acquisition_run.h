// What a recording keeps while it runs, wherever its words come from (this
// Pi's bus, or an scpi_server's journal), and the steps it gives a source.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
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

// What a source of words does with them, given by the recording: keep them
// (false when the output has failed), each turn of the run (progress, a
// rotated file; false ends it), as run_loop's reader does, and the progress
// line's last drawing.
struct recording_steps {
    std::function<bool(const int *words, int n)> keep;
    std::function<bool()> each_turn;
    std::function<void()> show; // the progress line, drawn once more at the end
};
