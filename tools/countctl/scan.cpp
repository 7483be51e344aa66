#include "scan.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <chrono>
#include <cmath>
#include <cstring>

#include "bus_lock.h"
#include "count_output.h"
#include "count_summary.h"
#include "countctl_common.h"
#include "data_wait.h"
#include "numbers.h"
#include "platform.h"
#include "program_options.h"
#include "run_loop.h"
#include "spi.h"
#include "stop_signals.h"
#include "utc_time.h"

namespace {

using clock_type = std::chrono::steady_clock;

int words[max_data_words];

// One threshold's acquisition: its words summed as countctl sums any.
struct point {
    count_summary summary;
    double seconds = 0; // live time (words x period x tick) with a tick, else the run's wall time
};

enum class scan_end { done, signal, instrument, output_failed, bus_lost };

void read_into(point &p, int n) { add_counts(p.summary, words, readDATA(n, words, max_data_words)); }

// A run at the threshold already set, until its words or its time. What
// the instrument still holds after the target was measured at this
// threshold too: it is read out and left out, so that none of it counts at
// the next. The end of the run, as the run loop tells it.
run_end measure(const scan_request &r, point &p)
{
    const auto began = clock_type::now();
    run_limits limits;
    limits.target_words = r.target_words;
    if (r.seconds >= 0)
        limits.deadline = began + std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(r.seconds));
    run_reader reader;
    reader.take = [&p](int n) {
        read_into(p, n);
        return true;
    };
    reader.taken = [&p] { return p.summary.words; };
    reader.past_target = [](int n) { // read out and left out
        readDATA(n, words, max_data_words);
        return true;
    };
    const run_end e = run_and_read(limits, reader);
    p.seconds = r.tick > 0 ? static_cast<double>(p.summary.words) * r.settings.period * r.tick
                           : std::chrono::duration<double>(clock_type::now() - began).count();
    return e;
}

std::string row_of(int threshold, const point &p)
{
    char row[200];
    const long double mean = p.summary.words > 0 ? p.summary.sum / p.summary.words : 0;
    const double rate = p.seconds > 0 ? static_cast<double>(p.summary.sum) / p.seconds : 0;
    std::snprintf(row, sizeof row, "%d,%llu,%.0Lf,%.6Lf,%.9g,%.9g", threshold, static_cast<unsigned long long>(p.summary.words),
                  p.summary.sum, mean, p.seconds, rate);
    return row;
}

void put_scan_header(count_output &out, const scan_request &r)
{
    put_comment(out, std::string("countctl ") + program_version() + ": " + r.command_line);
    put_comment(out, std::string("platform: ") + platform_name());
    put_comment(out, "started: " + utc_now());
    if (!r.config_note.empty())
        put_comment(out, "configuration: " + r.config_note);
    put_comment(out, "scan: threshold " + std::to_string(r.from) + " to " + std::to_string(r.to) + " in steps of " +
                         std::to_string(r.step));
    std::string each = "each threshold:";
    if (r.target_words > 0)
        each += " " + std::to_string(r.target_words) + " words";
    if (r.seconds >= 0) {
        char s[48];
        std::snprintf(s, sizeof s, "%s%g s", r.target_words > 0 ? " or " : " ", r.seconds);
        each += s;
    }
    put_comment(out, each + (r.target_words > 0 && r.seconds >= 0 ? ", whichever comes first" : ""));
    if (r.settings.polarity_given)
        put_comment(out, "polarity: " + std::to_string(r.settings.polarity));
    if (r.settings.period_given)
        put_comment(out, "period: " + std::to_string(r.settings.period));
    char seconds[200];
    if (r.tick > 0)
        std::snprintf(seconds, sizeof seconds, "tick: %.9g s; seconds is live time, words x period x tick", r.tick);
    else
        std::snprintf(seconds, sizeof seconds, "seconds is each run's wall time (give --tick for live time)");
    put_comment(out, seconds);
    put_comment(out, "sum is the counts added up; mean = sum / words; rate = sum / seconds (counts a second)");
    put_row(out, "threshold,words,sum,mean,seconds,rate");
}

// The threshold at the end: the lab's usual one set back, or said as left.
void leave_threshold(count_output &out, const scan_request &r, int last, std::FILE *err)
{
    if (r.usual_threshold) {
        const int back = setTHR(*r.usual_threshold);
        put_comment(out, "threshold: set back to " + std::to_string(back) + ", the configuration's");
        return;
    }
    const std::string left = "threshold: left at " + std::to_string(last) +
                             ", the scan's last; the one before the scan is not known (the instrument's threshold "
                             "cannot be read without setting it)";
    put_comment(out, left);
    if (!r.quiet)
        std::fprintf(err, "%s: %s\n", countctl_name, left.c_str());
}

void show_scan_progress(std::FILE *err, bool shown, int threshold, int done, int all)
{
    if (!shown)
        return;
    std::fprintf(err, "\r\033[Kthreshold %d: %d of %d", threshold, done + 1, all);
    std::fflush(err);
}

} // namespace

bool parse_threshold_range(const std::string &text, scan_request &r, std::string &error)
{
    const std::size_t a = text.find(':');
    const std::size_t b = a == std::string::npos ? a : text.find(':', a + 1);
    long long from = 0, to = 0, step = 1;
    if (a == std::string::npos || !read_integer("the scan's FROM", text.substr(0, a), 0, 4095, from, error) ||
        !read_integer("the scan's TO", text.substr(a + 1, b == std::string::npos ? b : b - a - 1), 0, 4095, to, error) ||
        (b != std::string::npos && !read_integer("the scan's STEP", text.substr(b + 1), 1, 4095, step, error))) {
        if (error.empty())
            error = "a threshold range is FROM:TO:STEP, 0..4095, not '" + text + "'";
        return false;
    }
    r.from = static_cast<int>(from);
    r.to = static_cast<int>(to);
    r.step = static_cast<int>(from <= to ? step : -step);
    return true;
}

namespace {

// The output opened and the bus taken and started; 0, or the status to end
// with (nothing was sent).
int open_scan(const scan_request &r, count_output &out, int out_fd, std::FILE *err)
{
    std::string error;
    if (!open_count_output(out, r.output_path, count_format::csv, out_fd, error)) {
        std::fprintf(err, "%s: %s\n", countctl_name, error.c_str());
        return exit_output_failed;
    }
    if (const int refused = take_bus(countctl_name, err, r.wait)) {
        discard_count_output(out);
        return refused;
    }
    if (!setup_io()) {
        discard_count_output(out);
        return platform_setup_failure_status();
    }
    return exit_ok;
}

struct scan_progress {
    scan_end end = scan_end::done;
    int last = 0; // the threshold of the last run begun
    int done = 0; // runs begun
    int all = 0;
};

// One run a threshold, in order, a row each, until the last or a run that
// cannot be finished.
scan_progress scan_thresholds(const scan_request &r, count_output &out, std::FILE *err)
{
    const bool progress = !r.quiet && isatty(fileno(err)) == 1;
    scan_progress s;
    s.all = (r.to - r.from) / r.step + 1;
    int at = r.from;
    for (; s.done < s.all && s.end == scan_end::done; ++s.done, at += r.step) {
        show_scan_progress(err, progress, at, s.done, s.all);
        const int back = setTHR(at);
        point p;
        p.summary.marker = r.marker;
        const run_end measured = back == at ? measure(r, p) : run_end::reader_failed;
        if (back != at)
            s.end = scan_end::instrument;
        else if (measured == run_end::signal)
            s.end = scan_end::signal;
        else if (measured == run_end::bus_lost)
            s.end = scan_end::bus_lost;
        else
            put_row(out, row_of(at, p));
        if (s.end == scan_end::done && !flush_counts(out))
            s.end = scan_end::output_failed;
    }
    if (progress)
        std::fputs("\r\033[K", err);
    s.last = at - r.step;
    return s;
}

// The file's last lines: when it ended, the rows, and why it stopped.
void put_scan_end(count_output &out, const scan_progress &s)
{
    put_comment(out, "ended: " + utc_now());
    put_comment(out, "rows: " + std::to_string(s.end == scan_end::done ? s.done : s.done - 1) + " of " +
                         std::to_string(s.all));
    const std::string during = " during threshold " + std::to_string(s.last) + " (its row is not written)";
    switch (s.end) {
    case scan_end::done: put_comment(out, "stopped: scan complete"); break;
    case scan_end::signal: put_comment(out, "stopped: " + signal_name(stop_signal()) + during); break;
    case scan_end::bus_lost: put_comment(out, "stopped: the bus was taken by another program" + during); break;
    case scan_end::instrument:
        put_comment(out, "stopped: the instrument read back another threshold than " + std::to_string(s.last));
        break;
    case scan_end::output_failed: break;
    }
}

// The exit status of a scan whose file is complete, with what is said of it.
int scan_status(const scan_progress &s, std::FILE *err)
{
    switch (s.end) {
    case scan_end::signal: return exit_signal_base + stop_signal();
    case scan_end::bus_lost:
        std::fprintf(err, "%s: the scan ended: another program took the bus; the rows done are written\n", countctl_name);
        return exit_bus_taken;
    case scan_end::instrument:
        std::fprintf(err, "%s: the instrument read back another threshold than %d; the scan stopped there\n",
                     countctl_name, s.last);
        return exit_instrument;
    default: return exit_ok;
    }
}

} // namespace

int run_scan(const scan_request &r, int out_fd, std::FILE *err)
{
    count_output out;
    if (const int status = open_scan(r, out, out_fd, err); status != exit_ok)
        return status;
    settings_request once = r.settings; // polarity and period; the thresholds come one by one
    once.threshold_given = false;
    apply_settings(once);
    put_scan_header(out, r);
    const scan_progress s = scan_thresholds(r, out, err);
    leave_threshold(out, r, s.last, err);
    put_scan_end(out, s);
    std::string error;
    if (s.end == scan_end::output_failed || !finish_count_output(out, error)) {
        std::fprintf(err, "%s: cannot write %s: %s\n", countctl_name, output_name(out).c_str(),
                     error.empty() ? std::strerror(out.out->error) : error.c_str());
        return exit_output_failed;
    }
    return scan_status(s, err);
}
