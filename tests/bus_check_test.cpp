// The wiring self-test against the virtual loopback plug, with faults
// injected one and two at a time, and against the instrument left attached.

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "instrument.h"
#include "loopback_plug.h"
#include "pin_bank.h"
#include "program_run.h"
#include "violations.h"
#include "wiring.h"
#include "wiring_check.h"

namespace {

using sim::plug_fault;
using sim::plug_fault_kind;

// Line of the report: data 0..7, then strobe (8) and select (9).
std::string diagnosis(const wiring_report &r, std::size_t line)
{
    const std::string &text = r.lines.at(line);
    return text.substr(text.find(": ", text.find("->")) + 2);
}

wiring_report check_with(const std::vector<plug_fault> &faults)
{
    sim::set_reporting(false);
    sim::power_on_with_plug(faults);
    return check_wiring();
}

// Checks that exactly the lines in `expected` are at fault, each with its
// diagnosis starting with the given words.
void expect_report(const std::vector<plug_fault> &faults, const std::map<std::size_t, std::string> &expected)
{
    const wiring_report r = check_with(faults);
    ASSERT_EQ(r.lines.size(), 10u);
    for (std::size_t line = 0; line < 10; ++line) {
        SCOPED_TRACE(r.lines[line]);
        const auto want = expected.find(line);
        if (want != expected.end())
            EXPECT_EQ(diagnosis(r, line).rfind(want->second, 0), 0u);
        else
            EXPECT_EQ(diagnosis(r, line), "ok");
    }
    EXPECT_EQ(r.faults, static_cast<int>(expected.size()));
    EXPECT_EQ(r.verdict, expected.empty() ? wiring_verdict::good : wiring_verdict::faulty);
    EXPECT_EQ(sim::violation_count(), 0u);
}

TEST(bus_check, a_good_plug_passes_every_line)
{
    expect_report({}, {});
}

TEST(bus_check, each_fault_alone_is_named_on_its_line_and_nowhere_else)
{
    expect_report({{plug_fault_kind::open, 3}}, {{3, "open: data-in 3"}});
    expect_report({{plug_fault_kind::stuck_high, 0}}, {{0, "stuck high"}});
    expect_report({{plug_fault_kind::stuck_low, 7}}, {{7, "stuck low"}});
    expect_report({{plug_fault_kind::swapped, 1, 2}},
                  {{1, "swapped with data 2: data-in 1 reads what data-out 2"}, {2, "swapped with data 1"}});
    expect_report({{plug_fault_kind::bridged, 5, 6}}, {{5, "bridged with data 6"}, {6, "bridged with data 5"}});
    expect_report({{plug_fault_kind::strobe_open}}, {{8, "not looped back"}});
    expect_report({{plug_fault_kind::select_open}}, {{9, "not looped back"}});
}

TEST(bus_check, two_data_faults_at_once_are_both_named)
{
    struct placed {
        plug_fault_kind kind;
        const char *words;
        bool pair;
    };
    const placed kinds[] = {{plug_fault_kind::open, "open", false},
                            {plug_fault_kind::stuck_high, "stuck high", false},
                            {plug_fault_kind::stuck_low, "stuck low", false},
                            {plug_fault_kind::swapped, "swapped", true},
                            {plug_fault_kind::bridged, "bridged", true}};
    for (const placed &a : kinds) {
        for (const placed &b : kinds) {
            // The first on lines 0 (and 1), the second on lines 4 (and 5).
            std::map<std::size_t, std::string> expected = {{0, a.words}, {4, b.words}};
            if (a.pair)
                expected[1] = a.words;
            if (b.pair)
                expected[5] = b.words;
            SCOPED_TRACE(std::string(a.words) + " and " + b.words);
            expect_report({{a.kind, 0, 1}, {b.kind, 4, 5}}, expected);
        }
    }
}

// Every pair of faults from the plug's list, on any lines: every line at
// fault is named (on its own line of the report, or as the other end of a
// fault found on another), every other line is ok, and no crossed jumpers
// are reported where none are crossed.
TEST(bus_check, every_pair_of_faults_names_every_line_at_fault_and_no_other)
{
    std::vector<plug_fault> faults = {{plug_fault_kind::strobe_open}, {plug_fault_kind::select_open}};
    for (int j = 0; j < 8; ++j) {
        for (plug_fault_kind kind : {plug_fault_kind::open, plug_fault_kind::stuck_high, plug_fault_kind::stuck_low})
            faults.push_back({kind, j});
        for (int k = j + 1; k < 8; ++k)
            for (plug_fault_kind kind : {plug_fault_kind::swapped, plug_fault_kind::bridged})
                faults.push_back({kind, j, k});
    }
    const auto lines_of = [](const plug_fault &f) -> std::set<std::size_t> {
        if (f.kind == plug_fault_kind::strobe_open)
            return {8};
        if (f.kind == plug_fault_kind::select_open)
            return {9};
        if (f.kind == plug_fault_kind::swapped || f.kind == plug_fault_kind::bridged)
            return {static_cast<std::size_t>(f.line), static_cast<std::size_t>(f.other)};
        return {static_cast<std::size_t>(f.line)};
    };
    const char *const names[] = {"data 0", "data 1", "data 2", "data 3", "data 4", "data 5", "data 6", "data 7",
                                 "strobe", "select"};
    for (std::size_t a = 0; a < faults.size(); ++a) {
        for (std::size_t b = a + 1; b < faults.size(); ++b) {
            std::set<std::size_t> at_fault = lines_of(faults[a]);
            for (std::size_t line : lines_of(faults[b]))
                at_fault.insert(line);
            const bool crossed =
                faults[a].kind == plug_fault_kind::swapped || faults[b].kind == plug_fault_kind::swapped;
            const wiring_report r = check_with({faults[a], faults[b]});
            ASSERT_EQ(r.lines.size(), 10u);
            std::string said; // every fault found, with the lines it names
            for (std::size_t line = 0; line < 10; ++line)
                if (diagnosis(r, line) != "ok")
                    said += std::string(names[line]) + ": " + diagnosis(r, line) + "\n";
            SCOPED_TRACE(said);
            for (std::size_t line = 0; line < 10; ++line) {
                const bool named = said.find(names[line]) != std::string::npos ||
                                   (line < 8 && said.find("data-in " + std::to_string(line)) != std::string::npos);
                EXPECT_EQ(named, at_fault.count(line) == 1) << names[line];
                if (at_fault.count(line) == 0) {
                    EXPECT_EQ(diagnosis(r, line), "ok");
                }
            }
            if (!crossed) {
                EXPECT_EQ(said.find("swapped"), std::string::npos);
            }
        }
    }
}

TEST(bus_check, the_instrument_left_attached_sees_no_frame_and_the_check_stops)
{
    sim::set_reporting(false);
    sim::power_on();
    const wiring_report r = check_wiring();
    EXPECT_EQ(r.verdict, wiring_verdict::no_plug);
    EXPECT_EQ(sim::inspect_instrument().frames, 0u);
    EXPECT_TRUE(sim::line(sim::select_pin).level);
    EXPECT_EQ(sim::violation_count(), 0u);
}

TEST(bus_check, takes_a_few_hundred_calls_and_leaves_the_pulls_it_set_off)
{
    sim::set_reporting(false);
    sim::power_on_with_plug();
    sim::record_events(true);
    check_wiring();
    sim::record_events(false);
    // At even 1 us a call, several times the slowest Pi's, this is under
    // 1 ms of bus calls; the waits for levels and pulls to settle add 1 ms.
    EXPECT_LE(sim::events().size(), 1000u);
    std::map<int, int> last_pull;
    for (const sim::bus_event &e : sim::events())
        if (e.kind == sim::call_kind::pull)
            last_pull[e.pin] = e.value;
    EXPECT_EQ(last_pull.size(), 10u) << "the eight data-in lines and the two return lines";
    for (const auto &[pin, pull] : last_pull)
        EXPECT_EQ(pull, 0) << "pin " << pin;
}

} // namespace

namespace {

// The program itself, as a lab runs it.
TEST(bus_check_program, exit_status_says_good_faulty_or_could_not_run)
{
    const run_result good = run_program({BUS_CHECK_PROGRAM}, "", {{"VIRTUAL_BUS=plug"}});
    EXPECT_EQ(good.status, 0);
    EXPECT_NE(good.out.find("verdict: all 10 lines loop back"), std::string::npos) << good.out;

    const run_result faulty =
        run_program({BUS_CHECK_PROGRAM}, "", {{"VIRTUAL_BUS=plug", "VIRTUAL_PLUG_FAULTS=open:2"}});
    EXPECT_EQ(faulty.status, 1);

    const run_result faults_unheard = run_program({BUS_CHECK_PROGRAM}, "", {{"VIRTUAL_PLUG_FAULTS=open:2"}});
    EXPECT_NE(faults_unheard.err.find("VIRTUAL_PLUG_FAULTS is ignored"), std::string::npos) << faults_unheard.err;

    const run_result attached = run_program({BUS_CHECK_PROGRAM}, "", {}, true);
    EXPECT_EQ(attached.status, 2);
    EXPECT_NE(attached.err.find("no loopback plug found"), std::string::npos) << attached.err;
    EXPECT_EQ(summarise_bus(attached.bus).frames, 0);
    EXPECT_TRUE(attached.out.empty());

    const run_result help = run_program({BUS_CHECK_PROGRAM, "--help"}, "");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("select      wiringPi 11 (GPIO 7, pin 26)"), std::string::npos) << help.out;
    EXPECT_EQ(run_program({BUS_CHECK_PROGRAM, "--fast"}, "").status, 2);
}

} // namespace
