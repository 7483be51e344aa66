// The console program end to end: piped input, standard output compared
// byte for byte, exit status, and what reaches standard error.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "dialogue.h"
#include "transcript.h"

namespace {

int lines_in(const std::string &text, const std::string &word)
{
    int n = 0;
    std::size_t at = 0;
    while ((at = text.find(word, at)) != std::string::npos) {
        ++n;
        at += word.size();
    }
    return n;
}

void expect_dialogue(const std::string &input, const std::string &output, int status = 0)
{
    const dialogue_result r = run_dialogue(input);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.out, output) << "input: " << input;
    EXPECT_EQ(r.status, status) << "input: " << input << "\nerr: " << r.err;
}

TEST(dialogue, quit_at_the_first_prompt_shows_one_menu)
{
    expect_dialogue("0\n", menus(1));
}

TEST(dialogue, numbers_that_are_no_command_bring_the_menu_again)
{
    expect_dialogue("11\n-1\n99\n2147483647\n0\n", menus(5));
}

TEST(dialogue, run_control_commands_print_nothing_and_run_reports_the_flag)
{
    expect_dialogue("4\n2\n4\n3\n4\n1\n0\n",
                    menus(1) + "run = 0\n" + menus(1) + menus(1) + "run = 1\n" + menus(1) + menus(1) +
                        "run = 0\n" + menus(1) + menus(1));
}

TEST(dialogue, interface_test_prints_the_reply_signed)
{
    // The instrument echoes the low 24 bits and puts the complement of the
    // low byte on top: -1 sends 0xFFFFFF and comes back 0x00FFFFFF.
    expect_dialogue("9\n-1\n9\n0\n0\n",
                    menus(1) + "write: read : 16777215\n" + menus(1) + "write: read : -16777216\n" + menus(1));
}

TEST(dialogue, several_numbers_on_a_line_answer_successive_prompts)
{
    const std::string expected = menus(1) + "write: read : 16777215\n" + menus(1) + "run = 0\n" + menus(1);
    expect_dialogue("9 -1 4 0\n", expected);
    expect_dialogue("9\t-1\r\n4\r\n\r\n0\r\n", expected);
    expect_dialogue("  9\n\n  -1   4\n0", expected);
}

TEST(dialogue, input_ending_at_the_command_prompt_ends_with_status_0)
{
    expect_dialogue("", menus(1));
    expect_dialogue("4\n", menus(1) + "run = 0\n" + menus(1));
    expect_dialogue("\n\n  \n", menus(1));
}

TEST(dialogue, a_number_ended_by_the_end_of_input_still_counts)
{
    expect_dialogue("9\n-1", menus(1) + "write: read : 16777215\n" + menus(1));
    expect_dialogue("4", menus(1) + "run = 0\n" + menus(1));
}

TEST(dialogue, input_ending_at_a_value_prompt_exits_non_zero_and_says_so)
{
    for (const char *input : {"9", "9\n", "9 \n\n", "2 9\n"}) {
        const dialogue_result r = run_dialogue(input);
        const std::string head = input[0] == '2' ? menus(2) : menus(1);
        EXPECT_EQ(r.out, head + "write: ") << input;
        EXPECT_NE(r.status, 0) << input;
        EXPECT_EQ(lines_in(r.err, "input ended"), 1) << r.err;
    }
}

TEST(dialogue, refused_tokens_abandon_the_command_and_drop_the_rest_of_the_line)
{
    struct refusal {
        const char *input;
        std::string output;
    };
    const refusal cases[] = {
        {"abc\n0\n", menus(2)},
        {"4x 4\n0\n", menus(2)},
        {"1.5\n0\n", menus(2)},
        {"--3\n0\n", menus(2)},
        {"99999999999 4\n0\n", menus(2)},
        {"9 abc 4\n0\n", menus(1) + "write: " + menus(1)},
        {"9\n1.5\n0\n", menus(1) + "write: " + menus(1)},
        {"9 2147483648\n4\n0\n", menus(1) + "write: " + menus(1) + "run = 0\n" + menus(1)},
        {"9 -2147483649 0\n0\n", menus(1) + "write: " + menus(1)},
        {"abc", menus(2)},
    };
    for (const refusal &c : cases) {
        const dialogue_result r = run_dialogue(c.input);
        EXPECT_EQ(r.out, c.output) << c.input;
        EXPECT_EQ(r.status, 0) << c.input;
        EXPECT_EQ(lines_in(r.err, "refused"), 1) << c.input << "\n" << r.err;
    }
}

TEST(dialogue, binary_bytes_and_a_megabyte_line_are_refused)
{
    const std::string binary("\x00\x01\xff\xfe 4\n\x1b[2J\n0\n", 15);
    const dialogue_result b = run_dialogue(binary);
    EXPECT_EQ(b.out, menus(3));
    EXPECT_EQ(b.status, 0);
    EXPECT_EQ(lines_in(b.err, "refused"), 2) << b.err;

    const std::string huge = std::string(1 << 20, '9') + " 4\n4\n0\n";
    const dialogue_result h = run_dialogue(huge);
    EXPECT_EQ(h.out, menus(2) + "run = 0\n" + menus(1));
    EXPECT_EQ(h.status, 0);
    EXPECT_EQ(lines_in(h.err, "refused"), 1);
    EXPECT_LT(h.err.size(), 1000u);
}

TEST(dialogue, standard_error_says_the_instrument_is_virtual_and_nothing_else_when_all_is_well)
{
    const dialogue_result r = run_dialogue("2\n4\n9\n7\n3\n0\n");
    EXPECT_EQ(lines_in(r.err, "virtual instrument"), 1) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

TEST(dialogue, the_same_input_gives_the_same_transcript)
{
    const std::string input = "2\n7\n7\n7\n8\n9\n12345\n4\n3\n8\n0\n";
    const dialogue_result first = run_dialogue(input);
    const dialogue_result second = run_dialogue(input);
    EXPECT_EQ(first.out, second.out);
    EXPECT_EQ(first.status, 0);
}

TEST(dialogue, settings_commands_and_the_threshold_read_back)
{
    // The read-back has no newline: the next pass's newline ends its line.
    expect_dialogue("5\n5000\n0\n", menus(1) + "threshold : 904" + menus(1));
    expect_dialogue("5 -1 5 0 0\n", menus(1) + "threshold : 4095" + menu_pass + "threshold : 0" + menu_pass);
    expect_dialogue("6\n2\n6 -1\n10\n-3\n10 100000\n0\n",
                    menus(1) + "pol : " + menu_pass + "pol : " + menu_pass + "period: " + menu_pass + "period: " +
                        menu_pass);
    for (const char *input : {"5", "6\n", "10 "}) {
        const dialogue_result r = run_dialogue(input);
        EXPECT_NE(r.status, 0) << input;
        EXPECT_EQ(r.out.substr(0, menu_pass.size()), menu_pass);
    }
}

TEST(dialogue, datasize_on_an_empty_instrument_and_after_a_start)
{
    expect_dialogue("7\n0\n", menus(1) + "datasize = 0\n" + menus(1));
    // At the default period the second query after a start finds a word.
    expect_dialogue("2 7 7 0\n", menus(2) + "datasize = 0\n" + menu_pass + "datasize = 1\n" + menu_pass);
}

TEST(dialogue, a_fresh_console_counts_pulses_from_its_first_run)
{
    // The program's instrument starts powered on, as the tests' does: its
    // first measurement at the default settings sees pulses.
    const dialogue_result r = run_dialogue("2 8 0\n");
    int count = 0;
    ASSERT_EQ(std::sscanf(r.out.c_str() + 2 * menu_pass.size(), "1/1 cnt : %d", &count), 1) << r.out;
    EXPECT_GT(count, 0);
}

TEST(dialogue, a_full_read_out_of_4095_words)
{
    // At period 1 every size query (twelve strobe pulses) adds twelve words:
    // enough queries fill the instrument, then stop and read it all.
    std::string input = "10 1\n2\n";
    for (int i = 0; i < 400; ++i)
        input += "7\n";
    input += "3\n8\n0\n";
    const dialogue_result r = run_dialogue(input);
    EXPECT_EQ(r.status, 0);
    const std::size_t list_start = r.out.find("1/4095 cnt : ");
    ASSERT_NE(list_start, std::string::npos);
    std::size_t at = list_start;
    for (int i = 1; i <= 4095; ++i) {
        int index = 0, total = 0, count = -1, used = 0;
        ASSERT_EQ(std::sscanf(r.out.c_str() + at, "%d/%d cnt : %d%n", &index, &total, &count, &used), 3) << i;
        ASSERT_EQ(index, i);
        ASSERT_EQ(total, 4095);
        ASSERT_GE(count, 0);
        ASSERT_LE(count, 1) << "a period of 1 sees one pulse at most";
        at += static_cast<std::size_t>(used);
        ASSERT_EQ(r.out[at++], '\n');
    }
    EXPECT_EQ(r.out.substr(at), menu_pass);
}

// Every prompt must reach the operator before the program waits, on a
// terminal as through a pipe: an unflushed prompt would sit in the buffer
// and this exchange would stall.
TEST(dialogue, every_prompt_is_visible_before_the_program_waits)
{
    for (bool on_terminal : {false, true}) {
        SCOPED_TRACE(on_terminal ? "on a terminal" : "through pipes");
        live_console console(on_terminal);
        ASSERT_TRUE(console.wait_for(menu_pass));
        console.type("9\n");
        ASSERT_TRUE(console.wait_for("write: "));
        console.type("-1\n");
        ASSERT_TRUE(console.wait_for("read : 16777215\n" + menu_pass));
        console.type("5\n");
        ASSERT_TRUE(console.wait_for("threshold : "));
        console.type("5000\n");
        ASSERT_TRUE(console.wait_for("904" + menu_pass));
        console.type("6\n");
        ASSERT_TRUE(console.wait_for("pol : "));
        console.type("1\n");
        ASSERT_TRUE(console.wait_for(menu_pass));
        console.type("10\n");
        ASSERT_TRUE(console.wait_for("period: "));
        console.type("100\n");
        ASSERT_TRUE(console.wait_for(menu_pass));
        console.type("0\n");
        EXPECT_EQ(console.finish(), 0);
    }
}

} // namespace
