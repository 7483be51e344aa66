// What the programs know of the platform they are linked with, beside the
// four GPIO calls: its name, where its bus lock lies, and its own messages.
// Supplied by the same library as the GPIO calls (the virtual instrument),
// or by a small file linked beside libwiringPi.
#pragma once

// "wiringPi" or "virtual instrument".
const char *platform_name();

// The path of the bus lock to take before the first GPIO call, or nullptr
// when the platform takes none. COUNTER_BUS_LOCK names one in any build.
const char *platform_bus_lock();

// How to name another lock, for a message about a lock that cannot be
// used: the variable that placed it.
const char *platform_bus_lock_remedy();

// Why a wait for data may have found none, for its message.
const char *platform_no_data_hint();

// After setup_io failed: the status the program ends with (its reason was
// said on standard error by the platform).
int platform_setup_failure_status();

// The bus was taken by another program while this one held it: the
// platform leaves what is now the other program's alone at exit (the
// virtual instrument does not save its shared state over the new holder's).
void platform_bus_lost();

// A program waited this long between two queries of a run (a real
// instrument measures meanwhile). The virtual instrument on its bus clock,
// which counts only bus activity, lets the same time pass, a tick a
// microsecond, so that a run it serves goes at the pace a user expects;
// elsewhere nothing.
void platform_waited(long long microseconds);

// Keeps the platform from saying anything of its own on standard error
// when the bus starts (the virtual instrument's "no hardware" line).
void platform_quiet();

constexpr const char *bus_lock_variable = "COUNTER_BUS_LOCK";
