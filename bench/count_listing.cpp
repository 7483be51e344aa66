// The console's listing, for counting: `count_listing listing N` lists 4095
// words N times into /dev/null inside counted_listing, for callgrind;
// `count_listing console` runs the console on standard input and output
// with 4095 words waiting in the virtual instrument, for counting its
// write calls (command 8 lists them all).

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "console.h"
#include "instrument.h"
#include "pin_bank.h"
#include "violations.h"

extern "C" __attribute__((noinline)) int counted_listing(output_buffer *out, int count, const int *words)
{
    const int listed = print_listing(*out, count, words);
    flush(*out);
    return listed;
}

int main(int argc, char **argv)
{
    static int words[4095];
    for (int i = 0; i < 4095; ++i)
        words[i] = i * 37 - 1000;
    if (argc == 3 && std::strcmp(argv[1], "listing") == 0) {
        static output_buffer out;
        out.fd = open("/dev/null", O_WRONLY);
        const int n = std::atoi(argv[2]);
        for (int i = 0; i < n; ++i)
            counted_listing(&out, 4095, words);
        return out.error == 0 ? 0 : 1;
    }
    if (argc == 2 && std::strcmp(argv[1], "console") == 0) {
        sim::set_reporting(false);
        sim::power_on();
        sim::load_fifo(std::vector<std::uint32_t>(words, words + 4095));
        return run_console(0, 1, stderr);
    }
    std::fputs("usage: count_listing listing N | count_listing console\n", stderr);
    return 2;
}
