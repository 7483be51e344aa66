// scpi_server: the Pi and its counting instrument as a network instrument:
// SCPI on a raw socket, VXI-11 and a web page (transports.h), which only
// move bytes: each client is one SCPI client (scpi/client.h), whatever
// carries it. All of it runs in one thread's one loop (core/event_loop.h),
// with the drain while a run started here is on, so operations of
// different clients never interleave on the bus. One owner of the bus
// (core/bus_owner.h) keeps the words read until a client has shown it has
// them, and the instrument's lock. This file holds the options, the start and the end: a
// stop signal ends the server cleanly (the run it started stopped, the
// instrument drained, responses under way sent, every word still held
// written to a spool file), and the exit status says how it went.

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "bus_lock.h"
#include "core/bus_owner.h"
#include "core/event_loop.h"
#include "core/spool.h"
#include "exit_status.h"
#include "lab_config.h"
#include "net/net_address.h"
#include "numbers.h"
#include "platform.h"
#include "program_options.h"
#include "program_start.h"
#include "scpi/commands.h"
#include "stop_signals.h"
#include "transports.h"

namespace {

const char *program = "scpi_server";

// Where the page's files are, from where this program runs: the source
// tree's when it runs from its build tree, else share/counter-scpi-server/web
// beside the bin directory it was installed in, under whatever prefix.
std::string default_web_root()
{
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    const std::string path(exe, n > 0 ? static_cast<std::size_t>(n) : 0);
    const std::string dir = path.substr(0, path.rfind('/'));
    if (dir == BUILD_PROGRAM_DIR)
        return SOURCE_WEB_ROOT;
    const std::string prefix = dir.substr(0, dir.rfind('/'));
    return prefix + "/share/counter-scpi-server/web";
}

const char usage[] =
    "usage: scpi_server [--listen=ADDR:PORT]... [--allow=CIDR[,CIDR]...] [--max-clients=N]\n"
    "                   [--idle-timeout=S] [--hold-words=N] [--journal-words=N] [--spool-dir=DIR]\n"
    "                   [--config=FILE]\n"
    "                   [--vxi11-port=N | --no-vxi11] [--http=ADDR:PORT]... [--web-control]\n"
    "                   [--web-name=NAME]... [--web-root=DIR] [--gap-marker=none|bit31]\n";

std::string help()
{
    return std::string("Usage: ") + program +
           " [OPTION]...\n"
           "Serve the counting instrument over the network as an SCPI instrument: text\n"
           "commands on a raw TCP socket, one line per message, as PyVISA and PyMeasure\n"
           "speak to it (TCPIP::HOST::5025::SOCKET); and as a VXI-11 instrument\n"
           "(TCPIP::HOST::INSTR), found through rpcbind, as VISA opens a LAN instrument\n"
           "by default.\n"
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
           "      --hold-words=N       hold at most N words read from the instrument for\n"
           "                           DATA:REM? (default 4194304: 16 MiB)\n"
           "      --journal-words=N    keep the latest N words read in the journal, by index,\n"
           "                           for DATA:READ?, the page and the views (default\n"
           "                           4194304: 16 MiB, and 16 bytes a read-out); the\n"
           "                           configuration's journal_words, unless given here\n"
           "      --spool-dir=DIR      where words still held at the end are written\n"
           "                           (default $STATE_DIRECTORY, else the working directory)\n"
           "      --vxi11-port=N       VXI-11's core channel on port N of the --listen hosts\n"
           "                           (default 0: any free port; rpcbind tells clients)\n"
           "      --no-vxi11           no VXI-11 (without rpcbind there is none, and the log\n"
           "                           says so)\n"
           "      --http=ADDR:PORT     serve the web page and its JSON there (repeatable;\n"
           "                           none by default): GET /, /api/status, /api/counts\n"
           "      --web-control        let the page start and stop runs and change settings\n"
           "                           (POST /api/run, /api/settings, from its own origin\n"
           "                           only); read-only without it\n"
           "      --web-name=NAME      a name the page is reached by, beside its addresses,\n"
           "                           localhost and this machine's host name (bare or\n"
           "                           .local); changes from a page under any other name\n"
           "                           are refused\n"
           "      --web-root=DIR       the page's files (default: the source tree's when run\n"
           "                           from the build tree, else share/counter-scpi-server/web\n"
           "                           beside the bin directory the server is installed in)\n"
           "      --config=FILE        the lab's usual threshold, polarity and period, sent at\n"
           "                           start and after *RST (default: the user's, else\n"
           "                           /etc/counter-instrument.toml, if there is one)\n"
           "      --gap-marker=WAY     how the instrument marks lost measurements in its\n"
           "                           words: none (default: every word is a count, whole)\n"
           "                           or bit31 (bit 31 set on the first word after a FIFO\n"
           "                           overflow, as the virtual instrument does); the\n"
           "                           configuration's gap_marker, unless given here\n"
           "  -h, --help               this help\n"
           "      --version            the version, and who supplies the GPIO calls\n"
           "\n"
           "Commands (case-insensitive; short form in capitals):\n" +
           command_help() +
           "\n"
           "Two doors for the counts. The hold, for one taker: DATA:REM? takes words, and\n"
           "a word leaves the server once its client has shown it has the response (its\n"
           "next message; on VXI-11, its link's next call with the response read out)\n"
           "after its TCP acknowledged everything, or a clean close. The journal, for\n"
           "many readers: every word read, whole, with its index (counted from the\n"
           "server's start, under DATA:JOUR?'s identity of this life); DATA:READ? FROM\n"
           "takes nothing, so a reply lost is only asked for again, and a reader that\n"
           "fell behind is told how many words it missed. A word's time is its read-out's\n"
           "(milliseconds, UTC; the page's /api/counts). Rates: DATA:RATE? is counts/s\n"
           "(the counts read in the last second, added up), DATA:RATE:WORD? words/s.\n"
           "A VXI-11 link that holds the lock (device_lock) has the instrument alone: other\n"
           "links wait up to their lock_timeout, socket clients' messages wait unread.\n"
           "device_trigger does nothing (a run starts with INIT); there is no interrupt\n"
           "channel, so no service request.\n"
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


struct settings {
    transport_settings net;
    std::size_t hold_words = 4u << 20;
    std::optional<std::size_t> journal_words; // --journal-words
    std::string spool_directory;
    std::string config_path; // --config
    std::optional<gap_marker> marker; // --gap-marker
};

enum option_code {
    listen_option = 256, allow_option, clients_option, idle_option, hold_option, journal_option, spool_option, config_option,
    version_option, vxi11_port_option, no_vxi11_option, http_option, web_control_option, web_root_option,
    web_name_option, gap_marker_option
};

// One option into the settings; false, with the reason, when its value is wrong.
bool take_option(int c, const char *value, settings &s, std::string &error)
{
    long long number = 0;
    switch (c) {
    case listen_option:
        s.net.scpi.emplace_back();
        return parse_listen_address(value, s.net.scpi.back(), error);
    case http_option:
        s.net.http.emplace_back();
        if (parse_listen_address(value, s.net.http.back(), error))
            return true;
        error = "--http: " + error;
        return false;
    case allow_option:
        s.net.admission.allow_given = true;
        return parse_cidr_list(value, s.net.admission.allow, error);
    case clients_option:
        if (!read_integer("--max-clients", value, 1, 1000, number, error))
            return false;
        s.net.admission.most = static_cast<std::size_t>(number);
        return true;
    case idle_option:
        if (!read_integer("--idle-timeout", value, 1, 86400 * 365, number, error))
            return false;
        s.net.admission.idle_timeout = std::chrono::seconds(number);
        return true;
    case hold_option:
        if (!read_integer("--hold-words", value, 1, 1LL << 30, number, error))
            return false;
        s.hold_words = static_cast<std::size_t>(number);
        return true;
    case journal_option:
        if (!read_integer("--journal-words", value, 1, 1LL << 30, number, error))
            return false;
        s.journal_words = static_cast<std::size_t>(number);
        return true;
    case vxi11_port_option:
        if (!read_integer("--vxi11-port", value, 0, 65535, number, error))
            return false;
        s.net.vxi11_port = static_cast<int>(number);
        return true;
    case spool_option:
        s.spool_directory = value;
        return true;
    case config_option:
        s.config_path = value;
        return true;
    case no_vxi11_option:
        s.net.vxi11 = false;
        return true;
    case web_control_option:
        s.net.web_control = true;
        return true;
    case web_root_option:
        s.net.web_root = value;
        return true;
    case web_name_option:
        s.net.web_names.emplace_back(value);
        return true;
    case gap_marker_option:
        s.marker.emplace();
        if (parse_gap_marker(value, *s.marker))
            return true;
        error = std::string("--gap-marker is none or bit31, not '") + value + "'";
        return false;
    default: // next_option said what is wrong
        return false;
    }
}

// Reads the command line; -1 to go on, else the exit status.
int read_options(int argc, char **argv, settings &s)
{
    static const option long_options[] = {{"listen", required_argument, nullptr, listen_option},
                                          {"allow", required_argument, nullptr, allow_option},
                                          {"max-clients", required_argument, nullptr, clients_option},
                                          {"idle-timeout", required_argument, nullptr, idle_option},
                                          {"hold-words", required_argument, nullptr, hold_option},
                                          {"journal-words", required_argument, nullptr, journal_option},
                                          {"spool-dir", required_argument, nullptr, spool_option},
                                          {"config", required_argument, nullptr, config_option},
                                          {"vxi11-port", required_argument, nullptr, vxi11_port_option},
                                          {"no-vxi11", no_argument, nullptr, no_vxi11_option},
                                          {"http", required_argument, nullptr, http_option},
                                          {"web-control", no_argument, nullptr, web_control_option},
                                          {"web-root", required_argument, nullptr, web_root_option},
                                          {"web-name", required_argument, nullptr, web_name_option},
                                          {"gap-marker", required_argument, nullptr, gap_marker_option},
                                          {"help", no_argument, nullptr, 'h'},
                                          {"version", no_argument, nullptr, version_option},
                                          {nullptr, 0, nullptr, 0}};
    std::vector<char *> args(argv, argv + argc);
    std::string error;
    optind = 0;
    for (int c; (c = next_option(args, "h", long_options, error)) != -1;) {
        if (const int answered = answer_help_or_version(c, version_option, program, help()); answered >= 0)
            return answered;
        if (!take_option(c, optarg, s, error))
            return usage_error(stderr, program, error, usage);
    }
    if (optind < argc)
        return usage_error(stderr, program, std::string("unexpected '") + argv[optind] + "'", usage);
    return -1;
}

// Checks what the options name together; -1 to go on, else the exit status.
int check_settings(settings &s)
{
    std::string error;
    if (s.net.scpi.empty()) {
        s.net.scpi.emplace_back();
        parse_listen_address("127.0.0.1:5025", s.net.scpi.back(), error);
    }
    if (s.net.web_root.empty())
        s.net.web_root = default_web_root();
    for (const auto *addresses : {&s.net.scpi, &s.net.http})
        for (const listen_address &a : *addresses)
            if (!is_loopback(a.address) && !s.net.admission.allow_given)
                return usage_error(stderr, program,
                                   std::string(addresses == &s.net.scpi ? "--listen " : "--http ") + a.text +
                                       " is not a loopback address: say who may connect with --allow",
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
int finish(bus_owner &owner, transports &net, const settings &s, const loop_stop &stopped)
{
    const std::string by = stopped.signal != 0 ? signal_name(stopped.signal) : stopped.reason;
    net.close_all("the server is ending on " + by);
    owner.read_out();
    std::string path, error;
    const std::size_t held = owner.held();
    if (!write_spool(owner, s.spool_directory, by, path, error)) {
        log_line("cannot write the words held to " + s.spool_directory + ": " + error + "; " + std::to_string(held) +
                 " words read from the instrument are lost");
        return exit_output_failed;
    }
    if (path.empty())
        log_line("no words held; nothing to spool");
    else
        log_line("the " + std::to_string(held) + " words held are in " + path + " (" +
                 std::to_string(owner.words_lost()) + " lost for a full hold, " + std::to_string(owner.gaps()) + " gaps)");
    return exit_ok;
}

// The drain: while a run started here is on, the instrument's words are
// read into the hold every 10 ms, and at once after a client took some.
// An idle server does not wake for it.
struct drain_timer {
    event_loop &loop;
    bus_owner &owner;
    event_loop::timer_id id = 0;

    void arm(event_loop::duration delay = std::chrono::milliseconds(10))
    {
        if (!owner.run_on())
            return;
        if (id != 0 && delay.count() > 0)
            return;
        loop.cancel(id);
        id = loop.after(delay, [this] {
            id = 0;
            if (!owner.run_on())
                return;
            platform_waited(10000); // the instrument measured meanwhile
            owner.drain();
            arm();
        });
    }
};

// The loop's work beside the transports: the drain, the bus lock's check
// every second (a lost bus ends the server with 4), and what a stop does.
void wire_loop(event_loop &loop, bus_owner &owner, transports &net, drain_timer &drain, int &lost_bus)
{
    owner.run_started = [&drain] { drain.arm(); };
    owner.hold_drawn = [&drain] { drain.arm(std::chrono::milliseconds(0)); };
    loop.every(std::chrono::seconds(1), [&] {
        std::string why;
        const bus_lock_state state = recheck_bus_lock(why);
        if (state != bus_lock_state::held)
            log_line(why);
        if (state == bus_lock_state::lost && lost_bus == 0) {
            log_line("the bus is no longer this server's: it drives it no more and ends");
            lost_bus = exit_bus_taken;
            owner.give_up_bus(); // no more drains
            net.stop_reading();  // and no more commands
            loop.stop("the loss of the bus");
        }
    });
    loop.on_stop = [&](const loop_stop &why) {
        log_line(why.signal != 0 ? std::string("ending on ") + signal_name(why.signal) : "ending: " + why.reason);
        net.stop_listening();
        net.stop_reading();
        if (owner.run_on() && lost_bus == 0) {
            owner.stop_run();
            log_line("the run this server started is stopped, and what it measured read out");
        }
    };
    loop.unfinished = [&net] { return net.busy(); };
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
    owner_options o;
    o.hold_words = s.hold_words;
    o.journal_words = s.journal_words.value_or(static_cast<std::size_t>(config.journal_words.value_or(o.journal_words)));
    o.defaults = {config.threshold, config.polarity, config.period};
    o.marker = s.marker.value_or(config.marker);
    o.log = log_line;
    bus_owner owner(o);
    transports net(loop, owner, s.net, log_line);
    std::string where, listen_error;
    if (!net.listen(where, listen_error)) {
        std::fprintf(stderr, "%s: %s\n", program, listen_error.c_str());
        return exit_usage;
    }
    if (const int refused = take_bus(program, stderr, {}, where.c_str()))
        return refused;
    if (!owner.start_bus())
        return platform_setup_failure_status();
    log_line(where);
    net.start();
    if (!config.path.empty())
        log_line("the lab's settings are from " + config.path + "; sent now and after every *RST");

    int lost_bus = 0;
    drain_timer drain{loop, owner};
    wire_loop(loop, owner, net, drain, lost_bus);
    const loop_stop stopped = loop.run();
    if (lost_bus != 0) {
        net.close_all("the bus was taken from under the server");
        std::string path, error;
        write_spool(owner, s.spool_directory, "the loss of the bus", path, error);
        return lost_bus;
    }
    return finish(owner, net, s, stopped);
}
