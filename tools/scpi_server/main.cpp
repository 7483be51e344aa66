// scpi_server: the Pi and its counting instrument as a network instrument.
//
// One thread and one loop (event_loop.h): the SCPI socket and the drain
// timer are its sources, so operations of different clients never
// interleave on the bus. One owner of the bus (bus_owner.h) keeps the words
// read until a client has shown it has them. A stop signal ends it
// cleanly: the run it started is stopped, the instrument drained, responses
// under way sent, and every word still held written to a spool file.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bus_lock.h"
#include "bus_owner.h"
#include "event_loop.h"
#include "lab_config.h"
#include "exit_status.h"
#include "net/net_address.h"
#include "net/raw_socket.h"
#include "numbers.h"
#include "platform.h"
#include "program_options.h"
#include "program_start.h"
#include "scpi/session.h"
#include "spi.h"
#include "spool.h"
#include "stop_signals.h"

namespace {

const char *program = "scpi_server";

const char usage[] =
    "usage: scpi_server [--listen=ADDR:PORT]... [--allow=CIDR[,CIDR]...] [--max-clients=N]\n"
    "                   [--idle-timeout=S] [--hold-words=N] [--spool-dir=DIR] [--config=FILE]\n";

std::string help()
{
    return std::string("Usage: ") + program +
           " [OPTION]...\n"
           "Serve the counting instrument over the network as an SCPI instrument: text\n"
           "commands on a raw TCP socket, one line per message, as PyVISA and PyMeasure\n"
           "speak to it (TCPIP::HOST::5025::SOCKET).\n"
           "\n"
           "Options:\n"
           "      --listen=ADDR:PORT   listen there (IPv4, or [IPv6]:PORT; repeatable);\n"
           "                           127.0.0.1:5025 by default; port 0: any free one\n"
           "      --allow=CIDR[,CIDR]  let in only clients from these blocks; needed to\n"
           "                           listen on an address that is not loopback\n"
           "      --max-clients=N      at most N connections at once (default 8); one more\n"
           "                           is told why in an SCPI error line, and closed\n"
           "      --idle-timeout=S     close a connection that completes no message in S\n"
           "                           seconds (default 300)\n"
           "      --hold-words=N       hold at most N words read from the instrument\n"
           "                           (default 4194304)\n"
           "      --spool-dir=DIR      where words still held at the end are written\n"
           "                           (default $STATE_DIRECTORY, else the working directory)\n"
           "      --config=FILE        the lab's usual threshold, polarity and period, sent at\n"
           "                           start and after *RST (default: the user's, else\n"
           "                           /etc/counter-instrument.toml, if there is one)\n"
           "  -h, --help               this help\n"
           "      --version            the version, and who supplies the GPIO calls\n"
           "\n"
           "Commands (case-insensitive; short form in capitals):\n" +
           command_help() +
           "\n"
           "A word leaves the server once its client has shown it has the response: its\n"
           "next message after its TCP acknowledged everything, or a clean close.\n"
           "One line on standard error for every connection opened, closed or refused.\n"
           "\n"
           "Exit status:\n"
           "  0    ended by SIGTERM, SIGINT or SIGHUP, every word held written out\n"
           "  2    a wrong command line, an address that cannot be listened on, or a\n"
           "       spool directory that cannot take a file\n"
           "  3    the words still held could not be written (their number is said)\n"
           "  4    the bus is in use by another program (nothing is sent), or was\n"
           "       taken from under the server\n";
}

void log_line(const std::string &line) { std::fprintf(stderr, "%s: %s\n", program, line.c_str()); }

const char *signal_name(int s) { return s == SIGINT ? "SIGINT" : s == SIGHUP ? "SIGHUP" : "SIGTERM"; }

struct settings {
    std::vector<listen_address> addresses;
    raw_socket_options socket;
    std::size_t hold_words = 4u << 20;
    std::string spool_directory;
    std::string config_path; // --config
};

// Reads the command line; -1 to go on, else the exit status.
int read_options(int argc, char **argv, settings &s)
{
    enum {
        listen_option = 256, allow_option, clients_option, idle_option, hold_option, spool_option, config_option,
        version_option
    };
    static const option long_options[] = {{"listen", required_argument, nullptr, listen_option},
                                          {"allow", required_argument, nullptr, allow_option},
                                          {"max-clients", required_argument, nullptr, clients_option},
                                          {"idle-timeout", required_argument, nullptr, idle_option},
                                          {"hold-words", required_argument, nullptr, hold_option},
                                          {"spool-dir", required_argument, nullptr, spool_option},
                                          {"config", required_argument, nullptr, config_option},
                                          {"help", no_argument, nullptr, 'h'},
                                          {"version", no_argument, nullptr, version_option},
                                          {nullptr, 0, nullptr, 0}};
    std::vector<char *> args(argv, argv + argc);
    std::string error;
    long long number = 0;
    optind = 0;
    for (int c; (c = next_option(args, "h", long_options, error)) != -1;) {
        switch (c) {
        case listen_option:
            s.addresses.emplace_back();
            if (!parse_listen_address(optarg, s.addresses.back(), error))
                return usage_error(stderr, program, error, usage);
            break;
        case allow_option:
            s.socket.allow_given = true;
            if (!parse_cidr_list(optarg, s.socket.allow, error))
                return usage_error(stderr, program, error, usage);
            break;
        case clients_option:
            if (!read_integer("--max-clients", optarg, 1, 1000, number, error))
                return usage_error(stderr, program, error, usage);
            s.socket.max_clients = static_cast<std::size_t>(number);
            break;
        case idle_option:
            if (!read_integer("--idle-timeout", optarg, 1, 86400 * 365, number, error))
                return usage_error(stderr, program, error, usage);
            s.socket.idle_timeout = std::chrono::seconds(number);
            break;
        case hold_option:
            if (!read_integer("--hold-words", optarg, 1, 1LL << 30, number, error))
                return usage_error(stderr, program, error, usage);
            s.hold_words = static_cast<std::size_t>(number);
            break;
        case spool_option:
            s.spool_directory = optarg;
            break;
        case config_option:
            s.config_path = optarg;
            break;
        case 'h':
            return print_text(program, help());
        case version_option:
            return print_version(program);
        default:
            return usage_error(stderr, program, error, usage);
        }
    }
    if (optind < argc)
        return usage_error(stderr, program, std::string("unexpected '") + argv[optind] + "'", usage);
    return -1;
}

// Checks what the options name together; -1 to go on, else the exit status.
int check_settings(settings &s)
{
    std::string error;
    if (s.addresses.empty()) {
        s.addresses.emplace_back();
        parse_listen_address("127.0.0.1:5025", s.addresses.back(), error);
    }
    for (const listen_address &a : s.addresses)
        if (!is_loopback(a.address) && !s.socket.allow_given)
            return usage_error(stderr, program,
                               "--listen " + a.text + " is not a loopback address: say who may connect with --allow",
                               usage);
    if (s.spool_directory.empty()) {
        // systemd's StateDirectory= (the first, when it names several).
        const char *state = std::getenv("STATE_DIRECTORY");
        const std::string directories = state != nullptr ? state : "";
        s.spool_directory = directories.empty() ? "." : directories.substr(0, directories.find(':'));
    }
    std::string why;
    if (!spool_directory_usable(s.spool_directory, why)) {
        std::fprintf(stderr, "%s: the spool directory %s cannot take a file: %s\n", program,
                     s.spool_directory.c_str(), why.c_str());
        return exit_usage;
    }
    return -1;
}

// The end: run stopped, connections closed, words spooled. The exit status.
int finish(bus_owner &owner, raw_socket_server &sockets, const settings &s, int stopped)
{
    sockets.close_all(std::string("the server is ending on ") + signal_name(stopped));
    owner_read_out(owner);
    std::string path, error;
    const std::size_t held = owner.hold.held.size();
    if (!write_spool(owner, s.spool_directory, signal_name(stopped), path, error)) {
        log_line("cannot write the words held to " + s.spool_directory + ": " + error + "; " + std::to_string(held) +
                 " words read from the instrument are lost");
        return exit_output_failed;
    }
    if (path.empty())
        log_line("no words held; nothing to spool");
    else
        log_line("the " + std::to_string(held) + " words held are in " + path + " (" +
                 std::to_string(owner.words_lost) + " lost for a full hold, " + std::to_string(owner.gaps) + " gaps)");
    return exit_ok;
}

// Listens where the options say: "listening on ..." for the log and the
// bus lock's note, or "" (said) when an address cannot be listened on.
std::string start_listening(raw_socket_server &sockets, const settings &s)
{
    std::string where;
    for (const listen_address &a : s.addresses) {
        std::string bound, error;
        if (!sockets.listen_on(a, bound, error)) {
            std::fprintf(stderr, "%s: %s\n", program, error.c_str());
            return "";
        }
        where += (where.empty() ? "listening on " : ", ") + bound;
    }
    return where;
}

// The loop's sources beside the sockets: the drain, the bus lock's check
// every second (a lost bus ends the server with 4), and what a stop does.
void wire_loop(event_loop &loop, bus_owner &owner, raw_socket_server &sockets, int &lost_bus)
{
    loop.every(std::chrono::milliseconds(10), [&owner] { owner_drain(owner); });
    loop.every(std::chrono::seconds(1), [&] {
        std::string why;
        const bus_lock_state state = recheck_bus_lock(why);
        if (state != bus_lock_state::held)
            log_line(why);
        if (state == bus_lock_state::lost && lost_bus == 0) {
            log_line("the bus is no longer this server's: it drives it no more and ends");
            lost_bus = exit_bus_taken;
            owner.running = false;  // no more drains
            sockets.stop_reading(); // and no more commands
            std::raise(SIGTERM);
        }
    });
    loop.on_stop = [&](int signal) {
        log_line(std::string("ending on ") + signal_name(signal));
        sockets.stop_listening();
        sockets.stop_reading();
        if (owner.running && lost_bus == 0) {
            owner_stop(owner);
            log_line("the run this server started is stopped, and what it measured read out");
        }
    };
    loop.busy = [&sockets] { return sockets.busy(); };
}

} // namespace

int main(int argc, char **argv)
{
    guard_standard_descriptors();
    program = program_name(argv[0]);
    std::signal(SIGPIPE, SIG_IGN);
    if (!catch_stop_signals()) {
        std::fprintf(stderr, "%s: cannot take the stop signals: %s\n", program, std::strerror(errno));
        return exit_usage;
    }
    settings s;
    if (const int status = read_options(argc, argv, s); status >= 0)
        return status;
    if (const int status = check_settings(s); status >= 0)
        return status;
    lab_config config;
    std::string config_error;
    if (!load_lab_config(s.config_path, config, config_error)) {
        std::fprintf(stderr, "%s: %s\n", program, config_error.c_str());
        return exit_usage;
    }

    event_loop loop;
    bus_owner owner;
    owner.hold.capacity = s.hold_words;
    owner.defaults = {config.threshold, config.polarity, config.period};
    owner.log = log_line;
    raw_socket_server sockets(loop, owner, s.socket, log_line);
    const std::string where = start_listening(sockets, s);
    if (where.empty())
        return exit_usage;
    if (const int refused = take_bus(program, stderr, {}, where.c_str()))
        return refused;
    if (!setup_io())
        return platform_setup_failure_status();
    owner_send_defaults(owner);
    log_line(where);
    if (!config.path.empty())
        log_line("the lab's settings are from " + config.path + "; sent now and after every *RST");

    int lost_bus = 0;
    wire_loop(loop, owner, sockets, lost_bus);
    const int stopped = loop.run();
    if (lost_bus != 0) {
        sockets.close_all("the bus was taken from under the server");
        std::string path, error;
        write_spool(owner, s.spool_directory, "the loss of the bus", path, error);
        return lost_bus;
    }
    return finish(owner, sockets, s, stopped);
}
