// The console under signals and failing streams, run as a process: signals
// arrive at a prompt, during the wait for data, inside a frame and inside a
// read-out; output goes to a full disk or a vanished reader; input cannot be
// read. Afterwards the bus must be idle with no frame cut, and nothing read
// from the instrument may go unlisted or unreported.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "bus_monitor.h"
#include "dialogue.h"
#include "transcript.h"

namespace {

// A data-size query: a write frame and a read frame.
constexpr std::uint64_t size_query_calls = write_frame_calls + read_frame_calls;

void expect_idle_bus(const run_result &r)
{
    const bus_summary bus = summarise_bus(r.bus);
    EXPECT_FALSE(bus.frame_left_open);
    EXPECT_EQ(bus.ill_formed, 0);
    EXPECT_TRUE(bus.select_high);
    EXPECT_TRUE(bus.strobe_low);
}

std::string log_file()
{
    char name[] = "/tmp/console-bus-XXXXXX";
    close(mkstemp(name));
    return name;
}

int frames_in_log(const std::string &path)
{
    std::vector<sim::bus_event> events;
    EXPECT_TRUE(sim::read_bus_log(path, events));
    unlink(path.c_str());
    return summarise_bus(events).frames;
}

TEST(console_signals, at_a_prompt_end_the_program_at_once_and_send_nothing)
{
    struct at_prompt {
        const char *typed;
        const char *prompt;
        int signal;
    };
    for (const at_prompt &p : {at_prompt{"", "enter command : ", SIGTERM}, at_prompt{"9\n", "write: ", SIGHUP},
                               at_prompt{"5\n", "threshold : ", SIGINT}}) {
        const std::string log = log_file();
        live_program console({console_program()}, false, {"VIRTUAL_BUS_LOG=" + log});
        ASSERT_TRUE(console.wait_for(menu_pass));
        if (*p.typed != '\0') {
            console.type(p.typed);
            ASSERT_TRUE(console.wait_for(p.prompt));
        }
        console.send(p.signal);
        EXPECT_EQ(console.finish(), 128 + p.signal) << p.typed;
        EXPECT_EQ(frames_in_log(log), 0) << p.typed;
    }
}

TEST(console_signals, sigint_abandons_the_wait_for_data_after_saying_what_it_waits_for)
{
    live_program console({console_program()});
    ASSERT_TRUE(console.wait_for(menu_pass));
    console.type("8\n");
    ASSERT_TRUE(console.wait_for_error("waiting for the instrument to report data", std::chrono::seconds(10)));
    console.send(SIGINT);
    ASSERT_TRUE(console.wait_for_error("read abandoned"));
    ASSERT_TRUE(console.wait_for(menu_pass));
    console.type("0\n");
    EXPECT_EQ(console.finish(), 0);
    EXPECT_EQ(console.output(), menus(2));
    const std::string &err = console.errors();
    EXPECT_EQ(err.find("waiting for"), err.rfind("waiting for")) << "said once: " << err;
}

TEST(console_signals, sigterm_during_the_wait_ends_it_between_size_queries)
{
    run_options o;
    o.stop_at_call = setup_calls + 3 * size_query_calls + 60; // inside the fourth query
    o.signal = SIGTERM;
    const run_result r = run_dialogue("8\n0\n", o, true);
    EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
    EXPECT_EQ(r.out, menus(1));
    EXPECT_EQ(summarise_bus(r.bus).frames, 8) << "four whole size queries";
    expect_idle_bus(r);
}

TEST(console_signals, inside_a_frame_finish_the_frame_and_its_command_first)
{
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        run_options o;
        o.stop_at_call = setup_calls + 40; // in the command phase of the run-flag read
        o.signal = signal;
        const run_result r = run_dialogue("4\n0\n", o, true);
        EXPECT_EQ(r.status, 128 + signal) << r.err;
        EXPECT_EQ(r.out, menus(1) + "run = 0\n");
        EXPECT_EQ(summarise_bus(r.bus).frames, 1);
        expect_idle_bus(r);
    }
}

TEST(console_signals, inside_a_read_out_every_word_read_is_listed)
{
    // Period 1, start, one size query (the FIFO fills as pulses go by),
    // stop, then read: the signal comes inside the third data frame.
    const std::string input = "10 1\n2\n7\n3\n8\n0\n";
    const std::uint64_t read_out = setup_calls + 3 * write_frame_calls + 2 * size_query_calls;
    run_options o;
    o.stop_at_call = read_out + 2 * read_frame_calls + 30;
    o.signal = SIGTERM;
    const run_result r = run_dialogue(input, o, true);
    EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
    const int words = summarise_bus(r.bus).count(7);
    ASSERT_GT(words, 3);
    const std::string last = std::to_string(words) + "/" + std::to_string(words) + " cnt : ";
    const std::size_t at = r.out.rfind(last);
    ASSERT_NE(at, std::string::npos) << r.out;
    EXPECT_EQ(r.out.find('\n', at), r.out.size() - 1) << "the listing is the last thing written";
    expect_idle_bus(r);
}

TEST(console_output, a_full_disk_or_a_vanished_reader_stops_the_console_before_any_frame)
{
    const int full = open("/dev/full", O_WRONLY);
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    close(pipe_ends[0]); // the reader is gone
    for (int out : {full, pipe_ends[1]}) {
        run_options o;
        o.standard_output = out;
        o.sigpipe_ignored = true;
        const run_result r = run_dialogue("2\n8\n0\n", o, true);
        EXPECT_EQ(r.status, 3);
        const char *why = std::strerror(out == full ? ENOSPC : EPIPE);
        EXPECT_NE(r.err.find(std::string("cannot write standard output: ") + why), std::string::npos) << r.err;
        EXPECT_EQ(summarise_bus(r.bus).frames, 0);
        close(out);
    }
}

TEST(console_output, a_listing_cut_short_says_how_many_words_were_lost)
{
    const std::string input = "10 1\n2\n7\n3\n8\n0\n";
    const run_result whole = run_dialogue(input);
    const std::size_t listing = whole.out.find("1/");
    ASSERT_NE(listing, std::string::npos);
    const int total = std::atoi(whole.out.c_str() + whole.out.find('/', listing) + 1);

    char name[] = "/tmp/console-out-XXXXXX";
    const int file = mkstemp(name);
    run_options o;
    o.standard_output = file;
    o.file_size_limit = static_cast<long>(listing) + 100; // mid-listing
    const run_result cut = run_dialogue(input, o);
    std::string written(static_cast<std::size_t>(lseek(file, 0, SEEK_END)), '\0');
    pread(file, written.data(), written.size(), 0);
    close(file);
    unlink(name);

    int complete = 0;
    for (std::size_t at = listing; (at = written.find('\n', at)) != std::string::npos; ++at)
        ++complete;
    ASSERT_GT(complete, 0);
    ASSERT_LT(complete, total);
    EXPECT_EQ(cut.status, 3);
    EXPECT_NE(cut.err.find("; " + std::to_string(total - complete) + " words read from the instrument were not written"),
              std::string::npos) << cut.err;
}

TEST(console_input, unreadable_input_is_a_failure_not_an_end)
{
    run_options o;
    o.standard_input = open(".", O_RDONLY | O_DIRECTORY);
    const run_result r = run_dialogue("", o);
    close(o.standard_input);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(std::string("cannot read standard input: ") + std::strerror(EISDIR)), std::string::npos)
        << r.err;
    EXPECT_EQ(r.out, menus(1));
}

} // namespace
