#include "program_run.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>

#include "bus_monitor.h"
#include "wiring.h"

namespace {

using clock_type = std::chrono::steady_clock;

// The command that starts a program: in a cross build, the emulator and its
// arguments come first.
std::vector<std::string> full_command(const std::vector<std::string> &argv)
{
    std::vector<std::string> words;
    std::string word;
    for (const char *c = TARGET_EMULATOR;; ++c) {
        if (*c == ' ' || *c == '\0') {
            if (!word.empty())
                words.push_back(word);
            word.clear();
            if (*c == '\0')
                break;
        } else {
            word += *c;
        }
    }
    words.insert(words.end(), argv.begin(), argv.end());
    return words;
}

void make_pipe(int fds[2])
{
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
}

[[noreturn]] void exec_in_child(const std::vector<std::string> &argv, const std::vector<std::string> &environment,
                                bool native)
{
    for (const std::string &e : environment)
        putenv(const_cast<char *>(e.c_str()));
    const std::vector<std::string> command = native ? argv : full_command(argv);
    std::vector<char *> args;
    for (const std::string &w : command)
        args.push_back(const_cast<char *>(w.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    std::perror("exec");
    _exit(127);
}

struct child {
    pid_t pid;
    int in;  // the parent writes here, or -1
    int out; // the child's standard output, or -1
    int err; // the child's standard error
};

child spawn(const std::vector<std::string> &argv, const run_options &o, const std::vector<std::string> &environment)
{
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2];
    if (o.standard_input < 0)
        make_pipe(in);
    if (o.standard_output < 0)
        make_pipe(out);
    make_pipe(err);
    signal(SIGPIPE, SIG_IGN);
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(o.standard_input >= 0 ? o.standard_input : in[0], 0);
        dup2(o.standard_output >= 0 ? o.standard_output : out[1], 1);
        if (o.standard_error_closed)
            close(2);
        else
            dup2(err[1], 2);
        signal(SIGPIPE, o.sigpipe_ignored ? SIG_IGN : SIG_DFL);
        if (o.file_size_limit >= 0) {
            const rlimit limit = {static_cast<rlim_t>(o.file_size_limit), RLIM_INFINITY};
            setrlimit(RLIMIT_FSIZE, &limit);
            signal(SIGXFSZ, SIG_IGN);
        }
        exec_in_child(argv, environment, o.native);
    }
    for (int fd : {in[0], out[1], err[1]})
        if (fd >= 0)
            close(fd);
    return {pid, in[1], out[0], err[0]};
}

int remaining_ms(clock_type::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

void note_status(int status, run_result &r)
{
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.killed_by = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

// Waits (or, with WNOHANG, looks) for the child: when it has stopped itself
// at the chosen call, sends it the signal and lets it go on; when it has
// ended, notes its status and returns true.
bool watch_child(pid_t pid, const run_options &o, int flags, run_result &r)
{
    int status = 0;
    if (waitpid(pid, &status, flags | (o.stop_at_call != 0 ? WUNTRACED : 0)) != pid)
        return false;
    if (WIFSTOPPED(status)) {
        kill(pid, o.signal);
        kill(pid, SIGCONT);
        return false;
    }
    note_status(status, r);
    return true;
}

int wait_exit(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

run_result run_program(const std::vector<std::string> &argv, const std::string &input, const run_options &options,
                       bool with_bus_log)
{
    std::vector<std::string> environment = options.environment;
    char log_template[] = "/tmp/bus-log-XXXXXX";
    if (with_bus_log) {
        const int fd = mkstemp(log_template);
        if (fd < 0)
            throw std::runtime_error("no temporary file for the bus log");
        close(fd);
        environment.push_back(std::string("VIRTUAL_BUS_LOG=") + log_template);
    }
    if (options.stop_at_call != 0)
        environment.push_back("VIRTUAL_BUS_STOP_AT_CALL=" + std::to_string(options.stop_at_call));

    const child c = spawn(argv, options, environment);
    run_result result;
    std::size_t written = 0;
    int in_fd = c.in;
    if (in_fd >= 0) {
        fcntl(in_fd, F_SETFL, O_NONBLOCK);
        if (input.empty()) {
            close(in_fd);
            in_fd = -1;
        }
    }
    int out_fd = c.out, err_fd = c.err;
    bool reaped = false;
    const auto deadline = clock_type::now() + options.limit;
    char buffer[65536];

    while (out_fd >= 0 || err_fd >= 0 || !reaped) {
        if (out_fd < 0 && err_fd < 0) { // only the exit to wait for
            reaped = watch_child(c.pid, options, 0, result);
            continue;
        }
        std::vector<pollfd> fds;
        if (in_fd >= 0)
            fds.push_back({in_fd, POLLOUT, 0});
        if (out_fd >= 0)
            fds.push_back({out_fd, POLLIN, 0});
        if (err_fd >= 0)
            fds.push_back({err_fd, POLLIN, 0});
        // A program that stops itself says nothing: look for the stop often.
        const int wait_ms = options.stop_at_call != 0 ? std::min(remaining_ms(deadline), 10) : remaining_ms(deadline);
        const int ready = poll(fds.data(), fds.size(), wait_ms);
        if (clock_type::now() >= deadline) {
            result.timed_out = true;
            kill(c.pid, SIGKILL);
            break;
        }
        if (options.stop_at_call != 0 && !reaped)
            reaped = watch_child(c.pid, options, WNOHANG, result);
        if (ready <= 0)
            continue;
        for (const pollfd &p : fds) {
            if (p.revents == 0)
                continue;
            if (p.fd == in_fd) {
                const ssize_t n = write(in_fd, input.data() + written, input.size() - written);
                if (n > 0)
                    written += static_cast<std::size_t>(n);
                if (n < 0 && errno != EAGAIN) // the program stopped reading
                    written = input.size();
                if (written == input.size()) {
                    close(in_fd);
                    in_fd = -1;
                }
            } else {
                int &fd = p.fd == out_fd ? out_fd : err_fd;
                std::string &sink = p.fd == out_fd ? result.out : result.err;
                const ssize_t n = read(fd, buffer, sizeof buffer);
                if (n > 0) {
                    sink.append(buffer, static_cast<std::size_t>(n));
                } else if (n == 0 || errno != EINTR) {
                    close(fd);
                    fd = -1;
                }
            }
        }
    }
    for (int fd : {in_fd, out_fd, err_fd})
        if (fd >= 0)
            close(fd);
    if (!reaped) {
        int status = 0;
        while (waitpid(c.pid, &status, 0) < 0 && errno == EINTR) {
        }
        note_status(status, result);
    }
    if (with_bus_log) {
        sim::read_bus_log(log_template, result.bus);
        unlink(log_template);
    }
    return result;
}

live_program::live_program(const std::vector<std::string> &argv, bool on_terminal,
                           const std::vector<std::string> &environment, bool canonical)
{
    if (!on_terminal) {
        const child c = spawn(argv, run_options{}, environment);
        pid_ = c.pid;
        to_child_ = c.in;
        from_child_ = c.out;
        err_from_child_ = c.err;
        return;
    }
    termios raw = {};
    cfmakeraw(&raw);
    int terminal = -1;
    pid_ = forkpty(&terminal, nullptr, canonical ? nullptr : &raw, nullptr);
    if (pid_ < 0)
        throw std::runtime_error("forkpty failed");
    if (pid_ == 0)
        exec_in_child(argv, environment, false);
    to_child_ = terminal;
    from_child_ = dup(terminal);
}

live_program::~live_program()
{
    for (int fd : {to_child_, from_child_, err_from_child_})
        if (fd >= 0)
            close(fd);
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        wait_exit(pid_);
    }
}

namespace {

bool read_until(int fd, std::string &sink, clock_type::time_point deadline, const std::function<bool()> &arrived)
{
    while (!arrived()) {
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, remaining_ms(deadline));
        if (ready == 0)
            return false;
        if (ready < 0)
            continue;
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        sink.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

} // namespace

bool live_program::wait_for(const std::string &text, std::chrono::milliseconds limit)
{
    const bool got = read_until(from_child_, out_, clock_type::now() + limit, [&] {
        return out_.size() >= seen_ + text.size() && out_.compare(out_.size() - text.size(), text.size(), text) == 0;
    });
    if (got)
        seen_ = out_.size();
    return got;
}

bool live_program::wait_for_error(const std::string &text, std::chrono::milliseconds limit)
{
    return read_until(err_from_child_, err_, clock_type::now() + limit,
                      [&] { return err_.find(text) != std::string::npos; });
}

void live_program::type(const std::string &text)
{
    const ssize_t n = write(to_child_, text.data(), text.size());
    if (n != static_cast<ssize_t>(text.size()))
        throw std::runtime_error("could not type into the program");
}

void live_program::send(int signal) { kill(pid_, signal); }

int live_program::finish()
{
    if (to_child_ != from_child_ && err_from_child_ >= 0) { // pipes: end the input
        close(to_child_);
        to_child_ = -1;
    }
    char buffer[4096];
    ssize_t n;
    while ((n = read(from_child_, buffer, sizeof buffer)) > 0)
        out_.append(buffer, static_cast<std::size_t>(n));
    if (err_from_child_ >= 0)
        while ((n = read(err_from_child_, buffer, sizeof buffer)) > 0)
            err_.append(buffer, static_cast<std::size_t>(n));
    if (pid_ < 0)
        return status_;
    const int status = wait_exit(pid_);
    pid_ = -1;
    return status;
}

int live_program::wait_exit_for(std::chrono::milliseconds limit)
{
    const auto deadline = clock_type::now() + limit;
    while (pid_ > 0) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            break;
        }
        if (clock_type::now() >= deadline)
            return -2;
        usleep(5000);
    }
    return status_;
}

std::string scratch_directory()
{
    char name[] = "/tmp/program-run-XXXXXX";
    if (mkdtemp(name) == nullptr)
        throw std::runtime_error("no scratch directory");
    return name;
}

std::string file_contents(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int bus_summary::count(int header) const
{
    return static_cast<int>(std::count(headers.begin(), headers.end(), header));
}

bus_summary summarise_bus(const std::vector<sim::bus_event> &events)
{
    bus_summary s;
    for (const sim::bus_event &e : events) {
        if (e.kind == sim::call_kind::write && e.pin == sim::select_pin)
            s.select_high = e.value == 1;
        if (e.kind == sim::call_kind::write && e.pin == sim::strobe_pin)
            s.strobe_low = e.value == 0;
    }
    const bus_trace trace = decode_after_setup(events);
    s.frames = static_cast<int>(trace.frames.size());
    s.frame_left_open = trace.frame_left_open;
    for (const observed_frame &f : trace.frames) {
        if (!well_formed(f))
            ++s.ill_formed;
        s.headers.push_back(f.command.empty() ? -1 : f.command[0]);
    }
    return s;
}
