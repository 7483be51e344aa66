// Recording the bus of the virtual instrument while instrument operations
// run, and writing the recording out: as a Value Change Dump (IEEE 1364) for
// GTKWave or PulseView, and as an SVG timing diagram.
//
// Time is virtual: every platform call takes sim::bus_call_ns (50 ns), and
// the instrument changes a data-in line half a call after the call that
// caused it, so a recording is the same on every machine.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "pin_bank.h"

struct bus_operation {
    std::string name; // reset, start, stop, run, ifc_rd, setPeriod, setTHR, setPOL, datasize, readDATA
    void (*perform)(int argument);
    int argument;
    std::string label; // the name and argument, with what a user types for it in countctl and the console
};

// Parses "name" or "name value" words from a command line into operations.
// On an unknown name or a bad or missing number, returns false and says why.
bool parse_operations(const std::vector<std::string> &words, std::vector<bus_operation> &ops, std::string &error);

struct bus_recording {
    std::vector<sim::bus_event> events;
    std::vector<std::uint64_t> operation_calls; // the call at which each operation began
    std::vector<std::string> labels;            // each operation's label
};

// Powers the virtual instrument on, records setup_io and the operations.
bus_recording record_operations(const std::vector<bus_operation> &ops);

void write_vcd(std::FILE *out, const std::vector<sim::bus_event> &events);

// A timing diagram of everything after the bus start-up, each operation
// named where it begins. A long recording is drawn in rows of whole frames,
// one under the other, so that the picture stays a page wide.
void write_timing_svg(std::FILE *out, const bus_recording &recording, const std::string &title);
