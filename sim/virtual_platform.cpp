// The platform, as the programs see it (platform.h): the virtual
// instrument's name, where its bus lock lies, and its own messages.

#include <cstdlib>
#include <string>

#include "../src/platform.h"
#include "instrument.h"
#include "pin_bank_core.h"

void sim::bank_detail::platform_linked() {}

const char *platform_name() { return "virtual instrument"; }

// A shared state file has a lock file beside it (STATE.lock), so that two
// programs never work on one virtual instrument at once, while the state
// itself is replaced by rename like any other file.
const char *platform_bus_lock()
{
    static std::string beside_state;
    if (const char *state = std::getenv("VIRTUAL_INSTRUMENT_STATE")) {
        beside_state = std::string(state) + ".lock";
        return beside_state.c_str();
    }
    return std::getenv(bus_lock_variable);
}

// The variable the user set to place the lock: the one to change.
const char *platform_bus_lock_remedy()
{
    if (std::getenv("VIRTUAL_INSTRUMENT_STATE") != nullptr)
        return "name another state file with VIRTUAL_INSTRUMENT_STATE=PATH (its lock is PATH.lock)";
    return "name another with COUNTER_BUS_LOCK=PATH";
}

const char *platform_no_data_hint()
{
    if (std::getenv("VIRTUAL_INSTRUMENT_STATE") != nullptr)
        return "is the instrument started?";
    return "every program powers on a virtual instrument of its own, so a run started by another program is"
           " not here; to share one, give every program the same VIRTUAL_INSTRUMENT_STATE=FILE";
}

void platform_bus_lost() { sim::bank_detail::forget_shared_state(); }

void platform_quiet() { sim::bank_detail::announced = true; }

void platform_waited(long long microseconds)
{
    if (microseconds > 0)
        sim::let_time_pass(static_cast<std::uint64_t>(microseconds));
}

int platform_setup_failure_status() { return sim::bank_detail::setup_failure_status; }
