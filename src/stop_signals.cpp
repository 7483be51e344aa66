#include "stop_signals.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <initializer_list>

namespace {

volatile sig_atomic_t recorded = 0;
volatile sig_atomic_t received = 0;
bool caught = false;
sigset_t caught_waiting_mask; // waiting_mask() once the signals are caught

// The handler runs with the stop signals masked (sa_mask), so one that
// arrives meanwhile waits: the first is never overwritten half-way.
void record(int signal_number)
{
    if (recorded == 0 || recorded == SIGINT)
        recorded = signal_number;
    if (received < 1000)
        received = received + 1;
}

sigset_t stop_set()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

// The mask to wait with: the current one, the three stop signals let through.
sigset_t current_waiting_mask()
{
    sigset_t mask;
    if (sigprocmask(SIG_SETMASK, nullptr, &mask) != 0)
        sigemptyset(&mask); // cannot fail with these arguments; never wait with them blocked
    sigdelset(&mask, SIGINT);
    sigdelset(&mask, SIGTERM);
    sigdelset(&mask, SIGHUP);
    return mask;
}

// Once the signals are caught the mask is the one worked out then: a
// server's every turn would otherwise ask the kernel for it again.
sigset_t waiting_mask() { return caught ? caught_waiting_mask : current_waiting_mask(); }

timespec to_timespec(std::chrono::nanoseconds d)
{
    const auto s = std::chrono::duration_cast<std::chrono::seconds>(d);
    return {static_cast<time_t>(s.count()), static_cast<long>((d - s).count())};
}

} // namespace

bool catch_stop_signals()
{
    struct sigaction action = {};
    action.sa_handler = record;
    action.sa_mask = stop_set();
    action.sa_flags = 0; // no SA_RESTART: a wait ends when a signal comes
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        if (sigaction(s, &action, nullptr) != 0)
            return false;
    const sigset_t set = stop_set();
    caught = sigprocmask(SIG_BLOCK, &set, nullptr) == 0;
    if (caught)
        caught_waiting_mask = current_waiting_mask();
    return caught;
}

int stop_signal() { return recorded; }
int stop_signals_received() { return received; }
void clear_stop_signal()
{
    recorded = 0;
    received = 0;
}

std::string signal_name(int signal)
{
    switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "signal " + std::to_string(signal);
    }
}

int poll_stop_signals()
{
    const sigset_t mask = waiting_mask();
    const timespec now = {0, 0};
    ppoll(nullptr, 0, &now, &mask);
    return recorded;
}

void (*waiting_hook)() = nullptr;
std::chrono::steady_clock::time_point hook_ran{};
constexpr auto hook_interval = std::chrono::seconds(1);

void run_waiting_hook_if_due()
{
    if (waiting_hook == nullptr || std::chrono::steady_clock::now() - hook_ran < hook_interval)
        return;
    hook_ran = std::chrono::steady_clock::now();
    waiting_hook();
}

void set_waiting_hook(void (*hook)())
{
    waiting_hook = hook;
    hook_ran = std::chrono::steady_clock::now();
}

bool wait_readable(int fd)
{
    const sigset_t mask = waiting_mask();
    pollfd p = {fd, POLLIN, 0};
    const timespec second = {1, 0};
    for (;;) {
        if (recorded != 0)
            return false;
        // A ppoll that finds the descriptor ready leaves a signal that came
        // meanwhile pending: ask for it before saying the input is there.
        const int n = ppoll(&p, 1, waiting_hook != nullptr ? &second : nullptr, &mask);
        if (n == 0) {
            run_waiting_hook_if_due();
            continue;
        }
        if (n > 0 || errno != EINTR)
            return poll_stop_signals() == 0; // ready, or an error the read will report
    }
}

bool sleep_unless_stopped(std::chrono::nanoseconds duration)
{
    const sigset_t mask = waiting_mask();
    const auto until = std::chrono::steady_clock::now() + duration;
    for (;;) {
        if (recorded != 0)
            return false;
        const auto left = until - std::chrono::steady_clock::now();
        if (left <= std::chrono::nanoseconds::zero())
            return true;
        const timespec t = to_timespec(left);
        ppoll(nullptr, 0, &t, &mask);
        run_waiting_hook_if_due();
    }
}

long write_letting_signals_in(int fd, const void *data, unsigned long size)
{
    if (!caught)
        return write(fd, data, size);
    const sigset_t set = stop_set();
    sigset_t before;
    if (pthread_sigmask(SIG_UNBLOCK, &set, &before) != 0)
        return write(fd, data, size);
    const long n = write(fd, data, size);
    const int saved = errno;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    errno = saved;
    return n;
}

bool wait_writable(int fd)
{
    const sigset_t mask = waiting_mask();
    pollfd p = {fd, POLLOUT, 0};
    for (;;) {
        if (received >= 2)
            return false;
        if (ppoll(&p, 1, nullptr, caught ? &mask : nullptr) >= 0 || errno != EINTR)
            return received < 2; // writable, or an error the write will report
    }
}

int poll_letting_signals_in(struct pollfd *fds, unsigned long count, int timeout_ms)
{
    const sigset_t mask = waiting_mask();
    const timespec limit = {timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
    return ppoll(fds, count, timeout_ms < 0 ? nullptr : &limit, caught ? &mask : nullptr);
}
