// The console loop in-process, on the virtual instrument's wire: which
// frames each command sends, and that refused or missing input sends none.

#include <gtest/gtest.h>

#include <functional>

#include "console_session.h"
#include "instrument.h"
#include "transcript.h"
#include "violations.h"

namespace {

// Runs the console and checks that the wire kept to the protocol.
console_session run_console_with(const std::string &input, const std::function<void()> &prepare = [] {})
{
    console_session s = run_console_session(input, prepare);
    EXPECT_TRUE(s.bus_set_up);
    EXPECT_TRUE(sim::violations().empty()) << sim::violations().size() << " protocol violations";
    return s;
}

TEST(console_bus, quitting_and_non_commands_send_no_frame)
{
    const console_session s = run_console_with("11\n-1\n99\n0\n");
    EXPECT_TRUE(s.bus.frames.empty());
    EXPECT_EQ(s.out, menus(4));
    EXPECT_EQ(s.status, 0);
}

TEST(console_bus, refused_or_missing_values_send_no_frame)
{
    for (const char *input : {"9 abc\n0\n", "5 4x\n0\n", "6 1.5\n0\n", "10 99999999999\n0\n", "abc 4\n0\n",
                              "9", "5\n", "6 ", "10\n\n"}) {
        const console_session s = run_console_with(input);
        EXPECT_TRUE(s.bus.frames.empty()) << input;
    }
}

TEST(console_bus, each_command_sends_its_frames)
{
    const console_session s = run_console_with("1 2 3 4 9 -1 0\n");
    expect_frames(s.bus, {write_frame(0, 0), write_frame(1, 0), write_frame(2, 0), read_frame(3, 0),
                          read_frame(0, 0xFFFFFF)});
    EXPECT_EQ(s.out, menus(4) + "run = 0\n" + menus(1) + "write: read : 16777215\n" + menus(1));
}

TEST(console_bus, settings_commands_pass_the_typed_value_to_the_link)
{
    const console_session s = run_console_with("5 5000 5 -1 6 2 6 -1 6 3 10 -3 10 0 10 5000 10 100000 0\n");
    expect_frames(s.bus, {write_frame(4, 904), read_frame(4, 904), write_frame(4, 4095), read_frame(4, 4095),
                          write_frame(5, 0), write_frame(5, 1), write_frame(5, 1), write_frame(3, 1),
                          write_frame(3, 1), write_frame(3, 4095), write_frame(3, 4095)});
    // The read-back has no newline of its own: the next pass's newline ends it.
    EXPECT_EQ(s.out, menus(1) + "threshold : 904" + menu_pass + "threshold : 4095" + menu_pass + "pol : " +
                         menu_pass + "pol : " + menu_pass + "pol : " + menu_pass + "period: " + menu_pass +
                         "period: " + menu_pass + "period: " + menu_pass + "period: " + menu_pass);
}

TEST(console_bus, an_abandoned_period_after_an_interface_test_sends_nothing)
{
    // The period shares its value with the interface test; a refused period
    // must not send the value the interface test left there.
    const console_session s = run_console_with("9 77 10 x\n0\n");
    expect_frames(s.bus, {read_frame(0, 77)});
}

TEST(console_bus, datasize_on_an_empty_instrument)
{
    const console_session s = run_console_with("7\n0\n");
    expect_frames(s.bus, {write_frame(6, 0), read_frame(6, 0)});
    EXPECT_EQ(s.out, menus(1) + "datasize = 0\n" + menus(1));
}

TEST(console_bus, read_data_reads_every_word_then_lists_them_signed)
{
    const console_session s = run_console_with("8\n0\n", [] { sim::load_fifo({17, 0x80000003u, 0}); });
    expect_frames(s.bus, {write_frame(6, 0), read_frame(6, 0), read_frame(7, 0), read_frame(7, 0),
                          read_frame(7, 0)});
    EXPECT_EQ(s.out, menus(1) + "1/3 cnt : 17\n2/3 cnt : -2147483645\n3/3 cnt : 0\n" + menus(1));
}

TEST(console_bus, read_data_asks_afresh_each_time)
{
    const console_session again = run_console_with("8\n2\n8\n0\n", [] { sim::load_fifo({5, 6}); });
    // The first read-out takes both words. The second asks the size afresh,
    // finds none, polls until the run's first measurement closes, and lists
    // that one word alone.
    const std::string first = "1/2 cnt : 5\n2/2 cnt : 6\n";
    ASSERT_GT(again.out.size(), 3 * menu_pass.size() + first.size());
    EXPECT_EQ(again.out.substr(0, menu_pass.size() + first.size()), menus(1) + first);
    EXPECT_EQ(again.out.compare(3 * menu_pass.size() + first.size(), 10, "1/1 cnt : "), 0) << again.out;
}

// Command 8 polls while the instrument is empty. A run at the default period
// closes its first measurement during the second query.
TEST(console_bus, read_data_sleeps_a_millisecond_after_every_query)
{
    const console_session s = run_console_with("2\n8\n0\n");
    const std::vector<observed_frame> &f = s.bus.frames;
    ASSERT_EQ(f.size(), 1u + 4u + 1u); // start, two queries, one word
    const std::string head = menus(2) + "1/1 cnt : ";
    ASSERT_GT(s.out.size(), head.size() + menu_pass.size());
    EXPECT_EQ(s.out.substr(0, head.size()), head);
    const std::string count = s.out.substr(head.size(), s.out.size() - head.size() - 1 - menu_pass.size());
    EXPECT_EQ(count.find_first_not_of("0123456789"), std::string::npos) << "one line for the one word: " << count;
    EXPECT_EQ(s.out.substr(head.size() + count.size()), "\n" + menu_pass);
    for (std::size_t query_read : {2u, 4u}) {
        const std::int64_t gap = f[query_read + 1].open_wall_ns - f[query_read].close_wall_ns;
        EXPECT_GE(gap, 1000000) << "after the query ending at frame " << query_read;
    }
    EXPECT_EQ(f[5].address(), 7);
}

TEST(console_bus, a_full_read_out_of_4095_words)
{
    std::vector<std::uint32_t> words;
    for (std::uint32_t i = 0; i < 4095; ++i)
        words.push_back(i * 2654435761u);
    const console_session s = run_console_with("8\n0\n", [&] { sim::load_fifo(words); });
    ASSERT_EQ(s.bus.frames.size(), 2u + 4095u);
    std::string expected = menus(1);
    char line[64];
    for (int i = 0; i < 4095; ++i) {
        std::snprintf(line, sizeof line, "%d/4095 cnt : %d\n", i + 1, static_cast<int>(words[static_cast<std::size_t>(i)]));
        expected += line;
    }
    EXPECT_EQ(s.out, expected + menus(1));
    EXPECT_EQ(sim::inspect_instrument().fifo_words, 0);
}

} // namespace
