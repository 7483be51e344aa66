// The bus_trace tool: its Value Change Dump read back, line by line, gives
// the frames' bytes; bad operations are refused.

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct command_result {
    std::string out;
    int status;
};

command_result run_trace(const std::string &arguments)
{
    const std::string command = std::string(BUS_TRACE_PROGRAM) + " " + arguments + " 2>/dev/null";
    std::FILE *pipe = popen(command.c_str(), "r");
    command_result r{"", -1};
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        r.out.append(buffer, n);
    const int status = pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

struct decoded_frame {
    std::vector<int> command;
    std::vector<int> reply;
};

// Reads a VCD of the bus and decodes frames from its line changes alone:
// a command byte is the data-out lines at a rising strobe edge while
// select_n is low; a reply byte is the data-in lines at the rising edges of
// pulses 5 to 8.
std::vector<decoded_frame> decode_vcd(const std::string &vcd, bool &times_grow, int &signals)
{
    std::istringstream in(vcd);
    std::map<std::string, std::string> name_of; // identifier -> name
    std::map<std::string, int> level;           // name -> 0/1 (z counts as 0)
    std::vector<decoded_frame> frames;
    bool in_frame = false;
    int pulses = 0;
    long long last_time = -1;
    times_grow = true;
    signals = 0;
    auto byte_of = [&](const char *prefix) {
        int b = 0;
        for (int j = 0; j < 8; ++j)
            b |= level[prefix + std::to_string(j)] << j;
        return b;
    };
    std::string word;
    while (in >> word) {
        if (word == "$var") {
            std::string type, width, id, name, end;
            in >> type >> width >> id >> name >> end;
            name_of[id] = name;
            ++signals;
        } else if (word[0] == '#') {
            const long long t = std::stoll(word.substr(1));
            times_grow = times_grow && t > last_time;
            last_time = t;
        } else if (word[0] == '0' || word[0] == '1' || word[0] == 'z') {
            const std::string &name = name_of[word.substr(1)];
            const int v = word[0] == '1';
            const int was = level[name];
            level[name] = v;
            if (name == "select_n" && v == 0 && was == 1) {
                in_frame = true;
                pulses = 0;
                frames.emplace_back();
            } else if (name == "select_n" && v == 1) {
                in_frame = false;
            } else if (name == "strobe" && v == 1 && was == 0 && in_frame) {
                ++pulses;
                if (pulses <= 4)
                    frames.back().command.push_back(byte_of("data_out_"));
                else
                    frames.back().reply.push_back(byte_of("data_in_"));
            }
        }
    }
    return frames;
}

TEST(bus_trace, the_dump_gives_back_each_operations_bytes)
{
    const command_result r = run_trace("reset setTHR 5000 datasize ifc_rd -1 readDATA 2");
    ASSERT_EQ(r.status, 0);
    bool times_grow = false;
    int signals = 0;
    const std::vector<decoded_frame> frames = decode_vcd(r.out, times_grow, signals);
    EXPECT_TRUE(times_grow);
    EXPECT_EQ(signals, 18);
    const std::vector<decoded_frame> expected = {
        {{0x80, 0x00, 0x00, 0x00}, {}},                       // reset
        {{0x84, 0x00, 0x03, 0x88}, {}},                       // setTHR 5000: 904 written
        {{0x04, 0x00, 0x03, 0x88}, {0x88, 0x03, 0x00, 0x00}}, // and read back
        {{0x86, 0x00, 0x00, 0x00}, {}},                       // datasize: latch
        {{0x06, 0x00, 0x00, 0x00}, {0x00, 0x00, 0x00, 0x00}}, // no words, not running
        {{0x00, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0x00}}, // ifc_rd -1
        {{0x07, 0x00, 0x00, 0x00}, {0x00, 0x00, 0x00, 0x00}}, // readDATA: empty FIFO reads 0
        {{0x07, 0x00, 0x00, 0x00}, {0x00, 0x00, 0x00, 0x00}},
    };
    ASSERT_EQ(frames.size(), expected.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].command, expected[i].command) << "frame " << i;
        EXPECT_EQ(frames[i].reply, expected[i].reply) << "frame " << i;
    }
}

TEST(bus_trace, unknown_operations_and_bad_arguments_are_refused)
{
    for (const char *arguments : {"", "frobnicate", "setTHR", "setTHR five", "setTHR 5x", "readDATA 5000",
                                  "readDATA -1", "start 3", "--svg"}) {
        const command_result r = run_trace(arguments);
        EXPECT_EQ(r.status, 2) << arguments;
        EXPECT_TRUE(r.out.empty()) << arguments;
    }
}

} // namespace

namespace {

// A write error is said, with status 3: on a full disk, and to a reader
// that went away (SIGPIPE at its default, as a shell leaves it).
TEST(bus_trace, a_write_error_is_said_and_fails)
{
    char errors[] = "/tmp/bus-trace-errors-XXXXXX";
    close(mkstemp(errors));
    for (const char *sink : {"> /dev/full", "| head -c 10 > /dev/null"}) {
        const std::string command = "bash -c 'trap - PIPE; " + std::string(BUS_TRACE_PROGRAM) + " readDATA 3000 2>" +
                                    errors + " " + sink + "; exit ${PIPESTATUS[0]}'";
        const int status = std::system(command.c_str());
        std::ifstream said_file(errors);
        const std::string said((std::istreambuf_iterator<char>(said_file)), std::istreambuf_iterator<char>());
        SCOPED_TRACE(sink);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 3);
        EXPECT_NE(said.find("bus_trace: cannot write standard output: "), std::string::npos) << said;
    }
    unlink(errors);
}

} // namespace
