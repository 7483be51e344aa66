// One countctl command as it is run: its words and options, where its
// output goes, and the lab's configuration; and the readers of the options
// several commands take, each refusing (said on `err`) what it cannot use.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "acquisition.h"
#include "bus_lock.h"
#include "command_line.h"
#include "lab_config.h"
#include "output_buffer.h"

struct invocation {
    const std::vector<std::string> &args;
    parsed_options options;
    output_buffer *out;
    std::FILE *err;
    bus_wait wait;
    lab_config config; // --config, else the user's or the system's: read for every command
};

// Takes the bus (waiting for it with --wait) and starts it. 0, or the
// status to end with: nothing was sent.

// Takes the bus (waiting for it with --wait) and starts it. 0, or the
// status to end with: nothing was sent.
int start_bus(invocation &c);
// Standard output flushed: 0, or the status its failure gives.
int finish_output(output_buffer &out, std::FILE *err);

// --threshold, --polarity, --period, each in its range; false, said, when one is not.
bool settings_options(invocation &c, settings_request &s);
// --words and --seconds: each run's end; at least one unless `optional`.
bool stop_conditions(invocation &c, long long &target_words, double &seconds, bool optional = false);
// --tick, which needs a period to mean anything.
bool tick_option(invocation &c, bool period_given, double &tick);
// -o FILE: false, said, when it names nothing.
bool output_option(invocation &c, std::string &path);
// --rotate INTERVAL and --output-dir DIR (or the configuration's), and no -o.
bool rotation_options(invocation &c, const lab_config &config, acquisition_request &r);

// The command line as given, for a file's first line.
std::string command_line_of(const invocation &c);
// "FILE gave threshold 1000, period 64", or "" when the file gave nothing.
std::string config_note(const lab_config &config, const std::string &gave);
// The settings the command line left out, from the configuration; `gave`
// says which, for the file's header.
void settings_from_config(const lab_config &config, settings_request &s, bool with_threshold, std::string &gave);
// The tick, the format and the output directory from the configuration,
// where the command line gave none.
void output_from_config(invocation &c, const lab_config &config, bool period_known, double &tick,
                        std::string &output_path, count_format *format, std::string &gave);

