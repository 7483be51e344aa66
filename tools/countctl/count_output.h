// Where countctl writes the counts: standard output, or a file that appears
// whole or not at all (written under a temporary name beside it, synced,
// then renamed into place). CSV: '#' lines with what is known, a header row
// "index,count" and a row per word; plain: one count per line.
#pragma once

#include <cstdint>
#include <string>

#include "output_buffer.h"

enum class count_format { csv, plain };

struct count_output {
    std::string path;      // empty: standard output
    std::string temp_path; // the file being written, until it is renamed
    count_format format = count_format::csv;
    output_buffer *out = nullptr;
    std::uint64_t words_put = 0;
};

// Opens FILE.tmp-XXXXXX beside `path`, or takes `stdout_fd` when `path` is
// empty or "-". False, with the reason, when it cannot.
bool open_count_output(count_output &c, const std::string &path, count_format format, int stdout_fd,
                       std::string &error);

// A '#' line (CSV only) and the header row (CSV only).
void put_comment(count_output &c, const std::string &text);
void put_header_row(count_output &c);
// Rows for `n` words, numbered on from the words already put.
void put_counts(count_output &c, const int *counts, int n);

// Writes out what is buffered; false once a write has failed.
bool flush_counts(count_output &c);
// Of the words read from the instrument, those that never reached the output.
std::uint64_t counts_not_written(const count_output &c, std::uint64_t words_read);

// Flushes, syncs and renames the file into place. False, with the reason.
bool finish_count_output(count_output &c, std::string &error);

// How the output is named in messages: the file's name, or "standard output".
std::string output_name(const count_output &c);
