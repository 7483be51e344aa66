// The lab's usual settings, in one TOML file shared by countctl and the
// SCPI server:
//
//   threshold = 1000      # 0..4095
//   polarity = 0          # 0 positive, 1 negative pulses
//   period = 64           # 1..4095 ticks
//   tick = 1e-6           # seconds a tick: the instrument's period unit
//   output_dir = "/srv/counts"
//   format = "csv"        # csv, plain or hdf5
//   journal_words = 4194304  # the SCPI server's journal of the words it read
//   gap_marker = "bit31"  # how the instrument marks lost measurements in its
//                         # words, if it does: "none" (the default: words are
//                         # counts, whole) or "bit31" (the virtual instrument's
//                         # way: bit 31 on the first word after a FIFO overflow)
//
// The file is the one named (--config), else
// $XDG_CONFIG_HOME/counter-instrument.toml (~/.config/...), else
// /etc/counter-instrument.toml; none at all is no error. Options given on
// a command line override it.
#pragma once

#include <optional>
#include <string>

#include "gap_marker.h"

struct lab_config {
    std::string path; // the file the settings came from; empty: none
    std::optional<int> threshold, polarity, period;
    std::optional<double> tick;
    std::optional<long long> journal_words; // the server's; countctl reads none
    std::optional<std::string> output_dir, format;
    gap_marker marker = gap_marker::none;
};

// Reads the configuration. False, with the reason naming the file, the line
// and the key, when the file named cannot be read, is not TOML, or holds a
// key or a value this system does not take.
bool load_lab_config(const std::string &named, lab_config &c, std::string &error);

// Where the configuration is looked for when none is named, in order.
std::string user_config_path();
constexpr const char *system_config_path = "/etc/counter-instrument.toml";
