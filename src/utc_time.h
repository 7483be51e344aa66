// The wall clock in UTC, as files and logs give it.
#pragma once

#include <string>

// Now, formatted by strftime: "%Y-%m-%dT%H:%M:%SZ" unless told otherwise.
std::string utc_now(const char *format = "%Y-%m-%dT%H:%M:%SZ");

// Now to the millisecond: "2026-12-08T20:51:03.123Z".
std::string utc_now_ms();
