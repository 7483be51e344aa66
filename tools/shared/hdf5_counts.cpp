#include "hdf5_counts.h"

#include <cstdint>
#include <cstdio>
#include <variant>
#include <vector>

#include <hdf5.h>

struct hdf5_counts {
    hid_t file = -1, entry = -1, data = -1, counts = -1, times = -1;
    hid_t read_out = -1, read_out_first = -1, utc = -1;
    double seconds_per_word = 0;
    std::uint64_t first_index = 1;       // of the file's first word, in the run
    std::uint64_t written = 0;           // words in the datasets
    std::vector<std::int32_t> pending;   // words not yet in them
    std::uint64_t read_outs_written = 0;
    std::vector<std::uint64_t> pending_first; // read-outs not yet in theirs
    std::vector<double> pending_utc;
    std::vector<std::pair<std::string, std::variant<std::string, long long, double>>> attributes;
};

namespace {

constexpr hsize_t chunk = 16384;

// A scalar attribute of `type` (stored as `file_type`), replacing one of its name.
void set_attribute(hid_t on, const std::string &key, hid_t file_type, hid_t type, const void *value)
{
    const hid_t space = H5Screate(H5S_SCALAR);
    if (H5Aexists(on, key.c_str()) > 0)
        H5Adelete(on, key.c_str());
    const hid_t attribute = H5Acreate2(on, key.c_str(), file_type, space, H5P_DEFAULT, H5P_DEFAULT);
    if (attribute >= 0) {
        H5Awrite(attribute, type, value);
        H5Aclose(attribute);
    }
    H5Sclose(space);
}

// Text as analysis wants it: UTF-8, of variable length (h5py gives a str).
void set_text_attribute(hid_t on, const std::string &key, const std::string &value)
{
    const hid_t type = H5Tcopy(H5T_C_S1);
    H5Tset_size(type, H5T_VARIABLE);
    H5Tset_cset(type, H5T_CSET_UTF8);
    const char *text = value.c_str();
    set_attribute(on, key, type, type, &text);
    H5Tclose(type);
}

void set_attribute(hid_t on, const std::string &key, const std::variant<std::string, long long, double> &value)
{
    if (const auto *text = std::get_if<std::string>(&value))
        return set_text_attribute(on, key, *text);
    if (const auto *whole = std::get_if<long long>(&value))
        return set_attribute(on, key, H5T_STD_I64LE, H5T_NATIVE_LLONG, whole);
    set_attribute(on, key, H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, &std::get<double>(value));
}

// An extendible one-dimensional dataset, chunked and compressed.
hid_t extendible(hid_t group, const char *name, hid_t type)
{
    const hsize_t now = 0, most = H5S_UNLIMITED;
    const hid_t space = H5Screate_simple(1, &now, &most);
    const hid_t properties = H5Pcreate(H5P_DATASET_CREATE);
    H5Pset_chunk(properties, 1, &chunk);
    H5Pset_shuffle(properties);
    H5Pset_deflate(properties, 4);
    const hid_t set = H5Dcreate2(group, name, type, space, H5P_DEFAULT, properties, H5P_DEFAULT);
    H5Pclose(properties);
    H5Sclose(space);
    return set;
}

bool append_to(hid_t set, hid_t memory_type, const void *values, hsize_t from, hsize_t n)
{
    const hsize_t size = from + n;
    if (H5Dset_extent(set, &size) < 0)
        return false;
    const hid_t file_space = H5Dget_space(set);
    const hid_t memory_space = H5Screate_simple(1, &n, nullptr);
    H5Sselect_hyperslab(file_space, H5S_SELECT_SET, &from, nullptr, &n, nullptr);
    const bool written = H5Dwrite(set, memory_type, memory_space, file_space, H5P_DEFAULT, values) >= 0;
    H5Sclose(memory_space);
    H5Sclose(file_space);
    return written;
}

bool write_pending(hdf5_counts *h, std::string &error)
{
    if (h->pending.empty())
        return true;
    const hsize_t n = h->pending.size();
    bool written = append_to(h->counts, H5T_NATIVE_INT32, h->pending.data(), h->written, n);
    if (written && h->times >= 0) {
        std::vector<double> seconds(n);
        for (hsize_t i = 0; i < n; ++i)
            seconds[i] = static_cast<double>(h->first_index + h->written + i) * h->seconds_per_word;
        written = append_to(h->times, H5T_NATIVE_DOUBLE, seconds.data(), h->written, n);
    }
    if (!written) {
        error = "the HDF5 library could not write the counts (a full disk?)";
        return false;
    }
    h->written += n;
    h->pending.clear();
    // Flushed at every chunk, so that a write that fails (a full disk) is
    // known at once, while the run can still be stopped, and not only at
    // the end, when the library's caches are written.
    if (H5Fflush(h->file, H5F_SCOPE_LOCAL) < 0) {
        error = "the HDF5 library could not write the counts (a full disk?)";
        return false;
    }
    return true;
}

bool write_pending_read_outs(hdf5_counts *h)
{
    if (h->pending_first.empty())
        return true;
    const hsize_t n = h->pending_first.size();
    const bool written = append_to(h->read_out_first, H5T_NATIVE_UINT64, h->pending_first.data(), h->read_outs_written, n) &&
                         append_to(h->utc, H5T_NATIVE_DOUBLE, h->pending_utc.data(), h->read_outs_written, n);
    h->read_outs_written += n;
    h->pending_first.clear();
    h->pending_utc.clear();
    return written;
}

void close_all(hdf5_counts *h)
{
    for (hid_t set : {h->counts, h->times, h->read_out_first, h->utc})
        if (set >= 0)
            H5Dclose(set);
    for (hid_t group : {h->read_out, h->data, h->entry})
        if (group >= 0)
            H5Gclose(group);
    if (h->file >= 0)
        H5Fclose(h->file);
    delete h;
}

} // namespace

bool hdf5_available() { return true; }

hdf5_counts *hdf5_create(const std::string &path, double seconds_per_word, std::string &error,
                         unsigned long long first_index)
{
    // A file the library failed to close stays in its tables, and its own
    // clean-up at exit would then crash (H5F__close_cb): every file is
    // closed here, so the library is left to the process's end.
    H5dont_atexit();
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr); // failures are said by the program, once
    auto *h = new hdf5_counts;
    h->seconds_per_word = seconds_per_word;
    h->first_index = first_index;
    h->file = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    if (h->file >= 0) {
        h->entry = H5Gcreate2(h->file, "entry", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
        h->data = H5Gcreate2(h->entry, "data", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
        h->counts = extendible(h->data, "counts", H5T_STD_I32LE);
        if (seconds_per_word > 0)
            h->times = extendible(h->data, "time_s", H5T_IEEE_F64LE);
        h->read_out = H5Gcreate2(h->entry, "read_out", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
        h->read_out_first = extendible(h->read_out, "first_index", H5T_STD_U64LE);
        h->utc = extendible(h->read_out, "utc_s", H5T_IEEE_F64LE);
    }
    if (h->file < 0 || h->entry < 0 || h->data < 0 || h->counts < 0 || (seconds_per_word > 0 && h->times < 0)) {
        error = "cannot create the HDF5 file " + path;
        close_all(h);
        return nullptr;
    }
    set_text_attribute(h->file, "NX_class", "NXroot");
    set_text_attribute(h->entry, "NX_class", "NXentry");
    set_text_attribute(h->data, "NX_class", "NXdata");
    set_text_attribute(h->data, "signal", "counts");
    set_text_attribute(h->data, "axes", seconds_per_word > 0 ? "time_s" : ".");
    const long long first = static_cast<long long>(first_index);
    set_attribute(h->entry, "first_index", H5T_STD_I64LE, H5T_NATIVE_LLONG, &first);
    // Every dataset says its unit (UDUNITS names; "1": a plain number).
    set_text_attribute(h->counts, "units", "counts");
    set_text_attribute(h->read_out_first, "units", "1");
    set_text_attribute(h->utc, "units", "s");
    set_text_attribute(h->utc, "long_name", "UTC time of the read-out, seconds since 1970-01-01T00:00:00Z");
    H5Lcreate_hard(h->data, "counts", h->file, "counts", H5P_DEFAULT, H5P_DEFAULT);
    if (h->times >= 0) {
        set_text_attribute(h->times, "units", "s");
        H5Lcreate_hard(h->data, "time_s", h->file, "time_s", H5P_DEFAULT, H5P_DEFAULT);
    }
    return h;
}

namespace {

std::string safe_key(const std::string &key)
{
    std::string safe = key;
    for (char &c : safe)
        if (c == ' ' || c == '/' || c == '.')
            c = '_';
    return safe;
}

} // namespace

void hdf5_attribute(hdf5_counts *h, const std::string &key, const std::string &value)
{
    h->attributes.emplace_back(safe_key(key), value);
}
void hdf5_attribute(hdf5_counts *h, const std::string &key, long long value)
{
    h->attributes.emplace_back(safe_key(key), value);
}
void hdf5_attribute(hdf5_counts *h, const std::string &key, double value)
{
    h->attributes.emplace_back(safe_key(key), value);
}

void hdf5_read_out(hdf5_counts *h, unsigned long long first_index, double utc_seconds)
{
    h->pending_first.push_back(first_index);
    h->pending_utc.push_back(utc_seconds);
    if (h->pending_first.size() >= chunk)
        write_pending_read_outs(h);
}

bool hdf5_append(hdf5_counts *h, const int *counts, int n, std::string &error)
{
    h->pending.insert(h->pending.end(), counts, counts + n);
    return h->pending.size() < chunk || write_pending(h, error);
}

bool hdf5_close(hdf5_counts *h, std::string &error)
{
    bool ok = write_pending(h, error) && write_pending_read_outs(h);
    for (const auto &[key, value] : h->attributes)
        set_attribute(h->entry, key, value);
    ok = H5Fflush(h->file, H5F_SCOPE_GLOBAL) >= 0 && ok;
    if (!ok && error.empty())
        error = "the HDF5 library could not finish the file";
    close_all(h);
    return ok;
}

void hdf5_abandon(hdf5_counts *h) { close_all(h); }

namespace {

// A whole dataset of `type`, or false.
template <typename T>
bool read_dataset(hid_t file, const char *name, hid_t type, std::vector<T> &into)
{
    if (H5Lexists(file, name, H5P_DEFAULT) <= 0)
        return false;
    const hid_t set = H5Dopen2(file, name, H5P_DEFAULT);
    if (set < 0)
        return false;
    const hid_t space = H5Dget_space(set);
    hsize_t n = 0;
    const bool one_dimension = H5Sget_simple_extent_ndims(space) == 1 && H5Sget_simple_extent_dims(space, &n, nullptr) == 1;
    into.resize(one_dimension ? n : 0);
    const bool read = one_dimension && (n == 0 || H5Dread(set, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, into.data()) >= 0);
    H5Sclose(space);
    H5Dclose(set);
    return read;
}

// /entry's text attributes, in the order stored.
herr_t text_attribute(hid_t on, const char *name, const H5A_info_t *, void *data)
{
    auto &text = *static_cast<std::vector<std::pair<std::string, std::string>> *>(data);
    const hid_t attribute = H5Aopen(on, name, H5P_DEFAULT);
    const hid_t type = H5Aget_type(attribute);
    if (H5Tget_class(type) == H5T_STRING && H5Tis_variable_str(type) > 0) {
        const hid_t memory = H5Tcopy(H5T_C_S1);
        H5Tset_size(memory, H5T_VARIABLE);
        H5Tset_cset(memory, H5T_CSET_UTF8);
        char *value = nullptr;
        if (H5Aread(attribute, memory, &value) >= 0 && value != nullptr) {
            text.emplace_back(name, value);
            H5free_memory(value);
        }
        H5Tclose(memory);
    } else if (H5Tget_class(type) == H5T_INTEGER) {
        long long value = 0;
        if (H5Aread(attribute, H5T_NATIVE_LLONG, &value) >= 0)
            text.emplace_back(name, std::to_string(value));
    } else if (H5Tget_class(type) == H5T_FLOAT) {
        double value = 0;
        char number[32];
        if (H5Aread(attribute, H5T_NATIVE_DOUBLE, &value) >= 0) {
            std::snprintf(number, sizeof number, "%.17g", value);
            text.emplace_back(name, number);
        }
    }
    H5Tclose(type);
    H5Aclose(attribute);
    return 0;
}

} // namespace

bool hdf5_read(const std::string &path, hdf5_read_back &into, std::string &error)
{
    H5dont_atexit();
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    const hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    if (file < 0) {
        error = "cannot read " + path + ": not an HDF5 file";
        return false;
    }
    std::vector<std::int32_t> counts;
    bool ok = read_dataset(file, "counts", H5T_NATIVE_INT32, counts);
    if (ok && H5Lexists(file, "time_s", H5P_DEFAULT) > 0)
        ok = read_dataset(file, "time_s", H5T_NATIVE_DOUBLE, into.times) && into.times.size() == counts.size();
    if (ok && H5Lexists(file, "entry", H5P_DEFAULT) > 0) {
        const hid_t entry = H5Gopen2(file, "entry", H5P_DEFAULT);
        hsize_t at = 0;
        H5Aiterate2(entry, H5_INDEX_CRT_ORDER, H5_ITER_INC, &at, text_attribute, &into.text);
        if (into.text.empty()) // attributes kept in name order only
            H5Aiterate2(entry, H5_INDEX_NAME, H5_ITER_INC, &(at = 0), text_attribute, &into.text);
        H5Gclose(entry);
    }
    H5Fclose(file);
    if (!ok) {
        error = path + " is not a file countctl wrote (it has no /counts of int32, or its /time_s does not match)";
        return false;
    }
    into.counts.assign(counts.begin(), counts.end());
    return true;
}
