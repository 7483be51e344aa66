// Acquisition settings: conditioning happens in the link, on the wire.

#include <climits>

#include "bus_fixture.h"

namespace {

using link_settings = bus_test;

TEST_F(link_settings, set_period_clamps_to_1_through_4095)
{
    const struct {
        int typed;
        int sent;
    } cases[] = {{-3, 1}, {0, 1}, {1, 1}, {2, 2}, {1234, 1234}, {4094, 4094}, {4095, 4095},
                 {4096, 4095}, {100000, 4095}, {INT_MIN, 1}, {INT_MAX, 4095}};
    std::vector<expected_frame> expected;
    for (const auto &c : cases) {
        setPeriod(c.typed);
        expected.push_back(write_frame(3, static_cast<std::uint32_t>(c.sent)));
        EXPECT_EQ(sim::inspect_instrument().period, c.sent) << c.typed;
    }
    expect_frames(trace(), expected);
}

TEST_F(link_settings, set_threshold_writes_then_reads_back_the_same_12_bit_value)
{
    EXPECT_EQ(setTHR(5000), 904);
    EXPECT_EQ(setTHR(-1), 4095);
    EXPECT_EQ(setTHR(0), 0);
    EXPECT_EQ(setTHR(INT_MIN), 0);
    expect_frames(trace(), {write_frame(4, 904), read_frame(4, 904), write_frame(4, 4095), read_frame(4, 4095),
                            write_frame(4, 0), read_frame(4, 0), write_frame(4, 0), read_frame(4, 0)});
    EXPECT_EQ(sim::inspect_instrument().threshold, 0);
}

TEST_F(link_settings, set_threshold_returns_the_instruments_answer_unchanged)
{
    sim::queue_reply(0xFFFFF123u); // an instrument that answers with upper bits set
    EXPECT_EQ(setTHR(7), static_cast<int>(0xFFFFF123u));
    sim::queue_reply(99);
    EXPECT_EQ(setTHR(7), 99) << "not compared with what was written";
}

TEST_F(link_settings, set_polarity_keeps_the_low_bit)
{
    const struct {
        int typed;
        int sent;
    } cases[] = {{0, 0}, {1, 1}, {2, 0}, {-1, 1}, {3, 1}, {INT_MIN, 0}};
    std::vector<expected_frame> expected;
    for (const auto &c : cases) {
        setPOL(c.typed);
        expected.push_back(write_frame(5, static_cast<std::uint32_t>(c.sent)));
        EXPECT_EQ(sim::inspect_instrument().polarity, c.sent) << c.typed;
    }
    expect_frames(trace(), expected);
}

TEST_F(link_settings, reset_restores_the_defaults)
{
    setPeriod(7);
    setTHR(9);
    setPOL(1);
    start();
    reset();
    const sim::instrument_view v = sim::inspect_instrument();
    EXPECT_EQ(v.period, sim::default_period);
    EXPECT_EQ(v.threshold, sim::default_threshold);
    EXPECT_EQ(v.polarity, sim::default_polarity);
    EXPECT_FALSE(v.running);
    EXPECT_EQ(setTHR(sim::default_threshold), sim::default_threshold);
}

} // namespace
