#include "command_line.h"

#include <cstdlib>

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c)
{
    if (is_digit(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

bool parse_options(const std::vector<std::string> &args, std::size_t from, const std::vector<option_rule> &rules,
                   parsed_options &parsed, std::string &error)
{
    bool options_ended = false;
    for (std::size_t i = from; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (!options_ended && arg == "--") {
            options_ended = true;
            continue;
        }
        if (options_ended || arg.size() < 2 || arg[0] != '-' || is_digit(arg[1])) {
            parsed.operands.push_back(arg);
            continue;
        }
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const option_rule *rule = nullptr;
        for (const option_rule &r : rules)
            if (name == r.name || (r.alias != nullptr && name == r.alias))
                rule = &r;
        if (rule == nullptr) {
            error = "unknown option '" + name + "'";
            return false;
        }
        if (parsed.has(rule->name)) {
            error = std::string(rule->name) + " is given twice";
            return false;
        }
        std::string value;
        if (rule->value_optional) {
            if (equals != std::string::npos)
                value = arg.substr(equals + 1);
        } else if (rule->takes_value) {
            if (equals != std::string::npos) {
                value = arg.substr(equals + 1);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                error = std::string(rule->name) + " needs a value";
                return false;
            }
        } else if (equals != std::string::npos) {
            error = std::string(rule->name) + " takes no value";
            return false;
        }
        parsed.given[rule->name] = value;
    }
    return true;
}

bool parse_whole(const std::string &what, const std::string &text, long long min, long long max, long long &value,
                 std::string &error)
{
    std::size_t at = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (!text.empty() && (text[0] == '-' || text[0] == '+'))
        at = 1;
    const bool hex = text.size() > at + 2 && text[at] == '0' && (text[at + 1] == 'x' || text[at + 1] == 'X');
    if (hex)
        at += 2;
    unsigned long long magnitude = 0;
    bool digits = at < text.size();
    for (std::size_t i = at; i < text.size() && digits; ++i) {
        const int d = hex ? hex_value(text[i]) : is_digit(text[i]) ? text[i] - '0' : -1;
        digits = d >= 0;
        magnitude = magnitude * (hex ? 16 : 10) + static_cast<unsigned>(d < 0 ? 0 : d);
        if (magnitude > (1ull << 40))
            magnitude = 1ull << 40; // far outside every range here
    }
    if (!digits) {
        error = what + ": '" + text + "' is not a whole number";
        return false;
    }
    const long long v = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
    if (v < min || v > max) {
        error = what + " " + text + " is out of range: " + std::to_string(min) + ".." + std::to_string(max);
        return false;
    }
    value = v;
    return true;
}

bool parse_seconds(const std::string &what, const std::string &text, double max, double &value, std::string &error)
{
    std::size_t i = 0;
    while (i < text.size() && is_digit(text[i]))
        ++i;
    bool ok = i > 0;
    if (ok && i < text.size() && text[i] == '.') {
        const std::size_t fraction = ++i;
        while (i < text.size() && is_digit(text[i]))
            ++i;
        ok = i > fraction;
    }
    ok = ok && i == text.size();
    if (!ok) {
        error = what + ": '" + text + "' is not a number of seconds";
        return false;
    }
    value = std::strtod(text.c_str(), nullptr);
    if (value > max) {
        error = what + " " + text + " is out of range: 0.." + std::to_string(static_cast<long long>(max)) + " s";
        return false;
    }
    return true;
}
