// Read-out through the link, and the virtual instrument's acquisition model.

#include <numeric>

#include "bus_fixture.h"

namespace {

using link_readout = bus_test;

TEST_F(link_readout, datasize_writes_then_reads_register_6_and_keeps_12_bits)
{
    EXPECT_EQ(datasize(), 0);
    sim::queue_reply(0xFFFFF005u);
    EXPECT_EQ(datasize(), 5);
    sim::queue_reply(0xFFFFFFFFu);
    EXPECT_EQ(datasize(), 4095);
    expect_frames(trace(), {write_frame(6, 0), read_frame(6, 0), write_frame(6, 0), read_frame(6, 0),
                            write_frame(6, 0), read_frame(6, 0)});
}

TEST_F(link_readout, read_data_makes_one_read_frame_per_word_in_order)
{
    sim::load_fifo({11, 0x80000007u, 13, 99});
    int buffer[5] = {-1, -1, -1, -1, -1};
    EXPECT_EQ(readDATA(3, buffer, 5), 3);
    EXPECT_EQ(buffer[0], 11);
    EXPECT_EQ(buffer[1], static_cast<int>(0x80000007u));
    EXPECT_LT(buffer[1], 0);
    EXPECT_EQ(buffer[2], 13);
    EXPECT_EQ(buffer[3], -1) << "nothing past count";
    expect_frames(trace(), {read_frame(7, 0), read_frame(7, 0), read_frame(7, 0)});
    EXPECT_EQ(sim::inspect_instrument().fifo_words, 1);
}

TEST_F(link_readout, read_data_with_no_count_sends_and_stores_nothing)
{
    int buffer[1] = {42};
    EXPECT_EQ(readDATA(0, buffer, 1), 0);
    EXPECT_EQ(readDATA(-5, buffer, 1), 0);
    EXPECT_EQ(buffer[0], 42);
    EXPECT_TRUE(trace().frames.empty());
}

TEST_F(link_readout, read_data_never_writes_past_the_callers_capacity)
{
    sim::load_fifo({1, 2, 3, 4});
    int buffer[3] = {-1, -1, -1};
    EXPECT_EQ(readDATA(4095, buffer, 2), 2);
    EXPECT_EQ(buffer[1], 2);
    EXPECT_EQ(buffer[2], -1);
    expect_frames(trace(), {read_frame(7, 0), read_frame(7, 0)});
    EXPECT_EQ(sim::inspect_instrument().fifo_words, 2) << "the rest stays in the instrument";
}

// The acquisition model, seen through the link as the console sees it.

// Runs for `ticks` strobe pulses' worth of frames, then stops and drains.
std::vector<int> acquire(int period, int threshold, int polarity, int frames)
{
    reset();
    setPeriod(period);
    setTHR(threshold);
    setPOL(polarity);
    start();
    for (int i = 0; i < frames; ++i)
        run();
    stop();
    std::vector<int> words(4096);
    const int n = datasize();
    readDATA(n, words.data(), static_cast<int>(words.size()));
    words.resize(static_cast<std::size_t>(n));
    return words;
}

long total(const std::vector<int> &words) { return std::accumulate(words.begin(), words.end(), 0L); }

TEST_F(link_readout, a_higher_threshold_counts_fewer_pulses_and_polarity_matters)
{
    const std::vector<int> low = acquire(64, 500, 0, 200);
    const std::vector<int> high = acquire(64, 3500, 0, 200);
    const std::vector<int> negative = acquire(64, 500, 1, 200);
    ASSERT_EQ(low.size(), high.size());
    ASSERT_EQ(low.size(), negative.size());
    ASSERT_GT(low.size(), 20u);
    EXPECT_GT(total(low), 3 * total(high));
    EXPECT_GT(total(low), 2 * total(negative));
    EXPECT_GT(total(negative), 0);
    EXPECT_EQ(acquire(64, 4095, 0, 200), std::vector<int>(low.size(), 0)) << "nothing is above the top";
}

TEST_F(link_readout, one_measurement_closes_every_period_ticks)
{
    // A read frame is eight strobe pulses, so 100 of them are 800 ticks.
    EXPECT_EQ(acquire(100, 0, 0, 100).size(), 8u);
    EXPECT_EQ(acquire(8, 0, 0, 100).size(), 100u);
}

// Runs at period 1 until the FIFO is full and a measurement has been dropped.
void run_past_a_full_fifo()
{
    reset();
    setPeriod(1);
    start();
    while (sim::inspect_instrument().fifo_words < sim::fifo_capacity)
        run();
    run();
}

TEST_F(link_readout, a_full_fifo_raises_overflow_and_marks_the_next_word)
{
    run_past_a_full_fifo();
    stop();
    gpio_write(6, 0); // the raw status word of register 6
    const int status = gpio_read(6, 0);
    EXPECT_EQ(status & 0xFFF, 4095);
    EXPECT_NE(status & static_cast<int>(sim::status_overflow), 0);
    EXPECT_EQ(datasize(), 4095) << "status bits above bit 11 are masked off";

    std::vector<int> words(4096);
    readDATA(4095, words.data(), static_cast<int>(words.size()));
    for (int i = 0; i < 4095; ++i)
        ASSERT_GE(words[static_cast<std::size_t>(i)], 0) << i;
    start(); // one more word: it follows the dropped ones, so it carries the mark
    while (sim::inspect_instrument().fifo_words == 0)
        run();
    stop();
    readDATA(1, words.data(), static_cast<int>(words.size()));
    EXPECT_LT(words[0], 0);
    EXPECT_LE(words[0] & 0x7FFFFFFF, 1) << "the count itself is intact: one pulse at most in a period of 1";
}

TEST_F(link_readout, reset_empties_the_fifo_and_clears_the_flags)
{
    run_past_a_full_fifo();
    reset();
    const sim::instrument_view v = sim::inspect_instrument();
    EXPECT_EQ(v.fifo_words, 0);
    EXPECT_FALSE(v.overflow);
    EXPECT_FALSE(v.running);
    EXPECT_EQ(datasize(), 0);
}

TEST_F(link_readout, the_size_is_what_was_latched_by_the_write_before_the_read)
{
    sim::load_fifo({1, 2, 3});
    gpio_write(6, 0);
    sim::load_fifo({4});
    EXPECT_EQ(gpio_read(6, 0) & 0xFFF, 3);
    EXPECT_EQ(datasize(), 4);
}

} // namespace
