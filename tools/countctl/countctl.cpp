#include "countctl.h"

#include <cstring>

#include "commands.h"
#include "countctl_common.h"
#include "numbers.h"
#include "platform.h"
#include "stop_signals.h"

namespace {

// The general help around its list of commands, which the rows give.
const char general_help_head[] =
    "Usage: countctl [--help | --version]\n"
    "  or:  countctl [--wait[=S]] [--quiet] [--config=FILE] COMMAND [OPTION]... [ARGUMENT]\n"
    "Run the counting instrument from scripts and save its counts to files.\n"
    "\n"
    "Commands:\n";

const char general_help_tail[] =
    "\n"
    "Options of every command, before or after its name:\n"
    "      --config=FILE      the lab's usual settings (threshold, polarity, period, tick,\n"
    "                         output_dir, format, gap_marker) instead of\n"
    "                         $XDG_CONFIG_HOME/counter-instrument.toml or\n"
    "                         /etc/counter-instrument.toml; options win\n"
    "      --wait[=S]         when another program holds the bus, wait for it (at most\n"
    "                         S seconds) instead of giving up\n"
    "  -q, --quiet            nothing on standard error but failures\n"
    "  -h, --help             what the command does and takes\n"
    "\n"
    "Options:\n"
    "  -h, --help             this help\n"
    "      --version          the version, and who supplies the GPIO calls\n"
    "      --complete[=COMMAND]  the commands, or a command's options, one a line\n"
    "                         (for the shell's completion)\n"
    "\n"
    "Ranges: threshold 0..4095, polarity 0..1, period 1..4095. Numbers are\n"
    "decimal, or hexadecimal after 0x; a setting out of range is refused, and\n"
    "nothing is sent. 'countctl COMMAND --help' tells more of each command.\n"
    "\n"
    "Exit status:\n"
    "  0    done\n"
    "  1    the instrument did not do what was asked\n"
    "  2    a wrong command line (nothing is sent)\n"
    "  3    the output could not be written\n"
    "  4    the bus is in use by another program, or its lock cannot be used\n"
    "       (nothing is sent)\n"
    "  128+N  ended by signal N\n";


// A help or usage text under the name countctl was started by.
std::size_t common_option_words(const std::string &word)
{
    if (word == "--config")
        return 2;
    return word == "--wait" || word.rfind("--wait=", 0) == 0 || word == "-q" || word == "--quiet" ||
                   word.rfind("--config=", 0) == 0
               ? 1
               : 0;
}

// The words with the common options that precede the command moved after
// its name. Anything else before it is left in place, to be refused.
std::vector<std::string> with_common_options_after_command(const std::vector<std::string> &args)
{
    std::size_t first = 0;
    while (first < args.size() && common_option_words(args[first]) > 0)
        first = std::min(args.size(), first + common_option_words(args[first]));
    if (first == args.size())
        return {}; // options, and no command
    if (first == 0 || args[first].rfind("-", 0) == 0)
        return args;
    std::vector<std::string> words{args[first]};
    words.insert(words.end(), args.begin(), args.begin() + static_cast<long>(first));
    words.insert(words.end(), args.begin() + static_cast<long>(first) + 1, args.end());
    return words;
}

std::string completion_words(const std::string &name)
{
    std::string words;
    if (name.empty()) {
        for (const command &k : countctl_commands())
            words += std::string(k.name) + "\n";
        return words + "--help\n--version\n--wait\n--quiet\n--config\n";
    }
    for (const command &k : countctl_commands())
        if (name == k.name)
            for (const option_rule &o : k.options)
                if (o.offered)
                    words += std::string(o.name) + "\n";
    return words;
}

} // namespace

int run_countctl(const std::vector<std::string> &args, int out_fd, std::FILE *err)
{
    static output_buffer out;
    out = output_buffer{};
    out.fd = out_fd;
    // The options of every command may come before the command's name, as
    // git and systemctl take them: they are moved after it.
    const std::vector<std::string> words = with_common_options_after_command(args);
    if (words.empty())
        return usage_error(err, "no command given");
    if (words[0] == "--help" || words[0] == "-h" || words[0] == "help") {
        std::string help = general_help_head;
        for (const command &k : countctl_commands())
            help += k.summary;
        put(out, with_name((help + general_help_tail).c_str()).c_str());
        return finish_output(out, err);
    }
    if (words[0].rfind("--complete", 0) == 0) {
        const std::size_t equals = words[0].find('=');
        if (equals == std::string::npos ? words[0] != "--complete" : words[0].substr(0, equals) != "--complete")
            return usage_error(err, "unknown option '" + words[0].substr(0, equals) + "'");
        put(out, completion_words(equals == std::string::npos ? "" : words[0].substr(equals + 1)).c_str());
        return finish_output(out, err);
    }
    if (words[0] == "--version") {
        put_format(out, "%s %s (%s)\n", countctl_name, program_version(), platform_name());
        return finish_output(out, err);
    }
    const command *cmd = nullptr;
    for (const command &k : countctl_commands())
        if (words[0] == k.name)
            cmd = &k;
    if (cmd == nullptr && words[0].rfind("-", 0) == 0)
        return usage_error(err, "unknown option '" + words[0].substr(0, words[0].find('=')) + "'");
    if (cmd == nullptr)
        return usage_error(err, "unknown command '" + words[0] + "'");

    invocation c{args, {}, &out, err, {}, {}};
    std::string error;
    if (!parse_options(words, cmd->options, c.options, error))
        return usage_error(err, words[0] + ": " + error);
    if (c.options.has("--help")) {
        put(out, with_name(cmd->help).c_str());
        return finish_output(*c.out, c.err);
    }
    if (!cmd->takes_operand && !c.options.operands.empty())
        return usage_error(err, words[0] + ": unexpected '" + c.options.operands[0] + "'");
    // Every command reads the lab's configuration, and none runs with a
    // file it cannot use: the fault is in the file, not the command line.
    if (!load_lab_config(c.options.has("--config") ? c.options.value("--config") : "", c.config, error)) {
        std::fprintf(err, "%s: %s\n", countctl_name, error.c_str());
        return exit_usage;
    }
    c.wait.quiet = c.options.has("--quiet");
    if (c.options.has("--wait")) {
        c.wait.wait = true;
        const std::string &limit = c.options.value("--wait");
        if (!limit.empty() && !read_seconds("--wait", limit, 1e7, c.wait.seconds, error))
            return usage_error(err, error);
    }
    if (c.wait.quiet)
        platform_quiet();

    const int status = cmd->run(c);
    // A signal that came during a short command ends it like any other.
    if (status == exit_ok && poll_stop_signals() != 0)
        return exit_signal_base + stop_signal();
    return status;
}
