// The link's frames, watched on the wire of the virtual instrument.

#include <climits>

#include "bus_fixture.h"
#include "bus_pins.h"

namespace {

using link_frames = bus_test;

TEST(link_setup, makes_exactly_the_start_up_calls_in_order)
{
    sim::set_reporting(false);
    sim::power_on();
    sim::record_events(true);
    setup_io();
    sim::record_events(false);

    struct call {
        sim::call_kind kind;
        int pin;
        int value;
    };
    const sim::call_kind setup = sim::call_kind::setup, mode = sim::call_kind::mode,
                         write = sim::call_kind::write;
    const std::vector<call> expected = {
        {setup, -1, 0},
        {mode, 8, 1}, {mode, 9, 1}, {mode, 7, 0}, {mode, 15, 1}, {mode, 16, 0},
        {mode, 10, 0}, {mode, 14, 0}, {mode, 6, 0}, {mode, 13, 0},
        {mode, 12, 0}, {mode, 5, 0}, {mode, 4, 0}, {mode, 3, 0},
        {write, 11, 1}, {write, 21, 0},
        {mode, 29, 1}, {mode, 28, 1}, {mode, 25, 1}, {mode, 27, 1}, {mode, 24, 1},
        {mode, 23, 1}, {mode, 26, 1}, {mode, 22, 1}, {mode, 21, 1}, {mode, 11, 1},
    };
    const std::vector<sim::bus_event> &got = sim::events();
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].kind, expected[i].kind);
        EXPECT_EQ(got[i].pin, expected[i].pin);
        EXPECT_EQ(got[i].value, expected[i].value);
    }
    EXPECT_TRUE(sim::violations().empty()) << "no frame at start-up";
    EXPECT_FALSE(sim::inspect_instrument().in_frame);
    EXPECT_TRUE(sim::line(11).output && sim::line(11).level) << "select idles high";
    EXPECT_TRUE(sim::line(21).output && !sim::line(21).level) << "strobe idles low";
}

TEST_F(link_frames, write_frame_is_the_exact_line_sequence)
{
    gpio_write(4, 0x123);
    // select low; per byte the eight data lines in bit order, then strobe up
    // and down; select high.
    const auto data_pins = bus_pins::data_out;
    const int bytes[4] = {0x84, 0x00, 0x01, 0x23};
    std::vector<std::pair<int, int>> expected = {{11, 0}};
    for (int byte : bytes) {
        for (int j = 0; j < 8; ++j)
            expected.emplace_back(data_pins[j], (byte >> j) & 1);
        expected.emplace_back(21, 1);
        expected.emplace_back(21, 0);
    }
    expected.emplace_back(11, 1);

    const std::vector<sim::bus_event> &got = sim::events();
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].kind, sim::call_kind::write);
        EXPECT_EQ(got[i].pin, expected[i].first);
        EXPECT_EQ(got[i].value, expected[i].second);
    }
}

TEST_F(link_frames, write_frames_carry_header_address_and_low_24_data_bits)
{
    gpio_write(4, 0x123);
    gpio_write(9, 0x7F654321); // 9 & 7 is register 1; bits above 23 never reach the bus
    gpio_write(3, -5);
    gpio_write(-1, INT_MIN);
    expect_frames(trace(), {
                               {{0x84, 0x00, 0x01, 0x23}, {}},
                               {{0x81, 0x65, 0x43, 0x21}, {}},
                               {{0x83, 0xFF, 0xFF, 0xFB}, {}},
                               {{0x87, 0x00, 0x00, 0x00}, {}},
                           });
}

TEST_F(link_frames, read_frame_assembles_the_reply_least_significant_byte_first)
{
    sim::queue_reply(0x84332211u);
    const int reply = gpio_read(6, 0x123);
    expect_frames(trace(), {{{0x06, 0x00, 0x01, 0x23}, {0x11, 0x22, 0x33, 0x84}}});
    EXPECT_EQ(static_cast<unsigned>(reply), 0x84332211u);
    EXPECT_LT(reply, 0);
}

TEST_F(link_frames, every_data_in_line_maps_to_its_own_reply_bit)
{
    for (int bit = 0; bit < 32; ++bit) {
        sim::queue_reply(1u << bit);
        EXPECT_EQ(static_cast<unsigned>(gpio_read(0, 0)), 1u << bit) << "bit " << bit;
    }
    sim::queue_reply(0xFFFFFFFFu);
    EXPECT_EQ(gpio_read(0, 0), -1);
    sim::queue_reply(0);
    EXPECT_EQ(gpio_read(0, 0), 0);
}

TEST_F(link_frames, select_and_strobe_idle_between_frames)
{
    gpio_write(1, 0);
    EXPECT_TRUE(sim::line(11).level);
    EXPECT_FALSE(sim::line(21).level);
    gpio_read(3, 0);
    EXPECT_TRUE(sim::line(11).level);
    EXPECT_FALSE(sim::line(21).level);
    const bus_trace t = trace();
    EXPECT_EQ(t.calls_between_frames, 0);
    ASSERT_EQ(t.frames.size(), 2u);
    for (const observed_frame &f : t.frames) {
        EXPECT_TRUE(f.strobe_low_at_open);
        EXPECT_TRUE(f.strobe_low_at_close);
    }
}

TEST_F(link_frames, reply_phase_keeps_the_last_command_byte_on_the_data_lines)
{
    gpio_read(0, 0xA5);
    for (int j = 0; j < 8; ++j)
        EXPECT_EQ(sim::line(sim::data_out_pins[j]).level, ((0xA5 >> j) & 1) != 0) << j;
}

// Run control and the interface test.

TEST_F(link_frames, reset_start_stop_send_one_write_frame_each)
{
    reset();
    start();
    stop();
    expect_frames(trace(), {write_frame(0, 0), write_frame(1, 0), write_frame(2, 0)});
}

TEST_F(link_frames, run_reports_bit_0_only)
{
    const std::uint32_t replies[] = {0x00000000u, 0x00000001u, 0xFFFFFFFEu, 0xFFFFFFFFu, 0x80000000u};
    for (std::uint32_t reply : replies) {
        sim::queue_reply(reply);
        EXPECT_EQ(run(), static_cast<int>(reply & 1u)) << std::hex << reply;
    }
    expect_frames(trace(), std::vector<expected_frame>(5, read_frame(3, 0)));
}

TEST_F(link_frames, run_follows_start_and_stop_on_the_instrument)
{
    EXPECT_EQ(run(), 0);
    start();
    EXPECT_EQ(run(), 1);
    stop();
    EXPECT_EQ(run(), 0);
}

TEST_F(link_frames, ifc_rd_sends_the_low_24_bits_and_returns_the_whole_reply)
{
    EXPECT_EQ(static_cast<unsigned>(ifc_rd(-1)), 0x00FFFFFFu);
    EXPECT_EQ(static_cast<unsigned>(ifc_rd(0)), 0xFF000000u);
    EXPECT_LT(ifc_rd(0x123), 0);
    sim::queue_reply(0xDEADBEEFu);
    EXPECT_EQ(static_cast<unsigned>(ifc_rd(7)), 0xDEADBEEFu);
    expect_frames(trace(), {read_frame(0, 0xFFFFFF), read_frame(0, 0), read_frame(0, 0x123), read_frame(0, 7)});
}

} // namespace
