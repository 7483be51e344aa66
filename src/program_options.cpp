#include "program_options.h"

#include <cerrno>
#include <cstring>

#include "exit_status.h"

#ifndef PROGRAM_VERSION
#define PROGRAM_VERSION "0"
#endif

namespace {

bool is_negative_number(const char *word) { return word[0] == '-' && word[1] >= '0' && word[1] <= '9'; }

// Whether `word` is an option that takes its value from the next word.
bool takes_next_word(const char *word, const char *short_options, const option *long_options)
{
    if (word[0] != '-' || word[1] == '\0')
        return false;
    if (word[1] == '-') {
        const char *name = word + 2;
        if (std::strchr(name, '=') != nullptr)
            return false;
        for (const option *o = long_options; o->name != nullptr; ++o)
            if (std::strcmp(o->name, name) == 0)
                return o->has_arg == required_argument;
        return false;
    }
    // A cluster of short options: the last one may take the next word.
    const std::size_t n = std::strlen(word);
    const char *at = std::strchr(short_options, word[n - 1]);
    return at != nullptr && at[1] == ':' && at[2] != ':';
}

} // namespace

int next_option(std::vector<char *> &args, const char *short_options, const option *long_options,
                std::string &error)
{
    opterr = 0;
    // ':' first tells a missing value apart; after a '+', which stops at the
    // first operand.
    const std::string silent =
        short_options[0] == '+' ? std::string("+:") + (short_options + 1) : std::string(":") + short_options;
    const int argc = static_cast<int>(args.size());
    const int c = getopt_long(argc, args.data(), silent.c_str(), long_options, nullptr);
    if (c != '?' && c != ':')
        return c;
    const std::string word = optind > 0 && optind <= argc ? args[static_cast<std::size_t>(optind - 1)] : "";
    const bool long_form = word.rfind("--", 0) == 0;
    const std::string name = long_form ? word.substr(0, word.find('=')) : std::string("-") + static_cast<char>(optopt);
    if (c == ':')
        error = "option " + name + " needs a value";
    else if (long_form && optopt != 0)
        error = "option " + name + " takes no value";
    else
        error = "unknown option '" + name + "'";
    return '?';
}

std::vector<char *> negative_numbers_as_operands(const std::vector<char *> &args, const char *short_options,
                                                 const option *long_options)
{
    std::vector<char *> kept, operands;
    bool after_end = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        char *word = args[i];
        if (i > 0 && !after_end && std::strcmp(word, "--") == 0) {
            after_end = true;
            continue;
        }
        if (i > 0 && (after_end || is_negative_number(word))) {
            operands.push_back(word);
            continue;
        }
        kept.push_back(word);
        if (i > 0 && i + 1 < args.size() && takes_next_word(word, short_options, long_options))
            kept.push_back(args[++i]);
    }
    if (!operands.empty()) {
        static char end_of_options[] = "--";
        kept.push_back(end_of_options);
        kept.insert(kept.end(), operands.begin(), operands.end());
    }
    return kept;
}

int usage_error(std::FILE *err, const char *program, const std::string &why, const char *usage)
{
    std::fprintf(err, "%s: %s\n%sTry '%s --help' for more information.\n", program, why.c_str(), usage, program);
    return exit_usage;
}

int print_text(const char *program, const std::string &text)
{
    if (std::fputs(text.c_str(), stdout) >= 0 && std::fflush(stdout) == 0)
        return exit_ok;
    std::fprintf(stderr, "%s: cannot write standard output: %s\n", program, std::strerror(errno));
    return exit_output_failed;
}

const char *program_version() { return PROGRAM_VERSION; }
