// Operator console for the counting instrument.
//
// One loop: show the menu, read a command number, run the command. Every
// prompt is flushed before the program waits, so the dialogue works the same
// on a terminal and over pipes. Standard output carries the dialogue only;
// refused input and early end of input are reported on standard error.

#include <chrono>
#include <cstdio>
#include <thread>

#include "console.h"
#include "console_input.h"
#include "spi.h"

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

struct console_io {
    std::FILE *in;
    std::FILE *out;
    std::FILE *err;
};

read_status ask(const console_io &io, const char *prompt, int &value)
{
    std::fputs(prompt, io.out);
    std::fflush(io.out);
    return read_number(io.in, io.err, value);
}

// Waits until the instrument holds data, reads all of it, then lists it:
// nothing is printed while words are being fetched. There is no time-out;
// Ctrl-C leaves the program, and the instrument keeps its settings.
void read_data(std::FILE *out, int (&data)[data_buffer_size])
{
    int count = 0;
    while (count == 0) {
        count = datasize();
        std::this_thread::sleep_for(poll_interval);
    }
    readDATA(count, data);
    print_listing(out, count, data);
}

} // namespace

void print_listing(std::FILE *out, int count, const int *words)
{
    for (int i = 0; i < count; ++i)
        std::fprintf(out, "%d/%d cnt : %d\n", i + 1, count, words[i]);
}

int run_console(std::FILE *in, std::FILE *out, std::FILE *err)
{
    const console_io io{in, out, err};
    int command = 99;
    int test_value = 0;
    int threshold_value = 0;
    int polarity_value = 0;
    static int data[data_buffer_size];

    setup_io();
    while (command != 0) {
        std::fputs("\n", out);
        std::fputs(menu, out);
        const read_status got = ask(io, "enter command : ", command);
        if (got == read_status::ended)
            return 0;
        if (got == read_status::refused)
            continue;

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
            std::fprintf(out, "run = %d\n", run());
            break;
        case 5:
            value = ask(io, "threshold : ", threshold_value);
            if (value == read_status::number)
                std::fprintf(out, "%d", setTHR(threshold_value));
            break;
        case 6:
            value = ask(io, "pol : ", polarity_value);
            if (value == read_status::number)
                setPOL(polarity_value);
            break;
        case 7:
            std::fprintf(out, "datasize = %d\n", datasize());
            break;
        case 8:
            read_data(out, data);
            break;
        case 9:
            value = ask(io, "write: ", test_value);
            if (value == read_status::number)
                std::fprintf(out, "read : %d\n", ifc_rd(test_value));
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
            std::fflush(out);
            std::fputs("run: input ended while a command waited for its value;"
                       " nothing was sent\n", err);
            return 1;
        }
    }
    return 0;
}

#ifndef RUN_CONSOLE_WITHOUT_MAIN
int main()
{
    return run_console(stdin, stdout, stderr);
}
#endif
