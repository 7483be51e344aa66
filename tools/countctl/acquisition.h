// countctl read and acquire: waiting for data, reading it out, streaming it
// to the output, and ending cleanly on a time limit, a signal or a failure.
#pragma once

#include <cstdio>
#include <string>

#include "bus_lock.h"
#include "count_output.h"
#include "gap_marker.h"

struct settings_request {
    bool threshold_given = false, polarity_given = false, period_given = false;
    int threshold = 0, polarity = 0, period = 0;
};

// acquire --server HOST[:PORT]: an scpi_server's SCPI socket.
struct server_address {
    std::string host; // empty: this Pi's own bus
    int port = 5025;
    std::string where() const { return host + ":" + std::to_string(port); }
};

struct acquisition_request {
    bool acquire = false;        // acquire, else read
    settings_request settings;   // acquire only
    long long target_words = 0;  // acquire --words; 0: none
    double seconds = -1;         // acquire --seconds, read --timeout; below 0: none
    std::string output_path;     // empty: standard output
    std::string output_asked;    // -o as given, before the configuration's output_dir
    std::string config_path;     // the configuration file read, if any
    count_format format = count_format::csv;
    bool quiet = false;
    bool summary = false;        // --summary: the histogram too, off a terminal
    double tick = 0;             // --tick: seconds in the instrument's period unit; 0: no time axis
    double rotate_seconds = 0;   // --rotate: a new file every this many seconds; 0: one output
    std::string output_dir;      // --output-dir: where rotated files go
    std::string command_line;    // for the file's first line
    std::string config_note;     // which configuration file gave which setting
    bus_wait wait;               // --wait
    gap_marker marker = gap_marker::none; // the configuration's gap_marker
    server_address server;       // acquire --server: read by index from its journal
};

// Sends the settings asked for (period, polarity, then threshold); returns
// the threshold read back, or -1 when none was sent.
long long apply_settings(const settings_request &s);

// Opens the output first (a path that cannot be written is refused before
// the bus is taken), takes and starts the bus, then reads.
int run_acquisition(const acquisition_request &r, int out_fd, std::FILE *err);
