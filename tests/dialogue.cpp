#include "dialogue.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

const char *console_program() { return CONSOLE_PROGRAM; }

namespace {

// The command that starts the console: in a cross build, the emulator and
// its arguments come first.
std::vector<std::string> console_command()
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
    words.push_back(console_program());
    return words;
}

} // namespace

namespace {

using clock_type = std::chrono::steady_clock;

struct child {
    pid_t pid;
    int in;  // parent writes here
    int out; // parent reads the child's standard output here
    int err; // and its standard error here
};

void make_pipe(int fds[2])
{
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
}

child spawn(bool separate_err)
{
    int in[2], out[2], err[2] = {-1, -1};
    make_pipe(in);
    make_pipe(out);
    if (separate_err)
        make_pipe(err);
    const std::vector<std::string> command = console_command();
    std::vector<char *> argv;
    for (const std::string &w : command)
        argv.push_back(const_cast<char *>(w.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        if (separate_err)
            dup2(err[1], 2);
        execvp(argv[0], argv.data());
        std::perror("exec");
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    if (separate_err)
        close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    return {pid, in[1], out[0], err[0]};
}

int wait_status(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int remaining_ms(clock_type::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

} // namespace

dialogue_result run_dialogue(const std::string &input, std::chrono::milliseconds limit)
{
    const child c = spawn(true);
    fcntl(c.in, F_SETFL, O_NONBLOCK);
    dialogue_result result;
    std::size_t written = 0;
    int in_fd = c.in;
    if (input.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    int out_fd = c.out, err_fd = c.err;
    const auto deadline = clock_type::now() + limit;
    char buffer[65536];

    while (out_fd >= 0 || err_fd >= 0) {
        std::vector<pollfd> fds;
        if (in_fd >= 0)
            fds.push_back({in_fd, POLLOUT, 0});
        if (out_fd >= 0)
            fds.push_back({out_fd, POLLIN, 0});
        if (err_fd >= 0)
            fds.push_back({err_fd, POLLIN, 0});
        const int ready = poll(fds.data(), fds.size(), remaining_ms(deadline));
        if (ready == 0) {
            result.timed_out = true;
            kill(c.pid, SIGKILL);
            break;
        }
        if (ready < 0)
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
    result.status = wait_status(c.pid);
    return result;
}

live_console::live_console()
{
    const child c = spawn(false);
    pid_ = c.pid;
    to_child_ = c.in;
    from_child_ = c.out;
}

live_console::~live_console()
{
    if (to_child_ >= 0)
        close(to_child_);
    if (from_child_ >= 0)
        close(from_child_);
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        wait_status(pid_);
    }
}

bool live_console::wait_for(const std::string &text, std::chrono::milliseconds limit)
{
    const auto deadline = clock_type::now() + limit;
    auto arrived = [&] {
        return out_.size() >= seen_ + text.size() && out_.compare(out_.size() - text.size(), text.size(), text) == 0;
    };
    while (!arrived()) {
        pollfd p{from_child_, POLLIN, 0};
        const int ready = poll(&p, 1, remaining_ms(deadline));
        if (ready == 0)
            return false;
        if (ready < 0)
            continue;
        char buffer[4096];
        const ssize_t n = read(from_child_, buffer, sizeof buffer);
        if (n == 0)
            return false;
        if (n > 0)
            out_.append(buffer, static_cast<std::size_t>(n));
    }
    seen_ = out_.size();
    return true;
}

void live_console::type(const std::string &text)
{
    const ssize_t n = write(to_child_, text.data(), text.size());
    if (n != static_cast<ssize_t>(text.size()))
        throw std::runtime_error("could not type into the console");
}

int live_console::finish()
{
    close(to_child_);
    to_child_ = -1;
    char buffer[4096];
    ssize_t n;
    while ((n = read(from_child_, buffer, sizeof buffer)) > 0)
        out_.append(buffer, static_cast<std::size_t>(n));
    const int status = wait_status(pid_);
    pid_ = -1;
    return status;
}
