// Files that appear whole or not at all: written under a temporary name
// beside the target, synced, renamed into place, and the rename made
// durable by syncing the directory. One mechanism for every file the
// programs and the virtual instrument write this way.
#pragma once

#include <sys/types.h>

#include <string>

// The directory a path lies in: "." for a bare name, "/" at the root.
std::string directory_of(const std::string &path);

// A temporary file beside `target` (target.tmp-XXXXXX), open for writing;
// -1 with errno set when it cannot be made. `temp_path` gets its name.
int open_beside(const std::string &target, std::string &temp_path);

// Syncs the directory `path` lies in, so that a rename there survives a
// crash. False, with errno set.
bool sync_directory_of(const std::string &path);

// The whole of `text` into `path` the atomic way, with permission bits
// `mode` (whatever the umask). False, with the reason; no temporary file is
// left behind.
bool write_file_atomically(const std::string &path, const std::string &text, mode_t mode, std::string &error);
