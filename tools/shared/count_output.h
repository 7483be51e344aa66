// Where countctl writes the counts. CSV: '#' lines with what is known, a
// header row "index,count" and a row per word; plain: one count per line.
//
// - Standard output ("-" or no path).
// - A regular file, or a path where nothing is yet: written under a
//   temporary name beside it, synced, then renamed into place, so a reader
//   sees the old file or the whole new one. A symbolic link is followed: the
//   file it names is replaced and the link stays. An existing file keeps its
//   permission bits (and, for root, its owner and group).
// - An existing character device, FIFO or socket: written straight
//   through, as a stream, and never replaced.
// A path that cannot be written (a directory, a missing directory, no
// permission) is refused when it is opened, before anything is sent.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "output_buffer.h"

enum class count_format { csv, plain, hdf5 };

struct hdf5_counts;

struct count_output {
    std::string path;      // as given; empty: standard output
    std::string target;    // the file that is replaced, the path's links followed
    std::string temp_path; // the file being written, until it is renamed
    bool stream = false;   // standard output, a device, a FIFO: nothing to rename
    bool never_replace = false; // the rename fails (EEXIST) rather than replace a file
    bool closed = false;        // its descriptor is closed: finished, or failed finishing
    count_format format = count_format::csv;
    std::unique_ptr<output_buffer> out; // made when it is opened
    std::uint64_t words_put = 0;
    bool rows_begun = false;            // the header row is put (plain: where it would be)
    double seconds_per_word = 0;        // above 0: a time_s column, index x this
    std::uint64_t index_base = 0;       // words in earlier files of the run: the index goes on from them
    std::uint64_t lines_put = 0;        // after the header row: rows and '#' lines
    std::deque<std::uint64_t> comment_lines; // which of those were '#' lines, while they may be unwritten
    hdf5_counts *hdf5 = nullptr;        // HDF5: the file, made at the header row
    std::vector<std::string> hdf5_notes; // HDF5: the '#' lines before it was made
    std::string hdf5_error;              // HDF5: why the library failed, once it has
};

// Opens the output for `path`, or takes `stdout_fd` when `path` is "-".
// False, with the reason, when it cannot be written.
bool open_count_output(count_output &c, const std::string &path, count_format format, int stdout_fd,
                       std::string &error);
// Removes the temporary file of an output that is given up before any word.
void discard_count_output(count_output &c);

// A '#' line (CSV only), escaped so that it cannot begin a line of its own,
// and the header row (CSV only).
void put_comment(count_output &c, const std::string &text);
void put_header_row(count_output &c);
// A row of another table (a scan's), counted as a word would be.
void put_row(count_output &c, const std::string &line);
// Rows for `n` words, numbered on from the words already put.
void put_counts(count_output &c, const int *counts, int n);

// Writes out what is buffered; false once a write has failed.
bool flush_counts(count_output &c);
// Of the words read from the instrument, those whose rows never reached the
// output: rows written plus this make the words read.
std::uint64_t counts_not_written(const count_output &c, std::uint64_t words_read);

// Flushes; for a file, syncs it, closes it and renames it into place, then
// syncs its directory. False, with the reason.
bool finish_count_output(count_output &c, std::string &error);
// The finished file renamed to `target`; with never_replace, a name taken
// gives target-2, target-3, ... (before the extension), and `target` of the
// output says which. False, with the reason (errno kept).
bool place_count_output(count_output &c, const std::string &target, std::string &error);

// How the output is named in messages: the path given, or "standard output".
std::string output_name(const count_output &c);

// `text` made safe for one line: control characters as \n, \r, \t or \xNN,
// and the backslash doubled.
std::string escaped_line(const std::string &text);
