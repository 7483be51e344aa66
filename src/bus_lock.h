// One owner of the bus at a time, across processes and users.
//
// Every program that drives the bus takes the lock before its first GPIO
// call and holds it until it exits. The lock is a flock(2) on a file: the
// kernel drops it when the holder ends, however it ends, so a lock is never
// left stale. The file is never followed through a symbolic link, never
// truncated or rewritten unless this system made it, and is left readable
// and writable by all, so that once one user's program has exited any
// other user's program can take the bus.
//
// Where the lock lies is the platform's to say (see platform.h); a platform
// that names none takes no lock.
#pragma once

#include <cstdio>
#include <string>

struct bus_wait {
    bool wait = false;     // wait for the holder instead of giving up
    double seconds = -1;   // at most this long; below 0: as long as it takes
    bool quiet = false;    // say nothing of the wait
};

// Takes the bus for the rest of the process's life. Returns 0, or the exit
// status to end with, having said why on `err` as `program`: exit_bus_taken
// when the bus is in use or its lock cannot be used, 128 + N when stop
// signal N came during a wait. `note` is shown to a program that finds the
// bus taken (where a server listens, say).
// From then on, whenever the program waits (stop_signals.h's waiting hook),
// the lock is looked at again about once a second, and a change said on
// `err`; a program may set a hook of its own instead.
int take_bus(const char *program, std::FILE *err, const bus_wait &wait = {}, const char *note = nullptr);

// For a holder that runs for long (a server, an acquisition), every second
// or so: whether the lock path still names the file it locked. A lock file
// deleted or replaced meanwhile is locked again at the path (retaken); when
// another program holds the new one, the bus is no longer this program's
// (lost, with the reason): it must stop driving it, and the platform is
// told (platform_bus_lost).
enum class bus_lock_state { held, retaken, lost };
bus_lock_state recheck_bus_lock(std::string &why);
// True once a recheck found the bus another program's: stop driving it.
bool bus_taken_away();

// What a lock file made by this system begins with; only such a file, or an
// empty one, is ever written to. A state file that holds only this holds no
// state yet.
constexpr char bus_lock_marker[] = "counter-bus lock held by ";
