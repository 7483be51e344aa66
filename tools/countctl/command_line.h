// countctl's command line: options in the usual Unix manner (--name VALUE,
// --name=VALUE, -o FILE), and numbers as strict as the console takes them.
#pragma once

#include <map>
#include <string>
#include <vector>

struct option_rule {
    const char *name;  // "--threshold"
    const char *alias; // "-o", or nullptr
    bool takes_value;
    bool value_optional = false; // --wait or --wait=S: a value only after '='
};

struct parsed_options {
    std::map<std::string, std::string> given; // by long name; "" for a flag
    std::vector<std::string> operands;
    bool has(const char *name) const { return given.count(name) != 0; }
    const std::string &value(const char *name) const { return given.at(name); }
};

// Parses args[from...]. False, with the reason, on an unknown option, a
// missing value or an option given twice. A word that is a negative number
// is an operand, and so is every word after "--".
bool parse_options(const std::vector<std::string> &args, std::size_t from, const std::vector<option_rule> &rules,
                   parsed_options &parsed, std::string &error);

// A whole number: an optional sign and decimal digits, or 0x and hexadecimal
// digits, from `min` to `max`. False, with the reason, otherwise.
bool parse_whole(const std::string &what, const std::string &text, long long min, long long max, long long &value,
                 std::string &error);

// Seconds: decimal digits with an optional fraction, from 0 to `max`.
bool parse_seconds(const std::string &what, const std::string &text, double max, double &value, std::string &error);
