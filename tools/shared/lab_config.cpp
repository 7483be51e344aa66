#include "lab_config.h"

#include "lab_config_file.h"

#include <sys/stat.h>

#include <cstdlib>

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
    return regular_file(c, error) && read_config_file(c, error);
}
