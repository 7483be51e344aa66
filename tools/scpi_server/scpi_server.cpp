// scpi_server: the Pi and its counting instrument as a network instrument.
// SCPI over a raw TCP socket, one line per message, as PyVISA, PyMeasure
// and every lab framework speak to counters and scopes.
//
// One thread: a poll loop over the listening sockets and the connections,
// so operations of different connections never interleave on the bus. While
// a run started here is on, the instrument is drained into the server's
// hold every 10 ms, so that a client fetching once a second loses no word to
// the instrument's FIFO. SIGTERM and SIGINT end it cleanly: responses under
// way are sent, and words still held are written to a spool file.

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "bus_lock.h"
#include "count_output.h"
#include "exit_status.h"
#include "net_address.h"
#include "numbers.h"
#include "platform.h"
#include "program_options.h"
#include "program_start.h"
#include "scpi_session.h"
#include "spi.h"
#include "stop_signals.h"

namespace {

const char *program = "scpi_server";

constexpr std::size_t longest_line = 64 * 1024;     // longer: -223, the rest of the line dropped
constexpr std::size_t output_bound = 1024 * 1024;   // past it, the connection's input waits
constexpr auto drain_interval = std::chrono::milliseconds(10);
constexpr int socket_buffer = 64 * 1024;           // a connection's send buffer in the kernel
constexpr auto shutdown_grace = std::chrono::seconds(5); // for responses under way

const char usage[] =
    "usage: scpi_server [--listen=ADDR:PORT]... [--allow=CIDR[,CIDR]...] [--max-clients=N]\n"
    "                   [--hold-words=N] [--spool-dir=DIR]\n";

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
           "      --max-clients=N      at most N connections at once (default 8)\n"
           "      --hold-words=N       hold at most N words read from the instrument\n"
           "                           (default 4194304)\n"
           "      --spool-dir=DIR      where words still held at the end are written\n"
           "                           (default $STATE_DIRECTORY, else the working directory)\n"
           "  -h, --help               this help\n"
           "      --version            the version, and who supplies the GPIO calls\n"
           "\n"
           "Commands (case-insensitive; short form in capitals):\n"
           "  *IDN? *RST *CLS *ESR? *ESE *ESE? *STB? *OPC *OPC? *WAI\n"
           "  SYSTem:ERRor[:NEXT]?  SYSTem:ERRor:COUNt?  SYSTem:VERSion?\n"
           "  INITiate[:IMMediate]  ABORt  STATus:OPERation:CONDition?\n"
           "  [SENSe:]THReshold N|MIN|MAX  [SENSe:]POLarity N  [SENSe:]PERiod N (and their queries)\n"
           "  DATA:POINts?  DATA:REMove? [MAX]  DIAGnostic:INTerface? N\n"
           "  FORMat[:DATA] ASCii|INTeger[,32]  FORMat:BORDer NORMal|SWAPped (and their queries)\n"
           "\n"
           "One line on standard error for every connection opened, closed or refused.\n"
           "\n"
           "Exit status:\n"
           "  0    ended by SIGTERM or SIGINT, every word held written out\n"
           "  2    a wrong command line, or an address that cannot be listened on\n"
           "  3    the words still held could not be written (their number is said)\n"
           "  4    the bus is in use by another program (nothing is sent)\n";
}

void log_line(const std::string &line) { std::fprintf(stderr, "%s: %s\n", program, line.c_str()); }

// A response handed to the socket in part: the words it carries stay the
// server's until its last byte is.
struct pending_words {
    std::uint64_t ends_at; // in the bytes queued on the connection
    std::vector<word_run> words;
};

struct client {
    int fd = -1;
    std::string peer;
    connection_state state;
    std::string in;             // the line being received
    bool dropping_line = false; // inside a line longer than longest_line
    std::string out;            // queued, from out_done on not yet sent
    std::size_t out_done = 0;
    std::uint64_t queued = 0;   // bytes queued since the connection opened
    std::uint64_t sent = 0;
    std::deque<pending_words> pending;
    bool peer_done = false;     // the peer shut its side: close once the output is sent
};

struct server {
    server_state state;
    std::vector<int> listeners;
    std::vector<std::string> listening; // their addresses, for the log and the bus lock
    std::vector<std::unique_ptr<client>> clients;
    std::vector<cidr_block> allow;
    bool allow_given = false;
    std::size_t max_clients = 8;
};

std::size_t backlog(const client &c) { return c.out.size() - c.out_done; }

void queue(client &c, scpi_response &&r)
{
    c.out += r.text;
    c.queued += r.text.size();
    if (!r.taken.empty())
        c.pending.push_back({c.queued, std::move(r.taken)});
}

void close_client(server &s, std::size_t i, const std::string &why)
{
    client &c = *s.clients[i];
    std::size_t returned = 0;
    for (pending_words &p : c.pending) {
        for (const word_run &r : p.words)
            returned += r.words.size();
        hold_return(s.state.hold, std::move(p.words));
    }
    close(c.fd);
    log_line("connection from " + c.peer + " closed (" + why + ")" +
             (returned > 0 ? "; " + std::to_string(returned) + " words it did not receive are held again" : ""));
    s.clients.erase(s.clients.begin() + static_cast<std::ptrdiff_t>(i));
}

void handle_lines(server &s, client &c)
{
    std::size_t start = 0;
    for (std::size_t nl; (nl = c.in.find('\n', start)) != std::string::npos; start = nl + 1) {
        if (c.dropping_line) {
            c.dropping_line = false;
            continue;
        }
        if (nl - start > longest_line) {
            push_error(c.state, -223, "a line longer than " + std::to_string(longest_line) + " bytes");
            continue;
        }
        std::string line = c.in.substr(start, nl - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        queue(c, execute_line(s.state, c.state, line));
    }
    c.in.erase(0, start);
    if (c.in.size() > longest_line) {
        if (!c.dropping_line)
            push_error(c.state, -223, "a line longer than " + std::to_string(longest_line) + " bytes");
        c.dropping_line = true;
        c.in.clear();
    }
}

// Reads what the client sent; false when it is gone.
bool receive(server &s, client &c)
{
    char buffer[16384];
    const ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
    if (n == 0) {
        c.peer_done = true;
        return true;
    }
    if (n < 0)
        return errno == EAGAIN || errno == EINTR;
    c.in.append(buffer, static_cast<std::size_t>(n));
    handle_lines(s, c);
    return true;
}

// Sends what is queued; false when the connection failed.
bool transmit(client &c)
{
    while (backlog(c) > 0) {
        const ssize_t n = send(c.fd, c.out.data() + c.out_done, backlog(c), MSG_NOSIGNAL);
        if (n < 0)
            return errno == EAGAIN || errno == EINTR;
        c.out_done += static_cast<std::size_t>(n);
        c.sent += static_cast<std::uint64_t>(n);
        while (!c.pending.empty() && c.pending.front().ends_at <= c.sent)
            c.pending.pop_front(); // handed whole to the socket: the words are the client's
    }
    c.out.clear();
    c.out_done = 0;
    return true;
}

void accept_client(server &s, int listener)
{
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd = accept4(listener, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return;
    const std::string name = address_text(peer);
    if (s.allow_given && !allowed(peer, s.allow)) {
        close(fd);
        log_line("connection from " + name + " refused (not in --allow)");
        return;
    }
    if (s.clients.size() >= s.max_clients) {
        close(fd);
        log_line("connection from " + name + " refused (" + std::to_string(s.max_clients) +
                 " clients already, the most --max-clients allows)");
        return;
    }
    // The kernel's part of the output bound: without it a socket's buffer
    // grows to megabytes, and words there count as handed to the client.
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &socket_buffer, sizeof socket_buffer);
    auto c = std::make_unique<client>();
    c->fd = fd;
    c->peer = name;
    s.clients.push_back(std::move(c));
    log_line("connection from " + name + " opened");
}

int listen_on(const listen_address &a, std::string &bound, std::string &error)
{
    const int fd = socket(a.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (fd >= 0) {
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (a.address.ss_family == AF_INET6)
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    }
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr *>(&a.address), a.length) != 0 || listen(fd, 16) != 0) {
        error = "cannot listen on " + a.text + ": " + std::strerror(errno);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    sockaddr_storage actual{};
    socklen_t length = sizeof actual;
    getsockname(fd, reinterpret_cast<sockaddr *>(&actual), &length);
    bound = address_text(actual);
    return fd;
}

std::string utc_stamp(const char *format)
{
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[40];
    std::strftime(text, sizeof text, format, &utc);
    return text;
}

// Writes the words still held as countctl writes its files. 0, or
// exit_output_failed with the words lost said.
int spool(server &s, const std::string &directory, int signal_number)
{
    const std::size_t held = s.state.hold.count;
    if (held == 0) {
        log_line("no words held; nothing to spool");
        return exit_ok;
    }
    const std::string path = directory + "/counter-scpi-server-" + utc_stamp("%Y%m%dT%H%M%SZ") + ".csv";
    count_output out;
    std::string error;
    std::vector<word_run> words = hold_take(s.state.hold, held);
    if (open_count_output(out, path, count_format::csv, -1, error)) {
        put_comment(out, std::string(program) + " " + program_version() + ": the words it held when " +
                             (signal_number == SIGINT ? "SIGINT" : "SIGTERM") + " ended it");
        put_comment(out, std::string("platform: ") + platform_name());
        put_comment(out, "ended: " + utc_stamp("%Y-%m-%dT%H:%M:%SZ"));
        put_header_row(out);
        for (const word_run &r : words) {
            const std::vector<int> counts(r.words.begin(), r.words.end());
            put_counts(out, counts.data(), static_cast<int>(counts.size()));
        }
        put_comment(out, "words: " + std::to_string(held));
        if (finish_count_output(out, error)) {
            log_line("the " + std::to_string(held) + " words held are in " + path);
            return exit_ok;
        }
    }
    log_line("cannot write the words held to " + path + ": " + error + "; " + std::to_string(held) +
             " words read from the instrument are lost");
    return exit_output_failed;
}

int serve(server &s, const std::string &spool_directory)
{
    auto next_drain = std::chrono::steady_clock::now();
    std::vector<pollfd> fds;
    for (;;) {
        const int stopped = stop_signal();
        if (stopped != 0) {
            // Listening stops; responses under way are sent, for a while.
            for (int fd : s.listeners)
                close(fd);
            s.listeners.clear();
            const auto until = std::chrono::steady_clock::now() + shutdown_grace;
            while (std::chrono::steady_clock::now() < until &&
                   std::any_of(s.clients.begin(), s.clients.end(), [](const auto &c) { return backlog(*c) > 0; })) {
                fds.clear();
                for (const auto &c : s.clients)
                    fds.push_back({c->fd, static_cast<short>(backlog(*c) > 0 ? POLLOUT : 0), 0});
                poll(fds.data(), fds.size(), 100);
                for (std::size_t i = s.clients.size(); i-- > 0;)
                    if (!transmit(*s.clients[i]))
                        close_client(s, i, "its response could not be sent");
            }
            while (!s.clients.empty())
                close_client(s, s.clients.size() - 1, std::string("the server is ending on ") +
                                                          (stopped == SIGINT ? "SIGINT" : "SIGTERM"));
            return spool(s, spool_directory, stopped);
        }

        fds.clear();
        for (int fd : s.listeners)
            fds.push_back({fd, POLLIN, 0});
        for (const auto &c : s.clients) {
            short events = 0;
            if (!c->peer_done && backlog(*c) < output_bound)
                events |= POLLIN;
            if (backlog(*c) > 0)
                events |= POLLOUT;
            fds.push_back({c->fd, events, 0});
        }
        int timeout = -1;
        if (s.state.running) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next_drain -
                                                                                    std::chrono::steady_clock::now());
            timeout = static_cast<int>(std::max<long long>(0, left.count()));
        }
        if (poll_letting_signals_in(fds.data(), fds.size(), timeout) < 0)
            continue; // a stop signal, seen above

        if (s.state.running && std::chrono::steady_clock::now() >= next_drain) {
            drain_instrument(s.state);
            next_drain = std::chrono::steady_clock::now() + drain_interval;
        }
        for (std::size_t i = 0; i < s.listeners.size(); ++i)
            if (fds[i].revents & POLLIN)
                accept_client(s, s.listeners[i]);
        const std::size_t first = s.listeners.size();
        for (std::size_t i = s.clients.size(); i-- > 0;) {
            client &c = *s.clients[i];
            const short revents = i + first < fds.size() && fds[i + first].fd == c.fd ? fds[i + first].revents : 0;
            bool alive = true;
            if (revents & (POLLIN | POLLHUP | POLLERR))
                alive = receive(s, c);
            if (alive)
                alive = transmit(c);
            if (!alive)
                close_client(s, i, "the connection failed");
            else if (c.peer_done && backlog(c) == 0)
                close_client(s, i, "the client closed it");
        }
    }
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

    enum { listen_option = 256, allow_option, clients_option, hold_option, spool_option, version_option };
    static const option long_options[] = {{"listen", required_argument, nullptr, listen_option},
                                          {"allow", required_argument, nullptr, allow_option},
                                          {"max-clients", required_argument, nullptr, clients_option},
                                          {"hold-words", required_argument, nullptr, hold_option},
                                          {"spool-dir", required_argument, nullptr, spool_option},
                                          {"help", no_argument, nullptr, 'h'},
                                          {"version", no_argument, nullptr, version_option},
                                          {nullptr, 0, nullptr, 0}};
    server s;
    s.state.hold.capacity = 4u << 20;
    std::vector<listen_address> addresses;
    std::string spool_directory;
    std::vector<char *> args(argv, argv + argc);
    std::string error;
    long long number = 0;
    optind = 0;
    for (int c; (c = next_option(args, "h", long_options, error)) != -1;) {
        switch (c) {
        case listen_option:
            addresses.emplace_back();
            if (!parse_listen_address(optarg, addresses.back(), error))
                return usage_error(stderr, program, error, usage);
            break;
        case allow_option:
            s.allow_given = true;
            if (!parse_cidr_list(optarg, s.allow, error))
                return usage_error(stderr, program, error, usage);
            break;
        case clients_option:
            if (!read_integer("--max-clients", optarg, 1, 1000, number, error))
                return usage_error(stderr, program, error, usage);
            s.max_clients = static_cast<std::size_t>(number);
            break;
        case hold_option:
            if (!read_integer("--hold-words", optarg, 1, 1LL << 30, number, error))
                return usage_error(stderr, program, error, usage);
            s.state.hold.capacity = static_cast<std::size_t>(number);
            break;
        case spool_option:
            spool_directory = optarg;
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
    if (addresses.empty()) {
        addresses.emplace_back();
        parse_listen_address("127.0.0.1:5025", addresses.back(), error);
    }
    for (const listen_address &a : addresses)
        if (!is_loopback(a.address) && !s.allow_given)
            return usage_error(stderr, program,
                               "--listen " + a.text + " is not a loopback address: say who may connect with --allow",
                               usage);
    if (spool_directory.empty()) {
        // systemd's StateDirectory= (the first, when it names several).
        const char *state = std::getenv("STATE_DIRECTORY");
        const std::string directories = state != nullptr ? state : "";
        spool_directory = directories.empty() ? "." : directories.substr(0, directories.find(':'));
    }

    for (const listen_address &a : addresses) {
        std::string bound;
        const int fd = listen_on(a, bound, error);
        if (fd < 0) {
            std::fprintf(stderr, "%s: %s\n", program, error.c_str());
            return exit_usage;
        }
        s.listeners.push_back(fd);
        s.listening.push_back(bound);
    }
    std::string where;
    for (const std::string &a : s.listening)
        where += (where.empty() ? "listening on " : ", ") + a;
    if (const int refused = take_bus(program, stderr, {}, where.c_str()))
        return refused;
    setup_io();
    log_line(where);

    s.state.log = log_line;
    s.state.tell_everyone = [&s](int code, const std::string &text) {
        log_line(text);
        for (const auto &c : s.clients)
            push_error(c->state, code, text);
    };
    return serve(s, spool_directory);
}
