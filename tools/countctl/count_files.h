// Files countctl wrote, read back: one file (CSV or HDF5), or the files of a
// rotated run as one run; and merge and convert, which write them again as
// one file of either format, words, settings and gaps kept.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "gap_marker.h"

struct count_file {
    std::string path;
    // What its '#' lines before the rows say (HDF5: its attributes), in order.
    std::vector<std::string> header;
    // '#' lines among and after the rows: {the number of rows before it, the line}.
    std::vector<std::pair<std::uint64_t, std::string>> notes;
    std::uint64_t first_index = 1; // of its first word, in the run
    std::vector<int> words;
    std::vector<double> times;     // time_s, where the file has it
    bool marker_said = false;      // the file says how its words are marked
    gap_marker marker = gap_marker::none;

    // The value of a "key: value" header line, or "".
    std::string said(const std::string &key) const;
};

// False, with the reason, when `path` is no file of counts countctl wrote.
bool read_count_file(const std::string &path, count_file &f, std::string &error);
// Each FILE given, or every .csv and .h5 file of a DIR given, in the order
// of their names (a rotated run's names are its files' start times).
bool files_of_run(const std::vector<std::string> &given, std::vector<std::string> &paths, std::string &error);

// merge FILE|DIR... -o OUT, convert IN OUT: the words of the files, in
// order, into one file (its format by its name); the indices must go on
// unbroken from file to file, or nothing is written and the break is said.
int run_merge(const std::vector<std::string> &given, const std::string &out_path, std::FILE *err);
