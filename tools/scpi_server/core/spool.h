// The words still held when the server ends, written to a file in
// countctl's CSV format, so that no word read from the instrument is lost
// with the process. Names never collide: a name taken is never replaced,
// the next one in sequence is used.
#pragma once

#include <string>

#include "core/bus_owner.h"

// Whether `directory` can take a spool file: false, with the reason.
bool spool_directory_usable(const std::string &directory, std::string &why);

// Writes the words held (the hold is emptied). Returns the path written,
// or "" when nothing was held; on failure, false with the reason (and no
// temporary file left behind).
bool write_spool(bus_owner &owner, const std::string &directory, const std::string &ended_by,
                 std::string &path, std::string &error);
