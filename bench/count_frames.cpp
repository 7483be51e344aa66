// Makes a number of frames of one kind, for counting instructions with
// callgrind: `count_frames link-write|link-read|baseline-write|baseline-read|
// straight-write|straight-read N`.
// Each frame is made inside a function named for its kind, so callgrind can
// collect exactly those (--toggle-collect).

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../src/spi.h"
#include "baseline_frames.h"

extern "C" {
__attribute__((noinline)) void counted_link_write(int data) { gpio_write(4, data); }
__attribute__((noinline)) int counted_link_read(int data) { return gpio_read(6, data); }
__attribute__((noinline)) std::uint32_t counted_baseline(const std::vector<platform_call> *calls)
{
    return make_calls(*calls);
}
__attribute__((noinline)) std::uint32_t counted_straight_write(int data) { return straight_write_frame(4, data); }
__attribute__((noinline)) std::uint32_t counted_straight_read(int data) { return straight_read_frame(6, data); }
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: count_frames link-write|link-read|baseline-write|baseline-read|"
                             "straight-write|straight-read N\n");
        return 2;
    }
    const char *kind = argv[1];
    const int n = std::atoi(argv[2]);
    const std::vector<platform_call> write_calls = frame_calls(true, 4, 0x123456);
    const std::vector<platform_call> read_calls = frame_calls(false, 6, 0x123456);
    std::uint32_t sink = 0;
    for (int i = 0; i < n; ++i) {
        if (std::strcmp(kind, "link-write") == 0)
            counted_link_write(0x123456);
        else if (std::strcmp(kind, "link-read") == 0)
            sink += static_cast<std::uint32_t>(counted_link_read(0x123456));
        else if (std::strcmp(kind, "baseline-write") == 0)
            sink += counted_baseline(&write_calls);
        else if (std::strcmp(kind, "baseline-read") == 0)
            sink += counted_baseline(&read_calls);
        else if (std::strcmp(kind, "straight-write") == 0)
            sink += counted_straight_write(0x123456);
        else if (std::strcmp(kind, "straight-read") == 0)
            sink += counted_straight_read(0x123456);
        else
            return 2;
    }
    return sink == 0xFFFFFFFFu ? 1 : 0;
}
