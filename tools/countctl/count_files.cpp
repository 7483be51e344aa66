#include "count_files.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "count_output.h"
#include "countctl_common.h"
#include "hdf5_counts.h"
#include "utc_time.h"

namespace {

// The lines of a run's end, which a merged file says once, for the whole.
bool is_ending_line(const std::string &line)
{
    for (const char *key : {"ended: ", "words: ", "stopped: ", "gaps: "})
        if (line.rfind(key, 0) == 0)
            return true;
    return false;
}

void read_marker(count_file &f)
{
    const std::string rule = f.said("gap marker");
    if (rule.empty())
        return;
    f.marker_said = parse_gap_marker(rule.substr(0, rule.find(' ')), f.marker);
}

bool read_csv(const std::string &path, count_file &f, std::string &error)
{
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    bool columns_read = false, timed = false;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("# ", 0) == 0) {
            if (columns_read)
                f.notes.emplace_back(f.words.size(), line.substr(2));
            else
                f.header.push_back(line.substr(2));
            continue;
        }
        if (!columns_read) {
            if (line != "index,count" && line != "index,count,time_s") {
                error = path + " is not a file of counts countctl wrote (its header row is not index,count)";
                return false;
            }
            columns_read = true;
            timed = line == "index,count,time_s";
            continue;
        }
        char *end = nullptr;
        const unsigned long long index = std::strtoull(line.c_str(), &end, 10);
        if (*end != ',') {
            error = path + ": a row that is no index,count: '" + line.substr(0, 40) + "'";
            return false;
        }
        const long long word = std::strtoll(end + 1, &end, 10);
        if (f.words.empty())
            f.first_index = index;
        else if (index != f.first_index + f.words.size()) {
            error = path + ": its indices break at row " + std::to_string(f.words.size() + 1) + " (index " +
                    std::to_string(index) + ")";
            return false;
        }
        f.words.push_back(static_cast<int>(word));
        if (timed)
            f.times.push_back(*end == ',' ? std::strtod(end + 1, nullptr) : 0);
    }
    if (!columns_read) {
        error = path + " is not a file of counts countctl wrote (it has no header row)";
        return false;
    }
    return true;
}

bool read_h5(const std::string &path, count_file &f, std::string &error)
{
    hdf5_read_back h;
    if (!hdf5_read(path, h, error))
        return false;
    f.words = std::move(h.counts);
    f.times = std::move(h.times);
    for (auto [key, value] : h.text) {
        if (key == "first_index") {
            f.first_index = std::strtoull(value.c_str(), nullptr, 10);
            continue;
        }
        if (key == "NX_class" || key == "gaps_are") // said again when the file is written
            continue;
        std::replace(key.begin(), key.end(), '_', ' ');
        if (is_ending_line(key + ": "))
            f.notes.emplace_back(f.words.size(), key + ": " + value);
        else
            f.header.push_back(key + ": " + value);
    }
    return true;
}

} // namespace

std::string count_file::said(const std::string &key) const
{
    for (const std::string &line : header)
        if (line.rfind(key + ": ", 0) == 0)
            return line.substr(key.size() + 2);
    return "";
}

bool read_count_file(const std::string &path, count_file &f, std::string &error)
{
    f = count_file{};
    f.path = path;
    if (!(names_hdf5(path) ? read_h5(path, f, error) : read_csv(path, f, error)))
        return false;
    read_marker(f);
    return true;
}

bool files_of_run(const std::vector<std::string> &given, std::vector<std::string> &paths, std::string &error)
{
    paths.clear();
    for (const std::string &g : given) {
        struct stat st {};
        if (stat(g.c_str(), &st) != 0) {
            error = "cannot read " + g + ": " + std::strerror(errno);
            return false;
        }
        if (!S_ISDIR(st.st_mode)) {
            paths.push_back(g);
            continue;
        }
        DIR *dir = opendir(g.c_str());
        if (dir == nullptr) {
            error = "cannot read " + g + ": " + std::strerror(errno);
            return false;
        }
        std::vector<std::string> inside;
        while (const dirent *e = readdir(dir)) {
            const std::string name = e->d_name;
            if (name[0] != '.' && (ends_with(name, ".csv") || names_hdf5(name)))
                inside.push_back(g + (ends_with(g, "/") ? "" : "/") + name);
        }
        closedir(dir);
        if (inside.empty()) {
            error = g + " holds no .csv or .h5 file";
            return false;
        }
        std::sort(inside.begin(), inside.end());
        paths.insert(paths.end(), inside.begin(), inside.end());
    }
    return true;
}

namespace {

// The first file's header, as the whole run's: its rotation's line gives
// way to the merge's.
void put_merged_header(count_output &out, const count_file &first, std::size_t files)
{
    for (const std::string &line : first.header)
        if (line.rfind("file ", 0) != 0 && line.rfind("file of the run: ", 0) != 0 && line.rfind("rotate s: ", 0) != 0)
            put_comment(out, line);
    if (files > 1)
        put_comment(out, "merged: " + std::to_string(files) + " files of a rotated run, from index " +
                             std::to_string(first.first_index));
}

// The time axis's step, as the header says it ("... = index x 1.6e-05 s"),
// else as the first row's time gives it.
double seconds_per_word(const count_file &f)
{
    for (const std::string &line : f.header)
        if (const std::size_t at = line.find("= index x "); at != std::string::npos)
            return std::strtod(line.c_str() + at + 10, nullptr);
    return f.first_index > 0 ? f.times[0] / static_cast<double>(f.first_index) : 0;
}

// What the line of `f` that begins with `key` says, or "".
std::string note_of(const count_file &f, const std::string &key)
{
    for (const auto &note : f.notes)
        if (note.second.rfind(key, 0) == 0)
            return note.second.substr(key.size());
    return "";
}

int merge_failed(count_output &out, std::FILE *err, const std::string &why, int status)
{
    discard_count_output(out);
    std::fprintf(err, "%s: %s; nothing was written\n", countctl_name, why.c_str());
    return status;
}

} // namespace

int run_merge(const std::vector<std::string> &given, const std::string &out_path, std::FILE *err)
{
    std::vector<std::string> paths;
    std::string error;
    if (!files_of_run(given, paths, error)) {
        std::fprintf(err, "%s: %s\n", countctl_name, error.c_str());
        return exit_instrument;
    }
    const count_format format = names_hdf5(out_path) ? count_format::hdf5 : count_format::csv;
    if (format == count_format::hdf5 && !hdf5_available())
        return usage_error(err, "this build writes no HDF5 (build it with libhdf5-dev installed)");
    count_output out;
    count_file f, last;
    std::uint64_t next = 0, words = 0, gaps = 0;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (!read_count_file(paths[i], f, error))
            return merge_failed(out, err, error, exit_instrument);
        if (i == 0) {
            if (!open_count_output(out, out_path, format, -1, error))
                return merge_failed(out, err, error, exit_output_failed);
            out.index_base = f.first_index - 1;
            if (!f.times.empty())
                out.seconds_per_word = seconds_per_word(f);
            put_merged_header(out, f, paths.size());
            put_header_row(out);
        } else if (f.first_index != next) {
            return merge_failed(out, err,
                                "the indices break between " + last.path + " (its last " + std::to_string(next - 1) +
                                    ") and " + f.path + " (its first " + std::to_string(f.first_index) + ")",
                                exit_instrument);
        }
        std::size_t row = 0;
        for (const auto &[before, line] : f.notes) {
            if (is_ending_line(line))
                continue;
            put_counts(out, f.words.data() + row, static_cast<int>(before - row));
            row = before;
            put_comment(out, line);
        }
        put_counts(out, f.words.data() + row, static_cast<int>(f.words.size() - row));
        for (const int w : f.words)
            gaps += read_marked(f.marker, w).follows_gap;
        words += f.words.size();
        next = f.first_index + f.words.size();
        last = std::move(f);
    }
    const std::string ended = note_of(last, "ended: ");
    put_comment(out, "ended: " + (ended.empty() ? utc_now() : ended));
    put_comment(out, "words: " + std::to_string(words));
    if (last.marker == gap_marker::bit31 || format == count_format::hdf5)
        put_comment(out, "gaps: " + std::to_string(gaps) +
                             (last.marker == gap_marker::bit31 ? " (words after a FIFO overflow: bit 31 set; their count is bits 30..0)"
                                                               : " (no gap marker: every word is a count)"));
    if (const std::string stopped = note_of(last, "stopped: "); !stopped.empty())
        put_comment(out, "stopped: " + stopped);
    if (!finish_count_output(out, error))
        return merge_failed(out, err, "cannot write " + out_path + ": " + error, exit_output_failed);
    return exit_ok;
}
