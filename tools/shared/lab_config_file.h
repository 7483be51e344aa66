// Reading one configuration file, with toml++ or (lab_config_none.cpp) not at all.
#pragma once

#include <string>

#include "lab_config.h"

// Reads c.path into `c`; false, with the reason naming the file, the line and the key.
bool read_config_file(lab_config &c, std::string &error);
