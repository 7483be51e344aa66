#include "utc_time.h"

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
