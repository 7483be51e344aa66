#include "numbers.h"

#include <cstdlib>

namespace {

int digit_value(char c, int base)
{
    int d = -1;
    if (c >= '0' && c <= '9')
        d = c - '0';
    else if (c >= 'a' && c <= 'f')
        d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        d = c - 'A' + 10;
    return d < base ? d : -1;
}

} // namespace

number_fault parse_integer(const std::string &text, long long min, long long max, long long &value)
{
    std::size_t at = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (!text.empty() && (text[0] == '-' || text[0] == '+'))
        at = 1;
    int base = 10;
    if (text.size() > at + 2 && text[at] == '0' && (text[at + 1] == 'x' || text[at + 1] == 'X')) {
        base = 16;
        at += 2;
    }
    if (at == text.size())
        return number_fault::not_a_number;
    // The magnitude stops growing once it is past what a long long holds, so
    // it cannot overflow; a digit that is no digit still makes it no number.
    constexpr unsigned long long beyond = 1ull << 63; // the magnitude of the least long long
    unsigned long long magnitude = 0;
    for (std::size_t i = at; i < text.size(); ++i) {
        const int d = digit_value(text[i], base);
        if (d < 0)
            return number_fault::not_a_number;
        const auto digit = static_cast<unsigned long long>(d);
        if (magnitude > (beyond - digit) / static_cast<unsigned>(base))
            magnitude = beyond + 1;
        else
            magnitude = magnitude * static_cast<unsigned>(base) + digit;
    }
    if (magnitude > beyond || (magnitude == beyond && !negative))
        return number_fault::out_of_range;
    const long long v = negative ? static_cast<long long>(0 - magnitude) : static_cast<long long>(magnitude);
    if (v < min || v > max)
        return number_fault::out_of_range;
    value = v;
    return number_fault::none;
}

number_fault parse_seconds(const std::string &text, double max, double &value)
{
    std::size_t i = 0;
    const auto digits = [&] {
        const std::size_t from = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9')
            ++i;
        return i > from;
    };
    bool ok = digits();
    if (ok && i < text.size() && text[i] == '.') {
        ++i;
        ok = digits();
    }
    if (ok && i < text.size() && (text[i] == 'e' || text[i] == 'E')) { // 1e-6, as ticks are written
        ++i;
        if (i < text.size() && (text[i] == '-' || text[i] == '+'))
            ++i;
        ok = digits();
    }
    if (!ok || i != text.size())
        return number_fault::not_a_number;
    const double v = std::strtod(text.c_str(), nullptr);
    if (v > max)
        return number_fault::out_of_range;
    value = v;
    return number_fault::none;
}

bool read_integer(const std::string &what, const std::string &text, long long min, long long max, long long &value,
                  std::string &error)
{
    switch (parse_integer(text, min, max, value)) {
    case number_fault::none:
        return true;
    case number_fault::not_a_number:
        error = what + ": '" + text + "' is not a whole number";
        return false;
    case number_fault::out_of_range:
        error = what + " " + text + " is out of range: " + std::to_string(min) + ".." + std::to_string(max);
        return false;
    }
    return false;
}

bool read_seconds(const std::string &what, const std::string &text, double max, double &value, std::string &error)
{
    switch (parse_seconds(text, max, value)) {
    case number_fault::none:
        return true;
    case number_fault::not_a_number:
        error = what + ": '" + text + "' is not a number of seconds";
        return false;
    case number_fault::out_of_range:
        error = what + " " + text + " is out of range: 0.." + std::to_string(static_cast<long long>(max)) + " s";
        return false;
    }
    return false;
}
