// Numbers on command lines and in environment variables: one rule for every
// program but the console, whose operator types strict decimal.
//
// An integer is an optional sign (+ or -), then decimal digits, or 0x (or
// 0X) and hexadecimal digits; nothing before it or after it, no blanks. A
// leading zero does not make it octal: 010 is ten. It must lie within the
// range the caller gives; nothing is clamped.
//
// Seconds are decimal digits with an optional fraction (2, 0.5, 2.25), from
// 0 to the most the caller gives.
#pragma once

#include <string>

enum class number_fault { none, not_a_number, out_of_range };

number_fault parse_integer(const std::string &text, long long min, long long max, long long &value);
number_fault parse_seconds(const std::string &text, double max, double &value);

// The same, with the reason in words for a message about `what`:
// "--threshold: '12x' is not a whole number",
// "--threshold 5000 is out of range: 0..4095".
bool read_integer(const std::string &what, const std::string &text, long long min, long long max, long long &value,
                  std::string &error);
bool read_seconds(const std::string &what, const std::string &text, double max, double &value, std::string &error);
