// Operator console for the counting instrument.
//
// One loop: show the menu, read a command number, run the command. Each
// menu command is a small function, found in the table of commands, over
// the console's state. Standard output is fully buffered and flushed before
// every wait for input, before anything goes to standard error and at every
// exit, so the dialogue is the same on a terminal and through pipes.
// Standard output carries the dialogue only; refused input, failures and
// signals are reported on standard error.
//
// Frames are never cut: SIGINT, SIGTERM and SIGHUP are taken only while the
// console waits (at a prompt, or between data-size queries). SIGINT during
// the wait for data abandons that wait; otherwise a signal ends the program
// once what it was doing is done and its output written.

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

#include "bus_lock.h"
#include "console.h"
#include "console_input.h"
#include "data_wait.h"
#include "output_buffer.h"
#include "platform.h"
#include "program_start.h"
#include "spi.h"
#include "stop_signals.h"

namespace {

const char menu[] =
    "1. reset          2. start\n"
    "3. stop           4. read run\n"
    "5. set THR        6. set POL\n"
    "7. read datasize  8. read data\n"
    "9. ifc test       10. set Period\n"
    "0. quit\n";

// Everything one run of the console works with.
struct console {
    input_source in;
    output_buffer out;
    std::FILE *err = nullptr;
    int command = 99; // no command: the loop body runs before anything is read
    int test_value = 0;
    int threshold_value = 0;
    int polarity_value = 0;
    int data[max_data_words] = {};
};

// What a command hands back to the loop: go on, or end with a status.
constexpr int go_on = -1;

// Before a message on standard error: what standard output holds is written
// first, so that the two read in order on one terminal, and a line left
// open there (a prompt with no answer, a read-back) is ended, so that the
// message begins on a line of its own.
void begin_message(console &c)
{
    flush(c.out);
    if (c.out.last != '\n' && isatty(fileno(c.err)) == 1)
        std::fputc('\n', c.err);
    c.out.last = '\n';
}

void say(console &c, const char *text)
{
    begin_message(c);
    std::fputs(text, c.err);
}

// The status to end with once the output is written: what was asked, unless
// the output failed, which is reported here. An output given up because a
// second stop signal came while it was blocked ends by that signal.
int finish(console &c, int status, long long words_lost = 0)
{
    flush(c.out);
    if (c.out.error == 0)
        return status;
    begin_message(c);
    const bool given_up = c.out.error == ECANCELED;
    if (given_up)
        std::fputs("run: standard output was given up: a second stop signal came while it was blocked", c.err);
    else
        std::fprintf(c.err, "run: cannot write standard output: %s", std::strerror(c.out.error));
    if (words_lost > 0)
        std::fprintf(c.err, "; %lld words read from the instrument were not written", words_lost);
    std::fputs("\n", c.err);
    return given_up ? exit_signal_base + stop_signal() : exit_output_failed;
}

int stopped_by_signal(console &c)
{
    const int status = finish(c, exit_signal_base + stop_signal());
    begin_message(c); // ^C after a prompt: the shell's prompt starts on a line of its own
    return status;
}

// Ended at a prompt with no answer: by a failure of the output or the
// input, or by a signal.
int ended_at_prompt(console &c, bool value_prompt)
{
    if (c.out.error != 0)
        return finish(c, exit_output_failed);
    if (stop_signal() != 0)
        return stopped_by_signal(c);
    say(c, "run: cannot read standard input: ");
    std::fprintf(c.err, "%s%s\n", std::strerror(c.in.error),
                 value_prompt ? "; nothing was sent for the command that waited for its value" : "");
    return finish(c, exit_input_failed);
}

// Shows the prompt and reads the answer. A prompt that cannot be shown, or
// a stop signal already pending, gets no answer: the caller ends.
read_status ask(console &c, const char *prompt, int &value)
{
    put(c.out, prompt);
    if (!flush(c.out) || poll_stop_signals() != 0)
        return read_status::interrupted;
    const read_status got = read_number(c.in, c.err, value);
    // On a terminal the line read was echoed, and its newline ended the
    // prompt's line.
    if (c.in.newline_read) {
        c.out.last = '\n';
        c.in.newline_read = false;
    }
    return got;
}

// A command that needs a value: `act` runs only once the value is read.
int with_value(console &c, const char *prompt, int &value, void (*act)(console &))
{
    switch (ask(c, prompt, value)) {
    case read_status::number:
        act(c);
        return go_on;
    case read_status::refused:
        return go_on;
    case read_status::ended:
        say(c, "run: input ended while a command waited for its value; nothing was sent\n");
        return finish(c, exit_input_ended);
    default:
        return ended_at_prompt(c, true);
    }
}

int reset_command(console &)
{
    reset();
    return go_on;
}

int start_command(console &)
{
    start();
    return go_on;
}

int stop_command(console &)
{
    stop();
    return go_on;
}

int read_run_command(console &c)
{
    put_format(c.out, "run = %d\n", run());
    return go_on;
}

// The threshold read-back is printed with no newline: the next pass's
// newline ends its line.
int threshold_command(console &c)
{
    return with_value(c, "threshold : ", c.threshold_value,
                      [](console &k) { put_format(k.out, "%d", setTHR(k.threshold_value)); });
}

int polarity_command(console &c)
{
    return with_value(c, "pol : ", c.polarity_value, [](console &k) { setPOL(k.polarity_value); });
}

int datasize_command(console &c)
{
    put_format(c.out, "datasize = %d\n", datasize());
    return go_on;
}

// Command 8: waits until the instrument holds data, reads all of it, then
// lists it: nothing is printed while words are being fetched. Ctrl-C during
// the wait abandons it, and nothing is read.
int read_data_command(console &c)
{
    data_wait how;
    how.err = c.err;
    how.program = "run";
    how.ctrl_c_does = "abandons the wait";
    how.before_message = [&c] { begin_message(c); };
    const data_wait_result waited = wait_for_data(how);
    if (waited.end == data_wait_end::bus_lost) // said by the recheck of the lock
        return finish(c, exit_bus_taken);
    if (waited.end == data_wait_end::signal) {
        if (stop_signal() != SIGINT)
            return stopped_by_signal(c);
        clear_stop_signal();
        say(c, "run: read abandoned (Ctrl-C): nothing was read\n");
        return go_on;
    }
    const int count = readDATA(waited.count, c.data, max_data_words);
    const int listed = print_listing(c.out, count, c.data);
    flush(c.out);
    if (c.out.error != 0)
        return finish(c, exit_output_failed, static_cast<long long>(lines_not_written(c.out)) + (count - listed));
    return go_on;
}

int interface_test_command(console &c)
{
    return with_value(c, "write: ", c.test_value,
                      [](console &k) { put_format(k.out, "read : %d\n", ifc_rd(k.test_value)); });
}

// The period is read into the interface test's value, as the two share it.
int period_command(console &c)
{
    return with_value(c, "period: ", c.test_value, [](console &k) { setPeriod(k.test_value); });
}

struct menu_command {
    int number;
    int (*run)(console &);
};

// A number with no row does nothing; 0 ends the loop.
const menu_command menu_commands[] = {
    {1, reset_command},     {2, start_command},    {3, stop_command},
    {4, read_run_command},  {5, threshold_command}, {6, polarity_command},
    {7, datasize_command},  {8, read_data_command}, {9, interface_test_command},
    {10, period_command},
};

} // namespace

// Each line is "%d/%d cnt : %d\n", made in place in the output buffer: both
// numbers by to_chars, the fixed middle ("/count cnt : ") copied once a line.
int print_listing(output_buffer &out, int count, const int *words)
{
    char middle[24] = "/";
    char *middle_end = std::to_chars(middle + 1, middle + 12, count).ptr;
    std::memcpy(middle_end, " cnt : ", 7);
    const auto middle_size = static_cast<std::size_t>(middle_end + 7 - middle);

    int i = 0;
    for (; i < count; ++i) {
        char *p = room(out, 64);
        if (p == nullptr)
            break;
        p = std::to_chars(p, p + 12, i + 1).ptr;
        std::memcpy(p, middle, middle_size);
        p = std::to_chars(p + middle_size, p + middle_size + 12, words[i]).ptr;
        *p++ = '\n';
        commit(out, p);
    }
    return i;
}

int run_console(int in_fd, int out_fd, std::FILE *err)
{
    const auto c = std::make_unique<console>();
    c->in.fd = in_fd;
    c->out.fd = out_fd;
    c->err = err;

    if (!setup_io())
        return platform_setup_failure_status();
    while (c->command != 0) {
        // A signal taken during the last command ends the program here.
        if (poll_stop_signals() != 0)
            return stopped_by_signal(*c);
        put(c->out, "\n");
        put(c->out, menu);
        switch (ask(*c, "enter command : ", c->command)) {
        case read_status::number:
            break;
        case read_status::refused:
            continue;
        case read_status::ended:
            return finish(*c, exit_quit);
        default:
            return ended_at_prompt(*c, false);
        }
        for (const menu_command &m : menu_commands) {
            if (m.number != c->command)
                continue;
            const int status = m.run(*c);
            if (status != go_on)
                return status;
        }
    }
    return finish(*c, exit_quit);
}
