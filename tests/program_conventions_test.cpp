// One convention for every program: --help and --version answered with
// status 0, a wrong option refused with status 2 on standard error, and
// every message under the name the program was started by. The console
// takes no options, but answers --help and --version without touching the bus.

#include <unistd.h>

#include <gtest/gtest.h>

#include "program_run.h"

namespace {

TEST(program_conventions, help_version_and_wrong_options_the_same_way_in_every_program)
{
    char dir[] = "/tmp/conventions-XXXXXX";
    const std::string installed = std::string(mkdtemp(dir)) + "/counter-tool";
    for (const char *program : {COUNTCTL_PROGRAM, BUS_CHECK_PROGRAM, BUS_TRACE_PROGRAM, SCPI_SERVER_PROGRAM}) {
        SCOPED_TRACE(program);
        // Started by another name, as the package installs it.
        ASSERT_EQ(symlink(program, installed.c_str()), 0);

        const run_result help = run_program({installed, "--help"}, "");
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out.rfind("Usage: counter-tool ", 0), 0u) << help.out;
        EXPECT_NE(help.out.find("\nExit status:\n"), std::string::npos) << help.out;

        const run_result version = run_program({installed, "--version"}, "");
        EXPECT_EQ(version.status, 0);
        EXPECT_EQ(version.out.rfind("counter-tool 1.", 0), 0u) << version.out;

        const run_result wrong = run_program({installed, "--no-such-option"}, "", {}, true);
        EXPECT_EQ(wrong.status, 2);
        EXPECT_EQ(wrong.out, "");
        EXPECT_EQ(wrong.err.rfind("counter-tool: unknown option '--no-such-option'\n", 0), 0u) << wrong.err;
        EXPECT_NE(wrong.err.find("Try 'counter-tool --help' for more information.\n"), std::string::npos);
        EXPECT_TRUE(wrong.bus.empty());
        unlink(installed.c_str());
    }
}

TEST(program_conventions, the_console_answers_help_and_version_without_touching_the_bus)
{
    for (const char *option : {"--help", "--version"}) {
        const run_result r = run_program({CONSOLE_PROGRAM, "ignored", option}, "1\n", {}, true);
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(r.bus.empty()) << option;
        EXPECT_EQ(r.out.find("enter command"), std::string::npos) << r.out;
    }
    EXPECT_NE(run_program({CONSOLE_PROGRAM, "--help"}, "").out.find("0 quit"), std::string::npos);
    // Any other argument is ignored, as always: the menu comes up.
    const run_result r = run_program({CONSOLE_PROGRAM, "--verbose"}, "0\n", {}, true);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("enter command : "), std::string::npos);
}

} // namespace
