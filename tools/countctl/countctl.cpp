#include "countctl.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

#include "acquisition.h"
#include "bus_lock.h"
#include "command_line.h"
#include "lab_config.h"
#include "numbers.h"
#include "output_buffer.h"
#include "platform.h"
#include "plot.h"
#include "program_options.h"
#include "scan.h"
#include "spi.h"
#include "stop_signals.h"

const char *countctl_name = "countctl";

namespace {

const char usage[] =
    "usage: countctl [--help | --version]\n"
    "       countctl [--wait[=S]] [--quiet] [--config=FILE] COMMAND [OPTION]... [ARGUMENT]   (countctl --help lists the commands)\n";

// The general help around its list of commands, which the rows give.
const char general_help_head[] =
    "Usage: countctl [--help | --version]\n"
    "  or:  countctl [--wait[=S]] [--quiet] [--config=FILE] COMMAND [OPTION]... [ARGUMENT]\n"
    "Run the counting instrument from scripts and save its counts to files.\n"
    "\n"
    "Commands:\n";

const char general_help_tail[] =
    "\n"
    "Options of every command, before or after its name:\n"
    "      --config=FILE      the lab's usual settings (threshold, polarity, period, tick,\n"
    "                         output_dir, format, gap_marker) instead of\n"
    "                         $XDG_CONFIG_HOME/counter-instrument.toml or\n"
    "                         /etc/counter-instrument.toml; options win\n"
    "      --wait[=S]         when another program holds the bus, wait for it (at most\n"
    "                         S seconds) instead of giving up\n"
    "  -q, --quiet            nothing on standard error but failures\n"
    "  -h, --help             what the command does and takes\n"
    "\n"
    "Options:\n"
    "  -h, --help             this help\n"
    "      --version          the version, and who supplies the GPIO calls\n"
    "      --complete[=COMMAND]  the commands, or a command's options, one a line\n"
    "                         (for the shell's completion)\n"
    "\n"
    "Ranges: threshold 0..4095, polarity 0..1, period 1..4095. Numbers are\n"
    "decimal, or hexadecimal after 0x; a setting out of range is refused, and\n"
    "nothing is sent. 'countctl COMMAND --help' tells more of each command.\n"
    "\n"
    "Exit status:\n"
    "  0    done\n"
    "  1    the instrument did not do what was asked\n"
    "  2    a wrong command line (nothing is sent)\n"
    "  3    the output could not be written\n"
    "  4    the bus is in use by another program, or its lock cannot be used\n"
    "       (nothing is sent)\n"
    "  128+N  ended by signal N\n";


// A help or usage text under the name countctl was started by.
std::string with_name(const char *text)
{
    std::string named = text;
    for (std::size_t at = 0; (at = named.find("countctl", at)) != std::string::npos; at += std::strlen(countctl_name))
        named.replace(at, 8, countctl_name);
    return named;
}

int usage_error(std::FILE *err, const std::string &why)
{
    return usage_error(err, countctl_name, why, with_name(usage).c_str());
}

// A command line refused: said as usage_error says it. Returns false.
bool refused(std::FILE *err, const std::string &why)
{
    usage_error(err, why);
    return false;
}

// How many words an option every command takes makes, when `word` begins
// one: --wait[=S], -q, --quiet, --config=FILE (1), --config FILE (2); else 0.
std::size_t common_option_words(const std::string &word)
{
    if (word == "--config")
        return 2;
    return word == "--wait" || word.rfind("--wait=", 0) == 0 || word == "-q" || word == "--quiet" ||
                   word.rfind("--config=", 0) == 0
               ? 1
               : 0;
}

// The words with the common options that precede the command moved after
// its name. Anything else before it is left in place, to be refused.
std::vector<std::string> with_common_options_after_command(const std::vector<std::string> &args)
{
    std::size_t first = 0;
    while (first < args.size() && common_option_words(args[first]) > 0)
        first = std::min(args.size(), first + common_option_words(args[first]));
    if (first == args.size())
        return {}; // options, and no command
    if (first == 0 || args[first].rfind("-", 0) == 0)
        return args;
    std::vector<std::string> words{args[first]};
    words.insert(words.end(), args.begin(), args.begin() + static_cast<long>(first));
    words.insert(words.end(), args.begin() + static_cast<long>(first) + 1, args.end());
    return words;
}

struct command_context {
    const std::vector<std::string> &args;
    parsed_options options;
    output_buffer *out;
    std::FILE *err;
    bus_wait wait;
    lab_config config; // --config, else the user's or the system's: read for every command
};

// Takes the bus (waiting for it with --wait) and starts it. 0, or the
// status to end with: nothing was sent.
int start_bus(command_context &c)
{
    if (const int refused = take_bus(countctl_name, c.err, c.wait))
        return refused;
    return setup_io() ? exit_ok : platform_setup_failure_status();
}

// One operation with no result: reset, start, stop.
int single_operation(command_context &c, void (*operation)())
{
    if (const int refused = start_bus(c))
        return refused;
    operation();
    return exit_ok;
}

// Reads an option's whole number into `value`; false (reported) if bad.
bool number_option(command_context &c, const char *name, long long min, long long max, int &value, bool &given)
{
    if (!c.options.has(name))
        return true;
    long long v = 0;
    std::string error;
    if (!read_integer(name, c.options.value(name), min, max, v, error)) {
        usage_error(c.err, error);
        return false;
    }
    value = static_cast<int>(v);
    given = true;
    return true;
}

bool settings_options(command_context &c, settings_request &s)
{
    return number_option(c, "--threshold", 0, 4095, s.threshold, s.threshold_given) &&
           number_option(c, "--polarity", 0, 1, s.polarity, s.polarity_given) &&
           number_option(c, "--period", 1, 4095, s.period, s.period_given);
}

int finish_output(output_buffer &out, std::FILE *err)
{
    if (flush(out))
        return exit_ok;
    if (out.error == ECANCELED) {
        std::fprintf(err, "%s: standard output was given up: a second stop signal came while it was blocked\n", countctl_name);
        return exit_signal_base + stop_signal();
    }
    std::fprintf(err, "%s: cannot write standard output: %s\n", countctl_name, std::strerror(out.error));
    return exit_output_failed;
}

int do_status(command_context &c)
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

int do_set(command_context &c)
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

int do_ifc(command_context &c)
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

// --words and --seconds: each run's end; at least one unless `optional`.
bool run_limits(command_context &c, long long &target_words, double &seconds, bool optional = false)
{
    std::string error;
    if (!c.options.has("--words") && !c.options.has("--seconds")) {
        if (!optional)
            usage_error(c.err, c.args[0] + " needs --words N, --seconds S, or both (whichever comes first)");
        return optional;
    }
    if (c.options.has("--words") &&
        !read_integer("--words", c.options.value("--words"), 1, 1000000000000LL, target_words, error))
        return refused(c.err, error);
    if (c.options.has("--seconds") && !read_seconds("--seconds", c.options.value("--seconds"), 1e7, seconds, error))
        return refused(c.err, error);
    if (c.options.has("--seconds") && seconds <= 0)
        return refused(c.err, "--seconds must be more than 0");
    return true;
}

// --tick, which needs a period to mean anything.
bool tick_option(command_context &c, bool period_given, double &tick)
{
    if (!c.options.has("--tick"))
        return true;
    std::string error;
    if (!read_seconds("--tick", c.options.value("--tick"), 3600, tick, error) || tick <= 0)
        return refused(c.err, error.empty() ? "--tick must be more than 0 seconds" : error);
    if (!period_given)
        return refused(c.err, "--tick needs --period: a count comes every period x tick seconds");
    return true;
}

bool ends_with(const std::string &s, const char *end)
{
    const std::size_t n = std::strlen(end);
    return s.size() >= n && s.compare(s.size() - n, n, end) == 0;
}

// -o FILE: false, said, when it names nothing.
bool output_option(command_context &c, std::string &path)
{
    if (!c.options.has("--output"))
        return true;
    path = c.options.value("--output");
    return !path.empty() || refused(c.err, "-o needs a path ('-' is standard output)");
}

// The command line as given, for a file's first line.
std::string command_line_of(const command_context &c)
{
    std::string line;
    for (const std::string &a : c.args)
        line += (line.empty() ? "" : " ") + a;
    return line;
}

// "FILE gave threshold 1000, period 64", or "" when the file gave nothing.
std::string config_note(const lab_config &config, const std::string &gave)
{
    return gave.empty() ? "" : config.path + " gave " + gave;
}

// The settings the command line left out, from the configuration; `gave`
// says which, for the file's header.
void settings_from_config(const lab_config &config, settings_request &s, bool with_threshold, std::string &gave)
{
    const auto take = [&](const std::optional<int> &v, bool &given, int &value, const char *name) {
        if (!v || given)
            return;
        given = true;
        value = *v;
        gave += (gave.empty() ? "" : ", ") + std::string(name) + " " + std::to_string(*v);
    };
    if (with_threshold)
        take(config.threshold, s.threshold_given, s.threshold, "threshold");
    take(config.polarity, s.polarity_given, s.polarity, "polarity");
    take(config.period, s.period_given, s.period, "period");
}

// The tick, the format and the output directory from the configuration,
// where the command line gave none.
void output_from_config(command_context &c, const lab_config &config, bool period_known, double &tick,
                        std::string &output_path, count_format *format, std::string &gave)
{
    if (!c.options.has("--tick") && config.tick && period_known) {
        tick = *config.tick;
        char t[48];
        std::snprintf(t, sizeof t, "tick %.9g s", tick);
        gave += (gave.empty() ? "" : ", ") + std::string(t);
    }
    if (format != nullptr && !c.options.has("--format") && *format != count_format::hdf5 && config.format) {
        *format = *config.format == "plain" ? count_format::plain
                  : *config.format == "hdf5" ? count_format::hdf5
                                             : count_format::csv;
        gave += (gave.empty() ? "" : ", ") + std::string("format ") + *config.format;
    }
    if (config.output_dir && !output_path.empty() && output_path != "-" && output_path[0] != '/') {
        output_path = *config.output_dir + "/" + output_path;
        gave += (gave.empty() ? "" : ", ") + std::string("output_dir ") + *config.output_dir;
    }
}

// "30s", "10min", "1h", "1d": whole seconds, at least 1. False, with the reason.
bool read_interval(const std::string &text, double &seconds, std::string &error)
{
    std::size_t digits = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits])))
        ++digits;
    const std::string unit = text.substr(digits);
    const long long scale = unit == "s" ? 1 : unit == "min" ? 60 : unit == "h" ? 3600 : unit == "d" ? 86400 : 0;
    long long n = 0;
    if (digits == 0 || scale == 0 || parse_integer(text.substr(0, digits), 1, 36500, n) != number_fault::none) {
        error = "--rotate is a whole number with s, min, h or d (30s, 10min, 1h, 1d), not '" + text + "'";
        return false;
    }
    seconds = static_cast<double>(n * scale);
    return true;
}

// --rotate INTERVAL and --output-dir DIR (or the configuration's), and no -o.
bool rotation_options(command_context &c, const lab_config &config, acquisition_request &r)
{
    if (!c.options.has("--rotate"))
        return !c.options.has("--output-dir") || refused(c.err, "--output-dir goes with --rotate (one file: -o FILE)");
    std::string error;
    if (!read_interval(c.options.value("--rotate"), r.rotate_seconds, error))
        return refused(c.err, error);
    if (c.options.has("--output"))
        return refused(c.err, "--rotate names its files itself, in --output-dir: no -o");
    r.output_dir = c.options.has("--output-dir") ? c.options.value("--output-dir") : config.output_dir.value_or("");
    if (r.output_dir.empty())
        return refused(c.err, "--rotate needs --output-dir DIR (or output_dir in the configuration)");
    // Refused now, before the bus, not at the first file's end.
    std::string why;
    struct stat st{};
    if (stat(r.output_dir.c_str(), &st) != 0)
        why = std::strerror(errno);
    else if (!S_ISDIR(st.st_mode))
        why = "not a directory";
    else if (access(r.output_dir.c_str(), W_OK | X_OK) != 0)
        why = std::strerror(errno);
    if (why.empty())
        return true;
    usage_error(c.err, "--output-dir " + r.output_dir + ": " + why);
    return false;
}

int do_acquisition(command_context &c, bool acquire)
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
    } else if (ends_with(r.output_path, ".h5") || ends_with(r.output_path, ".hdf5")) {
        r.format = count_format::hdf5;
    }
    std::string error;
    if (acquire) {
        // A rotated run may go on until it is stopped.
        if (!settings_options(c, r.settings) || !run_limits(c, r.target_words, r.seconds, c.options.has("--rotate")))
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
    r.config_note = config_note(config, gave);
    r.command_line = command_line_of(c);
    r.wait = c.wait;
    return run_acquisition(r, c.out->fd, c.err);
}

int do_plot(command_context &c)
{
    if (c.options.operands.size() != 1)
        return usage_error(c.err, "plot needs one FILE (.csv or .h5)");
    if (!c.options.has("--output") || c.options.value("--output").empty())
        return usage_error(c.err, "plot needs -o OUT.svg, OUT.png or OUT.pdf");
    return run_plot(c.options.operands[0], c.options.value("--output"), c.config.marker, c.err);
}

int do_scan(command_context &c)
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
    if (!settings_options(c, r.settings) || !run_limits(c, r.target_words, r.seconds) ||
        !output_option(c, r.output_path))
        return exit_usage;
    if (ends_with(r.output_path, ".h5") || ends_with(r.output_path, ".hdf5"))
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
struct command {
    const char *name;
    const char *summary; // its lines under "Commands:" in the general help
    const char *help;    // countctl COMMAND --help
    std::vector<option_rule> options;
    bool takes_operand;
    int (*run)(command_context &);
};

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

const command commands[] = {
    {"status",
     "  status [--json]        the run flag and the number of data words held\n",
     "usage: countctl status [--json]\n"
                    "Prints the run flag and the number of data words the instrument holds: as two lines,\n"
                    "'run 0|1' and 'datasize N', or with --json as one object {\"run\": 0|1, \"datasize\": N}.\n",
     options_with({{"--json", nullptr, false}}, false, false), false, do_status},
    {"reset",
     "  reset                  reset the instrument\n",
     "usage: countctl reset\nResets the instrument: stops the run, empties it, restores its default settings.\n",
     options_with({}, false, false), false, [](command_context &c) { return single_operation(c, reset); }},
    {"start",
     "  start                  start a run\n",
     "usage: countctl start\nStarts a run.\n",
     options_with({}, false, false), false, [](command_context &c) { return single_operation(c, start); }},
    {"stop",
     "  stop                   stop the run\n",
     "usage: countctl stop\nStops the run.\n",
     options_with({}, false, false), false, [](command_context &c) { return single_operation(c, stop); }},
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
     [](command_context &c) { return do_acquisition(c, false); }},
    {"acquire",
     "  acquire [SETTINGS] (--words=N and/or --seconds=S) [-o FILE] [--format=csv|plain|hdf5]\n"
             "                         start a run, read out as data comes, stop the run; with\n"
             "                         --rotate=INTERVAL --output-dir=DIR a new file every\n"
             "                         INTERVAL, and no limit is needed\n",
     "usage: countctl acquire [--threshold N] [--polarity N] [--period N] [--words N] [--seconds S]\n"
                     "                        [--tick S] [-o FILE] [--format csv|plain|hdf5] [--summary | --quiet]\n"
                     "                        [--rotate INTERVAL --output-dir DIR]\n"
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
                     "from file to file; without --words or --seconds it runs until stopped.\n",
     options_with({{"--words", nullptr, true}, {"--seconds", nullptr, true}, {"--tick", nullptr, true},
                   {"--rotate", nullptr, true}, {"--output-dir", nullptr, true}},
                  true, true),
     false, [](command_context &c) { return do_acquisition(c, true); }},
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
     "  plot FILE -o OUT.svg|png|pdf\n"
             "                         draw a file countctl wrote (CSV or HDF5, with gnuplot):\n"
             "                         counts, or a scan\n",
     "usage: countctl plot FILE -o OUT.svg|OUT.png|OUT.pdf\n"
                  "Draws a file countctl wrote (CSV, or HDF5 named .h5), with gnuplot (apt-get install\n"
                  "gnuplot-nox): counts against time\n"
                  "(with --tick) or index, over their histogram; or a scan's rate against threshold, with\n"
                  "error bars of the square root of its counts. The title carries the file's settings. The\n"
                  "picture appears whole or not at all. Drives no bus. Exit status 1: not a file countctl\n"
                  "wrote; 3: the picture could not be made.\n",
     options_with({{"--output", "-o", true}}, false, false), true, do_plot},
};

// What the shell completes: the commands and the options that may come
// before one, or a command's own options (long names), one a line.
std::string completion_words(const std::string &name)
{
    std::string words;
    if (name.empty()) {
        for (const command &k : commands)
            words += std::string(k.name) + "\n";
        return words + "--help\n--version\n--wait\n--quiet\n--config\n";
    }
    for (const command &k : commands)
        if (name == k.name)
            for (const option_rule &o : k.options)
                if (o.offered)
                    words += std::string(o.name) + "\n";
    return words;
}

} // namespace

int run_countctl(const std::vector<std::string> &args, int out_fd, std::FILE *err)
{
    static output_buffer out;
    out = output_buffer{};
    out.fd = out_fd;
    // The options of every command may come before the command's name, as
    // git and systemctl take them: they are moved after it.
    const std::vector<std::string> words = with_common_options_after_command(args);
    if (words.empty())
        return usage_error(err, "no command given");
    if (words[0] == "--help" || words[0] == "-h" || words[0] == "help") {
        std::string help = general_help_head;
        for (const command &k : commands)
            help += k.summary;
        put(out, with_name((help + general_help_tail).c_str()).c_str());
        return finish_output(out, err);
    }
    if (words[0].rfind("--complete", 0) == 0) {
        const std::size_t equals = words[0].find('=');
        if (equals == std::string::npos ? words[0] != "--complete" : words[0].substr(0, equals) != "--complete")
            return usage_error(err, "unknown option '" + words[0].substr(0, equals) + "'");
        put(out, completion_words(equals == std::string::npos ? "" : words[0].substr(equals + 1)).c_str());
        return finish_output(out, err);
    }
    if (words[0] == "--version") {
        put_format(out, "%s %s (%s)\n", countctl_name, program_version(), platform_name());
        return finish_output(out, err);
    }
    const command *cmd = nullptr;
    for (const command &k : commands)
        if (words[0] == k.name)
            cmd = &k;
    if (cmd == nullptr && words[0].rfind("-", 0) == 0)
        return usage_error(err, "unknown option '" + words[0].substr(0, words[0].find('=')) + "'");
    if (cmd == nullptr)
        return usage_error(err, "unknown command '" + words[0] + "'");

    command_context c{args, {}, &out, err, {}, {}};
    std::string error;
    if (!parse_options(words, cmd->options, c.options, error))
        return usage_error(err, words[0] + ": " + error);
    if (c.options.has("--help")) {
        put(out, with_name(cmd->help).c_str());
        return finish_output(*c.out, c.err);
    }
    if (!cmd->takes_operand && !c.options.operands.empty())
        return usage_error(err, words[0] + ": unexpected '" + c.options.operands[0] + "'");
    // Every command reads the lab's configuration, and none runs with a
    // file it cannot use: the fault is in the file, not the command line.
    if (!load_lab_config(c.options.has("--config") ? c.options.value("--config") : "", c.config, error)) {
        std::fprintf(err, "%s: %s\n", countctl_name, error.c_str());
        return exit_usage;
    }
    c.wait.quiet = c.options.has("--quiet");
    if (c.options.has("--wait")) {
        c.wait.wait = true;
        const std::string &limit = c.options.value("--wait");
        if (!limit.empty() && !read_seconds("--wait", limit, 1e7, c.wait.seconds, error))
            return usage_error(err, error);
    }
    if (c.wait.quiet)
        platform_quiet();

    const int status = cmd->run(c);
    // A signal that came during a short command ends it like any other.
    if (status == exit_ok && poll_stop_signals() != 0)
        return exit_signal_base + stop_signal();
    return status;
}
