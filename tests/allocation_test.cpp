// No heap allocation per frame or per word: the link and the virtual
// instrument run a frame, a read-out and the listing on fixed storage.
// Every operator new in this program is counted.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <new>

#include "console.h"
#include "instrument.h"
#include "pin_bank.h"
#include "spi.h"
#include "violations.h"

namespace {
long allocations = 0;
}

void *operator new(std::size_t size)
{
    ++allocations;
    if (void *p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }

namespace {

TEST(allocation, frames_read_out_and_listing_allocate_nothing)
{
    sim::set_reporting(false);
    sim::power_on();
    sim::load_fifo(std::vector<std::uint32_t>(4095, 3));
    setup_io();
    static int words[max_data_words];
    static output_buffer sink;
    sink.fd = open("/dev/null", O_WRONLY);
    ASSERT_GE(sink.fd, 0);

    const long before = allocations;
    start();
    setPeriod(100);
    setTHR(5000);
    run();
    ifc_rd(-1);
    const int count = datasize();
    readDATA(count, words, max_data_words);
    print_listing(sink, count, words);
    stop();
    const long during = allocations - before;

    close(sink.fd);
    EXPECT_GE(count, 4095);
    EXPECT_EQ(during, 0) << "heap allocations during frames and a read-out";
}

} // namespace
