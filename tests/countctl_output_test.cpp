// countctl's outputs as a hostile lab finds them: device nodes, FIFOs and
// symbolic links given to -o, files with modes of their own, directories,
// paths with newlines, a closed standard error, and command lines that
// look like options.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "program_run.h"

namespace {

run_result countctl(std::vector<std::string> args, const run_options &o = {})
{
    args.insert(args.begin(), COUNTCTL_PROGRAM);
    return run_program(args, "", o, true);
}

const std::vector<std::string> read_three = {"read", "--quiet"};

run_options shared_instrument()
{
    run_options o;
    o.environment = {"VIRTUAL_INSTRUMENT_STATE=" + scratch_directory() + "/instrument"};
    return o;
}

// A shared instrument started and given time to hold some words.
run_options instrument_with_words()
{
    run_options o = shared_instrument();
    countctl({"start"}, o);
    for (int i = 0; i < 4; ++i)
        countctl({"status"}, o);
    return o;
}

TEST(countctl_output, special_files_are_written_through_and_links_followed_never_replaced)
{
    const std::string dir = scratch_directory();
    const run_options o = instrument_with_words();

    // A FIFO, with its reader already there.
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    std::vector<std::string> args = read_three;
    args.insert(args.end(), {"-o", fifo});
    EXPECT_EQ(countctl(args, o).status, 0);
    char got[4096];
    const ssize_t n = read(reader, got, sizeof got);
    close(reader);
    ASSERT_GT(n, 0);
    EXPECT_NE(std::string(got, static_cast<std::size_t>(n)).find("index,count\n1,"), std::string::npos);
    struct stat st{};
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    // A throw-away null device, where the machine lets us make one.
    const std::string null = dir + "/null";
    if (mknod(null.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
        args = read_three;
        args.insert(args.end(), {"-o", null});
        EXPECT_EQ(countctl(args, o).status, 0);
        ASSERT_EQ(lstat(null.c_str(), &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode)) << "the device node was replaced";
    }

    // A link to a private file owned by someone else: the file is replaced,
    // keeps its mode (and, for root, its owner), and the link stays.
    const std::string file = dir + "/counts.csv", link = dir + "/latest.csv";
    { std::ofstream(file) << "old\n"; }
    ASSERT_EQ(chmod(file.c_str(), 0600), 0);
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(file.c_str(), 1234, 4321), 0);
    }
    ASSERT_EQ(symlink("counts.csv", link.c_str()), 0);
    args = {"read", "--quiet", "--format", "plain", "-o", link};
    EXPECT_EQ(countctl(args, o).status, 0);
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    if (root) {
        EXPECT_EQ(st.st_uid, 1234u);
        EXPECT_EQ(st.st_gid, 4321u);
    }
    EXPECT_NE(file_contents(file), "old\n");
    EXPECT_TRUE(std::regex_match(file_contents(file), std::regex("(-?[0-9]+\n)*"))) << file_contents(file);

    // A dangling link: the file it names is made.
    ASSERT_EQ(symlink("new.csv", (dir + "/dangling").c_str()), 0);
    EXPECT_EQ(countctl({"read", "--quiet", "-o", dir + "/dangling"}, o).status, 0);
    EXPECT_EQ(file_contents(dir + "/new.csv").rfind("# countctl", 0), 0u);

    // A link to the program's own standard output (/dev/stdout is one),
    // here a pipe: written through.
    ASSERT_EQ(symlink("/proc/self/fd/1", (dir + "/stdout").c_str()), 0);
    const run_result through = countctl({"read", "--quiet", "-o", dir + "/stdout"}, o);
    EXPECT_EQ(through.status, 0) << through.err;
    EXPECT_NE(through.out.find("index,count\n1,"), std::string::npos) << through.out;
    ASSERT_EQ(lstat((dir + "/stdout").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));

    // "-" is standard output; an empty path is a wrong command line.
    EXPECT_NE(countctl({"read", "--quiet", "-o", "-"}, o).out.find("index,count\n"), std::string::npos);
    const run_result empty = countctl({"read", "-o", ""}, o);
    EXPECT_EQ(empty.status, 2);
    EXPECT_TRUE(empty.bus.empty());
}

TEST(countctl_output, a_path_that_cannot_be_written_is_refused_before_the_first_frame)
{
    const std::string dir = scratch_directory();
    for (const std::string &path : {dir, dir + "/missing/counts.csv"}) {
        const run_result r = countctl({"acquire", "--words", "3", "-o", path});
        EXPECT_EQ(r.status, 3);
        EXPECT_TRUE(r.bus.empty()) << "the bus was started for " << path;
        EXPECT_NE(r.err.find(path), std::string::npos) << r.err;
    }
}

TEST(countctl_output, no_text_in_a_comment_line_can_begin_a_line_of_its_own)
{
    const std::string dir = scratch_directory();
    const std::string path = dir + "/x\nindex,count\n99,99\n#.csv";
    const run_result r = countctl({"acquire", "--period", "8", "--words", "3", "--quiet", "-o", path});
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream lines(file_contents(path));
    int index = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("# ", 0) == 0 || line == "index,count")
            continue;
        EXPECT_TRUE(std::regex_match(line, std::regex(std::to_string(++index) + ",-?[0-9]+"))) << line;
    }
    EXPECT_EQ(index, 3);
    EXPECT_NE(file_contents(path).find("-o " + dir + "/x\\nindex,count\\n99,99\\n#.csv\n"), std::string::npos);
}

TEST(countctl_output, with_standard_error_closed_no_message_lands_in_the_file)
{
    const std::string file = scratch_directory() + "/counts.csv";
    run_options closed;
    closed.standard_error_closed = true;
    EXPECT_EQ(countctl({"acquire", "--period", "8", "--words", "3", "-o", file}, closed).status, 0);
    EXPECT_EQ(file_contents(file).find("countctl:"), std::string::npos) << file_contents(file);
}

TEST(countctl_output, a_file_cut_in_its_closing_lines_counts_no_word_as_lost)
{
    const std::string dir = scratch_directory();
    const std::vector<std::string> args = {"acquire", "--period", "8", "--words", "100", "--quiet", "-o",
                                           dir + "/counts.csv"};
    ASSERT_EQ(countctl(args).status, 0);
    const std::string whole = file_contents(dir + "/counts.csv");
    const std::size_t rows_end = whole.find("# ended:");
    ASSERT_NE(rows_end, std::string::npos);

    run_options limited;
    limited.file_size_limit = static_cast<long>(rows_end) + 5;
    const run_result r = countctl(args, limited);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err.find("words read from the instrument were not written"), std::string::npos) << r.err;
    std::smatch kept;
    ASSERT_TRUE(std::regex_search(r.err, kept, std::regex("the words written are in (.*)\n"))) << r.err;
    // Every row is there (the start times may differ by a second).
    const std::string cut = file_contents(kept[1]);
    const std::size_t rows = whole.find("index,count\n");
    ASSERT_EQ(cut.size(), rows_end + 5);
    EXPECT_EQ(cut.substr(cut.find("index,count\n"), rows_end - rows), whole.substr(rows, rows_end - rows));
}

TEST(countctl_output, on_a_terminal_the_temporary_file_is_named_at_the_start)
{
    const std::string file = scratch_directory() + "/counts.csv";
    live_program on_terminal({COUNTCTL_PROGRAM, "acquire", "--period", "8", "--words", "3", "-o", file}, true);
    on_terminal.finish();
    EXPECT_NE(on_terminal.output().find("writing " + file + ".tmp-"), std::string::npos) << on_terminal.output();
}

TEST(countctl_command_line, negative_values_repeated_options_and_quiet)
{
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"ifc", "-1"}, std::vector<std::string>{"ifc", "--", "-1"}}) {
        const run_result r = countctl(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "16777215 0x00ffffff\n");
    }
    const run_result both = countctl({"acquire", "--words", "-5", "--seconds", "2"});
    EXPECT_EQ(both.status, 2) << "a negative value is read as the option's, and refused";
    EXPECT_NE(both.err.find("--words"), std::string::npos) << both.err;
    const run_result twice = countctl({"set", "--period", "4", "--period", "5"});
    EXPECT_EQ(twice.status, 2);
    EXPECT_NE(twice.err.find("--period is given twice"), std::string::npos) << twice.err;
    EXPECT_TRUE(twice.bus.empty());
    const run_result quiet = countctl({"status", "--quiet"});
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.err, "");
}

} // namespace
