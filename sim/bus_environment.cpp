// The virtual bus as a program's environment sets it up: which far side is
// attached (VIRTUAL_BUS, VIRTUAL_PLUG_FAULTS), the shared state
// (VIRTUAL_INSTRUMENT_STATE), and the test bench's hooks (VIRTUAL_BUS_LOG,
// VIRTUAL_BUS_STOP_AT_CALL). A wrong value is said on standard error and
// fails the setup; the program's start-up ends with its documented status.

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../src/exit_status.h"
#include "../src/numbers.h"
#include "instrument.h"
#include "loopback_plug.h"
#include "pin_bank_core.h"

namespace sim::bank_detail {

int setup_failure_status = 0;

namespace {

bool refuse(int status)
{
    setup_failure_status = status;
    return false;
}

// VIRTUAL_INSTRUMENT_CLOCK and VIRTUAL_INSTRUMENT_TICK.
bool clock_from_environment()
{
    const char *clock = std::getenv("VIRTUAL_INSTRUMENT_CLOCK");
    if (clock == nullptr || std::strcmp(clock, "bus") == 0)
        return true;
    if (std::strcmp(clock, "wall") != 0) {
        std::fprintf(stderr, "virtual instrument: VIRTUAL_INSTRUMENT_CLOCK is '%s'; it must be bus or wall\n", clock);
        return false;
    }
    double seconds = 1e-6;
    std::string error;
    if (const char *tick = std::getenv("VIRTUAL_INSTRUMENT_TICK");
        tick != nullptr && (!read_seconds("VIRTUAL_INSTRUMENT_TICK", tick, 3600, seconds, error) || seconds <= 0)) {
        std::fprintf(stderr, "virtual instrument: %s\n",
                     error.empty() ? "VIRTUAL_INSTRUMENT_TICK must be more than 0 seconds" : error.c_str());
        return false;
    }
    use_wall_clock(static_cast<std::uint64_t>(seconds * 1e9 + 0.5));
    return true;
}

} // namespace

bool power_on_from_environment()
{
    constexpr int wrong_variable = 2;
    const char *side = std::getenv("VIRTUAL_BUS");
    if (side == nullptr || std::strcmp(side, "instrument") == 0) {
        power_on();
        if (!clock_from_environment())
            return refuse(wrong_variable);
        if (std::getenv("VIRTUAL_PLUG_FAULTS") != nullptr)
            std::fputs("virtual bus: VIRTUAL_PLUG_FAULTS is ignored: the instrument is attached, not the plug"
                       " (VIRTUAL_BUS=plug attaches it)\n",
                       stderr);
        if (const char *state = std::getenv("VIRTUAL_INSTRUMENT_STATE"); state != nullptr && !share_state(state))
            return refuse(exit_bus_taken);
    } else if (std::strcmp(side, "plug") == 0) {
        const char *fault_list = std::getenv("VIRTUAL_PLUG_FAULTS");
        std::vector<plug_fault> faults;
        std::string error;
        if (!parse_plug_faults(fault_list == nullptr ? "" : fault_list, faults, error)) {
            std::fprintf(stderr, "virtual bus: VIRTUAL_PLUG_FAULTS: %s\n", error.c_str());
            return refuse(wrong_variable);
        }
        power_on_with_plug(faults);
    } else {
        std::fprintf(stderr, "virtual bus: VIRTUAL_BUS is '%s'; it must be instrument or plug\n", side);
        return refuse(wrong_variable);
    }
    if (const char *stop = std::getenv("VIRTUAL_BUS_STOP_AT_CALL")) {
        long long call = 0;
        if (parse_integer(stop, 0, LLONG_MAX, call) != number_fault::none) {
            std::fprintf(stderr, "virtual bus: VIRTUAL_BUS_STOP_AT_CALL is '%s'; it must be a call number from 0\n",
                         stop);
            return refuse(wrong_variable);
        }
        stop_at_call = static_cast<std::uint64_t>(call);
    }
    if (const char *path = std::getenv("VIRTUAL_BUS_LOG"))
        log_at_exit(path);
    return true;
}

} // namespace sim::bank_detail
