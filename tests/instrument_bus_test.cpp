// The virtual instrument as a judge: it must decode the bus exactly as the
// hardware does and flag every breach of the protocol. These tests drive the
// four platform calls by hand, the way a faulty link might.

#include <algorithm>

#include "../src/gpio_platform.h"
#include "bus_fixture.h"

namespace {

class instrument_bus : public bus_test {
protected:
    void SetUp() override
    {
        bus_test::SetUp();
        expect_violations();
    }

    static void put_byte(int byte)
    {
        for (int j = 0; j < 8; ++j)
            digitalWrite(sim::data_out_pins[j], (byte >> j) & 1);
    }
    static void pulse()
    {
        digitalWrite(sim::strobe_pin, 1);
        digitalWrite(sim::strobe_pin, 0);
    }
    static void frame(const std::vector<int> &bytes, int extra_pulses = 0)
    {
        digitalWrite(sim::select_pin, 0);
        for (int b : bytes) {
            put_byte(b);
            pulse();
        }
        for (int i = 0; i < extra_pulses; ++i)
            pulse();
        digitalWrite(sim::select_pin, 1);
    }
    static int data_in_byte()
    {
        int byte = 0;
        for (int j = 0; j < 8; ++j)
            byte |= digitalRead(sim::data_in_pins[j]) << j;
        return byte;
    }
    static std::vector<sim::violation_kind> kinds()
    {
        std::vector<sim::violation_kind> k;
        for (const sim::violation &v : sim::violations())
            k.push_back(v.kind);
        return k;
    }
};

using kinds_t = std::vector<sim::violation_kind>;

TEST_F(instrument_bus, well_formed_frames_raise_nothing)
{
    frame({0x81, 0, 0, 0});       // start
    frame({0x03, 0, 0, 0}, 4);    // read run flag
    EXPECT_TRUE(sim::violations().empty());
    EXPECT_TRUE(sim::inspect_instrument().running);
}

TEST_F(instrument_bus, reply_bytes_appear_only_after_the_fourth_pulse_ends)
{
    sim::queue_reply(0x84332211u);
    digitalWrite(sim::select_pin, 0);
    const int command[4] = {0x00, 0x00, 0x00, 0x00};
    for (int i = 0; i < 4; ++i) {
        put_byte(command[i]);
        EXPECT_EQ(data_in_byte(), 0) << "before pulse " << i + 1;
        digitalWrite(sim::strobe_pin, 1);
        if (i == 3) {
            EXPECT_EQ(data_in_byte(), 0) << "while the fourth pulse is high";
        }
        digitalWrite(sim::strobe_pin, 0);
    }
    EXPECT_EQ(data_in_byte(), 0x11);
    pulse();
    EXPECT_EQ(data_in_byte(), 0x22);
    pulse();
    EXPECT_EQ(data_in_byte(), 0x33);
    pulse();
    EXPECT_EQ(data_in_byte(), 0x84);
    pulse();
    EXPECT_EQ(data_in_byte(), 0) << "released after the eighth pulse";
    digitalWrite(sim::select_pin, 1);
    EXPECT_EQ(data_in_byte(), 0);
    EXPECT_TRUE(sim::violations().empty());
}

TEST_F(instrument_bus, interface_test_drives_every_data_in_line_both_ways)
{
    // ((~d & 0xFF) << 24) | d
    EXPECT_EQ(static_cast<unsigned>(ifc_rd(0)), 0xFF000000u);
    EXPECT_EQ(static_cast<unsigned>(ifc_rd(0xFFFFFF)), 0x00FFFFFFu);
    EXPECT_EQ(static_cast<unsigned>(ifc_rd(0x123456)), 0xA9123456u);
    EXPECT_GT(ifc_rd(0x80), 0);
    EXPECT_LT(ifc_rd(0x7F), 0);
    EXPECT_TRUE(sim::violations().empty());
}

TEST_F(instrument_bus, calls_before_setup_are_flagged_and_ignored)
{
    sim::power_on();
    pinMode(11, 1);
    digitalWrite(11, 0);
    EXPECT_EQ(digitalRead(10), 0);
    EXPECT_EQ(kinds(), (kinds_t{3, sim::violation_kind::call_before_setup}));
    EXPECT_FALSE(sim::line(11).output);
    wiringPiSetup();
    wiringPiSetup();
    EXPECT_EQ(kinds().back(), sim::violation_kind::setup_repeated);
}

TEST_F(instrument_bus, wrong_lines_and_directions_are_flagged)
{
    digitalWrite(sim::data_in_pins[0], 1);   // driven by the instrument
    digitalWrite(0, 1);                      // not wired to the instrument
    EXPECT_EQ(digitalRead(sim::strobe_pin), 0); // an output: reads its own level
    digitalRead(-1);
    digitalWrite(64, 1);
    pinMode(1000, 1);
    pinMode(0, 2);
    EXPECT_EQ(kinds(), (kinds_t{sim::violation_kind::write_to_driven_line, sim::violation_kind::write_to_unwired_line,
                                sim::violation_kind::read_of_non_input, sim::violation_kind::no_such_line,
                                sim::violation_kind::no_such_line, sim::violation_kind::no_such_line,
                                sim::violation_kind::unsupported_mode}));
    EXPECT_FALSE(sim::line(sim::data_in_pins[0]).level);
}

// A line that is still an input shows its power-on pull (select, Broadcom
// GPIO 7, is pulled up); made an output, it drives its latch, low after boot.
TEST_F(instrument_bus, select_made_an_output_before_it_is_driven_high_opens_a_phantom_frame)
{
    auto start_up = [](bool idle_levels_first) {
        sim::power_on();
        wiringPiSetup();
        if (idle_levels_first)
            digitalWrite(sim::select_pin, 1);
        pinMode(sim::select_pin, 1);
        digitalWrite(sim::select_pin, 1);
        return kinds();
    };
    EXPECT_TRUE(sim::line(sim::select_pin).level) << "pulled up before the bus is set up";
    EXPECT_EQ(start_up(false), (kinds_t{sim::violation_kind::wrong_pulse_count}));
    EXPECT_EQ(start_up(true), kinds_t{});
}
TEST_F(instrument_bus, strobe_outside_a_frame_is_flagged)
{
    pulse();
    EXPECT_EQ(kinds(), (kinds_t{sim::violation_kind::strobe_outside_frame}));
}

TEST_F(instrument_bus, frames_with_the_wrong_pulse_count_are_flagged_and_not_acted_on)
{
    frame({0x81, 0, 0});            // write frame, three pulses
    frame({0x81, 0, 0, 0}, 1);      // write frame, five pulses
    frame({0x03, 0, 0, 0});         // read frame, four pulses
    frame({0x03, 0, 0, 0}, 5);      // read frame, nine pulses
    frame({});                      // no pulse at all
    EXPECT_EQ(kinds(), (kinds_t{5, sim::violation_kind::wrong_pulse_count}));
    EXPECT_FALSE(sim::inspect_instrument().running) << "a broken start frame must not start a run";
}

TEST_F(instrument_bus, reserved_header_bits_are_flagged)
{
    frame({0x88 | 0x01, 0, 0, 0});
    frame({0x40, 0, 0, 0}, 4);
    EXPECT_EQ(kinds(), (kinds_t{2, sim::violation_kind::reserved_header_bits}));
}

TEST_F(instrument_bus, data_lines_changing_while_strobe_is_high_are_flagged)
{
    digitalWrite(sim::select_pin, 0);
    put_byte(0x81);
    digitalWrite(sim::strobe_pin, 1);
    digitalWrite(sim::data_out_pins[0], 1);  // same level: no change, no breach
    digitalWrite(sim::data_out_pins[3], 1);  // changes
    digitalWrite(sim::strobe_pin, 0);
    EXPECT_EQ(kinds(), (kinds_t{sim::violation_kind::data_changed_on_strobe}));
    EXPECT_EQ(sim::violations()[0].pin, sim::data_out_pins[3]);
}

TEST_F(instrument_bus, answers_correctly_after_a_broken_frame)
{
    frame({0x81, 0, 0});             // a start cut short after three bytes
    frame({0xFF});                   // one byte, reserved bits set
    frame({0x00, 0x12, 0x34, 0x56}, 1); // a read cut off after its first reply byte
    EXPECT_EQ(kinds(), (kinds_t{sim::violation_kind::wrong_pulse_count, sim::violation_kind::reserved_header_bits,
                                sim::violation_kind::wrong_pulse_count, sim::violation_kind::wrong_pulse_count}));
    EXPECT_FALSE(sim::inspect_instrument().running);
    EXPECT_EQ(data_in_byte(), 0) << "data-in lines released";

    sim::clear_violations();
    start();
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(static_cast<unsigned>(ifc_rd(0x5A5A5A)), 0xA55A5A5Au);
    EXPECT_TRUE(sim::violations().empty());
}

TEST_F(instrument_bus, the_violation_list_is_bounded)
{
    for (std::size_t i = 0; i < sim::violation_capacity + 10; ++i)
        pulse();
    EXPECT_EQ(sim::violations().size(), sim::violation_capacity);
    EXPECT_EQ(sim::violation_count(), sim::violation_capacity + 10);
}

TEST_F(instrument_bus, the_same_calls_give_the_same_answers)
{
    auto session = [] {
        sim::power_on();
        setup_io();
        start();
        std::vector<int> seen;
        for (int i = 0; i < 40; ++i)
            seen.push_back(datasize());
        int words[max_data_words];
        const int n = datasize();
        readDATA(n, words, max_data_words);
        seen.insert(seen.end(), words, words + n);
        return seen;
    };
    const std::vector<int> first = session();
    EXPECT_EQ(first, session());
    EXPECT_TRUE(std::any_of(first.begin(), first.end(), [](int v) { return v != 0; }));
}

} // namespace

namespace {

// The decoder marks, call by call, where each command byte is latched and
// each reply byte sampled: eight reads between pulse 4 + k and 5 + k.
TEST(frame_decoder, marks_each_latch_and_each_reply_sample_of_a_read_frame)
{
    sim::set_reporting(false);
    sim::power_on();
    setup_io();
    sim::record_events(true);
    sim::clear_events();
    ifc_rd(0x123456);
    sim::record_events(false);
    const bus_trace trace = decode_bus(sim::events());
    ASSERT_EQ(trace.frames.size(), 1u);
    const observed_frame &f = trace.frames[0];
    ASSERT_EQ(f.latch_calls.size(), 4u);
    ASSERT_EQ(f.sample_calls.size(), 8u);
    for (std::size_t k = 1; k < 4; ++k)
        EXPECT_EQ(f.latch_calls[k] - f.latch_calls[k - 1], 10u) << "eight data writes, the pulse's fall, the rise";
    for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_EQ(f.sample_calls[2 * k + 1] - f.sample_calls[2 * k], 7u) << "eight reads in a row";
        EXPECT_GT(f.sample_calls[2 * k], k == 0 ? f.latch_calls[3] : f.sample_calls[2 * k - 1]);
    }
    EXPECT_EQ(reply_word(f), 0xA9123456u);
}

} // namespace
