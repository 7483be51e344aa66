#include "lab_config.h"

#include <sys/stat.h>

#include <cstdlib>

#ifdef HAVE_TOMLPP
#define TOML_HEADER_ONLY 1
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>
#endif

namespace {

bool exists(const std::string &path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0;
}

// Only a regular file is read: a directory is no configuration, and a FIFO
// or a device could hold the program in open() or read() for ever.
bool regular_file(const lab_config &c, std::string &error)
{
    struct stat st{};
    if (stat(c.path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        return true;
    error = c.path + ": not a configuration file (" +
            (S_ISDIR(st.st_mode) ? "a directory" : "not a regular file") + ")";
    return false;
}

#ifdef HAVE_TOMLPP

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
    error = where(c, n, key) + " is not a setting (threshold, polarity, period, tick, output_dir, format, gap_marker)";
    return false;
}

bool read_file(lab_config &c, std::string &error)
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

#else

bool read_file(lab_config &c, std::string &error)
{
    error = c.path + ": this build reads no configuration files (build it with libtomlplusplus-dev installed)";
    return false;
}

#endif

} // namespace

std::string user_config_path()
{
    const char *xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && *xdg != '\0')
        return std::string(xdg) + "/counter-instrument.toml";
    const char *home = std::getenv("HOME");
    return home != nullptr && *home != '\0' ? std::string(home) + "/.config/counter-instrument.toml" : "";
}

bool load_lab_config(const std::string &named, lab_config &c, std::string &error)
{
    c = lab_config{};
    if (!named.empty()) {
        if (!exists(named)) {
            error = named + ": there is no such configuration file";
            return false;
        }
        c.path = named;
    } else if (const std::string user = user_config_path(); !user.empty() && exists(user)) {
        c.path = user;
    } else if (exists(system_config_path)) {
        c.path = system_config_path;
    } else {
        return true; // no configuration: nothing but the options
    }
    return regular_file(c, error) && read_file(c, error);
}
