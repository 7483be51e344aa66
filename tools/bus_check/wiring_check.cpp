#include "bus_pins.h"
#include "wiring_check.h"

#include <array>
#include <chrono>
#include <cstdio>

#include "gpio_platform.h"
#include "gpio_pulls.h"
#include "pi_header.h"
#include "spi.h"

namespace {

// Every reading is made with the inputs pulled down, then again pulled up:
// a line that follows its pull, whatever is driven, is not connected.
constexpr std::array<int, 2> pulls = {gpio_pull_down, gpio_pull_up};

// Data patterns: all low, all high, walking one, walking zero, 0x55, 0xAA.
constexpr std::array<int, 20> data_patterns = {0x00, 0xFF, 0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80,
                                               0xFE, 0xFD, 0xFB, 0xF7, 0xEF, 0xDF, 0xBF, 0x7F, 0x55, 0xAA};
// Control patterns, bit 0 the strobe and bit 1 the select: idle, strobe
// high, idle, select low, idle.
constexpr std::array<int, 5> control_patterns = {0b10, 0b11, 0b10, 0b00, 0b10};

// How long a changed level or pull is given before it is read: far more
// than a jumper or a pull resistor needs.
constexpr auto level_settle = std::chrono::microseconds(10);
constexpr auto pull_settle = std::chrono::microseconds(200);

void settle(std::chrono::microseconds d)
{
    const auto until = std::chrono::steady_clock::now() + d;
    while (std::chrono::steady_clock::now() < until) {
    }
}

// One jumper of the plug, and how the report names its two ends.
struct jumper {
    std::string name;   // "data 3", "strobe", "select"
    int output;         // wiringPi pin the Pi drives
    int input;          // wiringPi pin the Pi reads
    std::string driver; // "data-out 3", "the strobe"
    std::string reader; // "data-in 3", "wiringPi 7 (GPIO 4, pin 7)"
};

// A group of jumpers, driven together by each pattern (bit j on jumper j).
struct jumper_group {
    std::vector<jumper> jumpers;
    const int *patterns;
    std::size_t pattern_count;
};

// What one line showed, pattern by pattern, under each pull in turn.
using readings = std::vector<bool>;

struct group_readings {
    std::vector<readings> read;   // per jumper: what its input read
    std::vector<readings> driven; // per jumper: what its output drove
    readings pull_level;          // what an input connected to nothing shows
};

group_readings drive_and_read(const jumper_group &g)
{
    const std::size_t n = g.jumpers.size();
    group_readings r{std::vector<readings>(n), std::vector<readings>(n), {}};
    for (int pull : pulls) {
        for (const jumper &j : g.jumpers)
            pullUpDnControl(j.input, pull);
        settle(pull_settle);
        for (std::size_t p = 0; p < g.pattern_count; ++p) {
            const int pattern = g.patterns[p];
            for (std::size_t j = 0; j < n; ++j)
                digitalWrite(g.jumpers[j].output, (pattern >> j) & 1);
            settle(level_settle);
            for (std::size_t j = 0; j < n; ++j) {
                r.read[j].push_back(digitalRead(g.jumpers[j].input) == 1);
                r.driven[j].push_back(((pattern >> j) & 1) != 0);
            }
            r.pull_level.push_back(pull == gpio_pull_up);
        }
    }
    return r;
}

bool all(const readings &r, bool level)
{
    for (bool b : r)
        if (b != level)
            return false;
    return true;
}

// "ok", or what is wrong with jumper k, from what its input read.
std::string diagnose(const jumper_group &g, const group_readings &r, std::size_t k)
{
    const jumper &me = g.jumpers[k];
    const readings &got = r.read[k];
    if (got == r.driven[k])
        return "ok";
    if (all(got, true))
        return "stuck high: " + me.reader + " reads 1 whatever is driven or pulled (touching 3V3?)";
    if (all(got, false))
        return "stuck low: " + me.reader + " reads 0 whatever is driven or pulled (touching ground?)";
    if (got == r.pull_level)
        return (me.name.rfind("data", 0) == 0 ? "open: " : "not looped back: ") + me.reader +
               " follows its pull whatever " + me.driver + " drives (a missing or loose jumper?)";
    for (std::size_t j = 0; j < g.jumpers.size(); ++j) {
        if (j == k || got != r.driven[j])
            continue;
        const jumper &other = g.jumpers[j];
        // Crossed jumpers read each other's outputs; when the other line
        // reads something else, two faults explain it as well, and both
        // are said rather than a swap that moving jumpers would not mend.
        if (r.read[j] == r.driven[k])
            return "swapped with " + other.name + ": " + me.reader + " reads what " + other.driver + " drives";
        return "reads " + other.name + ": " + me.reader + " reads what " + other.driver + " drives, not what " +
               me.driver + " drives: its jumper comes from " + other.driver + ", or it is missing and " +
               me.reader + " touches " + other.reader;
    }
    for (std::size_t m = 0; m < g.jumpers.size(); ++m)
        if (m != k && got == r.read[m])
            return "bridged with " + g.jumpers[m].name + ": " + me.reader + " always reads what " +
                   g.jumpers[m].reader + " reads";
    // None of these: the first reading that went wrong.
    const std::size_t per_pull = g.pattern_count;
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (got[i] == r.driven[k][i])
            continue;
        char text[200];
        std::snprintf(text, sizeof text, "unexpected: with 0x%02X driven (inputs pulled %s) %s read %d, not %d",
                      g.patterns[i % per_pull], i < per_pull ? "down" : "up", me.reader.c_str(), got[i] ? 1 : 0,
                      r.driven[k][i] ? 1 : 0);
        return text;
    }
    return "unexpected";
}

std::string heading(const jumper &j)
{
    char head[160];
    std::snprintf(head, sizeof head, "%-7s %s -> %s: ", j.name.c_str(), pin_name(j.output).c_str(),
                  pin_name(j.input).c_str());
    return head;
}

// Checks a group; adds a report line per jumper and counts the faults.
void report_group(const jumper_group &g, const group_readings &r, wiring_report &report)
{
    for (std::size_t k = 0; k < g.jumpers.size(); ++k) {
        const std::string what = diagnose(g, r, k);
        report.lines.push_back(heading(g.jumpers[k]) + what);
        report.faults += what == "ok" ? 0 : 1;
    }
}

void pulls_off(const jumper_group &g)
{
    for (const jumper &j : g.jumpers)
        pullUpDnControl(j.input, gpio_pull_off);
}

} // namespace

std::string pin_name(int wiringpi)
{
    for (const header_pin &p : pi_header)
        if (p.wiringpi == wiringpi)
            return "wiringPi " + std::to_string(wiringpi) + " (GPIO " + std::to_string(p.bcm) + ", pin " +
                   std::to_string(p.physical) + ")";
    return "wiringPi " + std::to_string(wiringpi);
}

wiring_report check_wiring()
{
    if (!setup_io()) { // select high, strobe low; data-in and both return lines inputs
        wiring_report failed;
        failed.set_up = false;
        return failed;
    }

    jumper_group data{{}, data_patterns.data(), data_patterns.size()};
    for (int j = 0; j < 8; ++j) {
        const std::string n = std::to_string(j);
        data.jumpers.push_back({"data " + n, bus_pins::data_out[j], bus_pins::data_in[j], "data-out " + n, "data-in " + n});
    }
    const int strobe = bus_pins::strobe;
    const int select = bus_pins::select;
    const jumper_group control{{{"strobe", strobe, strobe_return_pin, "the strobe", pin_name(strobe_return_pin)},
                                {"select", select, select_return_pin, "the select", pin_name(select_return_pin)}},
                               control_patterns.data(),
                               control_patterns.size()};

    wiring_report report;
    const group_readings d = drive_and_read(data);
    pulls_off(data);
    bool loops_back = false;
    for (const readings &in : d.read)
        for (const readings &out : d.driven)
            loops_back = loops_back || in == out;
    if (!loops_back) {
        report.verdict = wiring_verdict::no_plug;
        return report;
    }
    report_group(data, d, report);

    // Strobe and select move only once a data line has looped back: what is
    // on the far side is a plug, not an instrument that would see a frame.
    const group_readings c = drive_and_read(control);
    pulls_off(control);
    report_group(control, c, report);
    report.verdict = report.faults == 0 ? wiring_verdict::good : wiring_verdict::faulty;
    return report;
}
