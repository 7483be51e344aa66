// The Raspberry Pi, through libwiringPi.

#include <cstdlib>

#include "platform.h"

const char *platform_name() { return "wiringPi"; }

// /run/lock is world-writable with the sticky bit on Raspberry Pi OS, so the
// programs of every user meet at one lock.
const char *platform_bus_lock()
{
    const char *named = std::getenv(bus_lock_variable);
    return named != nullptr ? named : "/run/lock/counter-bus.lock";
}

void platform_quiet() {}

void platform_waited(long long) {} // the instrument measured meanwhile

const char *platform_bus_lock_remedy() { return "name another with COUNTER_BUS_LOCK=PATH"; }

const char *platform_no_data_hint() { return "is the instrument started?"; }

// wiringPi says why itself when it cannot reach the GPIO (and mostly ends
// the program there); a refusal it returns is the GPIO not usable.
int platform_setup_failure_status() { return 4; }

void platform_bus_lost() {}
