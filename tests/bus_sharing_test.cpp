// Several programs, one instrument: the bus lock keeps a second program off
// the bus while one holds it, and the shared virtual instrument carries its
// state from one program to the next.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "program_run.h"

namespace {

run_result countctl(const std::vector<std::string> &args, const std::vector<std::string> &environment)
{
    std::vector<std::string> argv = {COUNTCTL_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    run_options o;
    o.environment = environment;
    return run_program(argv, "", o, true);
}

// A console that holds the bus until it is told to quit.
struct holder {
    explicit holder(const std::vector<std::string> &environment)
        : console({CONSOLE_PROGRAM}, false, environment)
    {
        EXPECT_TRUE(console.wait_for("enter command : "));
    }
    live_program console;
};

TEST(bus_lock, a_second_program_is_refused_while_one_holds_the_bus_and_waits_for_it_with_wait)
{
    const std::string lock = "COUNTER_BUS_LOCK=" + scratch_directory() + "/bus.lock";
    holder h({lock});

    const run_result refused = countctl({"status"}, {lock});
    EXPECT_EQ(refused.status, 4);
    EXPECT_EQ(refused.out, "");
    EXPECT_NE(refused.err.find("the bus is in use by run (pid " + std::to_string(h.console.pid()) + "; command "),
              std::string::npos)
        << refused.err;
    EXPECT_TRUE(refused.bus.empty()) << "not even wiringPiSetup may be called";

    const run_result gave_up = countctl({"status", "--wait=0.2"}, {lock});
    EXPECT_EQ(gave_up.status, 4);
    EXPECT_TRUE(gave_up.bus.empty());

    live_program waiting({COUNTCTL_PROGRAM, "status", "--wait"}, false, {lock});
    ASSERT_TRUE(waiting.wait_for_error("waiting for the bus, in use by run"));
    h.console.type("0\n");
    EXPECT_EQ(h.console.finish(), 0);
    EXPECT_EQ(waiting.finish(), 0);
    EXPECT_EQ(waiting.output(), "run 0\ndatasize 0\n");
}

TEST(bus_lock, the_console_takes_its_deleted_lock_file_again_and_ends_when_another_took_it)
{
    const std::string path = scratch_directory() + "/bus.lock";
    holder h({"COUNTER_BUS_LOCK=" + path});
    ASSERT_EQ(unlink(path.c_str()), 0);
    EXPECT_TRUE(h.console.wait_for_error("it is locked again", std::chrono::seconds(4)));
    EXPECT_EQ(countctl({"status"}, {"COUNTER_BUS_LOCK=" + path}).status, 4) << "still the console's";

    // Another holder locks a new file, which then replaces the console's at
    // the path (a program of the build machine's own, even in a cross build).
    const std::string replacement = path + ".new";
    const char *other_argv[] = {"/usr/bin/flock", replacement.c_str(), "sleep", "5", nullptr};
    pid_t other = 0;
    ASSERT_EQ(posix_spawn(&other, other_argv[0], nullptr, nullptr, const_cast<char **>(other_argv), environ), 0);
    usleep(300000);
    ASSERT_EQ(rename(replacement.c_str(), path.c_str()), 0);
    EXPECT_TRUE(h.console.wait_for_error("nothing more is sent", std::chrono::seconds(4)));
    EXPECT_EQ(h.console.wait_exit_for(std::chrono::seconds(4)), 4);
    kill(other, SIGTERM);
    waitpid(other, nullptr, 0);
}

TEST(bus_lock, a_lock_file_deleted_under_its_holder_does_not_let_a_second_program_on_the_bus)
{
    const std::string path = scratch_directory() + "/bus.lock";
    holder h({"COUNTER_BUS_LOCK=" + path});
    ASSERT_EQ(unlink(path.c_str()), 0);
    const run_result second = countctl({"status"}, {"COUNTER_BUS_LOCK=" + path}); // before the holder looks again
    EXPECT_EQ(second.status, 4) << second.err;
    EXPECT_TRUE(second.bus.empty()) << "nothing sent";
    EXPECT_TRUE(h.console.wait_for_error("it is locked again", std::chrono::seconds(4)));
    h.console.type("0\n");
    EXPECT_EQ(h.console.finish(), 0);
}

TEST(bus_lock, a_holder_killed_outright_leaves_no_lock_behind)
{
    const std::string lock = "COUNTER_BUS_LOCK=" + scratch_directory() + "/bus.lock";
    {
        holder h({lock});
        h.console.send(SIGKILL);
        EXPECT_EQ(h.console.finish(), -1);
    }
    EXPECT_EQ(countctl({"status"}, {lock}).status, 0);
}

TEST(bus_lock, a_symbolic_link_or_a_missing_directory_at_the_lock_path_is_refused)
{
    const std::string dir = scratch_directory();
    { std::ofstream(dir + "/precious") << "keep me\n"; }
    ASSERT_EQ(symlink((dir + "/precious").c_str(), (dir + "/bus.lock").c_str()), 0);
    for (const std::string &path : {dir + "/bus.lock", dir + "/missing/bus.lock"}) {
        const run_result r = countctl({"status"}, {"COUNTER_BUS_LOCK=" + path});
        EXPECT_EQ(r.status, 4);
        EXPECT_TRUE(r.bus.empty());
        EXPECT_NE(r.err.find("cannot use the bus lock " + path), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("COUNTER_BUS_LOCK=PATH"), std::string::npos) << r.err;
    }
    EXPECT_EQ(file_contents(dir + "/precious"), "keep me\n");
}

TEST(bus_lock, the_lock_file_left_behind_is_usable_by_the_next_user_whatever_the_umask)
{
    const std::string path = scratch_directory() + "/bus.lock";
    const mode_t old = umask(077);
    EXPECT_EQ(countctl({"status"}, {"COUNTER_BUS_LOCK=" + path}).status, 0);
    umask(old);
    struct stat st{};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
}

TEST(shared_virtual_instrument, carries_the_run_and_its_words_from_one_program_to_the_next)
{
    const std::string dir = scratch_directory();
    const std::string state = "VIRTUAL_INSTRUMENT_STATE=" + dir + "/instrument";
    EXPECT_EQ(countctl({"start"}, {state}).status, 0);
    // Each program's frames tick the instrument's clock on: a few status
    // queries later a measurement has closed.
    run_result status;
    for (int i = 0; i < 5; ++i)
        status = countctl({"status"}, {state});
    EXPECT_EQ(status.status, 0);
    EXPECT_EQ(status.out.rfind("run 1\n", 0), 0u) << status.out;
    const run_result read = countctl({"read", "--format", "plain", "--quiet"}, {state});
    EXPECT_EQ(read.status, 0);
    EXPECT_FALSE(read.out.empty());
    EXPECT_EQ(countctl({"stop"}, {state}).status, 0);
    EXPECT_EQ(countctl({"status"}, {state}).out.rfind("run 0\n", 0), 0u);

    // Without the variable, every program meets a fresh instrument.
    EXPECT_EQ(countctl({"start"}, {}).status, 0);
    EXPECT_EQ(countctl({"status"}, {}).out, "run 0\ndatasize 0\n");
}

TEST(shared_virtual_instrument, on_the_wall_clock_a_started_instrument_fills_its_fifo_between_programs)
{
    const std::vector<std::string> env = {"VIRTUAL_INSTRUMENT_STATE=" + scratch_directory() + "/instrument",
                                          "VIRTUAL_INSTRUMENT_CLOCK=wall", "VIRTUAL_INSTRUMENT_TICK=0.000001"};
    EXPECT_EQ(countctl({"start"}, env).status, 0);
    usleep(200000); // 200 ms at 1 µs a tick and period 16: 12,500 measurements, past the FIFO's 4095
    const run_result full = countctl({"status"}, env);
    EXPECT_EQ(full.out, "run 1\ndatasize 4095\n") << full.err;
    countctl({"read", "--format", "plain", "-q"}, env);
    const run_result after = countctl({"read", "--format", "plain", "-q"}, env);
    EXPECT_EQ(after.out.rfind("-", 0), 0u) << "the first word after the overflow marks its gap: " << after.out.substr(0, 40);
    const run_result wrong = countctl({"status"}, {env[0], "VIRTUAL_INSTRUMENT_CLOCK=sundial"});
    EXPECT_EQ(wrong.status, 2);
    EXPECT_TRUE(wrong.bus.empty());
}

TEST(shared_virtual_instrument, a_file_that_is_no_saved_state_is_refused_and_left_as_it_was)
{
    const std::string path = scratch_directory() + "/instrument";
    for (const std::string &text : {std::string("not a state\n"),
                                    std::string("counter virtual instrument state 1\nperiod 16\n"),
                                    std::string("counter virtual instrument state 2\n")}) {
        { std::ofstream(path, std::ios::binary) << text; }
        const run_result r = countctl({"start"}, {"VIRTUAL_INSTRUMENT_STATE=" + path});
        EXPECT_EQ(r.status, 4);
        EXPECT_TRUE(r.bus.empty());
        EXPECT_NE(r.err.find("is not a saved state"), std::string::npos) << r.err;
        EXPECT_EQ(file_contents(path), text);
    }
}

} // namespace
