// Counts in an HDF5 file, as analysis opens them (h5py, MATLAB, ROOT):
//
//   /entry                 NX_class NXentry; the settings, program, version,
//                          platform, start and end, words and gaps as attributes:
//                          numbers as numbers (threshold, polarity, period, words,
//                          gaps, the read-back, tick_s, ...), text as UTF-8
//   /entry/data            NX_class NXdata, signal "counts", axes "time_s" or "index"
//   /entry/data/counts     int32, chunked and compressed, one per word read
//   /entry/data/time_s     float64, index x period x tick (with a tick)
//   /entry/read_out/first_index, /entry/read_out/utc_s
//                          each read-out: the index of its first word, and its
//                          UTC time in seconds since 1970 (to the millisecond)
//   /counts, /time_s       the same datasets, linked at the root
//
// NeXus's names where they cost nothing. The file is written as counts
// come, in chunks; the caller writes it under a temporary name and renames
// it when it is closed.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct hdf5_counts;

// False when this build has no HDF5 library.
bool hdf5_available();

// Creates the file; nullptr, with the reason.
// `first_index`: the index the file's first word has in the run.
hdf5_counts *hdf5_create(const std::string &path, double seconds_per_word, std::string &error,
                         unsigned long long first_index = 1);
// An attribute of /entry: text (UTF-8, of variable length), a whole number
// (int64) or a real one (float64). Keys are made HDF5-safe (spaces become _).
void hdf5_attribute(hdf5_counts *h, const std::string &key, const std::string &value);
void hdf5_attribute(hdf5_counts *h, const std::string &key, long long value);
void hdf5_attribute(hdf5_counts *h, const std::string &key, double value);
// A read-out: the index of its first word and its UTC time (seconds since 1970).
void hdf5_read_out(hdf5_counts *h, unsigned long long first_index, double utc_seconds);
// Counts at the end of the datasets. False, with the reason.
bool hdf5_append(hdf5_counts *h, const int *counts, int n, std::string &error);
// Writes what is pending and closes the file. False, with the reason.
bool hdf5_close(hdf5_counts *h, std::string &error);
// Closes the file, whatever is pending (it is to be removed).
void hdf5_abandon(hdf5_counts *h);

// What a file countctl wrote holds, read back (for plots): the counts, their
// times (empty without a tick), and /entry's text attributes. False, with
// the reason, when it is no such file.
struct hdf5_read_back {
    std::vector<int> counts;
    std::vector<double> times;
    std::vector<std::pair<std::string, std::string>> text;
};
bool hdf5_read(const std::string &path, hdf5_read_back &into, std::string &error);
