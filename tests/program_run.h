// Running the programs as a user, a script or a signal would: through
// pipes or a pseudo-terminal, with the virtual bus set up and watched
// through its environment (see sim/pin_bank.h).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "pin_bank.h"

struct run_options {
    std::vector<std::string> environment; // NAME=value, added to the program's
    int standard_input = -1;              // a descriptor given instead of piped input
    int standard_output = -1;             // a descriptor given instead of a pipe
    bool sigpipe_ignored = false;
    bool standard_error_closed = false;   // started as with 2>&-
    long file_size_limit = -1;            // RLIMIT_FSIZE in bytes; -1 leaves it
    bool native = false;                  // a program of the build host: no emulator
    // When the program reaches bus call `stop_at_call` it stops itself, is
    // sent `signal` and continued: the signal arrives exactly there.
    std::uint64_t stop_at_call = 0;
    int signal = 0;
    std::chrono::milliseconds limit = std::chrono::seconds(20);
};

struct run_result {
    std::string out;
    std::string err;
    int status = -1;          // exit status, or -1 if the program did not exit normally
    int killed_by = 0;        // the signal that ended it, if one did
    bool timed_out = false;
    std::vector<sim::bus_event> bus; // every bus call, when the options asked for the log
};

// Runs `argv` (in a cross build, under the emulator), gives it the whole
// input at once, closes its standard input, and collects both outputs until
// it ends (or kills it after the limit). With `with_bus_log`, the program's
// bus calls come back in `bus`.
run_result run_program(const std::vector<std::string> &argv, const std::string &input,
                       const run_options &options = {}, bool with_bus_log = false);

// A program kept running and answered as it goes, on pipes or a
// pseudo-terminal: raw (no echo, no newline translation), or as a person's
// terminal is set (`canonical`: lines, echo, Ctrl-C and Ctrl-D, \r\n).
class live_program {
public:
    live_program(const std::vector<std::string> &argv, bool on_terminal = false,
                 const std::vector<std::string> &environment = {}, bool canonical = false);
    ~live_program();
    live_program(const live_program &) = delete;
    live_program &operator=(const live_program &) = delete;

    // Reads standard output until what has come since the last call ends
    // with `text`; false if it has not within `limit`.
    bool wait_for(const std::string &text, std::chrono::milliseconds limit = std::chrono::seconds(5));
    // The same for standard error (on pipes only), which need only contain `text`.
    bool wait_for_error(const std::string &text, std::chrono::milliseconds limit = std::chrono::seconds(5));
    void type(const std::string &text);
    void send(int signal);
    pid_t pid() const { return pid_; }
    // Closes standard input and waits for the exit status (-1: not an exit).
    int finish();
    // Waits at most `limit` for the program to end, reading nothing: its
    // exit status, -1 if a signal ended it, -2 if it is still running.
    int wait_exit_for(std::chrono::milliseconds limit);

    const std::string &output() const { return out_; }
    const std::string &errors() const { return err_; }

private:
    pid_t pid_ = -1;
    int to_child_ = -1;
    int from_child_ = -1;
    int err_from_child_ = -1;
    std::string out_;
    std::string err_;
    std::size_t seen_ = 0;
    int status_ = -1; // once reaped by wait_exit_for
};

// A new directory under /tmp for one test's files, and what a file holds.
std::string scratch_directory();
std::string file_contents(const std::string &path);

// The bus after a run: the frames after the start-up, checked by the monitor.
struct bus_summary {
    int frames = 0;
    int ill_formed = 0;       // frames not of their kind's shape
    bool frame_left_open = false;
    bool select_high = false; // the last levels written
    bool strobe_low = false;
    std::vector<int> headers;  // every frame's header byte, in order
    int count(int header) const;
};
bus_summary summarise_bus(const std::vector<sim::bus_event> &events);
