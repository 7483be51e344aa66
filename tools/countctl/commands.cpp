#include "commands.h"

#include <climits>

#include "count_files.h"
#include "countctl_common.h"
#include "hdf5_counts.h"
#include "numbers.h"
#include "plot.h"
#include "scan.h"
#include "spi.h"

namespace {

// One operation with no result: reset, start, stop.
int single_operation(invocation &c, void (*operation)())
{
    if (const int refused = start_bus(c))
        return refused;
    operation();
    return exit_ok;
}

// Reads an option's whole number into `value`; false (reported) if bad.
int do_status(invocation &c)
{
    if (const int refused = start_bus(c))
        return refused;
    const int running = run();
    const int size = datasize();
    if (c.options.has("--json"))
        put_format(*c.out, "{\"run\": %d, \"datasize\": %d}\n", running, size);
    else
        put_format(*c.out, "run %d\ndatasize %d\n", running, size);
    return finish_output(*c.out, c.err);
}

int do_set(invocation &c)
{
    settings_request s;
    if (!settings_options(c, s))
        return exit_usage;
    if (!s.threshold_given && !s.polarity_given && !s.period_given)
        return usage_error(c.err, "set needs at least one of --threshold, --polarity, --period");
    if (const int refused = start_bus(c))
        return refused;
    const long long back = apply_settings(s);
    if (!s.threshold_given)
        return exit_ok;
    put_format(*c.out, "threshold %lld\n", back);
    const int status = finish_output(*c.out, c.err);
    if (status == exit_ok && back != s.threshold) {
        std::fprintf(c.err, "%s: the instrument read back threshold %lld, not %d\n", countctl_name, back, s.threshold);
        return exit_instrument;
    }
    return status;
}

int do_ifc(invocation &c)
{
    if (c.options.operands.size() != 1)
        return usage_error(c.err, "ifc needs one VALUE");
    long long value = 0;
    std::string error;
    if (!read_integer("ifc VALUE", c.options.operands[0], INT_MIN, INT_MAX, value, error))
        return usage_error(c.err, error);
    if (const int refused = start_bus(c))
        return refused;
    const int reply = ifc_rd(static_cast<int>(value));
    put_format(*c.out, "%d 0x%08x\n", reply, static_cast<unsigned>(reply));
    return finish_output(*c.out, c.err);
}

// --server HOST[:PORT], or [IPV6]:PORT.
bool server_option(invocation &c, server_address &where)
{
    const std::string &given = c.options.value("--server");
    std::string host = given, port;
    if (!given.empty() && given[0] == '[') {
        const std::size_t close = given.find(']');
        if (close == std::string::npos || (close + 1 < given.size() && given[close + 1] != ':'))
            return refused(c.err, "--server is HOST[:PORT] or [IPV6]:PORT, not '" + given + "'");
        host = given.substr(1, close - 1);
        port = close + 2 <= given.size() ? given.substr(close + 2) : "";
    } else if (const std::size_t colon = given.rfind(':'); colon != std::string::npos && given.find(':') == colon) {
        host = given.substr(0, colon);
        port = given.substr(colon + 1);
    }
    if (host.empty())
        return refused(c.err, "--server needs a host: HOST[:PORT]");
    where.host = host;
    if (port.empty())
        return true;
    long long number = 0;
    std::string error;
    if (!read_integer("--server's port", port, 1, 65535, number, error))
        return refused(c.err, error);
    where.port = static_cast<int>(number);
    return true;
}

// --words and --seconds: each run's end; at least one unless `optional`.
int do_acquisition(invocation &c, bool acquire)
{
    acquisition_request r;
    r.acquire = acquire;
    r.quiet = c.options.has("--quiet");
    r.summary = c.options.has("--summary");
    if (!output_option(c, r.output_path))
        return exit_usage;
    if (c.options.has("--format")) {
        const std::string &f = c.options.value("--format");
        if (f != "csv" && f != "plain" && f != "hdf5")
            return usage_error(c.err, "--format is csv, plain or hdf5, not '" + f + "'");
        r.format = f == "csv" ? count_format::csv : f == "plain" ? count_format::plain : count_format::hdf5;
    } else if (names_hdf5(r.output_path)) {
        r.format = count_format::hdf5;
    }
    std::string error;
    if (acquire) {
        // A rotated run may go on until it is stopped.
        if (!settings_options(c, r.settings) || !stop_conditions(c, r.target_words, r.seconds, c.options.has("--rotate")))
            return exit_usage;
    } else if (c.options.has("--timeout") &&
               !read_seconds("--timeout", c.options.value("--timeout"), 1e7, r.seconds, error)) {
        return usage_error(c.err, error);
    }
    const lab_config &config = c.config;
    r.marker = config.marker;
    std::string gave;
    if (acquire)
        settings_from_config(config, r.settings, true, gave);
    if (acquire && (!tick_option(c, r.settings.period_given, r.tick) || !rotation_options(c, config, r)))
        return exit_usage;
    r.output_asked = r.output_path;
    r.config_path = config.path;
    output_from_config(c, config, acquire && r.settings.period_given, r.tick, r.output_path, &r.format, gave);
    if (r.format == count_format::hdf5 && !hdf5_available())
        return usage_error(c.err, "this build writes no HDF5 (build it with libhdf5-dev installed): use CSV");
    r.config_note = config_note(config, gave);
    r.command_line = command_line_of(c);
    r.wait = c.wait;
    if (c.options.has("--server") && !server_option(c, r.server))
        return exit_usage;
    return run_acquisition(r, c.out->fd, c.err);
}

int do_plot(invocation &c)
{
    if (c.options.operands.empty())
        return usage_error(c.err, "plot needs a FILE (.csv or .h5), several of one run, or a run's directory");
    if (!c.options.has("--output") || c.options.value("--output").empty())
        return usage_error(c.err, "plot needs -o OUT.svg, OUT.png or OUT.pdf");
    return run_plot(c.options.operands, c.options.value("--output"), c.config.marker, c.err);
}

int do_merge(invocation &c)
{
    if (c.options.operands.empty())
        return usage_error(c.err, "merge needs the files of a run, or its directory");
    if (!c.options.has("--output") || c.options.value("--output").empty())
        return usage_error(c.err, "merge needs -o OUT.csv or OUT.h5");
    return run_merge(c.options.operands, c.options.value("--output"), c.err);
}

int do_convert(invocation &c)
{
    if (c.options.operands.size() != 2)
        return usage_error(c.err, "convert takes IN and OUT (.csv or .h5)");
    return run_merge({c.options.operands[0]}, c.options.operands[1], c.err);
}

int do_scan(invocation &c)
{
    const std::vector<std::string> &operands = c.options.operands;
    if (operands.size() != 2 || operands[0] != "threshold")
        return usage_error(c.err, "scan takes 'threshold FROM:TO:STEP'");
    scan_request r;
    std::string error;
    if (!parse_threshold_range(operands[1], r, error))
        return usage_error(c.err, error);
    if (c.options.has("--threshold"))
        return usage_error(c.err, "scan sets the threshold itself: FROM:TO:STEP");
    if (!settings_options(c, r.settings) || !stop_conditions(c, r.target_words, r.seconds) ||
        !output_option(c, r.output_path))
        return exit_usage;
    if (names_hdf5(r.output_path))
        return usage_error(c.err, "a scan writes a CSV table: -o FILE.csv, not " + r.output_path);
    r.quiet = c.options.has("--quiet");
    const lab_config &config = c.config;
    r.marker = config.marker;
    std::string gave;
    settings_from_config(config, r.settings, false, gave);
    if (!tick_option(c, r.settings.period_given, r.tick))
        return exit_usage;
    output_from_config(c, config, r.settings.period_given, r.tick, r.output_path, nullptr, gave);
    r.usual_threshold = config.threshold;
    r.config_note = config_note(config, gave);
    r.command_line = command_line_of(c);
    r.wait = c.wait;
    return run_scan(r, c.out->fd, c.err);
}

// A command is one row: its name, its lines in the general help, its own
// help, its options and whether it takes an operand, and what runs it. The
// general help, `COMMAND --help` and the shell's completion (--complete)
// all come from these rows. Each command checks its whole command line
// before it starts the bus: a refused value sends nothing.
const option_rule setting_options[] = {{"--threshold", nullptr, true}, {"--polarity", nullptr, true},
                                     {"--period", nullptr, true}};
const option_rule output_options[] = {{"--output", "-o", true}, {"--format", nullptr, true},
                                     {"--summary", nullptr, false}};

std::vector<option_rule> options_with(std::initializer_list<option_rule> own, bool settings, bool output)
{
    std::vector<option_rule> all(own);
    if (settings)
        all.insert(all.end(), std::begin(setting_options), std::end(setting_options));
    if (output)
        all.insert(all.end(), std::begin(output_options), std::end(output_options));
    all.push_back({"--wait", nullptr, false, true});
    all.push_back({"--config", nullptr, true});
    all.push_back({"--quiet", "-q", false});
    all.push_back({"--help", "-h", false});
    return all;
}

const std::vector<command> commands = {
    {"status",
     "  status [--json]        the run flag and the number of data words held\n",
     "usage: countctl status [--json]\n"
                    "Prints the run flag and the number of data words the instrument holds: as two lines,\n"
                    "'run 0|1' and 'datasize N', or with --json as one object {\"run\": 0|1, \"datasize\": N}.\n",
     options_with({{"--json", nullptr, false}}, false, false), false, do_status},
    {"reset",
     "  reset                  reset the instrument\n",
     "usage: countctl reset\nResets the instrument: stops the run, empties it, restores its default settings.\n",
     options_with({}, false, false), false, [](invocation &c) { return single_operation(c, reset); }},
    {"start",
     "  start                  start a run\n",
     "usage: countctl start\nStarts a run.\n",
     options_with({}, false, false), false, [](invocation &c) { return single_operation(c, start); }},
    {"stop",
     "  stop                   stop the run\n",
     "usage: countctl stop\nStops the run.\n",
     options_with({}, false, false), false, [](invocation &c) { return single_operation(c, stop); }},
    {"set",
     "  set [--threshold=N] [--polarity=N] [--period=N]\n"
             "                         send the settings; print the threshold read back\n",
     "usage: countctl set [--threshold N] [--polarity N] [--period N]\n"
                 "Sends the settings given (threshold 0..4095, polarity 0..1, period 1..4095; a value out\n"
                 "of range is refused and nothing is sent). With --threshold, prints the threshold the\n"
                 "instrument reads back; exit status 1 if it differs from what was sent.\n",
     options_with({}, true, false), false, do_set},
    {"read",
     "  read [--timeout=S] [-o FILE] [--format=csv|plain|hdf5]\n"
             "                         wait for data, read every word held, write them\n",
     "usage: countctl read [--timeout S] [-o FILE] [--format csv|plain|hdf5] [--summary | --quiet]\n"
                  "Waits until the instrument holds data (at most S seconds with --timeout; exit status 1\n"
                  "when none came), reads every word it reported and writes them: CSV (index,count, with\n"
                  "'#' lines saying what produced them) or plain (one count per line). -o FILE writes a\n"
                  "file that appears whole or not at all. A summary line goes to standard error, and on a\n"
                  "terminal (or with --summary) a histogram; --quiet drops both.\n",
     options_with({{"--timeout", nullptr, true}}, false, true), false,
     [](invocation &c) { return do_acquisition(c, false); }},
    {"acquire",
     "  acquire [SETTINGS] (--words=N and/or --seconds=S) [-o FILE] [--format=csv|plain|hdf5]\n"
             "                         start a run, read out as data comes, stop the run; with\n"
             "                         --rotate=INTERVAL --output-dir=DIR a new file every\n"
             "                         INTERVAL, and no limit is needed\n",
     "usage: countctl acquire [--threshold N] [--polarity N] [--period N] [--words N] [--seconds S]\n"
                     "                        [--tick S] [-o FILE] [--format csv|plain|hdf5] [--summary | --quiet]\n"
                     "                        [--rotate INTERVAL --output-dir DIR] [--server HOST[:PORT]]\n"
                     "Sends the settings given, starts a run, reads out whenever the instrument holds data\n"
                     "until N words or S seconds, whichever comes first ('# stopped:' says which; at least one\n"
                     "is needed), stops the run and writes every word, streamed as read.\n"
                     "Ctrl-C (or SIGTERM, SIGHUP) ends it cleanly: the read-out in progress finishes, the run\n"
                     "is stopped and the file completed. On a terminal a progress line shows on standard error,\n"
                     "and a summary with a histogram at the end (off a terminal one line, or all with --summary).\n"
                     "--tick S (with --period) is the instrument's period unit in seconds: the CSV gets a time_s\n"
                     "column, index x period x tick from the run's start, and the UTC time of each read-out.\n"
                     "-o FILE.h5 (or --format hdf5) writes HDF5: /counts (int32, chunked, compressed), /time_s\n"
                     "with a tick, and the settings, program, version, platform, start, end, words and gaps as\n"
                     "attributes of /entry (NeXus names).\n"
                     "--rotate INTERVAL (30s, 10min, 1h, 1d) with --output-dir DIR runs unattended: a new file\n"
                     "every INTERVAL, named by its start time in UTC (20261208T220214Z.csv), the index going on\n"
                     "from file to file; without --words or --seconds it runs until stopped.\n"
                     "--server HOST[:PORT] (port 5025 unless given) records an scpi_server's instrument instead of\n"
                     "this Pi's own: the same run, settings and files, read by index from the server's journal\n"
                     "over its SCPI socket, which takes nothing from other readers. A dropped connection is made\n"
                     "again and the reading goes on at its index; no word is written twice. Words the journal no\n"
                     "longer held, a lost connection and a restart of the server are said in '#' lines.\n",
     options_with({{"--words", nullptr, true}, {"--seconds", nullptr, true}, {"--tick", nullptr, true},
                   {"--rotate", nullptr, true}, {"--output-dir", nullptr, true}, {"--server", nullptr, true}},
                  true, true),
     false, [](invocation &c) { return do_acquisition(c, true); }},
    {"ifc",
     "  ifc VALUE              the interface test: the reply in decimal and hexadecimal\n",
     "usage: countctl ifc VALUE\n"
                 "Sends VALUE (its low 24 bits) in the interface test and prints the reply word in decimal\n"
                 "and hexadecimal.\n",
     options_with({}, false, false), true, do_ifc},
    {"scan",
     "  scan threshold FROM:TO:STEP (--words=N and/or --seconds=S) [-o FILE]\n"
             "                         one run per threshold (--polarity, --period and --tick as\n"
             "                         acquire takes them): threshold,words,sum,mean,seconds,rate\n",
     "usage: countctl scan threshold FROM:TO:STEP [--words N] [--seconds S] [--polarity N] [--period N]\n"
                  "                     [--tick S] [-o FILE] [--quiet]\n"
                  "Runs one acquisition per threshold, FROM to TO in steps of STEP (in that order, down when\n"
                  "TO is below FROM), each until N words or S seconds, whichever comes first, and writes one\n"
                  "CSV row each: threshold,words,sum,mean,seconds,rate (rate = sum / seconds; seconds is live\n"
                  "time, words x period x tick, with --tick and --period, else each run's wall time).\n"
                  "A terminal shows its progress. Ctrl-C (or SIGTERM, SIGHUP) ends it cleanly: the rows done\n"
                  "are kept and the file says where it stopped. The threshold before the scan cannot be read,\n"
                  "so it is left at the scan's last, and said so.\n",
     options_with({{"--words", nullptr, true}, {"--seconds", nullptr, true}, {"--tick", nullptr, true},
                   {"--output", "-o", true}, {"--polarity", nullptr, true}, {"--period", nullptr, true},
                   {"--threshold", nullptr, true, false, false}},
                  false, false),
     true, do_scan},
    {"plot",
     "  plot FILE... -o OUT.svg|png|pdf\n"
             "                         draw files countctl wrote (CSV or HDF5, with gnuplot):\n"
             "                         counts, a rotated run (its files or directory), or a scan\n",
     "usage: countctl plot FILE|DIR... -o OUT.svg|OUT.png|OUT.pdf\n"
                  "Draws a file countctl wrote (CSV, or HDF5 named .h5), with gnuplot (apt-get install\n"
                  "gnuplot-nox): counts against time\n"
                  "(with --tick) or index, over their histogram; or a scan's rate against threshold, with\n"
                  "error bars of the square root of its counts. Several files, or a directory (its .csv and\n"
                  ".h5 files in name order), draw as one run: a rotated run's. Words are read as the file\n"
                  "says they were marked ('# gap marker:'), else by the configuration's gap_marker. The\n"
                  "title carries the file's settings. The picture appears whole or not at all. Drives no\n"
                  "bus. Exit status 1: not a file countctl wrote; 3: the picture could not be made.\n",
     options_with({{"--output", "-o", true}}, false, false), true, do_plot},
    {"merge",
     "  merge FILE|DIR... -o OUT.csv|OUT.h5\n"
             "                         join a rotated run's files into one\n",
     "usage: countctl merge FILE|DIR... -o OUT.csv|OUT.h5\n"
                  "Joins the files of a rotated run (the files given in order, or a directory's .csv and .h5\n"
                  "files in name order) into one file, CSV or HDF5 by OUT's name: the words in order, the\n"
                  "first file's settings, one end. The indices must go on unbroken from file to file: where\n"
                  "they do not, the break is said and nothing is written (exit status 1). Drives no bus.\n",
     options_with({{"--output", "-o", true}}, false, false), true, do_merge},
    {"convert",
     "  convert IN OUT         a file countctl wrote, CSV to HDF5 or back\n",
     "usage: countctl convert IN.csv|IN.h5 OUT.h5|OUT.csv\n"
                  "Writes the words of IN, a file countctl wrote, to OUT in the format its name gives (.h5\n"
                  "or .hdf5: HDF5; else CSV), with its settings, its gap rule and gaps, and its read-out\n"
                  "times. OUT appears whole or not at all. Drives no bus.\n",
     options_with({}, false, false), true, do_convert},
};

// What the shell completes: the commands and the options that may come
// before one, or a command's own options (long names), one a line.
} // namespace

const std::vector<command> &countctl_commands() { return commands; }
