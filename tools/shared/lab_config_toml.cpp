// The lab's configuration read with toml++ (header-only): each key checked.
#include "lab_config_file.h"

#define TOML_HEADER_ONLY 1
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

namespace {

std::string where(const lab_config &c, const toml::node &n, const std::string &key)
{
    return c.path + ":" + std::to_string(n.source().begin.line) + ": '" + key + "'";
}

// A whole number from min to max.
bool whole(const lab_config &c, const toml::node &n, const std::string &key, long long min, long long max,
           std::optional<int> &into, std::string &error)
{
    const std::optional<long long> v = n.value<long long>();
    if (!n.is_integer() || !v || *v < min || *v > max) {
        error = where(c, n, key) + " must be a whole number from " + std::to_string(min) + " to " + std::to_string(max);
        return false;
    }
    into = static_cast<int>(*v);
    return true;
}

bool setting(lab_config &c, const std::string &key, const toml::node &n, std::string &error)
{
    if (key == "threshold")
        return whole(c, n, key, 0, 4095, c.threshold, error);
    if (key == "polarity")
        return whole(c, n, key, 0, 1, c.polarity, error);
    if (key == "period")
        return whole(c, n, key, 1, 4095, c.period, error);
    if (key == "journal_words") {
        const std::optional<long long> v = n.value<long long>();
        if (!n.is_integer() || !v || *v < 1 || *v > (1LL << 30)) {
            error = where(c, n, key) + " must be a whole number from 1 to " + std::to_string(1LL << 30);
            return false;
        }
        c.journal_words = *v;
        return true;
    }
    if (key == "tick") {
        const std::optional<double> v = n.value<double>();
        if (!(n.is_floating_point() || n.is_integer()) || !v || !(*v > 0 && *v <= 3600)) { // nan is refused too
            error = where(c, n, key) + " must be a number of seconds above 0 (1e-6, say)";
            return false;
        }
        c.tick = *v;
        return true;
    }
    if (key == "output_dir" || key == "format") {
        const std::optional<std::string> v = n.value<std::string>();
        if (!n.is_string() || !v || v->empty() || (key == "format" && *v != "csv" && *v != "plain" && *v != "hdf5")) {
            error = where(c, n, key) + (key == "format" ? " must be \"csv\", \"plain\" or \"hdf5\"" : " must be a directory");
            return false;
        }
        (key == "format" ? c.format : c.output_dir) = *v;
        return true;
    }
    if (key == "gap_marker") {
        const std::optional<std::string> v = n.value<std::string>();
        if (!n.is_string() || !v || !parse_gap_marker(*v, c.marker)) {
            error = where(c, n, key) + " must be \"none\" or \"bit31\"";
            return false;
        }
        return true;
    }
    error = where(c, n, key) + " is not a setting (threshold, polarity, period, tick, output_dir, format, gap_marker, journal_words)";
    return false;
}

} // namespace

bool read_config_file(lab_config &c, std::string &error)
{
    toml::parse_result parsed = toml::parse_file(c.path);
    if (!parsed) {
        const toml::parse_error &e = parsed.error();
        error = c.path + ":" + std::to_string(e.source().begin.line) + ": not TOML: " + std::string(e.description());
        return false;
    }
    for (const auto &[key, node] : parsed.table())
        if (!setting(c, std::string(key.str()), node, error))
            return false;
    return true;
}

