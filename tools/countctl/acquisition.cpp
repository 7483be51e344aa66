#include "acquisition.h"
#include "acquisition_run.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <optional>

#include "count_summary.h"
#include "countctl_common.h"
#include "data_wait.h"
#include "platform.h"
#include "program_options.h"
#include "run_loop.h"
#include "server_recording.h"
#include "spi.h"
#include "stop_signals.h"
#include "utc_time.h"

namespace {

int words[max_data_words];

std::string describe(const settings_request &s)
{
    std::string text;
    if (s.threshold_given)
        text += "threshold " + std::to_string(s.threshold);
    if (s.polarity_given)
        text += (text.empty() ? "" : ", ") + std::string("polarity ") + std::to_string(s.polarity);
    if (s.period_given)
        text += (text.empty() ? "" : ", ") + std::string("period ") + std::to_string(s.period);
    return text.empty() ? "none (the instrument keeps its own)" : text;
}

bool keep_words(acquisition_state &s, const int *words, int n);

// Reads `n` words and streams them out. False when the output has failed.
bool read_words(acquisition_state &s, int n)
{
    return keep_words(s, words, readDATA(n, words, max_data_words));
}


// read: waits as command 8 does, bounded by --timeout, then reads every
// word the instrument reported.
ending read_once(acquisition_state &s)
{
    data_wait how;
    how.err = s.err;
    how.program = countctl_name;
    how.ctrl_c_does = "ends the wait";
    how.quiet = s.request.quiet;
    how.deadline = s.deadline;
    const data_wait_result waited = wait_for_data(how);
    if (waited.end == data_wait_end::signal)
        return ending::signal;
    if (waited.end == data_wait_end::deadline)
        return ending::no_data;
    if (waited.end == data_wait_end::bus_lost)
        return ending::bus_lost;
    return read_words(s, waited.count) ? ending::complete : ending::output_failed;
}

bool rotate(acquisition_state &s);

// Streams `n` words out and counts them. False when the output has failed.
bool keep_words(acquisition_state &s, const int *words, int n)
{
    if (n > 0 && s.request.tick > 0) // when each batch was read, for the time axis
        put_comment(s.out, "read at " + utc_now_ms() + ": words from " + std::to_string(s.words_read + 1));
    s.words_read += static_cast<std::uint64_t>(n);
    add_counts(s.summary, words, n);
    put_counts(s.out, words, n);
    return s.out.out->error == 0;
}

// The progress line, where one is shown.
void show(acquisition_state &s)
{
    const double seconds = s.request.acquire ? s.request.seconds : -1;
    show_progress(s.progress, s.err, s.words_read, static_cast<std::uint64_t>(s.request.target_words), seconds);
}

// Each turn of a run: progress, and with --rotate the next file once this
// one's interval is over. False, said with the words lost, when that failed.
bool next_turn(acquisition_state &s)
{
    show(s);
    const auto interval = std::chrono::duration_cast<acquisition_clock::duration>(
        std::chrono::duration<double>(s.request.rotate_seconds));
    return s.request.rotate_seconds <= 0 || acquisition_clock::now() - s.file_started < interval || rotate(s);
}

std::string ending_text(ending e, int signal)
{
    switch (e) {
    case ending::complete: return "read-out complete";
    case ending::target_reached: return "target reached";
    case ending::time_limit: return "time limit";
    case ending::no_data: return "time limit, no data";
    case ending::signal: return signal_name(signal);
    case ending::output_failed: return "output failed";
    case ending::bus_lost: return "the bus was taken by another program";
    case ending::server_lost: return "the server could not be reached to stop the run";
    }
    return "";
}

int report_output_failure(acquisition_state &s, const std::string &why)
{
    const bool given_up = s.out.out->error == ECANCELED;
    if (given_up)
        std::fprintf(s.err, "%s: %s was given up: a second stop signal came while it was blocked", countctl_name,
                     output_name(s.out).c_str());
    else
        std::fprintf(s.err, "%s: cannot write %s: %s", countctl_name, output_name(s.out).c_str(),
                     s.out.hdf5_error.empty() ? why.c_str() : s.out.hdf5_error.c_str());
    const std::uint64_t in_file = s.words_read - s.out.index_base;
    // An HDF5 file the library could not finish cannot be opened: it is
    // not kept, and every word of it is lost.
    const bool unreadable = s.out.format == count_format::hdf5 && !s.out.temp_path.empty();
    const std::uint64_t lost = unreadable ? in_file : counts_not_written(s.out, in_file);
    if (lost > 0)
        std::fprintf(s.err, "; %llu words read from the instrument were not written",
                     static_cast<unsigned long long>(lost));
    if (unreadable && in_file > 0)
        std::fputs(" (an HDF5 file the library could not finish cannot be read, so none is kept)", s.err);
    else if (in_file > lost && !s.out.temp_path.empty())
        std::fprintf(s.err, "; the words written are in %s", s.out.temp_path.c_str());
    if (in_file == 0 || unreadable)
        discard_count_output(s.out); // nothing worth keeping
    std::fputs("\n", s.err);
    return given_up ? exit_signal_base + stop_signal() : exit_output_failed;
}

} // namespace

long long apply_settings(const settings_request &s)
{
    if (s.period_given)
        setPeriod(s.period);
    if (s.polarity_given)
        setPOL(s.polarity);
    return s.threshold_given ? setTHR(s.threshold) : -1;
}

namespace {

// The '#' lines before the rows: what produced them.
void put_header(acquisition_state &s, const std::string &started_at, long long threshold_back)
{
    const acquisition_request &r = s.request;
    put_comment(s.out, std::string("countctl ") + program_version() + ": " + r.command_line);
    if (r.server.host.empty()) // else the server's instrument, among the source's notes
        put_comment(s.out, std::string("platform: ") + platform_name());
    put_comment(s.out, "started: " + started_at);
    if (!r.config_note.empty())
        put_comment(s.out, "configuration: " + r.config_note);
    for (const std::string &note : s.source_notes)
        put_comment(s.out, note);
    if (r.marker == gap_marker::bit31) // how the words are read: plot, merge and the loader read it here
        put_comment(s.out, "gap marker: bit31 (a word with bit 31 set follows a gap; its count is bits 30..0)");
    if (r.acquire)
        put_comment(s.out, "settings sent: " + describe(r.settings));
    if (threshold_back >= 0)
        put_comment(s.out, "threshold read back: " + std::to_string(threshold_back));
    if (r.target_words > 0)
        put_comment(s.out, "target: " + std::to_string(r.target_words) + " words");
    if (r.rotate_seconds > 0)
        put_comment(s.out, "file " + std::to_string(s.files) + " of the run, from index " +
                               std::to_string(s.out.index_base + 1) + "; a new file every " +
                               std::to_string(static_cast<long long>(r.rotate_seconds)) + " s");
    if (r.tick > 0) {
        char axis[160];
        std::snprintf(axis, sizeof axis, "tick: %.9g s; time_s is index x period x tick = index x %.9g s, from the run's start",
                      r.tick, s.out.seconds_per_word);
        put_comment(s.out, axis);
    }
    if (r.seconds >= 0) {
        char limit[64];
        std::snprintf(limit, sizeof limit, "%s: %g s", r.acquire ? "time limit" : "timeout", r.seconds);
        put_comment(s.out, limit);
    }
    put_header_row(s.out);
}

// A run from start to stop, its words streamed out, a new file begun
// whenever the rotation's interval is over.
ending acquire_run(acquisition_state &s)
{
    run_limits limits;
    limits.target_words = s.request.target_words;
    limits.deadline = s.deadline;
    run_reader reader;
    reader.each_turn = [&s] { return next_turn(s); };
    reader.take = [&s](int n) { return read_words(s, n); };
    reader.taken = [&s] { return s.words_read; };
    const run_end e = run_and_read(limits, reader);
    show(s);
    switch (e) {
    case run_end::target_reached: return ending::target_reached;
    case run_end::time_limit: return ending::time_limit;
    case run_end::signal: return ending::signal;
    case run_end::bus_lost: return ending::bus_lost;
    case run_end::reader_failed: break;
    }
    return ending::output_failed;
}

// The '#' lines after the rows: when, how many, and why it stopped.
void put_trailer(acquisition_state &s, ending e, int signal)
{
    put_comment(s.out, "ended: " + utc_now());
    put_comment(s.out, "words: " + std::to_string(s.words_read - s.out.index_base));
    // Gaps are read only with the lab's marker; HDF5 then always says,
    // as an attribute costs nothing.
    if (s.summary.marker != gap_marker::none && (s.summary.gaps > 0 || s.request.format == count_format::hdf5))
        put_comment(s.out, "gaps: " + std::to_string(s.summary.gaps) +
                               " (words after a FIFO overflow: negative in the count column, bit 31 set; their count is"
                               " bits 30..0)");
    else if (s.request.format == count_format::hdf5)
        put_comment(s.out, "gaps: 0 (no gap marker: every word is a count)");
    put_comment(s.out, "stopped: " + ending_text(e, signal));
}

int exit_status_of(const acquisition_state &s, ending e, int signal)
{
    if (e == ending::signal)
        return exit_signal_base + signal;
    if (e == ending::bus_lost) {
        std::fprintf(s.err, "%s: the acquisition ended: another program took the bus; the words read are written\n",
                     countctl_name);
        return exit_bus_taken;
    }
    if (e == ending::server_lost) {
        std::fprintf(s.err, "%s: the server at %s could not be reached to stop the run: it may be running still;"
                            " the words read are written\n",
                     countctl_name, s.request.server.where().c_str());
        return exit_instrument;
    }
    if (e == ending::no_data) {
        std::fprintf(s.err, "%s: no data within %g s (%s)\n", countctl_name, s.request.seconds,
                     platform_no_data_hint());
        return exit_instrument;
    }
    return exit_ok;
}

// With --rotate: the next file's name, its start time in UTC (sortable).
std::string rotated_path(const acquisition_request &r)
{
    const char *ext = r.format == count_format::hdf5 ? ".h5" : r.format == count_format::plain ? ".txt" : ".csv";
    return r.output_dir + "/" + utc_now("%Y%m%dT%H%M%SZ") + ext;
}

bool open_output(acquisition_state &s, int out_fd, std::string &error)
{
    const acquisition_request &r = s.request;
    const std::uint64_t base = s.words_read;
    if (!open_count_output(s.out, r.rotate_seconds > 0 ? rotated_path(r) : r.output_path, r.format, out_fd, error))
        return false;
    s.out.never_replace = r.rotate_seconds > 0; // a file of an earlier run is never overwritten
    s.out.index_base = base;
    if (r.tick > 0)
        s.out.seconds_per_word = r.tick * r.settings.period;
    s.file_started = acquisition_clock::now();
    return true;
}

// The file done (its last lines say it was rotated), the next begun, the
// index going on. False, said with the words lost, when either fails.
bool rotate(acquisition_state &s)
{
    put_comment(s.out, "ended: " + utc_now());
    put_comment(s.out, "words: " + std::to_string(s.words_read - s.out.index_base));
    put_comment(s.out, "stopped: rotated; the run goes on in the next file");
    std::string error;
    if (!finish_count_output(s.out, error)) {
        report_output_failure(s, error);
        return false;
    }
    ++s.files;
    if (!open_output(s, -1, error)) {
        std::fprintf(s.err, "%s: %s\n", countctl_name, error.c_str());
        return false;
    }
    put_header(s, utc_now(), s.threshold_back);
    if (flush_counts(s.out))
        return true;
    report_output_failure(s, std::strerror(s.out.out->error));
    return false;
}

// Opens the output, takes the bus, starts it and sends the settings: 0, or
// the exit status (nothing of the output is left behind).
int prepare(acquisition_state &s, int out_fd, server_recording *server)
{
    const acquisition_request &r = s.request;
    std::string error;
    if (!open_output(s, out_fd, error)) {
        std::fprintf(s.err, "%s: %s\n", countctl_name, error.c_str());
        return exit_output_failed;
    }
    if (server != nullptr) {
        const int failed = server->start_recording(s);
        if (failed != 0)
            discard_count_output(s.out);
        return failed;
    }
    long long &threshold_back = s.threshold_back;
    if (const int refused = take_bus(countctl_name, s.err, r.wait)) {
        discard_count_output(s.out);
        return refused;
    }
    if (!s.out.temp_path.empty() && !r.quiet && isatty(fileno(s.err)) == 1)
        std::fprintf(s.err, "%s: writing %s; renamed to %s when done\n", countctl_name, s.out.temp_path.c_str(),
                     s.out.target.c_str());
    if (!setup_io()) {
        discard_count_output(s.out);
        return platform_setup_failure_status();
    }
    if (!r.acquire)
        return exit_ok;
    threshold_back = apply_settings(r.settings);
    if (r.settings.threshold_given && threshold_back != r.settings.threshold) {
        std::fprintf(s.err, "%s: the instrument read back threshold %lld, not %d; no run was started\n",
                     countctl_name, threshold_back, r.settings.threshold);
        discard_count_output(s.out);
        return exit_instrument;
    }
    return exit_ok;
}

} // namespace

int run_acquisition(const acquisition_request &r, int out_fd, std::FILE *err)
{
    acquisition_state s(r, err);
    s.summary.marker = r.marker;
    std::optional<server_recording> server;
    if (!r.server.host.empty())
        server.emplace(r.server);
    if (const int failed = prepare(s, out_fd, server ? &*server : nullptr))
        return failed;
    put_header(s, utc_now(), s.threshold_back);
    if (!flush_counts(s.out))
        return report_output_failure(s, std::strerror(s.out.out->error));

    start_progress(s.progress, err, r.quiet);
    s.started = acquisition_clock::now();
    s.file_started = s.started; // the first file's interval, like the time limit, counts from here
    if (r.seconds >= 0)
        s.deadline = s.started + std::chrono::duration_cast<acquisition_clock::duration>(std::chrono::duration<double>(r.seconds));
    const recording_steps steps{[&s](const int *words, int n) { return keep_words(s, words, n); },
                                [&s] { return next_turn(s); }, [&s] { show(s); }};
    const ending e = server ? server->record_by_index(s, steps) : r.acquire ? acquire_run(s) : read_once(s);
    end_progress(s.progress, err);
    if (r.acquire)
        s.summary.seconds = std::chrono::duration<double>(acquisition_clock::now() - s.started).count();

    if (e == ending::output_failed || !flush_counts(s.out))
        return report_output_failure(s, std::strerror(s.out.out->error));
    const int signal = stop_signal();
    put_trailer(s, e, signal);
    std::string error;
    if (!finish_count_output(s.out, error))
        return report_output_failure(s, error);
    if (!r.quiet) {
        print_summary(err, s.summary, r.summary || isatty(fileno(err)) == 1);
        if (r.output_path != r.output_asked) // the configuration's output_dir chose the place
            std::fprintf(err, "%s: the words are in %s (output_dir of %s)\n", countctl_name, s.out.target.c_str(),
                         r.config_path.c_str());
    }
    return exit_status_of(s, e, signal);
}
