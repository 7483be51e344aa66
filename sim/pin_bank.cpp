#include "pin_bank.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "../src/bus_lock.h"
#include "../src/exit_status.h"
#include "../src/gpio_platform.h"
#include "../src/gpio_pulls.h"
#include "../src/numbers.h"
#include "../src/pi_header.h"
#include "../src/platform.h"
#include "instrument.h"
#include "loopback_plug.h"
#include "violations.h"
#include "wiring.h"

namespace sim {

namespace {

constexpr std::uint64_t never = ~std::uint64_t{0};

struct line_slot {
    bool output = false;
    bool latch = false;
    int pull = gpio_pull_down;
    int far = -1;              // what the far side drives: -1 nothing, 0 or 1
    int seen = -1;             // last level the far side was told of
    bool seen_driven = false;  // and whether the Pi drove it then
};

struct bank_state {
    bool setup_done = false;
    line_slot lines[line_count] = {};
    wire_role roles[line_count] = {};
    std::uint64_t calls = 0;
};

bank_state bank;
far_side attached{};
bool powered = false; // by a test, or from the environment at the first setup
bool recording = false;
bool announced = false;
std::vector<bus_event> recorded;
std::uint64_t stop_at_call = never;
std::string log_path;
std::string state_path; // VIRTUAL_INSTRUMENT_STATE: saved at exit

int power_on_pull(int pin)
{
    for (const header_pin &p : pi_header)
        if (p.wiringpi == pin)
            return p.bcm <= 8 ? gpio_pull_up : gpio_pull_down;
    return gpio_pull_down;
}

std::int64_t wall_clock_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool input_level(const line_slot &l) { return l.far >= 0 ? l.far == 1 : l.pull == gpio_pull_up; }
bool shown_level(const line_slot &l) { return l.output ? l.latch : input_level(l); }

// Tells the far side when a line it listens to changes level, or starts or
// stops being driven by the Pi.
void tell_far_side(int pin)
{
    if (bank.roles[pin] != wire_role::listens)
        return;
    line_slot &l = bank.lines[pin];
    const bool level = shown_level(l);
    if (l.seen == static_cast<int>(level) && l.seen_driven == l.output)
        return;
    l.seen = level;
    l.seen_driven = l.output;
    attached.line_changed(pin, level);
}

// Counts the call, records it if asked, and returns its index.
std::uint64_t begin_call(call_kind kind, int pin, int value)
{
    const std::uint64_t call = bank.calls++;
    if (call == stop_at_call)
        std::raise(SIGSTOP);
    if (recording)
        recorded.push_back({call, wall_clock_ns(), kind, pin, value});
    return call;
}

// A read's result is known only at its end; its record is completed then.
void finish_read(int level)
{
    if (recording)
        recorded.back().value = level;
}

bool usable_line(int pin)
{
    if (!bank.setup_done) {
        flag(violation_kind::call_before_setup, pin, "");
        return false;
    }
    if (pin < 0 || pin >= line_count) {
        flag(violation_kind::no_such_line, pin, "pin " + std::to_string(pin));
        return false;
    }
    return true;
}

const char *kind_name(call_kind kind)
{
    switch (kind) {
    case call_kind::setup: return "setup";
    case call_kind::mode: return "mode";
    case call_kind::write: return "write";
    case call_kind::read: return "read";
    case call_kind::pull: return "pull";
    case call_kind::far_side: return "far";
    }
    return "?";
}

void write_log()
{
    // The log is the test bench's record, not the program's output: a file
    // size limit set on the program under test does not apply to it.
    rlimit size{};
    if (getrlimit(RLIMIT_FSIZE, &size) == 0) {
        size.rlim_cur = size.rlim_max;
        setrlimit(RLIMIT_FSIZE, &size);
    }
    std::FILE *log = std::fopen(log_path.c_str(), "w");
    if (log == nullptr)
        return;
    for (const bus_event &e : recorded)
        std::fprintf(log, "%llu %lld %s %d %d\n", static_cast<unsigned long long>(e.call),
                     static_cast<long long>(e.wall_ns), kind_name(e.kind), e.pin, e.value);
    std::fclose(log);
}

std::string directory_of(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Written beside the state file, synced and renamed into place, so that the
// next program finds the old state or the new one, never half of one. It is
// left usable by every user, like its lock.
void save_state()
{
    const std::string text = instrument_state_text();
    std::string temp = state_path + ".tmp-XXXXXX";
    const int fd = mkstemp(temp.data());
    bool saved = fd >= 0;
    if (saved) {
        std::size_t done = 0;
        while (saved && done < text.size()) {
            const ssize_t n = write(fd, text.data() + done, text.size() - done);
            saved = n > 0 || (n < 0 && errno == EINTR);
            done += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        saved = saved && fchmod(fd, 0666) == 0 && fsync(fd) == 0;
        saved = close(fd) == 0 && saved;
        saved = saved && std::rename(temp.c_str(), state_path.c_str()) == 0;
    }
    if (!saved) {
        std::fprintf(stderr, "virtual instrument: cannot save its state to %s: %s\n", state_path.c_str(),
                     std::strerror(errno));
        if (fd >= 0)
            unlink(temp.c_str());
        return;
    }
    const int dir = open(directory_of(state_path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
}

// Powers the instrument on from the state the last program saved, or fresh
// when none was saved yet. A file that is no such state is refused and left
// as it is: nothing is driven.
void load_state(const char *path)
{
    state_path = path;
    std::ifstream in(state_path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    const std::string content = text.str();
    if (in.is_open() && !content.empty() && content.rfind(bus_lock_marker, 0) != 0) {
        std::string why;
        if (!load_instrument_state(content, why)) {
            std::fprintf(stderr,
                         "virtual instrument: %s is not a saved state of this virtual instrument (%s); it is left"
                         " as it is and nothing was sent. Name another file with VIRTUAL_INSTRUMENT_STATE.\n",
                         path, why.c_str());
            std::exit(exit_bus_taken);
        }
    }
    std::atexit(save_state);
}

// A program's bus, set up as its environment asks (see pin_bank.h).
void power_on_from_environment()
{
    const char *side = std::getenv("VIRTUAL_BUS");
    if (side == nullptr || std::strcmp(side, "instrument") == 0) {
        power_on();
        if (std::getenv("VIRTUAL_PLUG_FAULTS") != nullptr)
            std::fputs("virtual bus: VIRTUAL_PLUG_FAULTS is ignored: the instrument is attached, not the plug"
                       " (VIRTUAL_BUS=plug attaches it)\n",
                       stderr);
        if (const char *state = std::getenv("VIRTUAL_INSTRUMENT_STATE"))
            load_state(state);
    } else if (std::strcmp(side, "plug") == 0) {
        const char *fault_list = std::getenv("VIRTUAL_PLUG_FAULTS");
        std::vector<plug_fault> faults;
        std::string error;
        if (!parse_plug_faults(fault_list == nullptr ? "" : fault_list, faults, error)) {
            std::fprintf(stderr, "virtual bus: VIRTUAL_PLUG_FAULTS: %s\n", error.c_str());
            std::exit(2);
        }
        power_on_with_plug(faults);
    } else {
        std::fprintf(stderr, "virtual bus: VIRTUAL_BUS is '%s'; it must be instrument or plug\n", side);
        std::exit(2);
    }
    if (const char *stop = std::getenv("VIRTUAL_BUS_STOP_AT_CALL")) {
        long long call = 0;
        if (parse_integer(stop, 0, LLONG_MAX, call) != number_fault::none) {
            std::fprintf(stderr, "virtual bus: VIRTUAL_BUS_STOP_AT_CALL is '%s'; it must be a call number from 0\n",
                         stop);
            std::exit(2);
        }
        stop_at_call = static_cast<std::uint64_t>(call);
    }
    if (const char *path = std::getenv("VIRTUAL_BUS_LOG")) {
        log_path = path;
        recording = true;
        std::atexit(write_log);
    }
}

} // namespace

void power_on(const far_side &side)
{
    powered = true;
    bank = bank_state{};
    attached = side;
    for (int pin = 0; pin < line_count; ++pin) {
        bank.lines[pin].pull = power_on_pull(pin);
        bank.roles[pin] = side.role(pin);
    }
    clear_violations();
    side.power_on();
    for (int pin = 0; pin < line_count; ++pin)
        tell_far_side(pin);
    recorded.clear();
}

void power_on() { power_on(virtual_instrument); }

void far_side_drive(int pin, int level)
{
    line_slot &l = bank.lines[pin];
    if (l.far == level)
        return;
    l.far = level;
    if (recording)
        recorded.push_back({current_call(), wall_clock_ns(), call_kind::far_side, pin, level});
}

bool wire_level(int pin) { return shown_level(bank.lines[pin]); }
bool driven_by_pi(int pin) { return bank.lines[pin].output; }

void record_events(bool on) { recording = on; }
const std::vector<bus_event> &events() { return recorded; }
void clear_events() { recorded.clear(); }
std::uint64_t current_call() { return bank.calls == 0 ? 0 : bank.calls - 1; }

line_state line(int pin)
{
    if (pin < 0 || pin >= line_count)
        return {false, false};
    return {bank.lines[pin].output, shown_level(bank.lines[pin])};
}

bool read_bus_log(const std::string &path, std::vector<bus_event> &events)
{
    std::FILE *log = std::fopen(path.c_str(), "r");
    if (log == nullptr)
        return false;
    unsigned long long call = 0;
    long long wall = 0;
    char kind[8];
    int pin = 0, value = 0;
    while (std::fscanf(log, "%llu %lld %7s %d %d", &call, &wall, kind, &pin, &value) == 5) {
        call_kind k = call_kind::setup;
        for (call_kind c : {call_kind::setup, call_kind::mode, call_kind::write, call_kind::read, call_kind::pull,
                            call_kind::far_side})
            if (std::strcmp(kind, kind_name(c)) == 0)
                k = c;
        events.push_back({call, wall, k, pin, value});
    }
    const bool whole = std::feof(log) != 0;
    std::fclose(log);
    return whole;
}

} // namespace sim

using namespace sim;

extern "C" int wiringPiSetup(void)
{
    if (!powered)
        power_on_from_environment();
    begin_call(call_kind::setup, -1, 0);
    if (bank.setup_done) {
        flag(violation_kind::setup_repeated, -1, "");
        return 0;
    }
    bank.setup_done = true;
    if (reporting() && !announced) {
        announced = true;
        std::fprintf(stderr, "virtual %s: no hardware is driven; the bus goes to a simulated %s\n", attached.name,
                     attached.name);
    }
    return 0;
}

extern "C" void pinMode(int pin, int mode)
{
    begin_call(call_kind::mode, pin, mode);
    if (!usable_line(pin))
        return;
    if (mode != gpio_mode_input && mode != gpio_mode_output) {
        flag(violation_kind::unsupported_mode, pin, "mode " + std::to_string(mode));
        return;
    }
    bank.lines[pin].output = mode == gpio_mode_output;
    tell_far_side(pin);
}

extern "C" void digitalWrite(int pin, int value)
{
    begin_call(call_kind::write, pin, value);
    if (!usable_line(pin))
        return;
    if (value != gpio_low && value != gpio_high)
        flag(violation_kind::unsupported_level, pin, "level " + std::to_string(value));
    switch (bank.roles[pin]) {
    case wire_role::listens:
        break;
    case wire_role::drives:
        flag(violation_kind::write_to_driven_line, pin, "pin " + std::to_string(pin));
        return;
    case wire_role::none:
        flag(violation_kind::write_to_unwired_line, pin, "pin " + std::to_string(pin));
        return;
    }
    bank.lines[pin].latch = value != gpio_low;
    tell_far_side(pin);
}

extern "C" int digitalRead(int pin)
{
    begin_call(call_kind::read, pin, 0);
    if (!usable_line(pin))
        return 0;
    const line_slot &l = bank.lines[pin];
    if (l.output) {
        flag(violation_kind::read_of_non_input, pin, "pin " + std::to_string(pin));
        finish_read(l.latch);
        return l.latch;
    }
    const int level = input_level(l) ? 1 : 0;
    finish_read(level);
    return level;
}

extern "C" void pullUpDnControl(int pin, int pud)
{
    begin_call(call_kind::pull, pin, pud);
    if (!usable_line(pin))
        return;
    if (pud != gpio_pull_off && pud != gpio_pull_down && pud != gpio_pull_up) {
        flag(violation_kind::unsupported_pull, pin, "pull " + std::to_string(pud));
        return;
    }
    bank.lines[pin].pull = pud;
    tell_far_side(pin);
}

// The platform, as the programs see it (platform.h).

const char *platform_name() { return "virtual instrument"; }

// A shared state file has a lock file beside it (STATE.lock), so that two
// programs never work on one virtual instrument at once, while the state
// itself is replaced by rename like any other file.
const char *platform_bus_lock()
{
    static std::string beside_state;
    if (const char *state = std::getenv("VIRTUAL_INSTRUMENT_STATE")) {
        beside_state = std::string(state) + ".lock";
        return beside_state.c_str();
    }
    return std::getenv(bus_lock_variable);
}

// The variable the user set to place the lock: the one to change.
const char *platform_bus_lock_remedy()
{
    if (std::getenv("VIRTUAL_INSTRUMENT_STATE") != nullptr)
        return "name another state file with VIRTUAL_INSTRUMENT_STATE=PATH (its lock is PATH.lock)";
    return "name another with COUNTER_BUS_LOCK=PATH";
}

const char *platform_no_data_hint()
{
    if (std::getenv("VIRTUAL_INSTRUMENT_STATE") != nullptr)
        return "is the instrument started?";
    return "every program powers on a virtual instrument of its own, so a run started by another program is"
           " not here; to share one, give every program the same VIRTUAL_INSTRUMENT_STATE=FILE";
}

void platform_quiet() { announced = true; }
