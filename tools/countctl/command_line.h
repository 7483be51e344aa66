// countctl's command line: a command, then its options in the GNU manner
// (--name VALUE, --name=VALUE, -o FILE), read by getopt_long through the
// programs' shared helpers (program_options.h).
#pragma once

#include <map>
#include <string>
#include <vector>

struct option_rule {
    const char *name;  // "--threshold"
    const char *alias; // "-o", or nullptr
    bool takes_value;
    bool value_optional = false; // --wait or --wait=S: a value only after '='
    bool offered = true;         // false: taken only to be refused with a reason, never completed
};

struct parsed_options {
    std::map<std::string, std::string> given; // by long name; "" for a flag
    std::vector<std::string> operands;
    bool has(const char *name) const { return given.count(name) != 0; }
    const std::string &value(const char *name) const { return given.at(name); }
};

// Parses a command's words (args[0] is the command). False, with the
// reason, on an unknown option, a missing value or an option given twice.
// A word that is a negative number is an operand, and so is every word
// after "--".
bool parse_options(const std::vector<std::string> &args, const std::vector<option_rule> &rules,
                   parsed_options &parsed, std::string &error);
