// Operator console for the counting instrument.
//
// One loop: show the menu, read a command number, run the command. Standard
// output is fully buffered and flushed before every wait for input, before
// anything goes to standard error and at every exit, so the dialogue is the
// same on a terminal and through pipes. Standard output carries the dialogue
// only; refused input, failures and signals are reported on standard error.
//
// Frames are never cut: SIGINT, SIGTERM and SIGHUP are taken only while the
// console waits (at a prompt, or between data-size queries). SIGINT during
// the wait for data abandons that wait; otherwise a signal ends the program
// once what it was doing is done and its output written.

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "bus_lock.h"
#include "console.h"
#include "console_input.h"
#include "output_buffer.h"
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

// The instrument never holds more than 4095 words; one entry to spare.
constexpr int data_buffer_size = 4096;

constexpr auto poll_interval = std::chrono::microseconds(1000);
// How long command 8 waits in silence before it says what it waits for.
constexpr auto quiet_wait = std::chrono::seconds(2);

struct console_io {
    input_source &in;
    output_buffer &out;
    std::FILE *err;
};

// Before a message on standard error: what standard output holds is written
// first, so that the two read in order on one terminal, and a line left
// open there (a prompt with no answer, a read-back) is ended, so that the
// message begins on a line of its own.
void begin_message(const console_io &io)
{
    flush(io.out);
    if (io.out.last != '\n' && isatty(fileno(io.err)) == 1)
        std::fputc('\n', io.err);
    io.out.last = '\n';
}

void say(const console_io &io, const char *text)
{
    begin_message(io);
    std::fputs(text, io.err);
}

// The status to end with once the output is written: what was asked, unless
// the output failed, which is reported here. An output given up because a
// second stop signal came while it was blocked ends by that signal.
int finish(const console_io &io, int status, long long words_lost = 0)
{
    flush(io.out);
    if (io.out.error == 0)
        return status;
    begin_message(io);
    const bool given_up = io.out.error == ECANCELED;
    if (given_up)
        std::fputs("run: standard output was given up: a second stop signal came while it was blocked", io.err);
    else
        std::fprintf(io.err, "run: cannot write standard output: %s", std::strerror(io.out.error));
    if (words_lost > 0)
        std::fprintf(io.err, "; %lld words read from the instrument were not written", words_lost);
    std::fputs("\n", io.err);
    return given_up ? exit_signal_base + stop_signal() : exit_output_failed;
}

// Shows the prompt and reads the answer. A prompt that cannot be shown, or
// a stop signal already pending, gets no answer: the caller ends.
read_status ask(const console_io &io, const char *prompt, int &value)
{
    put(io.out, prompt);
    if (!flush(io.out) || poll_stop_signals() != 0)
        return read_status::interrupted;
    const read_status got = read_number(io.in, io.err, value);
    // On a terminal the line read was echoed, and its newline ended the
    // prompt's line.
    if (io.in.newline_read) {
        io.out.last = '\n';
        io.in.newline_read = false;
    }
    return got;
}

// Queries the data size, sleeping after every query, until the instrument
// holds data. Returns the count, 0 when SIGINT abandoned the wait, or -1 when
// another stop signal ended it.
int wait_for_data(const console_io &io)
{
    const auto started = std::chrono::steady_clock::now();
    bool told = false;
    for (;;) {
        const int count = datasize();
        if (!sleep_unless_stopped(poll_interval)) {
            if (stop_signal() != SIGINT)
                return -1;
            clear_stop_signal();
            say(io, "run: read abandoned (Ctrl-C): nothing was read\n");
            return 0;
        }
        if (count != 0)
            return count;
        if (!told && std::chrono::steady_clock::now() - started >= quiet_wait) {
            told = true;
            say(io, "run: waiting for the instrument to report data (is it started?);"
                    " Ctrl-C abandons the wait\n");
        }
    }
}

// Command 8: waits until the instrument holds data, reads all of it, then
// lists it: nothing is printed while words are being fetched. Returns the
// words read but not written, or -1 when a signal ended the wait.
long long read_data(const console_io &io, int (&data)[data_buffer_size])
{
    const int count = wait_for_data(io);
    if (count <= 0)
        return count;
    readDATA(count, data);
    const int listed = print_listing(io.out, count, data);
    flush(io.out);
    return static_cast<long long>(lines_not_written(io.out)) + (count - listed);
}

int stopped_by_signal(const console_io &io)
{
    const int status = finish(io, exit_signal_base + stop_signal());
    begin_message(io); // ^C after a prompt: the shell's prompt starts on a line of its own
    return status;
}

} // namespace

// Each line is "%d/%d cnt : %d\n", made in place in the output buffer: the
// index is counted up in decimal, the middle is the same for every line,
// and only the word is converted. Fixed-size copies read and write past the
// text they carry, into padding and into room the buffer keeps for them.
int print_listing(output_buffer &out, int count, const int *words)
{
    constexpr std::size_t copy_size = 24;
    char middle[copy_size] = "/";
    char *middle_end = std::to_chars(middle + 1, middle + 12, count).ptr;
    std::memcpy(middle_end, " cnt : ", 7);
    const auto middle_size = static_cast<std::size_t>(middle_end + 7 - middle);

    char index[12 + copy_size] = "          0"; // right-aligned digits, padded after
    char *first_digit = index + 10;
    char *const last_digit = index + 10;

    int i = 0;
    for (; i < count; ++i) {
        for (char *d = last_digit;; --d) {
            if (*d == ' ' || *d < '9') {
                *d = *d == ' ' ? '1' : static_cast<char>(*d + 1);
                if (d < first_digit)
                    first_digit = d;
                break;
            }
            *d = '0';
        }
        char *p = room(out, 64);
        if (p == nullptr)
            break;
        std::memcpy(p, first_digit, 12);
        p += last_digit + 1 - first_digit;
        std::memcpy(p, middle, copy_size);
        p = std::to_chars(p + middle_size, p + middle_size + 12, words[i]).ptr;
        *p++ = '\n';
        commit(out, p);
    }
    return i;
}

int run_console(int in_fd, int out_fd, std::FILE *err)
{
    static input_source in;
    static output_buffer out;
    in = input_source{};
    in.fd = in_fd;
    out = output_buffer{};
    out.fd = out_fd;
    const console_io io{in, out, err};

    int command = 99;
    int test_value = 0;
    int threshold_value = 0;
    int polarity_value = 0;
    static int data[data_buffer_size];

    setup_io();
    bool at_value_prompt = false;
    while (command != 0) {
        // A signal taken during the last command ends the program here.
        if (poll_stop_signals() != 0)
            return stopped_by_signal(io);
        put(out, "\n");
        put(out, menu);
        const read_status got = ask(io, "enter command : ", command);
        if (got == read_status::ended)
            return finish(io, exit_quit);
        if (got == read_status::refused)
            continue;
        if (got != read_status::number)
            break;

        // A command that needs a value runs only once the value is read.
        read_status value = read_status::number;
        switch (command) {
        case 1:
            reset();
            break;
        case 2:
            start();
            break;
        case 3:
            stop();
            break;
        case 4:
            put_format(out, "run = %d\n", run());
            break;
        case 5:
            value = ask(io, "threshold : ", threshold_value);
            if (value == read_status::number)
                put_format(out, "%d", setTHR(threshold_value));
            break;
        case 6:
            value = ask(io, "pol : ", polarity_value);
            if (value == read_status::number)
                setPOL(polarity_value);
            break;
        case 7:
            put_format(out, "datasize = %d\n", datasize());
            break;
        case 8: {
            const long long lost = read_data(io, data);
            if (lost < 0)
                return stopped_by_signal(io);
            if (out.error != 0)
                return finish(io, exit_output_failed, lost);
            break;
        }
        case 9:
            value = ask(io, "write: ", test_value);
            if (value == read_status::number)
                put_format(out, "read : %d\n", ifc_rd(test_value));
            break;
        case 10:
            value = ask(io, "period: ", test_value);
            if (value == read_status::number)
                setPeriod(test_value);
            break;
        default:
            break;
        }
        if (value == read_status::ended) {
            say(io, "run: input ended while a command waited for its value; nothing was sent\n");
            return finish(io, exit_input_ended);
        }
        if (value != read_status::number && value != read_status::refused) {
            at_value_prompt = true;
            break;
        }
    }
    if (command == 0)
        return finish(io, exit_quit);

    // Ended at a prompt: by a failure of the output or the input, or a signal.
    if (out.error != 0)
        return finish(io, exit_output_failed);
    if (stop_signal() != 0)
        return stopped_by_signal(io);
    say(io, "run: cannot read standard input: ");
    std::fprintf(err, "%s%s\n", std::strerror(in.error),
                 at_value_prompt ? "; nothing was sent for the command that waited for its value" : "");
    return finish(io, exit_input_failed);
}

#ifndef RUN_CONSOLE_WITHOUT_MAIN
int main(int, char **argv)
{
    guard_standard_descriptors();
    // A reader that went away is a write error to report, with the words
    // that were not written, not a silent death.
    std::signal(SIGPIPE, SIG_IGN);
    if (!catch_stop_signals()) {
        std::perror("run: cannot take the stop signals");
        return exit_input_failed;
    }
    if (const int refused = take_bus(program_name(argv[0]), stderr))
        return refused;
    return run_console(0, 1, stderr);
}
#endif
