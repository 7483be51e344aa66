#include "utc_time.h"

#include <cstdio>
#include <ctime>

std::string utc_now(const char *format)
{
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[64];
    const std::size_t n = std::strftime(text, sizeof text, format, &utc);
    return std::string(text, n);
}

std::string utc_now_ms()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    char text[64];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%03ldZ", now.tv_nsec / 1000000);
    return text;
}
