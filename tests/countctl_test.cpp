// countctl: each command's frames on the virtual bus, refused command lines,
// the CSV read back by Python's csv module, and an acquisition that meets a
// signal, a failing output or a terminal.

#include <fcntl.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <random>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

#include "console_session.h"
#include "count_summary.h"
#include "countctl.h"
#include "instrument.h"
#include "program_run.h"
#include "violations.h"

namespace {

struct countctl_session {
    int status = -1;
    std::string out;
    std::string err;
    bus_trace bus; // the frames after the bus's start-up
};

countctl_session run_in_process(const std::vector<std::string> &args, const std::function<void()> &prepare = [] {})
{
    sim::set_reporting(false);
    sim::power_on();
    prepare();
    sim::record_events(true);
    const int out = memory_file("");
    char *err_text = nullptr;
    std::size_t err_size = 0;
    std::FILE *err = open_memstream(&err_text, &err_size);
    countctl_session s;
    s.status = run_countctl(args, out, err);
    std::fclose(err);
    s.err.assign(err_text, err_size);
    std::free(err_text);
    s.out = take_memory_file(out);
    sim::record_events(false);
    s.bus = decode_after_setup(sim::events());
    EXPECT_EQ(sim::violation_count(), 0u);
    return s;
}

std::vector<std::string> csv_counts(const std::string &csv)
{
    std::vector<std::string> counts;
    std::istringstream lines(csv);
    std::string line;
    while (std::getline(lines, line))
        if (!line.empty() && line[0] != '#' && line != "index,count")
            counts.push_back(line.substr(line.find(',') + 1));
    return counts;
}

TEST(countctl, each_command_sends_its_frames_and_prints_its_result)
{
    countctl_session s = run_in_process({"status"});
    expect_frames(s.bus, {read_frame(3, 0), write_frame(6, 0), read_frame(6, 0)});
    EXPECT_EQ(s.out, "run 0\ndatasize 0\n");
    EXPECT_EQ(run_in_process({"status", "--json"}).out, "{\"run\": 0, \"datasize\": 0}\n");

    expect_frames(run_in_process({"reset"}).bus, {write_frame(0, 0)});
    expect_frames(run_in_process({"start"}).bus, {write_frame(1, 0)});
    expect_frames(run_in_process({"stop"}).bus, {write_frame(2, 0)});

    s = run_in_process({"set", "--threshold", "1000", "--polarity=1", "--period", "0x64"});
    expect_frames(s.bus, {write_frame(3, 100), write_frame(5, 1), write_frame(4, 1000), read_frame(4, 1000)});
    EXPECT_EQ(s.out, "threshold 1000\n");
    EXPECT_EQ(s.status, 0);

    s = run_in_process({"ifc", "0x1234"});
    expect_frames(s.bus, {read_frame(0, 0x1234)});
    EXPECT_EQ(s.out, "-889187788 0xcb001234\n"); // ((~0x34 & 0xFF) << 24) | 0x1234

    s = run_in_process({"read", "--format", "plain", "--quiet"}, [] { sim::load_fifo({5, 0x80000007u, 9}); });
    expect_frames(s.bus, {write_frame(6, 0), read_frame(6, 0), read_frame(7, 0), read_frame(7, 0), read_frame(7, 0)});
    EXPECT_EQ(s.out, "5\n-2147483641\n9\n");
    EXPECT_EQ(s.err, "");

    s = run_in_process({"acquire", "--period", "4", "--words", "5"});
    ASSERT_GE(s.bus.frames.size(), 4u);
    EXPECT_EQ(s.bus.frames[0].command, write_frame(3, 4).command);
    EXPECT_EQ(s.bus.frames[1].command, write_frame(1, 0).command);
    EXPECT_EQ(s.bus.frames.back().command, write_frame(2, 0).command) << "the run is stopped";
    EXPECT_EQ(csv_counts(s.out).size(), 5u);
    EXPECT_NE(s.out.find("# stopped: target reached\n"), std::string::npos) << s.out;
    EXPECT_NE(s.err.find("5 words; min"), std::string::npos) << s.err;
}

TEST(countctl, refused_command_lines_send_nothing)
{
    struct refusal {
        std::vector<std::string> args;
        const char *says;
    };
    const refusal cases[] = {
        {{"set", "--threshold", "5000"}, "out of range: 0..4095"},
        {{"set", "--polarity", "2"}, "out of range: 0..1"},
        {{"acquire", "--period", "0", "--words", "5"}, "out of range: 1..4095"},
        {{"set", "--threshold", "12x"}, "not a whole number"},
        {{"set"}, "at least one"},
        {{"acquire", "--period", "5"}, "needs --words N, --seconds S, or both"},
        {{"read", "--timeout", "soon"}, "not a number of seconds"},
        {{"read", "--format", "xml"}, "csv, plain or hdf5"},
        {{"status", "--verbose"}, "unknown option"},
        {{"launch"}, "unknown command"},
        {{"ifc"}, "one VALUE"},
        {{}, "no command"},
    };
    for (const refusal &c : cases) {
        const countctl_session s = run_in_process(c.args);
        SCOPED_TRACE(s.err);
        EXPECT_EQ(s.status, 2);
        EXPECT_TRUE(s.bus.frames.empty());
        EXPECT_NE(s.err.find(c.says), std::string::npos);
        EXPECT_NE(s.err.find("usage: countctl"), std::string::npos);
    }
}

TEST(countctl, the_options_of_every_command_also_come_before_its_name)
{
    countctl_session s = run_in_process({"--wait=5", "-q", "status", "--json"});
    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(s.out, "{\"run\": 0, \"datasize\": 0}\n");
    s = run_in_process({"--quiet", "read", "--format", "plain"}, [] { sim::load_fifo({5}); });
    EXPECT_EQ(s.out, "5\n");
    EXPECT_EQ(s.err, "");
    // Only those: a command's own option before it, or options and no command, are refused.
    for (const std::vector<std::string> &args : {std::vector<std::string>{"--json", "status"}, {"--wait", "-q"}}) {
        s = run_in_process(args);
        EXPECT_EQ(s.status, 2);
        EXPECT_TRUE(s.bus.frames.empty());
    }
}

TEST(countctl, words_and_seconds_together_stop_at_whichever_comes_first)
{
    countctl_session s = run_in_process({"acquire", "--words", "5", "--seconds", "100", "-q"});
    EXPECT_NE(s.out.find("# stopped: target reached\n"), std::string::npos) << s.out;
    s = run_in_process({"acquire", "--words", "100000000", "--seconds", "0.2", "-q"});
    EXPECT_NE(s.out.find("# stopped: time limit\n"), std::string::npos) << s.out;
    EXPECT_EQ(s.status, 0);
}

TEST(countctl, a_tick_gives_a_time_axis_and_the_time_of_each_read_out)
{
    const countctl_session s = run_in_process({"acquire", "--period", "4", "--tick", "0.5e-3", "--words", "5", "-q"});
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_NE(s.out.find("\nindex,count,time_s\n"), std::string::npos) << s.out;
    EXPECT_NE(s.out.find("# tick: 0.0005 s;"), std::string::npos);
    EXPECT_NE(s.out.find("\n# read at 20"), std::string::npos);
    std::istringstream lines(s.out);
    std::string line;
    int rows = 0;
    while (std::getline(lines, line)) {
        int index = 0, count = 0;
        double seconds = 0;
        if (std::sscanf(line.c_str(), "%d,%d,%lf", &index, &count, &seconds) == 3) {
            EXPECT_DOUBLE_EQ(seconds, index * 4 * 0.5e-3) << line;
            ++rows;
        }
    }
    EXPECT_EQ(rows, 5);
    EXPECT_EQ(run_in_process({"acquire", "--tick", "1e-6", "--words", "5"}).status, 2) << "a tick needs a period";
}

TEST(countctl, a_threshold_scan_follows_the_instruments_model)
{
    const countctl_session s =
        run_in_process({"scan", "threshold", "3500:500:1500", "--period", "16", "--words", "600", "-q"});
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_NE(s.out.find("\nthreshold,words,sum,mean,seconds,rate\n"), std::string::npos) << s.out;
    std::istringstream lines(s.out);
    std::string line;
    std::vector<int> thresholds;
    while (std::getline(lines, line)) {
        int threshold = 0;
        unsigned long long words = 0;
        double sum = 0, mean = 0;
        if (std::sscanf(line.c_str(), "%d,%llu,%lf,%lf", &threshold, &words, &sum, &mean) != 4)
            continue;
        thresholds.push_back(threshold);
        EXPECT_EQ(words, 600u);
        // A count is the positive pulses (3 in 4) of 16 above the threshold.
        EXPECT_NEAR(mean, 16 * 0.75 * (4095 - threshold) / 4096.0, 0.3) << line;
    }
    EXPECT_EQ(thresholds, (std::vector<int>{3500, 2000, 500}));
    EXPECT_NE(s.out.find("# threshold: left at 500"), std::string::npos);
    EXPECT_NE(s.out.find("# stopped: scan complete\n"), std::string::npos);
    EXPECT_EQ(run_in_process({"scan", "threshold", "0:5000", "--words", "5"}).status, 2);
    const countctl_session h5 = run_in_process({"scan", "threshold", "1:2", "--words", "1", "-o", "scan.h5"});
    EXPECT_EQ(h5.status, 2) << "a scan's table is CSV, not under an HDF5 name";
    EXPECT_TRUE(h5.bus.frames.empty());
}

#if !HAVE_TOML
// A build without toml++ reads no file: one found is refused, and nothing sent.
TEST(countctl, a_build_without_toml_refuses_a_configuration_file_and_says_why)
{
    const std::string path = scratch_directory() + "/lab.toml";
    std::ofstream(path) << "threshold = 1500\n";
    const countctl_session s = run_in_process({"--config", path, "status"});
    EXPECT_EQ(s.status, 2);
    EXPECT_NE(s.err.find("this build reads no configuration files"), std::string::npos) << s.err;
    EXPECT_TRUE(s.bus.frames.empty());
}
#endif

TEST(countctl, the_configuration_gives_what_the_options_leave_out_and_its_faults_are_named)
{
    if (!HAVE_TOML)
        GTEST_SKIP() << "this build reads no configuration files (built without toml++)";
    const std::string dir = scratch_directory();
    const auto write = [&](const std::string &name, const std::string &text) {
        std::ofstream(dir + "/" + name) << text;
        return dir + "/" + name;
    };
    const std::string user = write("counter-instrument.toml", "threshold = 1500\nperiod = 32\n");
    const std::string named = write("named.toml", "threshold = 700\npolarity = 1\n");
    setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    countctl_session s = run_in_process({"acquire", "--words", "2", "--period", "8", "-q"});
    EXPECT_NE(s.out.find("# configuration: " + user + " gave threshold 1500\n"), std::string::npos) << s.out;
    EXPECT_NE(s.out.find("# settings sent: threshold 1500, period 8\n"), std::string::npos) << "the option wins";
    s = run_in_process({"--config", named, "acquire", "--words", "2", "-q"});
    EXPECT_NE(s.out.find("gave threshold 700, polarity 1\n"), std::string::npos) << "--config before the user's";
    const std::pair<std::string, const char *> faults[] = {
        {write("unknown.toml", "threshold = 1\nperod = 32\n"), "unknown.toml:2: 'perod' is not a setting"},
        {write("range.toml", "period = 5000\n"), "range.toml:1: 'period' must be a whole number from 1 to 4095"},
        {write("broken.toml", "threshold = \"x\n"), "broken.toml:1: not TOML"},
        {write("nan.toml", "tick = nan\n"), "nan.toml:1: 'tick' must be a number of seconds above 0"},
        {write("marker.toml", "gap_marker = \"bit30\"\n"), "marker.toml:1: 'gap_marker' must be \"none\" or \"bit31\""},
        {dir, "not a configuration file (a directory)"},
        {[&] { mkfifo((dir + "/fifo").c_str(), 0600); return dir + "/fifo"; }(), "not a configuration file (not a regular file)"},
        {dir + "/missing.toml", "there is no such configuration file"},
    };
    // Where the configuration's output_dir put a file, the summary says.
    const std::string placed = write("placed.toml", "output_dir = \"" + dir + "\"\n");
    s = run_in_process({"--config", placed, "acquire", "--words", "2", "-o", "cfg.csv"});
    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_NE(s.err.find("the words are in " + dir + "/cfg.csv (output_dir of " + placed + ")"), std::string::npos)
        << s.err;
    EXPECT_EQ(access((dir + "/cfg.csv").c_str(), F_OK), 0);
    // Every command reads it, and none drives the bus with a file it cannot use.
    const std::vector<std::vector<std::string>> commands = {
        {"acquire", "--words", "2"}, {"read"}, {"status"}, {"set", "--period", "9"}, {"reset"}, {"start"},
        {"stop"}, {"ifc", "5"}, {"scan", "threshold", "1:2", "--words", "1"}};
    for (const auto &[path, says] : faults) {
        for (std::vector<std::string> command : commands) {
            command.insert(command.begin(), {"--config", path});
            s = run_in_process(command);
            EXPECT_EQ(s.status, 2) << command[2];
            EXPECT_NE(s.err.find(says), std::string::npos) << s.err;
            EXPECT_EQ(s.err.find("usage:"), std::string::npos) << "the file is at fault, not the command line";
            EXPECT_TRUE(s.bus.frames.empty());
        }
    }
    unsetenv("XDG_CONFIG_HOME");
}

// A word is a signed count, whole; only a lab that names its instrument's
// gap marker has a word read as a gap.
TEST(countctl, words_are_counts_whole_unless_the_lab_names_a_gap_marker)
{
    countctl_session s = run_in_process({"read"}, [] { sim::load_fifo({10, static_cast<std::uint32_t>(-20), 30}); });
    EXPECT_EQ(csv_counts(s.out), (std::vector<std::string>{"10", "-20", "30"}));
    EXPECT_NE(s.err.find("3 words; min -20, mean 6.667, max 30\n"), std::string::npos) << s.err;
    EXPECT_EQ(s.out.find("gaps"), std::string::npos) << "no loss is read into a negative word";
    if (!HAVE_TOML)
        GTEST_SKIP() << "the gap marker is named in a configuration file, which this build does not read";

    const std::string marked = scratch_directory() + "/bit31.toml";
    std::ofstream(marked) << "gap_marker = \"bit31\"\n";
    s = run_in_process({"--config", marked, "read"}, [] { sim::load_fifo({5, 0x80000007u, 9}); });
    EXPECT_NE(s.out.find("\n2,-2147483641\n"), std::string::npos) << "the CSV keeps the word as read";
    EXPECT_NE(s.out.find("\n# gaps: 1 "), std::string::npos) << s.out;
    EXPECT_NE(s.err.find("3 words; min 5, mean 7.000, max 9; 1 gaps"), std::string::npos) << s.err;
}

TEST(countctl, a_threshold_the_instrument_does_not_take_fails_and_starts_nothing)
{
    countctl_session s = run_in_process({"set", "--threshold", "1000"}, [] { sim::queue_reply(999); });
    EXPECT_EQ(s.status, 1);
    EXPECT_NE(s.err.find("read back threshold 999, not 1000"), std::string::npos) << s.err;
    s = run_in_process({"acquire", "--threshold", "1000", "--words", "3"}, [] { sim::queue_reply(999); });
    EXPECT_EQ(s.status, 1);
    EXPECT_EQ(s.bus.frames.size(), 2u) << "the threshold's two frames, and no start";
}

// Processes: files, signals, failing outputs and terminals.

std::string temporary_name()
{
    char name[] = "/tmp/countctl-XXXXXX";
    close(mkstemp(name));
    unlink(name);
    return name;
}

// The counts of every data word the bus carried, as the instrument sent them.
std::vector<std::string> words_on_the_bus(const std::vector<sim::bus_event> &events)
{
    std::vector<std::string> words;
    for (const observed_frame &f : decode_after_setup(events).frames)
        if (!f.is_write() && f.address() == 7)
            words.push_back(std::to_string(static_cast<int>(reply_word(f))));
    return words;
}

TEST(countctl_program, the_csv_reads_back_with_another_parser_word_for_word)
{
    const std::string file = temporary_name();
    const run_result r = run_program({COUNTCTL_PROGRAM, "acquire", "--period", "8", "--words", "200", "-o", file},
                                      "", {}, true);
    ASSERT_EQ(r.status, 0) << r.err;
    run_options native;
    native.native = true;
    const run_result py = run_program(
        {"python3", "-c",
         "import csv, sys\n"
         "rows = list(csv.reader(l for l in open(sys.argv[1]) if not l.startswith('#')))\n"
         "assert rows[0] == ['index', 'count'], rows[0]\n"
         "assert [int(r[0]) for r in rows[1:]] == list(range(1, len(rows)))\n"
         "print('\\n'.join(r[1] for r in rows[1:]))\n",
         file},
        "", native);
    unlink(file.c_str());
    ASSERT_EQ(py.status, 0) << py.err;
    std::vector<std::string> parsed;
    std::istringstream lines(py.out);
    for (std::string line; std::getline(lines, line);)
        parsed.push_back(line);
    EXPECT_EQ(parsed.size(), 200u);
    EXPECT_EQ(parsed, words_on_the_bus(r.bus));
}

TEST(countctl_program, a_signal_inside_a_read_out_loses_no_word)
{
    const std::string file = temporary_name();
    run_options o;
    // Start-up, period, start, one size query: the signal comes inside the
    // second word of the first read-out.
    o.stop_at_call = setup_calls + 2 * write_frame_calls + (write_frame_calls + read_frame_calls) + read_frame_calls + 40;
    o.signal = SIGINT;
    const run_result r =
        run_program({COUNTCTL_PROGRAM, "acquire", "--period", "1", "--seconds", "60", "-o", file}, "", o, true);
    EXPECT_EQ(r.status, 128 + SIGINT) << r.err;
    const std::string csv = file_contents(file);
    unlink(file.c_str());
    EXPECT_EQ(csv_counts(csv), words_on_the_bus(r.bus));
    EXPECT_GE(csv_counts(csv).size(), 4u);
    EXPECT_NE(csv.find("# stopped: SIGINT\n"), std::string::npos) << csv;
    const bus_summary bus = summarise_bus(r.bus);
    EXPECT_EQ(bus.headers.back(), 0x82) << "the run is stopped last";
    EXPECT_FALSE(bus.frame_left_open);
    EXPECT_EQ(bus.ill_formed, 0);
}

TEST(countctl_program, a_failing_output_stops_the_run_and_says_what_was_lost)
{
    // A full disk under standard output: it fails before the run starts.
    run_options full;
    full.standard_output = open("/dev/full", O_WRONLY);
    const run_result f = run_program({COUNTCTL_PROGRAM, "acquire", "--words", "10"}, "", full, true);
    close(full.standard_output);
    EXPECT_EQ(f.status, 3);
    EXPECT_NE(f.err.find(std::strerror(ENOSPC)), std::string::npos) << f.err;
    EXPECT_EQ(summarise_bus(f.bus).count(0x81), 0) << "no run started";

    // A file that can grow no further, in the middle of the acquisition:
    // every word read is either a whole row in what was written or counted
    // as lost, and the run is stopped.
    const std::string file = temporary_name();
    run_options limited;
    limited.file_size_limit = 3000;
    const run_result r = run_program(
        {COUNTCTL_PROGRAM, "acquire", "--period", "1", "--words", "100000", "-o", file}, "", limited, true);
    EXPECT_EQ(r.status, 3);
    std::smatch said;
    ASSERT_TRUE(std::regex_search(r.err, said,
                                  std::regex("cannot write (.*): (.*); ([0-9]+) words read from the instrument were "
                                             "not written; the words written are in (.*)\n")))
        << r.err;
    EXPECT_EQ(said[1], file);
    EXPECT_EQ(said[2], std::strerror(EFBIG));
    const std::string written = file_contents(said[4]);
    unlink(std::string(said[4]).c_str());
    EXPECT_NE(access(file.c_str(), F_OK), 0) << "no half file under the name asked for";
    ASSERT_EQ(written.size(), 3000u);
    const std::size_t rows = csv_counts(written.substr(0, written.rfind('\n') + 1)).size();
    EXPECT_EQ(rows + std::stoul(said[3]), words_on_the_bus(r.bus).size());
    EXPECT_EQ(summarise_bus(r.bus).headers.back(), 0x82) << "the run is stopped last";
}

TEST(countctl_program, a_progress_line_only_on_a_terminal)
{
    const std::string file = temporary_name();
    const std::vector<std::string> acquire = {COUNTCTL_PROGRAM, "acquire", "--period", "1", "--words", "3000", "-o", file};
    live_program on_terminal(acquire, true);
    on_terminal.finish();
    EXPECT_NE(on_terminal.output().find("\r\033[K"), std::string::npos) << on_terminal.output();

    const run_result piped = run_program(acquire, "");
    EXPECT_EQ(piped.err.find("\r\033[K"), std::string::npos) << piped.err;
    EXPECT_NE(piped.err.find("3000 words; min"), std::string::npos) << piped.err;
    // The run's rates: words/s is the words, counts/s their counts added up.
    const std::size_t rates = piped.err.find(" counts/s");
    ASSERT_NE(rates, std::string::npos) << piped.err;
    const double seconds = std::stod(piped.err.substr(piped.err.find("over the run's ") + 15));
    const double words_per_second = std::stod(piped.err.substr(piped.err.find("event rate), ") + 13));
    EXPECT_NEAR(words_per_second * seconds, 3000, 3000 * 0.01) << piped.err;
    const double mean = std::stod(piped.err.substr(piped.err.find("mean ") + 5));
    const double counts_per_second = std::stod(piped.err.substr(piped.err.find(" s: ", rates - 40) + 4));
    EXPECT_NEAR(counts_per_second * seconds, mean * 3000, mean * 3000 * 0.01) << piped.err;

    std::vector<std::string> quiet = acquire;
    quiet.push_back("--quiet");
    EXPECT_EQ(run_program(quiet, "").err.find("words; min"), std::string::npos);
    unlink(file.c_str());
}

} // namespace

namespace {

// The summary's histogram over random sets of counts, narrow and wide, up
// to the whole range of int: every count lies in the row whose label holds
// it, and the rows' counts add up to the words.
TEST(count_summary, every_count_falls_in_the_row_whose_label_contains_it)
{
    std::mt19937 random(20261208);
    const std::pair<long long, long long> ranges[] = {
        {0, 40}, {-5, 5}, {0, 100000}, {-357913938, 20}, {INT_MIN, INT_MAX}, {INT_MAX - 3, INT_MAX}};
    for (int trial = 0; trial < 200; ++trial) {
        const auto [lo, hi] = ranges[static_cast<std::size_t>(trial) % std::size(ranges)];
        std::uniform_int_distribution<long long> pick(lo, hi);
        std::vector<int> counts(1 + random() % 300);
        for (int &c : counts)
            c = static_cast<int>(random() % 5 == 0 ? pick(random) : std::clamp(5 + pick(random) % 20, lo, hi));
        if (trial % 3 == 0)
            counts.push_back(trial % 2 == 0 ? INT_MIN : INT_MAX);

        count_summary summary;
        const bool marked = trial % 2 == 1; // the lab's marker: bit 31 marks a gap
        summary.marker = marked ? gap_marker::bit31 : gap_marker::none;
        for (std::size_t at = 0; at < counts.size(); at += 7) // in the pieces a read-out gives
            add_counts(summary, counts.data() + at, static_cast<int>(std::min<std::size_t>(7, counts.size() - at)));
        char *text = nullptr;
        std::size_t size = 0;
        std::FILE *err = open_memstream(&text, &size);
        print_summary(err, summary);
        std::fclose(err);
        const std::string printed(text, size);
        std::free(text);

        std::istringstream lines(printed);
        std::string line;
        std::getline(lines, line); // the words, min, mean and max, and the gaps
        const auto gaps = marked ? std::count_if(counts.begin(), counts.end(), [](int c) { return c < 0; }) : 0;
        EXPECT_EQ(line.find("gaps") != std::string::npos, gaps > 0) << line;
        for (int &c : counts)
            if (marked)
                c &= 0x7FFFFFFF; // a word after a gap counts as its count
        std::uint64_t total = 0;
        long long previous_hi = static_cast<long long>(INT_MIN) - 1;
        while (std::getline(lines, line)) {
            long long row_lo = 0, row_hi = 0;
            unsigned long long in_row = 0;
            ASSERT_EQ(std::sscanf(line.c_str(), " %lld .. %lld |%*[# ]| %llu", &row_lo, &row_hi, &in_row), 3) << line;
            EXPECT_GT(row_lo, previous_hi) << printed;
            EXPECT_LE(row_lo, row_hi) << printed;
            previous_hi = row_hi;
            const auto inside = std::count_if(counts.begin(), counts.end(),
                                              [&](int c) { return c >= row_lo && c <= row_hi; });
            EXPECT_EQ(in_row, static_cast<unsigned long long>(inside)) << line << "\n" << printed;
            total += in_row;
        }
        EXPECT_EQ(total, counts.size()) << printed;
    }
}

} // namespace
