#include "violations.h"

#include <cstdio>
#include <utility>

#include "pin_bank.h"

namespace sim {

namespace {
std::vector<violation> entries;
std::uint64_t total = 0;
bool report_on_stderr = true;
} // namespace

const char *to_string(violation_kind kind)
{
    switch (kind) {
    case violation_kind::call_before_setup: return "call before wiringPiSetup";
    case violation_kind::setup_repeated: return "wiringPiSetup called again";
    case violation_kind::no_such_line: return "no such line";
    case violation_kind::unsupported_mode: return "unsupported pin mode";
    case violation_kind::unsupported_level: return "level other than 0 or 1";
    case violation_kind::write_to_driven_line: return "write to a line the far side drives";
    case violation_kind::write_to_unwired_line: return "write to a line the far side is not wired to";
    case violation_kind::unsupported_pull: return "unsupported pull";
    case violation_kind::read_of_non_input: return "read of a line that is not an input";
    case violation_kind::strobe_outside_frame: return "strobe pulse outside a frame";
    case violation_kind::wrong_pulse_count: return "frame closed after a wrong number of strobe pulses";
    case violation_kind::reserved_header_bits: return "reserved header bits set";
    case violation_kind::data_changed_on_strobe: return "data-out line changed while strobe was high";
    }
    return "unknown violation";
}

const std::vector<violation> &violations() { return entries; }
std::uint64_t violation_count() { return total; }

void clear_violations()
{
    entries.clear();
    total = 0;
}

void flag(violation_kind kind, int pin, std::string detail)
{
    ++total;
    const std::uint64_t call = current_call();
    if (report_on_stderr)
        std::fprintf(stderr, "virtual instrument: protocol violation at call %llu: %s%s%s\n",
                     static_cast<unsigned long long>(call), to_string(kind),
                     detail.empty() ? "" : ": ", detail.c_str());
    if (entries.size() < violation_capacity)
        entries.push_back({kind, call, pin, std::move(detail)});
}

void set_reporting(bool on) { report_on_stderr = on; }
bool reporting() { return report_on_stderr; }

} // namespace sim
