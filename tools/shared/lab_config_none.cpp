// A build without toml++: no configuration file is read, and one found says so.
#include "lab_config_file.h"

bool read_config_file(lab_config &c, std::string &error)
{
    error = c.path + ": this build reads no configuration files (build it with libtomlplusplus-dev installed)";
    return false;
}
