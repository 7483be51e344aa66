// The console's streams as a lab finds them: a reader that goes away, a
// non-blocking pipe read slowly, a reader that stops reading while stop
// signals come, and a person's terminal with its Ctrl-D and Ctrl-C.
//
// A full read-out is loaded through the shared virtual instrument's state
// file: 4095 words held, more than a pipe takes at once.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <stdexcept>
#include <thread>

#include "dialogue.h"

namespace {

constexpr int full_fifo = 4095;

// A virtual instrument holding a full FIFO, for one program to read out.
std::string instrument_holding_a_full_fifo()
{
    const std::string path = scratch_directory() + "/instrument";
    std::ofstream state(path);
    state << "counter virtual instrument state 1\nperiod 16\nthreshold 2048\npolarity 0\nrunning 0\nticks 0\n"
             "next_close 0\noverflow 0\ngap_pending 0\nlatched_size 0\nrandom_state 1\nfifo "
          << full_fifo << "\n";
    for (int i = 0; i < full_fifo; ++i)
        state << 1000000 + i << "\n";
    state << "end\n";
    return "VIRTUAL_INSTRUMENT_STATE=" + path;
}

int listed_lines(const std::string &out)
{
    int lines = 0;
    for (std::size_t at = out.find(" cnt : "); at != std::string::npos; at = out.find(" cnt : ", at + 1))
        ++lines;
    return lines;
}

// The console reads a full FIFO out (command 8) into a pipe whose other end
// `reader` holds, and closes.
run_result read_out_into_a_pipe(bool non_blocking, const std::function<void(int)> &reader)
{
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) // the console holds no read end of its own
        throw std::runtime_error("no pipe");
    if (non_blocking)
        fcntl(pipe_fds[1], F_SETFL, O_NONBLOCK);
    std::thread read_end([&reader, fd = pipe_fds[0]] {
        reader(fd);
        close(fd);
    });
    run_options o;
    o.standard_output = pipe_fds[1];
    o.environment = {instrument_holding_a_full_fifo()};
    const run_result r = run_dialogue("8\n0\n", o);
    close(pipe_fds[1]);
    read_end.join();
    return r;
}

TEST(console_streams, a_reader_that_goes_away_is_a_write_error_said_with_the_words_lost)
{
    const run_result r = read_out_into_a_pipe(false, [](int fd) { // reads 10000 bytes, then goes away
        char buffer[4096];
        for (std::size_t got = 0; got < 10000;) {
            const ssize_t n = read(fd, buffer, std::min(sizeof buffer, 10000 - got));
            if (n <= 0)
                break;
            got += static_cast<std::size_t>(n);
        }
    });
    EXPECT_EQ(r.killed_by, 0) << "died of SIGPIPE";
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("cannot write standard output: Broken pipe; "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(" words read from the instrument were not written"), std::string::npos) << r.err;
}

TEST(console_streams, a_non_blocking_pipe_read_slowly_is_waited_for)
{
    std::string received;
    const run_result r = read_out_into_a_pipe(true, [&received](int fd) {
        char buffer[4096];
        ssize_t n;
        while ((n = read(fd, buffer, sizeof buffer)) > 0) {
            received.append(buffer, static_cast<std::size_t>(n));
            usleep(1000);
        }
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(listed_lines(received), full_fifo);
}

TEST(console_streams, a_second_stop_signal_ends_an_output_that_is_blocked)
{
    live_program console({console_program()}, false, {instrument_holding_a_full_fifo()});
    console.type("8\n0\n");
    // Nothing reads the listing: the console blocks on its pipe.
    EXPECT_EQ(console.wait_exit_for(std::chrono::milliseconds(300)), -2);
    console.send(SIGINT);
    EXPECT_EQ(console.wait_exit_for(std::chrono::milliseconds(300)), -2) << "the first signal waits for the listing";
    console.send(SIGTERM);
    EXPECT_EQ(console.wait_exit_for(std::chrono::seconds(5)), 128 + SIGTERM);
    console.finish();
    EXPECT_NE(console.errors().find("a second stop signal came while it was blocked; "), std::string::npos)
        << console.errors();
    const std::size_t lost = console.errors().find(" words read from the instrument were not written");
    ASSERT_NE(lost, std::string::npos);
    const std::size_t number = console.errors().rfind(' ', lost - 1) + 1;
    EXPECT_EQ(listed_lines(console.output()) + std::stoi(console.errors().substr(number)), full_fifo);
}

TEST(console_streams, on_a_terminal_the_end_of_input_is_not_asked_for_twice_and_messages_start_a_line)
{
    {
        live_program console({console_program()}, true, {}, true);
        ASSERT_TRUE(console.wait_for("enter command : "));
        console.type("9\n");
        ASSERT_TRUE(console.wait_for("write: "));
        console.type("-1\x04");
        console.type("\x04");
        EXPECT_EQ(console.wait_exit_for(std::chrono::seconds(3)), 0) << "a third Ctrl-D was waited for";
    }
    {
        live_program console({console_program()}, true, {}, true);
        ASSERT_TRUE(console.wait_for("enter command : "));
        console.type("5\n");
        ASSERT_TRUE(console.wait_for("threshold : "));
        console.type("\x04");
        EXPECT_EQ(console.wait_exit_for(std::chrono::seconds(3)), 1);
        console.finish();
        EXPECT_NE(console.output().find("threshold : \r\nrun: input ended"), std::string::npos) << console.output();
    }
    {
        live_program console({console_program()}, true, {}, true);
        ASSERT_TRUE(console.wait_for("enter command : "));
        console.type("10\n");
        ASSERT_TRUE(console.wait_for("period: "));
        console.type("\x03");
        EXPECT_EQ(console.wait_exit_for(std::chrono::seconds(3)), 128 + SIGINT);
        console.finish();
        const std::string out = console.output();
        const std::string ended = "period: ^C\r\n";
        EXPECT_TRUE(out.size() >= ended.size() && out.compare(out.size() - ended.size(), ended.size(), ended) == 0)
            << out;
    }
}

} // namespace
