#include "invocation.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "countctl_common.h"
#include "numbers.h"
#include "platform.h"
#include "spi.h"
#include "stop_signals.h"

int start_bus(invocation &c)
{
    if (const int refused = take_bus(countctl_name, c.err, c.wait))
        return refused;
    return setup_io() ? exit_ok : platform_setup_failure_status();
}

bool number_option(invocation &c, const char *name, long long min, long long max, int &value, bool &given)
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

bool settings_options(invocation &c, settings_request &s)
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

bool stop_conditions(invocation &c, long long &target_words, double &seconds, bool optional)
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
bool tick_option(invocation &c, bool period_given, double &tick)
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

// -o FILE: false, said, when it names nothing.
bool output_option(invocation &c, std::string &path)
{
    if (!c.options.has("--output"))
        return true;
    path = c.options.value("--output");
    return !path.empty() || refused(c.err, "-o needs a path ('-' is standard output)");
}

// The command line as given, for a file's first line.
std::string command_line_of(const invocation &c)
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
void output_from_config(invocation &c, const lab_config &config, bool period_known, double &tick,
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
bool rotation_options(invocation &c, const lab_config &config, acquisition_request &r)
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

