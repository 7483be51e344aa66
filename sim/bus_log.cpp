// The record of every platform call: kept in memory while asked, written
// at exit to VIRTUAL_BUS_LOG for the tests, and read back by them.

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pin_bank_core.h"

namespace sim {

namespace bank_detail {

const char *kind_name(call_kind kind)
{
    switch (kind) {
    case call_kind::setup: return "setup";
    case call_kind::mode: return "mode";
    case call_kind::write: return "write";
    case call_kind::read: return "read";
    case call_kind::pull: return "pull";
    case call_kind::far_side: return "far";
    }
    return "?";
}

namespace {

std::string log_path;

void write_log()
{
    // The log is the test bench's record, not the program's output: a file
    // size limit set on the program under test does not apply to it.
    rlimit size{};
    if (getrlimit(RLIMIT_FSIZE, &size) == 0) {
        size.rlim_cur = size.rlim_max;
        setrlimit(RLIMIT_FSIZE, &size);
    }
    std::FILE *log = std::fopen(log_path.c_str(), "w");
    if (log == nullptr)
        return;
    for (const bus_event &e : recorded)
        std::fprintf(log, "%llu %lld %s %d %d\n", static_cast<unsigned long long>(e.call),
                     static_cast<long long>(e.wall_ns), kind_name(e.kind), e.pin, e.value);
    std::fclose(log);
}

} // namespace

void log_at_exit(const std::string &path)
{
    log_path = path;
    recording = true;
    std::atexit(write_log);
}

} // namespace bank_detail

using namespace bank_detail;

void record_events(bool on) { recording = on; }
const std::vector<bus_event> &events() { return recorded; }
void clear_events() { recorded.clear(); }

bool read_bus_log(const std::string &path, std::vector<bus_event> &events)
{
    std::FILE *log = std::fopen(path.c_str(), "r");
    if (log == nullptr)
        return false;
    unsigned long long call = 0;
    long long wall = 0;
    char kind[8];
    int pin = 0, value = 0;
    while (std::fscanf(log, "%llu %lld %7s %d %d", &call, &wall, kind, &pin, &value) == 5) {
        call_kind k = call_kind::setup;
        for (call_kind c : {call_kind::setup, call_kind::mode, call_kind::write, call_kind::read, call_kind::pull,
                            call_kind::far_side})
            if (std::strcmp(kind, kind_name(c)) == 0)
                k = c;
        events.push_back({call, wall, k, pin, value});
    }
    const bool whole = std::feof(log) != 0;
    std::fclose(log);
    return whole;
}

} // namespace sim
