#include "countctl_common.h"

#include <cstring>

const char *countctl_name = "countctl";

namespace {

const char usage[] =
    "usage: countctl [--help | --version]\n"
    "       countctl [--wait[=S]] [--quiet] [--config=FILE] COMMAND [OPTION]... [ARGUMENT]   (countctl --help lists the commands)\n";

} // namespace

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

bool refused(std::FILE *err, const std::string &why)
{
    usage_error(err, why);
    return false;
}

// How many words an option every command takes makes, when `word` begins
// one: --wait[=S], -q, --quiet, --config=FILE (1), --config FILE (2); else 0.

bool ends_with(const std::string &s, const char *end)
{
    const std::size_t n = std::strlen(end);
    return s.size() >= n && s.compare(s.size() - n, n, end) == 0;
}

bool names_hdf5(const std::string &path) { return ends_with(path, ".h5") || ends_with(path, ".hdf5"); }
