// Recording the bus of the virtual instrument while instrument operations
// run, and writing the recording out: as a Value Change Dump (IEEE 1364) for
// GTKWave or PulseView, and as an SVG timing diagram.
//
// Time is virtual: every platform call takes sim::bus_call_ns (50 ns), and
// the instrument changes a data-in line half a call after the call that
// caused it, so a recording is the same on every machine.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "pin_bank.h"

struct bus_operation {
    std::string name; // reset, start, stop, run, ifc_rd, setPeriod, setTHR, setPOL, datasize, readDATA
    void (*perform)(int argument);
    int argument;
};

// Parses "name" or "name value" words from a command line into operations.
// On an unknown name or a bad or missing number, returns false and says why.
bool parse_operations(const std::vector<std::string> &words, std::vector<bus_operation> &ops, std::string &error);

// Powers the virtual instrument on, records setup_io and the operations.
std::vector<sim::bus_event> record_operations(const std::vector<bus_operation> &ops);

void write_vcd(std::FILE *out, const std::vector<sim::bus_event> &events);

// A timing diagram of everything after the bus start-up.
void write_timing_svg(std::FILE *out, const std::vector<sim::bus_event> &events, const std::string &title);
