// A build without libhdf5: countctl writes CSV only, and says so when
// HDF5 is asked for.
#include "hdf5_counts.h"

struct hdf5_counts {};

bool hdf5_available() { return false; }
hdf5_counts *hdf5_create(const std::string &, double, std::string &error, unsigned long long)
{
    error = "this build writes no HDF5 (build it with libhdf5-dev installed)";
    return nullptr;
}
void hdf5_attribute(hdf5_counts *, const std::string &, const std::string &) {}
void hdf5_attribute(hdf5_counts *, const std::string &, long long) {}
void hdf5_attribute(hdf5_counts *, const std::string &, double) {}
bool hdf5_read(const std::string &path, hdf5_read_back &, std::string &error)
{
    error = path + ": this build reads no HDF5 (build it with libhdf5-dev installed)";
    return false;
}
void hdf5_read_out(hdf5_counts *, unsigned long long, double) {}
bool hdf5_append(hdf5_counts *, const int *, int, std::string &) { return false; }
bool hdf5_close(hdf5_counts *, std::string &) { return false; }
void hdf5_abandon(hdf5_counts *) {}

