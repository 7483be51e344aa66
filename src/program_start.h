// What every program does before anything else.
#pragma once

// Opens /dev/null on whichever of descriptors 0, 1 and 2 are closed, so
// that no file the program opens later gets one of them: a CSV file on
// descriptor 2 would take the program's messages into its rows.
void guard_standard_descriptors();

// The name the program was started by (argv[0] without its directory), for
// its messages: counter-bus-check when installed, bus_check in the build tree.
const char *program_name(const char *argv0);
