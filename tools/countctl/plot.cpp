#include "plot.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "atomic_file.h"
#include "countctl_common.h"
#include "count_files.h"

extern char **environ;

namespace {

struct table {
    std::vector<std::string> columns;
    std::vector<std::vector<double>> rows;
    std::map<std::string, std::string> said; // '# name: value' lines of the header
};

bool read_table(const std::string &path, table &t, std::string &error)
{
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("# ", 0) == 0) {
            const std::size_t colon = line.find(": ");
            if (colon != std::string::npos && t.columns.empty())
                t.said.emplace(line.substr(2, colon - 2), line.substr(colon + 2));
            continue;
        }
        std::vector<std::string> cells;
        std::stringstream split(line);
        for (std::string cell; std::getline(split, cell, ',');)
            cells.push_back(cell);
        if (t.columns.empty()) {
            t.columns = cells;
            continue;
        }
        std::vector<double> row;
        for (const std::string &c : cells)
            row.push_back(std::strtod(c.c_str(), nullptr));
        if (row.size() == t.columns.size())
            t.rows.push_back(row);
    }
    const bool counts = t.columns.size() >= 2 && t.columns[0] == "index" && t.columns[1] == "count";
    const bool scan = !t.columns.empty() && t.columns[0] == "threshold";
    if (!counts && !scan) {
        error = path + " is not a file countctl wrote (its header row is neither index,count nor threshold,...)";
        return false;
    }
    return true;
}

// Text for a gnuplot string in single quotes.
std::string quoted(const std::string &s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("''") : std::string(1, c == '\n' ? ' ' : c);
    return q + "'";
}

// Files of counts countctl wrote (one, or a rotated run's), as one table;
// the first file's header says what the run was.
bool read_run_table(const std::vector<std::string> &paths, table &t, gap_marker &marker, std::string &error)
{
    count_file f;
    std::uint64_t next = 0;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (!read_count_file(paths[i], f, error))
            return false;
        if (i == 0) {
            t.columns = {"index", "count"};
            if (!f.times.empty())
                t.columns.push_back("time_s");
            for (const std::string &line : f.header) {
                const std::size_t colon = line.find(": ");
                if (colon != std::string::npos)
                    t.said.emplace(line.substr(0, colon), line.substr(colon + 2));
            }
            if (f.marker_said)
                marker = f.marker;
        } else if (f.first_index != next) {
            error = "the indices break between " + paths[i - 1] + " and " + paths[i] + ": not one run";
            return false;
        }
        for (std::size_t k = 0; k < f.words.size(); ++k) {
            t.rows.push_back({static_cast<double>(f.first_index + k), static_cast<double>(f.words[k])});
            if (t.columns.size() > 2)
                t.rows.back().push_back(k < f.times.size() ? f.times[k] : 0);
        }
        next = f.first_index + f.words.size();
    }
    return true;
}

// A scan's CSV: its header row begins with threshold.
bool is_scan(const std::string &path)
{
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("#", 0) != 0)
            return line.rfind("threshold,", 0) == 0;
    return false;
}

// "countctl: run.csv; settings sent threshold 1000, period 4; ...": the
// file's name, and the settings it says it was made with.
std::string title_of(const table &t, const std::string &path)
{
    std::string title = "countctl: " + path.substr(path.rfind('/') + 1);
    for (const char *key : {"scan", "settings sent", "each threshold", "polarity", "period", "tick"}) {
        const auto it = t.said.find(key);
        if (it != t.said.end()) // a setting's value, up to its explanation
            title += "; " + std::string(key) + " " + it->second.substr(0, std::min<std::size_t>(it->second.find(';'), 48));
    }
    return title.size() > 140 ? title.substr(0, 137) + "..." : title;
}

std::string terminal_for(const std::string &out_path)
{
    const std::string ext = out_path.size() > 4 ? out_path.substr(out_path.size() - 4) : "";
    if (ext == ".svg")
        return "set terminal svg size 1000,700 dynamic background '#ffffff' font 'sans,11'\n";
    if (ext == ".png")
        return "set terminal pngcairo size 1000,700 font 'sans,10'\n";
    if (ext == ".pdf")
        return "set terminal pdfcairo size 10in,7in font 'sans,10'\n";
    return "";
}

// Counts against time (or index) over their histogram.
std::string counts_script(const table &t, const std::string &title, gap_marker marker)
{
    const bool timed = t.columns.size() > 2 && t.columns[2] == "time_s";
    std::ostringstream s;
    s << "$counts << EOD\n";
    const std::size_t every = std::max<std::size_t>(1, t.rows.size() / 200000); // a picture shows no more
    std::map<int, std::uint64_t> histogram;
    for (std::size_t i = 0; i < t.rows.size(); ++i) {
        const int count = read_marked(marker, static_cast<int>(static_cast<long long>(t.rows[i][1]))).count;
        ++histogram[count];
        if (i % every == 0)
            s << (timed ? t.rows[i][2] : t.rows[i][0]) << ' ' << count << '\n';
    }
    s << "EOD\n$histogram << EOD\n";
    // Bars as wide as the closest two counts allow, on whole numbers of
    // measurements from 0: a file of a few words draws as plainly as a big one.
    std::uint64_t most = 1;
    double narrowest = 0; // the smallest step between two counts
    for (auto at = histogram.begin(); at != histogram.end(); ++at) {
        s << at->first << ' ' << at->second << '\n';
        most = std::max(most, at->second);
        if (at != histogram.begin()) {
            const double step = static_cast<double>(at->first) - std::prev(at)->first;
            narrowest = narrowest == 0 ? step : std::min(narrowest, step);
        }
    }
    if (narrowest == 0)
        narrowest = 1;
    // The axes from what the data span, a little beyond: never below zero
    // for an index, a time or a count, unless the data are.
    const double x_first = t.rows.empty() ? 0 : t.rows.front()[timed ? 2 : 0];
    const double x_last = t.rows.empty() ? 1 : t.rows.back()[timed ? 2 : 0];
    const double x_pad = std::max((x_last - x_first) * 0.02, timed ? 1e-9 : 1.0);
    const double x_from = x_first >= 0 ? std::max(0.0, x_first - x_pad) : x_first - x_pad, x_to = x_last + x_pad;
    // Wider than a word: a count of INT_MIN or INT_MAX has room beyond it.
    const long long lowest = histogram.empty() ? 0 : histogram.begin()->first;
    const long long highest = histogram.empty() ? 0 : histogram.rbegin()->first;
    s << "EOD\n"
      << "set multiplot layout 2,1 title " << quoted(title) << " noenhanced\n"
      << "set xlabel " << quoted(timed ? "time since the run's start (s)" : "index (word)") << "\n"
      << "set ylabel 'count (pulses a measurement)'\nset grid\n"
      << "set xrange [" << x_from << ":" << x_to << "]\n"
      << "set yrange [" << (lowest >= 0 ? std::max(0LL, lowest - 1) : lowest - 1) << ":" << highest + 1 << "]\n"
      << "plot $counts using 1:2 with linespoints pointtype 7 pointsize 0.3 linecolor rgb '#1a5fb4' notitle\n"
      << "set xlabel 'count (pulses a measurement)'\nset ylabel 'measurements'\nset style fill solid 0.6\n"
      << "set xrange [" << (lowest >= 0 ? std::max(0.0, static_cast<double>(lowest) - narrowest) : static_cast<double>(lowest) - narrowest)
      << ":" << static_cast<double>(highest) + narrowest << "]\n"
      << "set yrange [0:" << most + (most + 9) / 10 << "]\nset format y '%.0f'\n"
      << (most < 10 ? "set ytics 1\n" : "")
      << "set boxwidth " << 0.8 * narrowest << " absolute\n"
      << "plot $histogram using ($1 + " << 0.4 * narrowest << "):2 with boxes linecolor rgb '#26a269' notitle\n"
      << "unset multiplot\n";
    return s.str();
}

// A scan's rate against threshold, with the square root of its counts as
// the error of each point.
std::string scan_script(const table &t, const std::string &title)
{
    std::ostringstream s;
    s << "$scan << EOD\n";
    for (const std::vector<double> &r : t.rows) // threshold,words,sum,mean,seconds,rate
        s << r[0] << ' ' << r[5] << ' ' << (r[4] > 0 ? std::sqrt(r[2]) / r[4] : 0) << '\n';
    double from = t.rows.empty() ? 0 : t.rows.front()[0], to = t.rows.empty() ? 4095 : t.rows.back()[0];
    if (from > to)
        std::swap(from, to); // a scan downwards
    const double pad = std::max((to - from) * 0.03, 1.0);
    s << "EOD\n"
      << "set title " << quoted(title) << " noenhanced\n"
      << "set xrange [" << std::max(0.0, from - pad) << ":" << to + pad << "]\n"
      << "set xlabel 'threshold (discriminator units, 0..4095)'\n"
      << "set ylabel 'rate (counts/s)'\nset grid\nset logscale y\n"
      << "set offsets 0, 0, graph 0.03, graph 0.03\n" // no end point on the frame
      << "plot $scan using 1:2:3 with yerrorbars pointtype 7 linecolor rgb '#c64600' title 'rate, error sqrt(counts)/s', "
         "$scan using 1:2 with lines linecolor rgb '#c64600' notitle\n";
    return s.str();
}

// Runs gnuplot with the script on its standard input: its exit status, or
// -1 when it could not be started.
int gnuplot(const std::string &script, std::string &error)
{
    int in[2];
    if (pipe(in) != 0) {
        error = std::strerror(errno);
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    char name[] = "gnuplot";
    char *argv[] = {name, nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, "gnuplot", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    if (spawned != 0) {
        close(in[1]);
        error = spawned == ENOENT ? "gnuplot is missing (apt-get install gnuplot-nox)" : std::strerror(spawned);
        return -1;
    }
    std::size_t done = 0;
    while (done < script.size()) {
        const ssize_t n = write(in[1], script.data() + done, script.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    close(in[1]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || done < script.size())
        error = "gnuplot failed";
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

int run_plot(const std::vector<std::string> &given, const std::string &out_path, gap_marker marker, std::FILE *err)
{
    const std::string terminal = terminal_for(out_path);
    if (terminal.empty()) {
        std::fprintf(err, "%s: plot writes .svg, .png or .pdf, not '%s'\n", countctl_name, out_path.c_str());
        return exit_usage;
    }
    table t;
    std::string error;
    std::vector<std::string> paths;
    bool read = files_of_run(given, paths, error);
    if (read && paths.size() == 1 && is_scan(paths[0]))
        read = read_table(paths[0], t, error);
    else if (read)
        read = read_run_table(paths, t, marker, error);
    if (!read) {
        std::fprintf(err, "%s: %s\n", countctl_name, error.c_str());
        return 1;
    }
    const std::string csv_path = paths[0];
    // Drawn beside the target, then renamed: a picture appears whole or not at all.
    std::string temp;
    const int fd = open_beside(out_path, temp);
    if (fd < 0) {
        std::fprintf(err, "%s: cannot write %s: %s\n", countctl_name, out_path.c_str(), std::strerror(errno));
        return exit_output_failed;
    }
    const mode_t mask = umask(0);
    umask(mask);
    const bool usable = fchmod(fd, 0666 & ~mask) == 0; // as a new file would be, not mkstemp's 0600
    close(fd);
    if (!usable) {
        unlink(temp.c_str());
        std::fprintf(err, "%s: cannot write %s: %s\n", countctl_name, out_path.c_str(), std::strerror(errno));
        return exit_output_failed;
    }
    const std::string script = terminal + "set output " + quoted(temp) + "\n" +
                               (t.columns[0] == "threshold" ? scan_script(t, title_of(t, csv_path))
                                                            : counts_script(t, title_of(t, csv_path), marker)) +
                               "set output\n";
    const int status = gnuplot(script, error);
    if (status != 0 || std::rename(temp.c_str(), out_path.c_str()) != 0) {
        unlink(temp.c_str());
        std::fprintf(err, "%s: cannot draw %s: %s\n", countctl_name, out_path.c_str(),
                     error.empty() ? std::strerror(errno) : error.c_str());
        return exit_output_failed;
    }
    sync_directory_of(out_path);
    return exit_ok;
}
