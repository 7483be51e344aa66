#include "command_line.h"

#include "program_options.h"

bool parse_options(const std::vector<std::string> &args, const std::vector<option_rule> &rules,
                   parsed_options &parsed, std::string &error)
{
    // getopt_long's tables, made from the rules: an option's code is its
    // place in the rules, past the codes of characters.
    constexpr int first_code = 256;
    std::vector<option> long_options;
    std::string short_options;
    for (std::size_t i = 0; i < rules.size(); ++i) {
        const option_rule &r = rules[i];
        const int code = first_code + static_cast<int>(i);
        long_options.push_back({r.name + 2,
                                r.value_optional ? optional_argument : r.takes_value ? required_argument : no_argument,
                                nullptr, code});
        if (r.alias != nullptr)
            short_options += std::string(1, r.alias[1]) + (r.takes_value ? ":" : "");
    }
    long_options.push_back({nullptr, 0, nullptr, 0});

    std::vector<std::string> words = args;
    std::vector<char *> pointers;
    for (std::string &w : words)
        pointers.push_back(w.data());
    std::vector<char *> argv = negative_numbers_as_operands(pointers, short_options.c_str(), long_options.data());

    optind = 0;
    for (;;) {
        const int c = next_option(argv, short_options.c_str(), long_options.data(), error);
        if (c == -1)
            break;
        if (c == '?')
            return false;
        const option_rule *rule = nullptr;
        for (std::size_t i = 0; i < rules.size(); ++i)
            if (c == first_code + static_cast<int>(i) || (rules[i].alias != nullptr && c == rules[i].alias[1]))
                rule = &rules[i];
        if (parsed.has(rule->name)) {
            error = std::string(rule->name) + " is given twice";
            return false;
        }
        parsed.given[rule->name] = optarg != nullptr ? optarg : "";
    }
    for (int i = optind; i < static_cast<int>(argv.size()); ++i)
        parsed.operands.push_back(argv[static_cast<std::size_t>(i)]);
    return true;
}
